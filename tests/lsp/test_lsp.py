"""The language server (`quarvelcd --lsp`) as an editor drives it: one table
of requests and the answers they must bring, a table of bad input the server
must survive, the commands (play through an ALSA file device, export), and
Neovim's own client attached to it."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from lsp_client import BINARY, Client  # noqa: E402
from quarvel_testing import Scratch  # noqa: E402

URI = "file:///tmp/quarvel-lsp-test/song.qvl"

# Line 1: a flat key, a sharp that the second voice takes, a bar line.
# Line 2: commands to hover, an eighth triplet B flat.
# Line 3: a numbered part in a repeat over two lines, its replay, a
#         transposed note, a glued bar line.
SONG = ("K2& M Q 3# 4 5 4   V2 H -4 -7   M\n"
        "=A4 K1# YC Z1 I: 6& 6 M\n"
        "P01 (Q 0 2 M\n"
        " )1 R01 P JASF0A05030F YA Q. 7 >2 0 MV2 H 7 4 M\n")


def at(line, character):
    return {"line": line, "character": character}


def doc(extra=None):
    params = {"textDocument": {"uri": URI}}
    params.update(extra or {})
    return params


def decode_tokens(data, types):
    """Semantic tokens as (line, character, length, type) tuples."""
    out, line, start = [], 0, 0
    for i in range(0, len(data), 5):
        delta_line, delta_start, length, kind, _ = data[i:i + 5]
        line += delta_line
        start = start + delta_start if delta_line == 0 else delta_start
        out.append((line, start, length, types[kind]))
    return out


class Protocol(unittest.TestCase):
    """Each row: a request, and what its answer must hold."""

    @classmethod
    def setUpClass(cls):
        cls.client = Client()
        cls.client.open(URI, SONG)
        cls.diagnostics = cls.client.notification("textDocument/publishDiagnostics")["diagnostics"]

    @classmethod
    def tearDownClass(cls):
        cls.client.finish()

    def hover(self, line, character):
        result = self.client.request("textDocument/hover", doc({"position": at(line, character)}))
        return (result["result"] or {}).get("contents", {}).get("value")

    def test_capabilities(self):
        capabilities = self.client.capabilities
        for name in ("hoverProvider", "inlayHintProvider", "completionProvider",
                     "documentSymbolProvider", "foldingRangeProvider", "definitionProvider",
                     "referencesProvider", "semanticTokensProvider", "codeActionProvider"):
            self.assertIn(name, capabilities)
        self.assertEqual(capabilities["textDocumentSync"]["change"], 1)
        self.assertEqual(sorted(capabilities["executeCommandProvider"]["commands"]),
                         ["quarvel.export", "quarvel.play", "quarvel.stop"])

    def test_warnings_are_those_of_check(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "song.qvl")
            with open(path, "w") as f:
                f.write(SONG)
            check = subprocess.run([BINARY, "--check", "--json", path], capture_output=True)
        expected = [json.loads(line) for line in check.stdout.decode().splitlines()]
        got = [(d["code"], d["range"]["start"]["line"] + 1, d["range"]["start"]["character"] + 1)
               for d in self.diagnostics]
        self.assertEqual(got, [(e["code"], e["line"], e["column"]) for e in expected])
        self.assertIn("glued-bar-line", [d["code"] for d in self.diagnostics])

    def test_hovers(self):
        rows = [
            # (line, character, texts the hover holds)
            (1, 17, ["**B\u266d4**", "eighth triplet", "voice 1", "bar 2", "at 0:02.4"]),
            (3, 29, ["**D5**", "transposed by `>2`", "bar 5", "dotted quarter"]),
            (2, 7, ["**C4**", "bar 3 (also bar 4)", "quarter"]),
            (1, 1, ["`=A4`: about 101 beats a minute"]),
            (1, 5, ["G major / E minor"]),
            (1, 9, ["instrument C", "clarinet-like"]),
            (1, 12, ["voices 1 and 3 on the left, 2, 4 and 5 on the right"]),
            (0, 6, ["quarter, 48 ticks"]),
        ]
        for line, character, texts in rows:
            with self.subTest(line=line, character=character):
                value = self.hover(line, character)
                self.assertIsNotNone(value)
                for text in texts:
                    self.assertIn(text, value)
        self.assertIsNone(self.hover(0, 33))  # nothing under a blank

    def test_inlay_hints_name_the_pitches(self):
        result = self.client.request("textDocument/inlayHint",
                                     doc({"range": {"start": at(0, 0), "end": at(1, 99)}}))
        labels = [h["label"] for h in result["result"]]
        self.assertEqual(labels[:4], ["F\u266f4", "G4", "A4", "G4"])
        self.assertEqual(labels[-2:], ["B\u266d4", "B\u266d4"])
        off = Client(options={"pitchNames": False})
        off.open(URI, SONG)
        hints = off.request("textDocument/inlayHint",
                            doc({"range": {"start": at(0, 0), "end": at(9, 0)}}))["result"]
        self.assertEqual(hints, [])
        self.assertEqual(off.finish(), 0)
        # Turned on again while editing: the client is asked to ask again.
        client = Client(capabilities={"workspace": {"inlayHint": {"refreshSupport": True}}},
                        options={"pitchNames": False})
        client.open(URI, SONG)
        client.notify("workspace/didChangeConfiguration", {"settings": {"quarvel": {"pitchNames": True}}})
        client.notification("workspace/inlayHint/refresh")
        hints = client.request("textDocument/inlayHint",
                               doc({"range": {"start": at(0, 0), "end": at(0, 99)}}))["result"]
        self.assertEqual(hints[0]["label"], "F\u266f4")
        self.assertEqual(client.finish(), 0)

    def test_outline_folds_definitions_references(self):
        symbols = self.client.request("textDocument/documentSymbol", doc())["result"]
        self.assertEqual([s["name"] for s in symbols], ["part (start)", "part 01",
                                                        "replay of part 01", "part"])
        self.assertEqual([b["name"] for b in symbols[0]["children"]], ["bar 1", "bar 2"])
        folds = self.client.request("textDocument/foldingRange", doc())["result"]
        self.assertIn({"startLine": 2, "endLine": 3, "kind": "region"}, folds)
        rows = [
            ("textDocument/definition", at(3, 5), {"start": at(2, 0), "end": at(2, 3)}),
            ("textDocument/definition", at(3, 23), {"start": at(3, 10), "end": at(3, 22)}),
        ]
        for method, position, expected in rows:
            with self.subTest(method=method, position=position):
                answer = self.client.request(method, doc({"position": position}))["result"]
                self.assertEqual(answer["range"], expected)
        references = self.client.request("textDocument/references", doc(
            {"position": at(2, 1), "context": {"includeDeclaration": True}}))["result"]
        self.assertEqual([r["range"]["start"] for r in references], [at(2, 0), at(3, 4)])

    def test_semantic_tokens(self):
        types = self.client.capabilities["semanticTokensProvider"]["legend"]["tokenTypes"]
        data = self.client.request("textDocument/semanticTokens/full", doc())["result"]["data"]
        line1 = [t for t in decode_tokens(data, types) if t[0] == 1]
        self.assertEqual(line1[:3], [(1, 0, 1, "keyword"), (1, 1, 2, "parameter"),
                                     (1, 4, 1, "keyword")])
        self.assertIn((1, 17, 1, "number"), line1)
        self.assertIn((1, 18, 1, "operator"), line1)
        self.assertIn((1, 14, 2, "type"), line1)

    def test_quick_fixes(self):
        # The third is the fix for a warning of two equal notes joined: the
        # client sends it back as it got it, naming the first note's place.
        joined = {"code": "repeated-note", "range": {"start": at(1, 21), "end": at(1, 22)},
                  "message": "this note of voice 1 is not struck: it equals the note `6&` right "
                             "before it (at line 2:18), and two equal notes ..."}
        rows = (("glued-bar-line", " ", None), ("shared-accidental", "%", None),
                ("repeated-note", "'", at(1, 19)))
        for code, expected, place in rows:
            with self.subTest(code=code):
                wanted = [d for d in self.diagnostics if d["code"] == code]
                if code == "shared-accidental":
                    # Only on request: the client asks for it by a diagnostic of its own.
                    wanted = [{"code": code, "message": "", "range": {"start": at(0, 24), "end": at(0, 26)}}]
                if code == "repeated-note":
                    wanted = [joined]
                self.assertTrue(wanted)
                actions = self.client.request("textDocument/codeAction", doc(
                    {"range": wanted[0]["range"], "context": {"diagnostics": wanted}}))["result"]
                self.assertEqual(len(actions), 1)
                edit = actions[0]["edit"]["changes"][URI][0]
                self.assertEqual(edit["newText"], expected)
                if place:
                    self.assertEqual(edit["range"]["start"], place)

    def test_completion(self):
        rows = [
            ("K2& M Q 0 M\nP01 Q 0 M R", at(1, 11), ["01"]),
            ("Y", at(0, 1), ["A", "B", "C", "D", "E"]),
            ("Q 0 ", at(0, 4), None),
        ]
        for text, position, labels in rows:
            with self.subTest(text=text):
                uri = "file:///tmp/quarvel-lsp-test/complete.qvl"
                self.client.open(uri, text)
                items = self.client.request("textDocument/completion", {
                    "textDocument": {"uri": uri}, "position": position})["result"]
                if labels is None:
                    self.assertIn("V", [i["label"] for i in items])
                    self.assertIn("W", [i["label"] for i in items])
                    self.assertEqual([i for i in items if i["label"] == "K"][0]["insertTextFormat"], 2)
                else:
                    self.assertEqual([i["label"] for i in items], labels)

    def test_positions_count_utf16_units(self):
        uri = "file:///tmp/quarvel-lsp-test/wide.qvl"
        # "é" is one unit, the G clef two; the error stands behind them.
        self.client.open(uri, "/ \u00e9\U0001d11e\nQ 0 /\u00e9\U0001d11e\nQ 1 V9")
        params = self.client.notification("textDocument/publishDiagnostics",
                                          lambda p: p["uri"] == uri)
        self.assertEqual(params["diagnostics"][0]["range"]["start"], at(2, 5))
        hover = self.client.request("textDocument/hover", {
            "textDocument": {"uri": uri}, "position": at(1, 2)})["result"]
        self.assertIn("C4", hover["contents"]["value"])

    def test_changes_are_diagnosed_again(self):
        uri = "file:///tmp/quarvel-lsp-test/edit.qvl"
        self.client.open(uri, "Q 0")
        self.client.notification("textDocument/publishDiagnostics", lambda p: p["uri"] == uri)
        for version in range(2, 12):
            self.client.change(uri, version, "Q 0 " * version + ("V9" if version == 11 else "V1"))
        last = self.client.notification("textDocument/publishDiagnostics",
                                        lambda p: p["uri"] == uri and p["diagnostics"] and
                                        p["diagnostics"][-1]["range"]["start"]["character"] == 45)
        self.assertEqual(last["diagnostics"][-1]["code"], 3)


class Lifecycle(unittest.TestCase):
    def test_exit_statuses(self):
        self.assertEqual(Client().finish(), 0)
        client = Client()
        client.notify("exit")
        self.assertEqual(client.wait(), 1)
        client = Client()
        self.assertEqual(client.wait(), 1)  # the input ended without exit

    def test_lsp_takes_no_score(self):
        run = subprocess.run([BINARY, "--lsp", "tune"], capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 1)
        self.assertIn(b"--lsp serves on standard input and output: it takes no score", run.stderr)
        self.assertIn(b"usage: quarvelcd", run.stdout)

    def test_requests_before_initialize_and_after_shutdown(self):
        client = Client(initialize=False)
        self.assertEqual(client.request("textDocument/hover", doc({"position": at(0, 0)}))
                         ["error"]["code"], -32002)
        client.request("initialize", {"capabilities": {}})
        self.assertEqual(client.request("shutdown")["result"], None)
        self.assertEqual(client.request("textDocument/hover", doc({"position": at(0, 0)}))
                         ["error"]["code"], -32600)
        client.notify("exit")
        self.assertEqual(client.wait(), 0)


# Bad input: (label, bytes sent, the error code answered or None for none).
def framed(body):
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


BAD_INPUT = [
    ("not JSON", framed(b"{not json"), -32700),
    ("invalid UTF-8", framed(b'{"jsonrpc":"2.0","id":90,"method":"x","params":"\xff\xfe"}'), -32700),
    ("no Content-Length", b"Content-Type: x\r\n\r\n", -32700),
    ("a batch", framed(b"[]"), -32600),
    ("no method", framed(b'{"jsonrpc":"2.0","id":91}'), -32600),
    ("an object for an id", framed(b'{"jsonrpc":"2.0","id":{},"method":"shutdown"}'), -32600),
    ("unknown method", framed(b'{"jsonrpc":"2.0","id":92,"method":"quarvel/nothing"}'), -32601),
    ("unknown notification", framed(b'{"jsonrpc":"2.0","method":"quarvel/nothing"}'), None),
    ("parameters of the wrong type", framed(
        b'{"jsonrpc":"2.0","id":93,"method":"textDocument/hover","params":[1]}'), -32602),
    ("hover on an unknown document", framed(
        b'{"jsonrpc":"2.0","id":94,"method":"textDocument/hover","params":'
        b'{"textDocument":{"uri":"file:///nowhere.qvl"},"position":{"line":0,"character":0}}}'), None),
    ("a change to an unknown document", framed(
        b'{"jsonrpc":"2.0","method":"textDocument/didChange","params":'
        b'{"textDocument":{"uri":"file:///nowhere.qvl"},"contentChanges":[{"text":"Q"}]}}'), None),
    ("a position past the end", framed(
        b'{"jsonrpc":"2.0","id":95,"method":"textDocument/hover","params":'
        b'{"textDocument":{"uri":"' + URI.encode() + b'"},"position":{"line":99999,"character":-7}}}'), None),
    ("a range past the end", framed(
        b'{"jsonrpc":"2.0","id":96,"method":"textDocument/inlayHint","params":'
        b'{"textDocument":{"uri":"' + URI.encode() + b'"},"range":{"start":{"line":5,"character":9},'
        b'"end":{"line":1e300,"character":"x"}}}}'), None),
    ("a diagnostic nested 200,000 deep", framed(
        b'{"jsonrpc":"2.0","id":98,"method":"textDocument/codeAction","params":'
        b'{"textDocument":{"uri":"' + URI.encode() + b'"},"range":{"start":{"line":3,"character":38},'
        b'"end":{"line":3,"character":38}},"context":{"diagnostics":[{"code":"glued-bar-line",'
        b'"range":{"start":{"line":3,"character":38},"end":{"line":3,"character":39}},"data":'
        + b"[" * 200000 + b"]" * 200000 + b'}]}}}'), -32600),
    ("a play with no document", framed(
        b'{"jsonrpc":"2.0","id":97,"method":"workspace/executeCommand","params":'
        b'{"command":"quarvel.play","arguments":[]}}'), -32602),
]


class BadInput(unittest.TestCase):
    def test_the_server_survives_and_answers(self):
        client = Client()
        client.open(URI, SONG)
        for label, data, code in BAD_INPUT:
            with self.subTest(label):
                client.send_bytes(data)
                # A request after it is answered as ever.
                answer = client.request("textDocument/hover", doc({"position": at(1, 17)}))
                self.assertIn("B\u266d4", answer["result"]["contents"]["value"])
                errors = [m for m in client.notifications if "error" in m]
                client.notifications = [m for m in client.notifications if "error" not in m]
                if code is not None:
                    self.assertEqual([e["error"]["code"] for e in errors], [code])

    def test_a_score_of_twenty_thousand_bars(self):
        client = Client()
        uri = "file:///tmp/quarvel-lsp-test/long.qvl"
        client.open(uri, "Q 0 2 4 7 M\n" * 20000 + "V6")
        params = client.notification("textDocument/publishDiagnostics", lambda p: p["uri"] == uri)
        self.assertEqual(params["diagnostics"][-1]["range"]["start"], at(20000, 1))
        hover = client.request("textDocument/hover", {"textDocument": {"uri": uri},
                                                      "position": at(19999, 8)})["result"]
        self.assertIn("bar 20000", hover["contents"]["value"])
        self.assertEqual(client.finish(), 0)


class Commands(Scratch):
    def test_play_sounds_what_from_plays_and_names_the_bars(self):
        text = "Q 0 2 4 7 M\nH 7 4 M\nQ. 0 I 4 H 7 M\n"
        self.write("tune.qvl", text)
        capture = self.path("played.raw")
        client = Client(env={"QUARVEL_DEVICE": "file:FILE=%s,FORMAT=raw" % capture})
        uri = "file://" + self.path("tune.qvl")
        client.open(uri, text)
        answer = client.request("workspace/executeCommand",
                                {"command": "quarvel.play", "arguments": [uri, at(1, 2)]})
        self.assertEqual(answer["result"], {"playing": True})
        bars = []
        while True:
            params = client.notification("quarvel/playing")
            if not params["playing"]:
                break
            start = params["range"]["start"]
            bars.append((params["bar"], start["line"], start["character"]))
        # The first is the bar under the place; any others follow it in order.
        self.assertEqual(bars[0], (2, 1, 2))
        self.assertTrue(set(bars) <= {(2, 1, 2), (3, 2, 3)} and bars == sorted(bars), bars)
        self.assertEqual(client.finish(), 0)
        wrote = subprocess.run([BINARY, "-w", "--from", "2:3", "tune"], cwd=self.dir,
                               capture_output=True)
        self.assertEqual(wrote.returncode, 0, wrote.stderr)
        with open(self.path("tune.wav"), "rb") as wave, open(capture, "rb") as played:
            self.assertEqual(played.read(), wave.read()[46:])

    def test_play_refusals_and_stop(self):
        client = Client()
        client.open(URI, "Q 0 V9")
        answer = client.request("workspace/executeCommand",
                                {"command": "quarvel.play", "arguments": [URI, at(0, 0)]})
        self.assertIn("does not compile", answer["error"]["message"])
        answer = client.request("workspace/executeCommand", {
            "command": "quarvel.export", "arguments": ["file:///nowhere/tune.qvl"]})
        self.assertIn("export failed (status 1)", answer["error"]["message"])
        answer = client.request("workspace/executeCommand", {"command": "quarvel.stop"})
        self.assertEqual(answer["result"], {"stopped": False})
        self.assertEqual(client.finish(), 0)

    def test_export_writes_beside_the_score(self):
        self.write("tune.qvl", "Q 0 2 4 7 M")
        client = Client()
        answer = client.request("workspace/executeCommand", {
            "command": "quarvel.export", "arguments": ["file://" + self.path("tune.qvl")]})
        self.assertEqual(answer["result"]["files"], [self.path("tune.wav"), self.path("tune.mid"),
                                                     self.path("tune.musicxml")])
        with open(self.path("tune.musicxml"), "rb") as f:
            self.assertIn(b"<score-partwise", f.read())
        with open(self.path("tune.mid"), "rb") as f:
            self.assertEqual(f.read(4), b"MThd")
        with open(self.path("tune.wav"), "rb") as f:
            self.assertEqual(f.read(4), b"RIFF")
        self.assertEqual(client.finish(), 0)


NVIM_CONFIG = r"""
local out = {}
local buf = vim.api.nvim_get_current_buf()
local client = vim.lsp.start_client({ name = "quarvelcd", cmd = { os.getenv("QUARVELCD"), "--lsp" },
                                      root_dir = vim.fn.getcwd() })
