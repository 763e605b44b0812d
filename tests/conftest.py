"""Fixtures that drive the real binaries on loopback: the service with a temporary
configuration, and a throw-away PKI. Every process is ended in order, its exit status
checked and its output searched for sanitizer reports, so a memory error anywhere fails."""
import http.client
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import time
from collections import namedtuple

import pytest
import trustme

HANG = 60  # seconds: a guard against hangs only; sanitizer builds are slow
SANITIZER_REPORT = re.compile(r"ERROR: \w+Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")

Reply = namedtuple("Reply", "status reason headers body")


def pytest_addoption(parser):
    parser.addoption("--server", help="absolute path of the s2t-server binary under test")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def call(port, method, target, body=b"", headers=(), tls=None):
    """One request on a fresh connection to 127.0.0.1:port, `headers` a list of (name,
    value) sent in order after Host; the reply, read to its end."""
    body = body.encode() if isinstance(body, str) else body
    head = "".join(f"{name}: {value}\r\n" for name, value in headers)
    with socket.create_connection(("127.0.0.1", port), timeout=HANG) as raw:
        sock = tls.wrap_socket(raw, server_hostname="127.0.0.1") if tls else raw
        sock.sendall(f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n{head}Content-Length: {len(body)}\r\n"
                     "Connection: close\r\n\r\n".encode() + body)
        reply = http.client.HTTPResponse(sock)
        reply.begin()
        return Reply(reply.status, reply.reason, reply.headers, reply.read())


def eventually(check):
    deadline = time.monotonic() + HANG
    while not check():
        assert time.monotonic() < deadline, "still not so after the hang guard"
        time.sleep(0.01)


class Process:
    """A binary run in a folder of its own, with standard output and error in one file."""

    def __init__(self, argv, folder, env=None):
        self.log = folder / "output.log"
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen([str(a) for a in argv], cwd=folder, stdout=out, stderr=subprocess.STDOUT,
                                         env=dict(os.environ, **(env or {})))

    def output(self):
        return self.log.read_bytes().decode(errors="replace")

    def wait_for(self, pattern):
        """The first match of the regular expression in the output, once it is there."""
        eventually(lambda: re.search(pattern, self.output()) or self.proc.poll() is not None)
        assert (found := re.search(pattern, self.output())), f"no {pattern!r} in:\n{self.output()}"
        return found

    def wait(self):
        return self.proc.wait(HANG)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.wait()
        finally:
            self.proc.kill()  # one that does not stop must not outlive the test

    def check_clean(self):
        assert not SANITIZER_REPORT.search(self.output()), self.output()


class Service(Process):
    tls = None  # the client context for an HTTPS listener

    def __init__(self, binary, folder, config, env, prefix, args, file):
        self.config = config
        (folder / file).write_text(config if isinstance(config, str) else json.dumps(config))
        super().__init__([*prefix, binary, *([file] if args is None else args)], folder, env)

    @property
    def port(self):
        return self.config["http-server"]["port"]

    def call(self, method, target, body=b"", headers=(), tls=None):
        return call(self.port, method, target, body, headers, tls)

    def transcribe(self, audio, **members):
        return self.call("POST", "/transcribe", json.dumps({"audio": audio, **members}))

    def exit(self):
        """An authorised /exit, answered before the service ends with status 0."""
        token = self.config["http-server"].get("admin-auth-token", "")
        assert self.call("GET", "/exit", headers=[("Authorization", token)], tls=self.tls).status == 200
        assert self.wait() == 0
        return self.output()


@pytest.fixture
def start_service(request, tmp_path):
    """Starts the service on a free loopback port; `config` as text replaces the whole file."""
    services = []

    def start(http=None, cloud=None, config=None, env=None, prefix=(), args=None, file="config.json", ready=True):
        folder = tmp_path / f"service{len(services)}"
        folder.mkdir()
        if config is None:
            config = {"http-server": {"address": "127.0.0.1", "port": free_port(), **(http or {})},
                      "google-cloud": cloud or {}}
        service = Service(request.config.getoption("--server"), folder, config, env, prefix, args, file)
        services.append(service)
        if ready and isinstance(config, dict):
            service.wait_for("Start HTTP event loop <S2t>\n")
        return service

    yield start
    for service in services:
        try:
            if service.proc.poll() is None:
                service.exit()
            service.check_clean()
        finally:
            service.stop(signal.SIGKILL)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """A throw-away authority's certificate ("ca"), and for each of "good" (127.0.0.1 and
    localhost), "wrong_host" (another name) and "untrusted" (from an authority nobody
    trusts): its certificate file, key file and a server context."""
    folder = tmp_path_factory.mktemp("pki")
    authority, stranger = trustme.CA(), trustme.CA()
    authority.cert_pem.write_to_path(str(folder / "ca.pem"))
    pki = {"ca": str(folder / "ca.pem")}
    for name, cert in [("good", authority.issue_cert("127.0.0.1", "localhost")),
                       ("wrong_host", authority.issue_cert("elsewhere.test")),
                       ("untrusted", stranger.issue_cert("127.0.0.1"))]:
        pki[name] = (str(folder / f"{name}.pem"), str(folder / f"{name}-key.pem"),
                     ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER))
        cert.cert_chain_pems[0].write_to_path(pki[name][0])
        cert.private_key_pem.write_to_path(pki[name][1])
        cert.configure_cert(pki[name][2])
    return pki
