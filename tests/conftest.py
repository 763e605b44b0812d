"""Fixtures that drive the real binaries on loopback: the service with a temporary
configuration, the cloud emulator, a scriptable stand-in for the cloud, a throw-away
PKI and a name server stub. Every process is ended in order, its exit status checked
and its output searched for sanitizer reports, so a memory error anywhere fails."""
import http.client
import http.server
import json
import os
import re
import resource
import select
import signal
import socket
import ssl
import struct
import subprocess
import threading
import time
from collections import namedtuple
from pathlib import Path

import pytest
import trustme

HANG = 60  # seconds: a guard against hangs only; sanitizer builds are slow
SANITIZER_REPORT = re.compile(r"ERROR: \w+Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")
TESTDATA = "/usr/share/pocketsphinx/test/data"

Reply = namedtuple("Reply", "status reason headers body")


def pytest_addoption(parser):
    parser.addoption("--server", help="absolute path of the s2t-server binary under test")
    parser.addoption("--emulator", help="absolute path of the s2t-cloud-emulator binary under test")
    parser.addoption("--fault-requests", type=int, default=240, help="requests of the fault-load run")
    parser.addoption("--full", action="store_true", help="the hostile load at the scale of the red team's report")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def call(port, method, target, body=b"", headers=(), tls=None, timeout=HANG):
    """One request on a fresh connection to 127.0.0.1:port, `headers` a list of (name,
    value) sent in order after Host; the reply, read to its end."""
    body = body.encode() if isinstance(body, str) else body
    head = "".join(f"{name}: {value}\r\n" for name, value in headers)
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as raw:
        sock = tls.wrap_socket(raw, server_hostname="127.0.0.1") if tls else raw
        sock.sendall(f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n{head}Content-Length: {len(body)}\r\n"
                     "Connection: close\r\n\r\n".encode() + body)
        reply = http.client.HTTPResponse(sock)
        reply.begin()
        return Reply(reply.status, reply.reason, reply.headers, reply.read())


def leave_early(port, audio):
    """A caller that sends its request and goes away without reading the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=HANG) as s:
        body = json.dumps({"audio": audio}).encode()
        s.sendall(b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))


def eventually(check):
    deadline = time.monotonic() + HANG
    while not check():
        assert time.monotonic() < deadline, "still not so after the hang guard"
        time.sleep(0.01)


def usage(pid, memory="VmRSS"):
    """Descriptors, and megabytes of resident memory (VmHWM: at its peak)."""
    status = open(f"/proc/{pid}/status").read()
    return len(os.listdir(f"/proc/{pid}/fd")), int(re.search(memory + r":\s+(\d+)", status).group(1)) / 1024


def sanitized(pid):
    """Whether the process runs with AddressSanitizer, whose allocator keeps freed memory a while."""
    return "libasan" in open(f"/proc/{pid}/maps").read()


def samples(text):
    """The scrape as {(name, labels): value}."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            metric, _, labels = name.partition("{")
            found[(metric, labels.rstrip("}"))] = float(value)
    return found


def black_hole(host, port=0):
    """A listener on `host` whose queue is full, so that connection attempts to it are dropped, never
    answered nor refused (a firewall that drops them); its port, and what keeps it so."""
    listener = socket.socket()
    listener.bind((host, port))
    listener.listen(0)
    fillers = [socket.socket() for _ in range(3)]
    for filler in fillers:
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
    time.sleep(0.1)  # the handshakes of the fillers, on loopback
    return listener.getsockname()[1], [listener] + fillers


def closed(sock):
    """Whether the service closes `sock` without a byte more."""
    try:
        return sock.recv(100) == b""
    except ConnectionResetError:
        return True


def closed_unanswered(port, sent=b""):
    """Whether the service closes a connection that sent `sent` and then nothing."""
    with socket.create_connection(("127.0.0.1", port), timeout=HANG) as sock:
        sock.sendall(sent)
        return closed(sock)


class Process:
    """A binary run in a folder of its own, with standard output and error in one file; or with
    standard output into a pipe that is read only when the output is asked for."""

    def __init__(self, argv, folder, env=None, pipe=False):
        self.log, self.piped = folder / "output.log", b""
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen([str(a) for a in argv], cwd=folder, stdout=subprocess.PIPE if pipe else out,
                                         stderr=out if pipe else subprocess.STDOUT, env=dict(os.environ, **(env or {})))

    def output(self):
        pipe = self.proc.stdout
        while pipe and not pipe.closed and select.select([pipe], [], [], 0)[0]:
            if not (chunk := os.read(pipe.fileno(), 1 << 16)):
                break
            self.piped += chunk
        return (self.piped + self.log.read_bytes()).decode(errors="replace")

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
            if self.proc.stdout:
                self.output()
                self.proc.stdout.close()

    def starve_descriptors(self):
        """Leaves the process no free descriptor; returns what gives them back."""
        pid = self.proc.pid
        free = sorted(set(range(4096)) - {int(fd) for fd in os.listdir(f"/proc/{pid}/fd")})
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (free[0], limits[1]))
        return lambda: resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)

    def check_clean(self):
        assert not SANITIZER_REPORT.search(self.output()), self.output()

    def finish(self, status=0, sig=signal.SIGTERM):
        """Stops it with `sig` if it still runs; checks its exit status and output."""
        assert self.stop(sig) == status, self.output()
        self.check_clean()