vim.lsp.buf_attach_client(buf, client)
vim.wait(30000, function() return #vim.diagnostic.get(buf) > 0 end, 50)
out.diagnostics = {}
for _, d in ipairs(vim.diagnostic.get(buf)) do
  table.insert(out.diagnostics, { lnum = d.lnum, col = d.col, severity = d.severity, code = d.code,
                                  message = d.message })
end
local params = { textDocument = { uri = vim.uri_from_bufnr(buf) }, position = { line = 0, character = 2 } }
local answers = vim.lsp.buf_request_sync(buf, "textDocument/hover", params, 30000) or {}
for _, answer in pairs(answers) do
  if answer.result then out.hover = answer.result.contents.value end
end
local f = io.open(os.getenv("NVIM_RESULT"), "w")
f:write(vim.fn.json_encode(out))
f:close()
vim.lsp.stop_client(client)
vim.cmd("qall!")
"""


@unittest.skipUnless(shutil.which("nvim"), "needs Neovim (Debian's neovim)")
class Neovim(Scratch):
    def test_diagnostics_and_hover_arrive_in_neovim(self):
        score = self.write("song.qvl", "Q 3 V6\n")
        config = self.write("attach.lua", NVIM_CONFIG)
        result = self.path("result.json")
        env = dict(os.environ, QUARVELCD=os.path.realpath(BINARY), NVIM_RESULT=result,
                   XDG_CONFIG_HOME=self.dir, XDG_DATA_HOME=self.dir, XDG_STATE_HOME=self.dir)
        run = subprocess.run(["nvim", "--headless", "--clean", "-c", "luafile " + config, score],
                             cwd=self.dir, env=env, capture_output=True, timeout=120,
                             stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(result) as f:
            out = json.load(f)
        self.assertEqual(len(out["diagnostics"]), 1, out)
        d = out["diagnostics"][0]
        self.assertEqual((d["lnum"], d["col"], d["severity"], d["code"]), (0, 5, 1, 3))
        self.assertIn("`V` takes a voice 1 to 5", d["message"])
        self.assertIn("**F4**", out["hover"])


@unittest.skipUnless(os.environ.get("QUARVEL_VSIX"), "the .vsix was not built (npm ci in editors/vscode/)")
class Extension(unittest.TestCase):
    """The packed VS Code extension: what VS Code reads from it."""

    def test_the_vsix_holds_a_whole_extension(self):
        with zipfile.ZipFile(os.environ["QUARVEL_VSIX"]) as vsix:
            names = set(vsix.namelist())
            manifest = json.loads(vsix.read("extension/package.json"))
            script = vsix.read("extension/extension.js").decode()
            configuration = json.loads(vsix.read("extension/language-configuration.json"))
            grammar = json.loads(vsix.read("extension/syntaxes/quarvel.tmLanguage.json"))
        self.assertIn("extension.vsixmanifest", names)
        self.assertIn("extension/node_modules/vscode-languageclient/node.js", names)
        contributes = manifest["contributes"]
        self.assertEqual(contributes["languages"][0]["extensions"], [".qvl"])
        self.assertEqual(configuration["comments"]["lineComment"], "/")
        self.assertEqual(configuration["brackets"], [["(", ")"]])
        self.assertIn("extension/" + contributes["grammars"][0]["path"][2:], names)
        self.assertEqual(grammar["scopeName"], contributes["grammars"][0]["scopeName"])
        commands = [c["command"] for c in contributes["commands"]]
        self.assertEqual(commands, ["quarvel.playFromCursor", "quarvel.stopPlaying",
                                    "quarvel.exportScore"])
        self.assertEqual([k["command"] for k in contributes["keybindings"]], commands)
        for command in commands:
            self.assertIn('registerCommand("%s"' % command, script)
        # The server's own command names stay the server's.
        for command in ("quarvel.play", "quarvel.stop", "quarvel.export"):
            self.assertIn('execute("%s"' % command, script)
        self.assertIn('"quarvel/playing"', script)


if __name__ == "__main__":
    unittest.main()
