"""Many hostile connections at once, as a red team sends them: at a reduced scale in the test command, at the red
team's own with --full. Each checks what the service still holds (memory, descriptors) and that /liveness answers
meanwhile; the bounds catch a regression, not noise, and the figures are printed for the record (pytest -s)."""
import signal
import socket
import ssl
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import HANG, Answer, closed, cloud_section, eventually, sanitized, usage

MIB = 1 << 20


def liveness_seconds(port):
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=HANG) as sock:
        sock.sendall(b"GET /liveness HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        assert sock.recv(100).startswith(b"HTTP/1.1 200")
    return time.monotonic() - started


def opened(port, count):
    return [socket.create_connection(("127.0.0.1", port), timeout=HANG) for _ in range(count)]


def send(sock, data):
    """Sends what the service lets through: a refused upload is cut off."""
    try:
        sock.sendall(data)
    except (BrokenPipeError, ConnectionResetError):
        pass


@pytest.fixture
def scale(request):
    return (lambda reduced, full: full) if request.config.getoption("--full") else (lambda reduced, full: reduced)


def test_uploads_without_a_token_or_over_the_budget_hold_no_memory(start_service, scale):
    """Uploads of 16 MiB, all but their last byte, refused or then abandoned; and anonymous heads
    declaring 256 MiB, alone, pipelined or to endpoints that take no body."""
    service = start_service({"client-auth-token": "c", "max-buffered-bytes": 32 * MIB})
    _, before = usage(service.proc.pid)
    length = f"Content-Length: {256 * MIB}\r\n\r\n"
    heads = [f"POST {target} HTTP/1.1\r\nHost: x\r\n{length}".encode() for target in
             ("/liveness", "http://x/transcribe", "/transcribe#x")]
    heads.append(b"GET /liveness HTTP/1.1\r\nHost: x\r\n\r\n" + heads[0])
    socks = opened(service.port, scale(100, 1000))
    with ThreadPoolExecutor(16) as pool:
        list(pool.map(lambda pair: send(pair[1], heads[pair[0] % len(heads)]), enumerate(socks)))
    assert all(b"HTTP/1.1 413 " in sock.makefile("rb").read() for sock in socks)  # and closed
    assert service.metric("s2t_buffered_body_bytes") == 0
    for sock in socks:
        sock.close()
    for token, count in (("wrong", scale(8, 60)), ("c", scale(6, 20))):
        head = f"POST /transcribe HTTP/1.1\r\nHost: x\r\nAuthorization: {token}\r\nContent-Length: {16 * MIB}\r\n\r\n".encode()
        socks = opened(service.port, count)
        body = b" " * (16 * MIB - 1) if token == "c" else b""
        with ThreadPoolExecutor(count) as pool:
            list(pool.map(lambda sock: send(sock, head + body), socks))
        if token != "c":  # refused before the body is sent
            assert all(sock.recv(100).startswith(b"HTTP/1.1 401 ") for sock in socks)
        latency, peak = liveness_seconds(service.port), usage(service.proc.pid, "VmHWM")[1]
        for sock in socks:
            sock.close()
        print(f"\n{count} uploads, token {token}: peak RSS {peak:.0f} MB (from {before:.0f}), /liveness {latency * 1000:.0f} ms")
        assert latency < 5 and (sanitized(service.proc.pid) or peak < before + 32 + 24)
    # Memory of abandoned uploads comes back as that of replies does.
    if not sanitized(service.proc.pid):
        eventually(lambda: usage(service.proc.pid)[1] < before + 16)


def test_bodies_built_to_be_heavy_are_refused_without_holding_the_loop(start_service, scale):
    """Millions of empty alternatives, deep nesting, several at once."""
    service = start_service({"client-auth-token": "c"})
    size = scale(4, 16) * MIB
    bodies = [b'{"language-alternatives":[' + b'"",' * (size // 3 - 10) + b'""]}',
              b'{"x":' + b"[" * (size - 10) + b"]}"]
    before = usage(service.proc.pid)[1]
    with ThreadPoolExecutor(4) as pool:
        replies = pool.map(lambda body: service.call("POST", "/transcribe", body, [("Authorization", "c")]).status,
                           bodies * 2)
        latency = liveness_seconds(service.port)
        assert list(replies) == [403] * 4
    peak = usage(service.proc.pid, "VmHWM")[1]
    print(f"\nheavy bodies of {size >> 20} MiB: /liveness {latency * 1000:.0f} ms, peak RSS {peak:.0f} MB (from {before:.0f})")
    assert latency < 5 and (sanitized(service.proc.pid) or peak < before + 8 * size // MIB + 16)


def test_idle_and_slow_connections_at_the_descriptor_limit_leave_room_for_probes(start_service, scale, pki):
    """Kept-alive connections and heads never finished, beyond the descriptor limit, and handshakes trickled."""
    service = start_service({"header-timeout": 2}, prefix=["prlimit", f"--nofile={scale(256, 1024)}"])
    fds_before = usage(service.proc.pid)[0]
    secure = start_service({"timeout": 2, "secure": True, "certificate-chain": pki["good"][0],
                            "private-key": pki["good"][1]})
    secure.tls = ssl.create_default_context(cafile=pki["ca"])
    idle = opened(service.port, scale(300, 1100))  # more than the service could take
    for sock in idle:
        sock.sendall(b"GET /liveness HTTP/1.1\r\nHost: x\r\n\r\n")
    for sock in idle:  # each answered or closed to make room: none is left mid-request for the probe
        closed(sock)
    latency = liveness_seconds(service.port)
    fds = usage(service.proc.pid)[0]
    print(f"\n{len(idle)} kept-alive connections at a limit of {scale(256, 1024)}: {fds} descriptors, "
          f"/liveness {latency * 1000:.0f} ms")
    assert latency < 5 and fds < scale(256, 1024)
    for sock in idle:
        sock.close()
    slow = opened(service.port, scale(300, 1100))
    for sock in slow:
        send(sock, b"GET /liveness HTTP/1.1\r\nX: ")
    time.sleep(1.1)  # half of header-timeout: the slowest heads may now make room
    assert max(liveness_seconds(service.port) for _ in range(scale(20, 88))) < 5
    for sock in slow:
        sock.close()
    eventually(lambda: usage(service.proc.pid)[0] == fds_before)
    trickling = opened(secure.port, scale(50, 500))
    for sock in trickling:
        sock.sendall(b"\x16\x03\x01\x02\x00\x01")  # a ClientHello's start, and no more
    assert all(closed(sock) for sock in trickling)  # at the time-out, not held
    for sock in trickling:
        sock.close()


def test_sigterm_leaves_no_upload_without_a_status(start_service, scale):
    """SIGTERM while uploads are still sending their bodies."""
    service = start_service({"drain-timeout": 1})
    count = scale(50, 200)
    head = b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"
    socks = opened(service.port, count)
    for sock in socks:
        sock.sendall(head + b" " * 50000)
    eventually(lambda: service.metric("s2t_buffered_body_bytes") == count * 100000)  # every upload has begun
    service.proc.send_signal(signal.SIGTERM)
    statuses = [sock.recv(100)[:12] for sock in socks]
    assert statuses == [b"HTTP/1.1 503"] * count, set(statuses)
    assert service.wait() == 0
    for sock in socks:
        sock.close()


def test_cloud_replies_larger_than_the_budget_hold_no_more_than_it(start_service, scale, cloud):
    """Many small requests whose cloud replies are 12 MB each: what is held stays within the budget."""
    stand_in = cloud()
    padding = b" " * (12 * 1000 * 1000)
    stand_in.script = lambda request: Answer(body=b'{"results":[{"alternatives":[{"transcript":"x"}]}]}' + padding
                                             if b'"audio"' in request.body else b'{"documentSentiment":{}}')
    service = start_service({"max-buffered-bytes": 32 * MIB},
                            {**cloud_section(stand_in.url), "max-reply-size": 16 * MIB, "call-timeout": 60})
    _, before = usage(service.proc.pid)
    count = scale(10, 40)
    with ThreadPoolExecutor(count) as pool:
        statuses = list(pool.map(lambda _: service.transcribe("x").status, range(count)))
    peak = usage(service.proc.pid, "VmHWM")[1]
    print(f"\n{count} replies of 12 MB: {statuses.count(200)} answered, peak RSS {peak:.0f} MB (from {before:.0f})")
    assert set(statuses) <= {200, 401} and 200 in statuses
    assert service.metric("s2t_buffered_body_bytes") == 0
    assert sanitized(service.proc.pid) or peak < before + 32 + 3 * 12 + 16
