"""The service core over HTTP and HTTPS: start-up and its failures, the probes, the
tokens, refused bodies, callers that leave, and the orderly stop."""
import http.client
import json
import re
import resource
import signal
import socket
import ssl
import subprocess
import time

import pytest

from conftest import HANG, Answer, call, closed, closed_unanswered, cloud_section, eventually, free_port, samples



# The last: a valid file, but not the default brivel.json that is read without an argument.
@pytest.mark.parametrize("config, args, line", [
    ('{"http-server": {}}\n trailing', None, "line 2, column 2: The document root must not be followed"),
    ('{"google-cloud": {"call-timeout": 0}}', ["--check-config", "config.json"], "must be an integer from 1 to 3600"),
    ("{}", [], "[brivel.json]: No such file or directory"), ("{}", ["a", "b"], "Unknown arguments")])
def test_configuration_that_cannot_be_used_ends_with_255_and_says_why(start_service, config, args, line):
    service = start_service(config=config, args=args)
    assert service.wait() == 255
    assert line in service.output() and "Start HTTP event loop" not in service.output()


@pytest.mark.parametrize("args, line", [(["--check-config", "config.json"], "Configuration [config.json] is usable\n"),
                                        (["--version"], "s2t-server "), (["--help"], "Usage: s2t-server [CONFIG]")])
def test_a_check_help_or_version_ends_with_0_and_listens_nowhere(start_service, args, line):
    service = start_service({"address": "127.0.0.1", "port": 1}, args=args, ready=False)  # a port it could not bind
    assert service.wait() == 0 and line in service.output()


def test_certificate_that_cannot_be_used_ends_with_255_and_a_port_in_use_with_75(start_service, pki, tmp_path):
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        missing = str(tmp_path / "none.pem")
        for section in [{"port": holder.getsockname()[1]},
                        {"secure": True, "certificate-chain": pki["good"][0], "private-key": pki["untrusted"][1]},
                        {"secure": True, "certificate-chain": missing, "private-key": pki["good"][1]},
                        {"secure": True, "certificate-chain": pki["good"][0], "private-key": missing}]:
            service = start_service(section, ready=False)
            assert service.wait() == (75 if "port" in section else 255), section
            assert "Start HTTP event loop" not in service.output()
            assert ("Error  : Address already in use: it may pass, try again\n" in service.output()) == (
                "port" in section)
            # A file that cannot be read is named with the system's reason, not OpenSSL's "system lib".
            assert ("No such file or directory" in service.output()) == (missing in section.values())
            # The check finds what the start finds, but for the port: it binds nothing.
            if "port" not in section:
                check = start_service(section, args=["--check-config", "config.json"], ready=False)
                assert check.wait() == 255 and "Configuration [config.json] cannot be used\n" in check.output()


def test_tokens_guard_transcribe_and_exit_each_with_its_own(start_service):
    # Which token opens what is RequestPolicyTest's: here, that a refused /exit leaves the service running.
    service = start_service({"client-auth-token": "c-tok", "admin-auth-token": "a-tok"})
    assert service.call("GET", "/exit", headers=[("Authorization", "c-tok")])[:2] == (401, "Unauthorized")
    assert service.proc.poll() is None
    unguarded = start_service()
    assert unguarded.call("POST", "/transcribe", "[]", [("Authorization", "anything")]).status == 403
    # Anyone who reaches an address other than loopback could call them: said at start, and gauged.
    exposed = start_service({"address": "0.0.0.0", "client-auth-token": "c"})
    assert exposed.metric("s2t_open_endpoints") == 1 and unguarded.metric("s2t_open_endpoints") == 0
    assert "Warning: /exit answers anyone who reaches [0.0.0.0]: admin-auth-token is empty\n" in exposed.exit()


def test_callers_that_close_early_do_not_end_the_service(start_service):
    service = start_service()
    pipelined = b"GET /liveness HTTP/1.1\r\nHost: h\r\n\r\n" * 200
    for _ in range(20):
        # Half-close, then close once replies flow: the service's socket takes the
        # reset while it still has replies to write.
        with socket.create_connection(("127.0.0.1", service.port)) as sock:
            sock.sendall(pipelined)
            sock.shutdown(socket.SHUT_WR)
            assert sock.recv(1)
    assert service.call("GET", "/liveness").status == 200


