"""A small client of `quarvelcd --lsp` for the tests and the bench: frames
messages, waits for answers (a bounded wait, so that a hang fails), keeps
the notifications that arrive meanwhile."""
import json
import os
import select
import subprocess

BINARY = os.environ.get("QUARVELCD", "quarvelcd")
WAIT = 60  # seconds before a missing answer counts as a hang


class Client:
    def __init__(self, env=None, initialize=True, options=None, capabilities=None):
        environment = dict(os.environ, QUARVEL_DEVICE="quarvel_no_such_device")
        environment.update(env or {})
        self.process = subprocess.Popen([BINARY, "--lsp"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=environment)
        self.buffer = b""
        self.notifications = []
        self.next_id = 1
        if initialize:
            params = {"processId": os.getpid(), "rootUri": None, "capabilities": capabilities or {}}
            if options is not None:
                params["initializationOptions"] = options
            self.capabilities = self.request("initialize", params)["result"]["capabilities"]
            self.notify("initialized", {})

    def send_bytes(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        body = json.dumps(message).encode()
        self.send_bytes(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def notify(self, method, params=None):
        self.send({"jsonrpc": "2.0", "method": method, "params": params or {}})

    def receive(self):
        """The next message, or None when the server closed its output."""
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                header = self.buffer[:end].decode()
                length = int(header.split("Content-Length:")[1].split("\r\n")[0])
                if len(self.buffer) >= end + 4 + length:
                    body = self.buffer[end + 4:end + 4 + length]
                    self.buffer = self.buffer[end + 4 + length:]
                    return json.loads(body)
            ready, _, _ = select.select([self.process.stdout], [], [], WAIT)
            if not ready:
                raise TimeoutError("the server does not answer")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk

    def answer(self, request_id):
        while True:
            message = self.receive()
            if message is None:
                raise EOFError("the server ended")
            if message.get("id") == request_id and "method" not in message:
                return message
            self.notifications.append(message)  # notifications, answers to others

    def request(self, method, params=None):
        request_id = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params or {}})
        return self.answer(request_id)

    def notification(self, method, matching=lambda params: True):
        """The first kept or coming notification of `method` that matches."""
        while True:
            for i, message in enumerate(self.notifications):
                if message.get("method") == method and matching(message.get("params")):
                    return self.notifications.pop(i).get("params")
            message = self.receive()
            if message is None:
                raise EOFError("the server ended")
            if "method" in message:
                self.notifications.append(message)

    def open(self, uri, text):
        self.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "quarvel", "version": 1, "text": text}})

    def change(self, uri, version, text):
        self.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": version},
                                               "contentChanges": [{"text": text}]})

    def finish(self):
        """shutdown, exit; answers the exit status."""
        self.request("shutdown")
        self.notify("exit")
        return self.wait()

    def wait(self):
        self.process.stdin.close()
        status = self.process.wait(WAIT)
        self.process.stdout.close()
        self.process.stderr.close()
        return status