class Service(Process):
    config = None  # as written to its configuration file
    tls = None  # the client context for an HTTPS listener

    @property
    def port(self):
        return self.config["http-server"]["port"]

    def call(self, method, target, body=b"", headers=(), tls=None):
        return call(self.port, method, target, body, headers, tls)

    def metric(self, name, labels=""):
        return samples(self.call("GET", "/metrics").body.decode())[(name, labels)]

    def transcribe(self, audio, timeout=HANG, **members):
        return call(self.port, "POST", "/transcribe", json.dumps({"audio": audio, **members}), timeout=timeout)

    def exit(self):
        """An authorised /exit, answered before the service ends with status 0."""
        token = self.config["http-server"].get("admin-auth-token", "")
        assert self.call("GET", "/exit", headers=[("Authorization", token)], tls=self.tls).status == 200
        assert self.wait() == 0
        return self.output()


@pytest.fixture
def start_service(request, tmp_path):
    """Starts the service on a free loopback port; `config` as text replaces the whole file; with
    `pipe`, its standard output goes into a pipe (see Process)."""
    services = []

    def start(http=None, cloud=None, config=None, env=None, prefix=(), args=None, file="config.json", ready=True,
              pipe=False):
        folder = tmp_path / f"service{len(services)}"
        folder.mkdir()
        if config is None:
            config = {"http-server": {"address": "127.0.0.1", "port": free_port(), **(http or {})},
                      "google-cloud": cloud or {}}
        (folder / file).write_text(config if isinstance(config, str) else json.dumps(config))
        service = Service([*prefix, request.config.getoption("--server"), *([file] if args is None else args)], folder,
                          env, pipe)
        service.config = config
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


def cloud_section(speech, language=None, key=""):
    return {"speech-service-endpoint": speech, "language-service-endpoint": language or speech, "access-key": key}


# What the stand-in does with one request, after `delay` seconds (None: stays silent
# until it stops): answer, or close without answering.
Answer = namedtuple("Answer", "status reason body headers delay close", defaults=(200, "OK", b"", (), 0, False))
Received = namedtuple("Received", "target headers body raw")


class StandInHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        head = "".join(f"{name}: {value}\r\n" for name, value in self.headers.items())
        request = Received(self.path, self.headers, body, f"{self.requestline}\r\n{head}\r\n".encode() + body)
        self.server.received.append(request)
        self.server.peers_seen.add(self.client_address)
        answer = self.server.script(request)
        self.close_connection = not self.server.keep_alive
        if self.server.stopping.wait(answer.delay) or answer.close:
            self.close_connection = True
            return
        self.send_response_only(answer.status, answer.reason)
        for name, value in answer.headers:
            self.send_header(name, value)
        if not any(name.lower() == "content-length" for name, _ in answer.headers):  # else a truncated reply
            self.send_header("Content-Length", str(len(answer.body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(answer.body)

    do_GET = do_DELETE = do_POST


class CloudStandIn(http.server.ThreadingHTTPServer):
    """Python's own HTTP server in place of both cloud services; `script` maps each
    request to an Answer. With `tls` (a server context) it speaks HTTPS. It closes each
    connection after its answer, saying so, unless `keep_alive`; `peers_seen` holds the
    client address of every connection a request came on."""
    daemon_threads = True
    # Many callers at once each open two connections to it: a short backlog drops their
    # connection attempts, and the retried ones run into the service's call time-out.
    request_queue_size = 1024

    def __init__(self, tls=None, host="127.0.0.1", port=0):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        super().__init__((host, port), StandInHandler)
        self.tls, self.received, self.handshake_failures, self.resumed, self.peers = tls, [], 0, [], []
        self.keep_alive, self.peers_seen, self.open_sockets = False, set(), []
        self.script = lambda request: Answer()
        self.stopping = threading.Event()
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    @property
    def url(self):
        host = f"[{self.server_address[0]}]" if self.address_family == socket.AF_INET6 else self.server_address[0]
        return f"{'https' if self.tls else 'http'}://{host}:{self.server_port}"

    def finish_request(self, sock, address):
        if self.tls:
            try:
                sock = self.tls.wrap_socket(sock, server_side=True)
            except (ssl.SSLError, OSError):
                self.handshake_failures += 1
                return
            self.resumed.append(sock.session_reused)
            self.peers.append(sock.getpeercert(binary_form=True))
        self.open_sockets.append(sock)
        with sock:
            super().finish_request(sock, address)

    def drop_connections(self):
        """Closes every connection it has taken, as an endpoint closes idle ones."""
        for sock in self.open_sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()


@pytest.fixture
def cloud():
    """Starts stand-ins for the cloud; `cloud()` for HTTP, `cloud(context)` for HTTPS."""
    stand_ins = []

    def start(tls=None, host="127.0.0.1", port=0):
        stand_ins.append(CloudStandIn(tls, host, port))
        return stand_ins[-1]

    yield start
    for stand_in in stand_ins:
        stand_in.stop()


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """A throw-away authority's certificate ("ca"), and for each of "good" (127.0.0.1,
    localhost and tls.s2t-test), "wrong_host" (another name) and "untrusted" (from an authority nobody
    trusts): its certificate file, key file and a server context."""
    folder = tmp_path_factory.mktemp("pki")
    authority, stranger = trustme.CA(), trustme.CA()
    authority.cert_pem.write_to_path(str(folder / "ca.pem"))
    pki = {"ca": str(folder / "ca.pem")}
    for name, cert in [("good", authority.issue_cert("127.0.0.1", "localhost", "tls.s2t-test")),
                       ("wrong_host", authority.issue_cert("elsewhere.test")),
                       ("untrusted", stranger.issue_cert("127.0.0.1"))]:
        pki[name] = (str(folder / f"{name}.pem"), str(folder / f"{name}-key.pem"),
                     ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER))
        cert.cert_chain_pems[0].write_to_path(pki[name][0])
        cert.private_key_pem.write_to_path(pki[name][1])
        cert.configure_cert(pki[name][2])
    return pki


def dns_reply(query, names):
    """The reply to one query: the addresses of the asked type that `names` gives the name, with their
    time to live, or "no such name"."""
    end, labels = 12, []
    while query[end]:
        labels.append(query[end + 1:end + 1 + query[end]])
        end += 1 + query[end]
    name, kind = b".".join(labels).decode().lower(), struct.unpack(">H", query[end + 1:end + 3])[0]
    addresses, ttl = names.get(name, (None, 0))
    family = {1: socket.AF_INET, 28: socket.AF_INET6}.get(kind)
    data = [socket.inet_pton(family, a) for a in addresses or () if family and (":" in a) == (kind == 28)]
    head = query[:2] + bytes([0x80 | (query[2] & 0x79), 0x80 | (3 if addresses is None else 0)])
    return (name, kind), head + struct.pack(">4H", 1, len(data), 0, 0) + query[12:end + 5] + b"".join(
        b"\xc0\x0c" + struct.pack(">HHIH", kind, 1, ttl, len(d)) + d for d in data)


@pytest.fixture
def name_server(tmp_path):
    """Starts a name server on loopback that answers A and AAAA queries for `names` ({name: (addresses,
    ttl)}) after `delay` seconds and "no such name" for others; never with `answer=False`, and only
    queries of the listed types with `answer=(type, ...)`. Returns a command prefix that runs a program
    in a mount namespace where it is the only name server and the hosts file names ip6.s2t-test (::1)
    and `hosts`, so no query leaves. `name_server.queries` lists every query of the test as (name, type)."""
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("mount namespaces are not available")
    sockets, stop = [], threading.Event()

    def serve(sock, answer, names, delay):
        while not stop.is_set():
            try:
                query, peer = sock.recvfrom(512)
            except socket.timeout:
                continue
            except OSError:  # closed at the end of the test
                return
            asked, reply = dns_reply(query, names)
            start.queries.append(asked)
            if (answer is True or asked[1] in (answer or ())) and not stop.wait(delay):
                sock.sendto(reply, peer)

    def start(answer=True, names=None, delay=0, hosts=""):
        sockets.append(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        sockets[-1].bind(("127.0.0.1", 0))
        sockets[-1].settimeout(0.05)
        threading.Thread(target=serve, args=(sockets[-1], answer, names or {}, delay), daemon=True).start()
        resolv, hosts_file = tmp_path / f"resolv{len(sockets)}.conf", tmp_path / f"hosts{len(sockets)}"
        resolv.write_text(f"nameserver 127.0.0.1:{sockets[-1].getsockname()[1]}\n")
        hosts_file.write_text("::1 ip6.s2t-test\n" + hosts)
        return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && mount --bind "$1" /etc/hosts && '
                'shift && exec "$@"', resolv, hosts_file]

    start.queries = []
    yield start
    stop.set()
    for sock in sockets:
        sock.close()


METADATA_TOKEN = "/computeMetadata/v1/instance/service-accounts/default/token"


class Emulator(Process):
    headers = []  # sent with every call: a bearer token, when it has an account

    def __init__(self, binary, folder, *args):
        super().__init__([binary, "--port", 0, *args], folder)
        self.port = int(self.wait_for(r"listening on \S+:(\d+)\n").group(1))

    def call(self, target, document=b"", method="POST", headers=()):
        body = document if isinstance(document, (str, bytes)) else json.dumps(document)
        return call(self.port, method, target, body, [("Content-Type", "application/json"), *self.headers, *headers])


def google_emulator(binary, folder, *args):
    """The emulator with a service account of its own: a key file from scripts/make-credentials (`account`)
    whose token URI is the emulator's, on a free port; its calls carry a token (`token`) from it."""
    port, key_file = free_port(), folder / "key.json"
    subprocess.run([Path(__file__).resolve().parent.parent / "scripts/make-credentials", "--token-uri",
                    f"http://127.0.0.1:{port}/token", key_file], check=True)
    emulator = Emulator(binary, folder, "--port", port, "--credentials", key_file, *args)
    emulator.account = json.loads(key_file.read_text())
    reply = call(port, "GET", METADATA_TOKEN, headers=[("Metadata-Flavor", "Google")])
    emulator.token = json.loads(reply.body)["access_token"]
    emulator.headers = [("Authorization", "Bearer " + emulator.token)]
    return emulator


@pytest.fixture(scope="module")
def emulator(request, tmp_path_factory):
    """The emulator with the real speech model, as an operator runs it offline."""
    binary = request.config.getoption("--emulator")
    emulator = Emulator(binary, tmp_path_factory.mktemp("emulator"), "--prefix", "/v1", "--api-key", "cloud-key",
                        "--workers", 2)
    yield emulator
    emulator.finish()