def test_secure_listener_serves_https_and_nothing_in_plain_text(start_service, pki):
    service = start_service({"secure": True, "certificate-chain": pki["good"][0], "private-key": pki["good"][1],
                             "timeout": 1})
    service.tls = ssl.create_default_context(cafile=pki["ca"])
    assert service.call("GET", "/liveness", tls=service.tls).status == 200
    # TLS 1.2 without forward secrecy or without AEAD is refused; a handshake never begun is cut off.
    for ciphers in ("AES128-SHA", "ECDHE-RSA-AES128-SHA"):
        weak = ssl.create_default_context(cafile=pki["ca"])
        weak.maximum_version = ssl.TLSVersion.TLSv1_2
        weak.set_ciphers(ciphers)
        with pytest.raises((ssl.SSLError, ConnectionError)):
            service.call("GET", "/liveness", tls=weak)
    assert closed_unanswered(service.port)
    with pytest.raises((ConnectionError, http.client.HTTPException, socket.timeout)):
        service.call("GET", "/liveness")
    # The handshake is bounded as a whole, not byte by byte; TLS records that carry no request (key
    # updates) do not keep a connection open past its idle time-out.
    assert closed_while_trickling(service.port, b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", b"\x00")
    client = subprocess.Popen(["openssl", "s_client", "-connect", f"127.0.0.1:{service.port}", "-tls1_3",
                               "-CAfile", pki["ca"]], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + HANG
    try:
        while client.poll() is None and time.monotonic() < deadline:
            client.stdin.write(b"K\n")  # a key update, asking for one back
            client.stdin.flush()
            time.sleep(0.3)
    except BrokenPipeError:  # closed by the service
        pass
    closed = client.poll() is not None or client.wait(HANG) is not None
    client.kill()
    assert closed and time.monotonic() < deadline
    # A client asking for new keys over and over is cut off, whatever its time-out.
    flood = subprocess.Popen(["openssl", "s_client", "-connect", f"127.0.0.1:{service.port}", "-tls1_3"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while flood.poll() is None:
            flood.stdin.write(b"k\n")
            flood.stdin.flush()
            time.sleep(0.02)
    except BrokenPipeError:
        pass
    flood.wait(HANG)
    scrape = samples(service.call("GET", "/metrics", tls=service.tls).body.decode())
    assert scrape[("s2t_connections_closed_total", 'reason="key_updates"')] == 1


def test_limits_refuse_oversized_requests_and_close_idle_connections(start_service):
    service = start_service({"max-body-size": 1000, "max-header-size": 2000, "timeout": 1})
    # Sent whole, as a client that does not look for an early answer does: it must get the 413, not a reset.
    assert service.call("POST", "/transcribe", b"x" * (8 << 20)).status == 413
    # libevent 2.1 answers a header block over its limit as a bad request.
    assert service.call("GET", "/liveness", headers=[("X", "y" * 3000)]).status == 400
    assert service.call("POST", "/transcribe", json.dumps({"audio": "x" * 900})).status == 403
    assert closed_unanswered(service.port)
    # A byte every tenth of a second keeps an idle time-out from ever firing; the request's own clock does not.
    assert closed_while_trickling(service.port, b"GET /liveness HTTP/1.1\r\nHost: x\r\nX-Slow: ", b"a")
    assert closed_while_trickling(service.port, b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: 999\r\n\r\n", b" ")
    # Each request on a kept-alive connection gets a clock of its own: one that took most of its time to
    # arrive leaves the connection its whole idle time-out for the next.
    with socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as kept:
        for _ in range(2):
            kept.sendall(b"GET /liveness HTTP/1.1\r\nHost: x\r\n")
            time.sleep(0.6)
            kept.sendall(b"\r\n")
            reply = http.client.HTTPResponse(kept)
            reply.begin()
            assert (reply.status, reply.read()) == (200, b"")
            time.sleep(0.6)
    out = service.exit()  # each close by the stage it came in
    for why in ["idle past the time-out", "request head not whole within header-timeout",
                "request not whole within its time"]:
        assert f": {why}\n" in out, why



def test_a_reader_that_stops_reading_the_trace_costs_whole_lines_not_the_loop(start_service):
    service = start_service({"trace-buffer-size": 65536}, pipe=True)
    # The start-up lines have been read; nobody reads the pipe now.
    body = b"x" * (2 << 20)
    assert service.call("POST", "/transcribe", body).status == 403
    assert service.call("GET", "/liveness?after").status == 200
    # Read again: what the pipe took of the body, its line ended, the count of what was dropped, whole lines after.
    found = service.wait_for(r"Input data: <<<\n(x*)\nTrace: \[(\d+)\] bytes dropped\nRequest failed\n"
                             r"Received a GET request for /liveness\?after\nHeaders:\n  Host: 127.0.0.1\n"
                             r"  Content-Length: 0\n  Connection: close\nInput data: <<<\n>>>\n")
    assert found[1] and int(found[2]) == len(body) - len(found[1]) + len(">>>")


def test_interim_100_continue_gives_a_trickled_request_no_more_time(start_service):
    # Header and body come in over longer than the time-out, with the service's 100 Continue in between:
    # the request is still closed unanswered at its time-out, not given a fresh one by the interim reply.
    service = start_service({"timeout": 2})
    head = b"POST /transcribe HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 12\r\n\r\n"
    received = b""
    with socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as sock:
        try:
            for piece in [head[i:i + 8] for i in range(0, len(head), 8)] + [b"{"] + [b" "] * 10 + [b"}"]:
                sock.sendall(piece)
                time.sleep(0.14 if len(piece) > 1 else 0.1)  # the header in 1.6 s, the body in 1.2 s more
            while chunk := sock.recv(100):
                received += chunk
        except (BrokenPipeError, ConnectionResetError):
            pass
    assert received in (b"", b"HTTP/1.1 100 Continue\r\n\r\n"), received


def closed_while_trickling(port, head, byte):
    """Whether the service closes a connection that sends `head`, then `byte` every tenth of a second."""
    deadline = time.monotonic() + HANG
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(head)
        s.settimeout(0.1)
        while time.monotonic() < deadline:
            try:
                s.sendall(byte)
                if s.recv(100) == b"":
                    return True
            except socket.timeout:
                continue
            except (ConnectionResetError, BrokenPipeError):
                return True
    return False


# With no descriptor left, accepting pauses (one trace line, no spinning) and resumes
# once one is free; a probe on a connection already open is answered meanwhile.
def test_descriptor_exhaustion_pauses_accepting_once(start_service):
    # Started with the customary soft limit, it takes the hard one.
    service = start_service(prefix=["prlimit", "--nofile=1024:4096"])
    assert resource.prlimit(service.proc.pid, resource.RLIMIT_NOFILE) == (4096, 4096)
    probe = http.client.HTTPConnection("127.0.0.1", service.port, timeout=HANG)
    probe.request("GET", "/liveness")
    assert probe.getresponse().read() == b""
    give_back = service.starve_descriptors()
    with socket.create_connection(("127.0.0.1", service.port)):
        service.wait_for("Accepting paused: Too many open files")
        probe.request("GET", "/liveness")
        assert probe.getresponse().status == 200
        give_back()
        assert service.call("GET", "/readiness").status == 200
    assert service.exit().count("Accepting paused") == 1


def exchange(port, raw, sends=()):
    """Sends `raw`, then each of `sends` after the previous answer began, and reads until the service closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=HANG) as sock:
        sock.sendall(raw)
        received = b""
        for more in sends:
            received += sock.recv(65536)
            sock.sendall(more)
        try:
            while chunk := sock.recv(65536):
                received += chunk
        except ConnectionResetError:
            pass
        return received


# Each would let a proxy in front and the service read different requests out of the same bytes, or
# hold the body budget for a body that is never taken: refused at its head, nothing of it reserved
# or traced, the connection closed. Every rule is RequestPolicyTest's; these are the ways to the wire.
FRAMING = [
    (b"POST /liveness HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 38\r\n\r\n"
     b"GET /exit HTTP/1.1\r\nHost: x\r\n\r\n1234567", [400]),
    (b"GET /liveness HTTP/1.1\r\nHost: x\r\n\r\nPOST /liveness HTTP/1.1\r\nHost: x\r\nContent-Length: 99\r\n\r\n",
     [200, 413]),
    (b"POST /transcribe HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: xchunked\r\n\r\nGET /exit HTTP/1.1\r\n\r\n", [501]),
    (b"POST /transcribe HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 1001\r\n\r\n", [413]),
]


def test_framing_a_proxy_could_read_otherwise_and_bodies_not_taken_are_refused_at_the_head(start_service):
    service = start_service({"max-body-size": 1000})
    for raw, statuses in FRAMING:
        received = exchange(service.port, raw)
        assert [int(status) for status in re.findall(rb"HTTP/1.1 (\d+) ", received)] == statuses, raw
        assert received.endswith(b"Connection: close\r\nContent-Length: 0\r\n\r\n"), raw
    assert service.metric("s2t_buffered_body_bytes") == 0
    # HEAD is answered with the length GET would have, and no body: the next reply starts where it should.
    connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=HANG)
    connection.request("HEAD", "/metrics")
    head = connection.getresponse()
    assert (head.status, head.read(), int(head.headers["Content-Length"]) > 1000) == (200, b"", True)
    connection.request("GET", "/liveness")
    assert connection.getresponse().status == 200
    connection.close()
    out = service.exit()
    assert out.count("Request refused before its body: [") == len(FRAMING)
    assert out.count("Input data: <<<") == 3  # the served: the pipelined probe, the probe after HEAD, /exit


def test_transcriptions_refused_before_their_body_is_read(start_service):
    # With no time-out, only the refusal itself may close a connection, and nothing may cut a slow body.
    service = start_service({"client-auth-token": "c", "max-buffered-bytes": 100000, "timeout": 0})
    head = "POST /transcribe HTTP/1.1\r\nHost: x\r\nAuthorization: {}\r\nContent-Length: {}\r\n\r\n"
    # Only the head is sent: answered without the body, the connection closed (a wrong token: test_hostile_load's).
    assert exchange(service.port, head.format("c", 200000).encode()).startswith(b"HTTP/1.1 503 Service Unavailable")
    assert exchange(service.port, b"POST /transcribe HTTP/1.1\r\nHost: x\r\nAuthorization: c\r\nTransfer-Encoding: chunked\r\n"
                    b"Connection: close\r\n\r\n2\r\n{}\r\n0\r\n\r\n").startswith(b"HTTP/1.1 403 Error")  # read as it comes
    # The budget is shared: a body still arriving holds its part of it.
    with socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as first:
        first.sendall(head.format("c", 60000).encode() + b" " * 30000)
        assert service.call("GET", "/liveness").status == 200  # by then the first head has been taken
        assert exchange(service.port, head.format("c", 60000).encode()).startswith(b"HTTP/1.1 503 ")
        time.sleep(1)  # a slow body
        first.sendall(b" " * 30000)
        assert first.recv(100).startswith(b"HTTP/1.1 403 Error")  # not JSON, but read: the budget is back
    assert service.call("POST", "/transcribe", b" " * 60000, [("Authorization", "c")]).status == 403
    out = service.exit()
    assert out.count("No room for the body of [POST /transcribe]: [200000] bytes") == 1
    assert out.count("No room for the body of [POST /transcribe]: [60000] bytes") == 1


def test_connections_at_their_cap_close_the_idle_first_then_refuse_new_ones(start_service, cloud):
    stand_in = cloud()
    stand_in.script = lambda request: Answer(delay=None)  # holds each transcription until it stops
    service = start_service({"max-connections": 3, "max-connection-requests": 2}, cloud_section(stand_in.url))
    ask = b"GET /liveness HTTP/1.1\r\nHost: x\r\n\r\n"
    idle = [socket.create_connection(("127.0.0.1", service.port), timeout=HANG) for _ in range(3)]
    for sock in idle:
        sock.sendall(ask)
        assert sock.recv(1000).startswith(b"HTTP/1.1 200 OK")
    newest = socket.create_connection(("127.0.0.1", service.port), timeout=HANG)
    assert idle[0].recv(100) == b""  # idle the longest: closed to make room
    # The second request on a connection is its last: a bounded number per connection.
    newest.sendall(ask + ask)
    replies = b""
    while chunk := newest.recv(1000):
        replies += chunk
    assert replies.count(b"200 OK") == 2 and replies.count(b"Connection: close") == 1, replies
    busy = idle[1:] + [socket.create_connection(("127.0.0.1", service.port), timeout=HANG)]
    for sock in busy:
        sock.sendall(b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: 12\r\n\r\n{\"audio\":\"\"}")
    eventually(lambda: len(stand_in.received) == 3)  # the service has every one: none is idle
    with socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as refused:
        assert refused.recv(100) == b""
    stand_in.stopping.set()  # the calls fail, the callers are answered, their connections idle
    assert all(sock.recv(1000).startswith(b"HTTP/1.1 401 Method Failed") for sock in busy)
    out = service.exit()
    assert out.count("Connections at their cap [3]: idle ones closed first, then new ones refused\n") >= 1
    assert out.count("Connection closed: over the cap on connections, none idle to close\n") == 1
    assert out.count("Connection closed: idle the longest, closed for a new connection at the cap\n") >= 1


def answered(port):
    try:
        return call(port, "GET", "/liveness").status == 200
    except (ConnectionError, http.client.HTTPException):
        return False


def test_heads_that_come_slowly_go_first_at_the_cap_and_the_cap_fits_the_descriptors(start_service):
    service = start_service({"max-connections": 2, "header-timeout": 2})
    slow = [socket.create_connection(("127.0.0.1", service.port), timeout=HANG) for _ in range(2)]
    for sock in slow:
        sock.sendall(b"GET /liveness HTTP/1.1\r\nHost: x\r\n")  # a head that never ends
    # Refused while the heads are young; once half of header-timeout has passed, one makes room.
    eventually(lambda: answered(service.port))
    assert "Connection closed: head the slowest, closed for a new connection at the cap\n" in service.exit()
    # A cap past what the descriptors allow is lowered to it, and says so.
    capped = start_service({"max-connections": 5000, "trace-rate": 100}, prefix=["prlimit", "--nofile=256:256"])
    assert capped.call("POST", "/transcribe", "x" * 5000).status == 403
    assert capped.metric("s2t_trace_bytes_dropped_total") > 5000  # the trace's bytes a second are bounded
    assert "max-connections [5000] is more than [256] descriptors allow: [96] it is\n" in capped.output()


# The stall is answered 503 whichever clock ends it first: the drain's, or its own.
@pytest.mark.parametrize("http, ended", [({"drain-timeout": 2, "timeout": 3600}, "Drain time-out: 1 in flight"),
                                         ({"drain-timeout": 3600, "timeout": 2}, "Drained: no request in flight")])
def test_sigterm_lets_uploads_in_progress_finish_or_answers_them_503(start_service, http, ended):
    service = start_service(http)
    head = b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n"
    with socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as finishing, \
            socket.create_connection(("127.0.0.1", service.port), timeout=HANG) as stalling:
        finishing.sendall(head + b"12345")
        stalling.sendall(head + b"12345")
        eventually(lambda: service.metric("s2t_buffered_body_bytes") == 20)  # both heads read: both have begun
        service.proc.send_signal(signal.SIGTERM)
        service.wait_for("Received signal 15")
        finishing.sendall(b"67890")
        assert finishing.recv(100).startswith(b"HTTP/1.1 403 Error")  # served: it began before the signal
        assert stalling.recv(1000).startswith(b"HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n")
    assert service.wait() == 0
    assert ended in service.output()


def test_sighup_is_ignored_and_sigterm_with_nothing_in_flight_ends_at_once(start_service):
    service = start_service({"drain-timeout": 3600})
    service.proc.send_signal(signal.SIGHUP)
    service.wait_for("Received signal 1: ignored, there is no configuration to reload\n")
    assert service.call("GET", "/liveness").status == 200
    service.proc.send_signal(signal.SIGTERM)
    assert service.wait() == 0  # within the hang guard: there is no drain to wait out
