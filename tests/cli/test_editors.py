"""Editor support for .qvl scores: the TextMate grammar and the Vim syntax
file colour a score the way the compiler reads it. The grammar is checked by
a small tokenizer that applies its top-level rules in order at each position
of a line, as a TextMate engine does for single-line rules; the Vim file, when
Vim is installed, by Vim itself."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
GRAMMAR = os.path.join(ROOT, "editors", "textmate", "quarvel.tmLanguage.json")
VIM_DIR = os.path.join(ROOT, "editors", "vim")

# One letter per category; a blank is a character without a scope.
SCOPE_OF_CATEGORY = {
    "/": "comment.line.",
    "c": "keyword.control.command.",
    "p": "keyword.control.repeat.",
    "d": "storage.type.duration.",
    "n": "constant.numeric.note.",
    "a": "keyword.operator.accidental.",
    "r": "keyword.operator.articulation.",
    "$": "constant.language.rest.",
    "m": "storage.modifier.mode.",
    "!": "invalid.illegal.",
}

VIM_GROUP_OF_CATEGORY = {
    "/": ("quarvelComment",),
    "c": ("quarvelCommand", "quarvelBarLine"),
    "p": ("quarvelRepeat",),
    "d": ("quarvelDuration",),
    "n": ("quarvelNote",),
    "a": ("quarvelAccidental",),
    "r": ("quarvelArticulation",),
    "$": ("quarvelRest",),
    "m": ("quarvelMode",),
    "!": ("quarvelError",),
}

# The category that each character of the language has where it starts a token.
ROLE = {}
ROLE.update({c: "c" for c in "<>=JKLMNOPRUVYZ"})
ROLE.update({c: "p" for c in "()"})
ROLE.update({c: "d" for c in "WHQISTX"})
ROLE.update({c: "n" for c in "+-0123456789ABCDEFG"})
ROLE.update({c: "a" for c in "#%&"})
ROLE.update({c: "r" for c in "'\",;"})
ROLE.update({c: "m" for c in "*@_"})
ROLE.update({"$": "$", "/": "/"})

# A sample score, each line with the category of every one of its characters.
SAMPLE = [
    ("/ Ode: a comment runs to the line end, even M V1 Q 0 #",
     "//////////////////////////////////////////////////////"),
    ("=A4 NQ Z3 K2# K3& O1 JAT7 JASFA642100D JBR80010002C",
     "ccc cc cc ccc ccc cc cccc cccccccccccc cccccccccccc"),
    ("V1 YA LF U+7 Q. 3' 3 I: 4# 5&& H 2\" M1",
     "cc cc cc ccc dd nr n dd na naa d nr cc"),
    ("V2 @ H 6, 9; * U-7 U3 <2 >0 M2/3",
     "cc m d nr nr m ccc cc cc cc cccc"),
    ("V5 _ Q 1\" A' 6' A' * $ $; M",
     "cc m d nr nr nr nr m $ $r c"),
    ("(V1 W:. 0 -1 +G X S T M )1 P01 R01 P q1 v2 m",
     "pcc ddd n nn nn d d d c pp ccc ccc c dn cc c"),
    ("Q 0 1 2 3 4 5 6 7 8 9 A B C D E F G a g",
     "d n n n n n n n n n n n n n n n n n n n"),
    ("nh ni ns nt yb z9 u-3 3% 4#& 5%# Q3#A",
     "cc cc cc cc cc cc ccc na naa naa dnan"),
    ("Q 3 ? 4### . : ' M\t12 3",
     "d n ! naa! ! ! ! cccc n"),
]


def load_grammar():
    with open(GRAMMAR, encoding="utf-8") as f:
        return json.load(f)


def all_rules(grammar):
    """Every rule object of the grammar, top level and repository."""
    found = []

    def walk(patterns):
        for rule in patterns:
            found.append(rule)
            walk(rule.get("patterns", []))

    walk(grammar.get("patterns", []))
    for entry in grammar.get("repository", {}).values():
        found.append(entry)
        walk(entry.get("patterns", []))
    return found


def top_level_rules(grammar):
    """The top-level patterns with includes resolved, in order."""
    def expand(patterns):
        rules = []
        for rule in patterns:
            if "include" in rule:
                name = rule["include"]
                if not name.startswith("#"):
                    raise AssertionError("include outside the grammar: " + name)
                entry = grammar["repository"][name[1:]]
                rules.extend(expand(entry["patterns"]) if "patterns" in entry else [entry])
            else:
                rules.append(rule)
        return rules

    return [(re.compile(rule["match"]), rule["name"]) for rule in expand(grammar["patterns"])]


def tokenize(rules, line):
    """Tokens (start, end, scope) of one line: at each position the first rule
    that matches there wins; a position no rule matches is left unscoped."""
    tokens, pos = [], 0
    while pos < len(line):
        for regex, scope in rules:
            m = regex.match(line, pos)
            if m and m.end() > pos:
                tokens.append((pos, m.end(), scope))
                pos = m.end()
                break
        else:
            pos += 1
    return tokens


def category_of_scope(scope):
    for category, prefix in SCOPE_OF_CATEGORY.items():
        if scope.startswith(prefix) and scope.endswith(".quarvel"):
            return category
    raise AssertionError("scope of no category: " + scope)


class TextMateGrammar(unittest.TestCase):
    def setUp(self):
        self.grammar = load_grammar()
        self.rules = top_level_rules(self.grammar)

    def categories(self, line):
        out = [" "] * len(line)
        for start, end, scope in tokenize(self.rules, line):
            out[start:end] = category_of_scope(scope) * (end - start)
        return "".join(out)

    def test_identity(self):
        self.assertEqual(self.grammar["scopeName"], "source.quarvel")
        self.assertEqual(self.grammar["fileTypes"], ["qvl"])
        self.assertTrue(self.grammar["name"])

    def test_every_regex_compiles_in_the_common_subset(self):
        # Constructs that only one of Oniguruma and Python's re accepts.
        one_sided = ("(?P", "(?<name>", "\\h", "\\H", "\\K", "\\G", "\\p{", "(?>", "*+", "++", "?+")
        regexes = [rule[key] for rule in all_rules(self.grammar)
                   for key in ("match", "begin", "end", "while") if key in rule]
        self.assertGreaterEqual(len(regexes), 20)
        for regex in regexes:
            with self.subTest(regex=regex):
                re.compile(regex)
                for construct in one_sided:
                    self.assertNotIn(construct, regex)

    def test_every_rule_has_a_known_category(self):
        for rule in all_rules(self.grammar):
            if "name" in rule and "match" in rule:
                with self.subTest(rule=rule["name"]):
                    category_of_scope(rule["name"])

    def test_sample_lines(self):
        for line, expected in SAMPLE:
            with self.subTest(line=line):
                self.assertEqual(len(line), len(expected))
                self.assertEqual(self.categories(line), expected)

    def test_every_character_of_the_language_is_covered(self):
        seen = {}
        for line, _ in SAMPLE:
            for start, end, scope in tokenize(self.rules, line):
                seen.setdefault(line[start].upper(), set()).add(category_of_scope(scope))
        for char, category in sorted(ROLE.items()):
            with self.subTest(char=char):
                self.assertIn(category, seen.get(char, set()))

    def test_bundled_examples_have_nothing_invalid(self):
        folder = os.path.join(ROOT, "examples")
        scores = sorted(f for f in os.listdir(folder) if f.endswith(".qvl"))
        self.assertTrue(scores)
        for name in scores:
            with open(os.path.join(folder, name), encoding="latin-1") as f:
                lines = f.read().split("\n")
            for number, line in enumerate(lines, 1):
                with self.subTest(name=name, line=number):
                    self.assertNotIn("!", self.categories(line))


class VimSyntax(unittest.TestCase):
    def read(self, *parts):
        with open(os.path.join(VIM_DIR, *parts), encoding="utf-8") as f:
            return f.read()

    def test_mentions_every_command_letter(self):
        text = self.read("syntax", "quarvel.vim")
        self.assertIn("syntax case ignore", text)
        patterns = "".join(re.findall(r"^syntax match \w+\s+(\S.*?)(?:\s+contains=\S+)?$", text, re.M))
        for char in sorted(ROLE):
            with self.subTest(char=char):
                self.assertTrue(char in patterns or char.lower() in patterns
                                or (char in "0123456789ABCDEFG" and "0-9a-g" in patterns))

    def test_detects_the_file_type(self):
        self.assertRegex(self.read("ftdetect", "quarvel.vim"),
                         r"(?m)^autocmd BufRead,BufNewFile \*\.qvl setfiletype quarvel$")

    @unittest.skipUnless(shutil.which("vim"), "vim is not installed")
    def test_vim_colours_the_sample(self):
        tmp = tempfile.mkdtemp(prefix="quarvel-vim-")
        self.addCleanup(shutil.rmtree, tmp, True)
        sample = os.path.join(tmp, "sample.qvl")
        result = os.path.join(tmp, "groups.txt")
        with open(sample, "w", encoding="ascii") as f:
            f.write("".join(line + "\n" for line, _ in SAMPLE))
        script = os.path.join(tmp, "probe.vim")
        with open(script, "w", encoding="ascii") as f:
            f.write(
                "set nocompatible\n"
                "let &runtimepath = '%s,' . &runtimepath\n"
                "filetype on\n"
                "syntax on\n"
                "edit %s\n"
                "let out = [&filetype]\n"
                "for l in range(1, line('$'))\n"
                "  let names = []\n"
                "  for c in range(1, strlen(getline(l)))\n"
                "    call add(names, synIDattr(synID(l, c, 1), 'name'))\n"
                "  endfor\n"
                "  call add(out, join(names, ','))\n"
                "endfor\n"
                "call writefile(out, '%s')\n"
                "qall!\n" % (os.path.abspath(VIM_DIR), sample, result))
        subprocess.run(["vim", "-N", "-u", "NONE", "-i", "NONE", "-n", "-es", "-S", script],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        with open(result, encoding="ascii") as f:
            out = f.read().split("\n")
        self.assertEqual(out[0], "quarvel")
        category_of_group = {group: category for category, groups in VIM_GROUP_OF_CATEGORY.items()
                             for group in groups}
        category_of_group[""] = " "
        for (line, expected), groups in zip(SAMPLE, out[1:]):
            with self.subTest(line=line):
                got = "".join(category_of_group[g] for g in groups.split(","))
                self.assertEqual(got, expected)


if __name__ == "__main__":
    unittest.main()


class BashCompletion(unittest.TestCase):
    SCRIPT = os.path.join(ROOT, "completion", "quarvelcd")

    def complete(self, folder, *words):
        """COMPREPLY for the words typed so far, the last being completed."""
        line = ("source %s; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _quarvelcd; "
                "printf '%%s\\n' \"${COMPREPLY[@]}\"" % self.SCRIPT)
        # The program under test answers for the warning names.
        binary = os.environ.get("QUARVELCD", "quarvelcd")
        path = os.path.dirname(os.path.abspath(shutil.which(binary) or binary))
        env = dict(os.environ, PATH=path + os.pathsep + os.environ.get("PATH", ""))
        r = subprocess.run(["bash", "-c", line, "bash", "quarvelcd", *words], cwd=folder,
                           capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual(r.stderr, "")
        return sorted(w for w in r.stdout.split("\n") if w)

    def test_completions(self):
        folder = tempfile.mkdtemp(prefix="quarvel-completion-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name in ("tune.qvl", "tune.wav", "tune.flac", "tune.mid", "notes.txt", "sub/x.qvl"):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            open(os.path.join(folder, name), "w").close()
        # (words typed, the completions offered)
        cases = [
            ([""], ["sub", "tune.qvl"]),
            (["-w", "t"], ["tune.qvl"]),
            (["-"], ["--check", "--export", "--force", "--from", "--help", "--import", "--json",
                     "--loop", "--midi", "--midi=", "--no-warn=", "--to", "--version", "--warn=",
                     "--watch", "-c", "-g", "-o", "-p", "-w"]),
            (["--import", "t"], ["tune.mid"]),
            (["--ex"], ["--export"]),
            (["--export", "t"], ["tune.flac", "tune.wav"]),
            (["--midi", "=", ""], ["sub", "tune.mid"]),
            (["--from", ""], []),
            (["--warn", "=", "rep"], ["repeat", "repeated-note"]),
            (["--no-warn", "=", "pitch-fold,ti"], ["pitch-fold,tie-across-bar"]),
            (["--warn", "=", "a"], ["all"]),
        ]
        for words, offered in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete(folder, *words), offered)
