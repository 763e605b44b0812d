"""Many hostile connections at once, as a red team sends them: at a reduced scale in the test command, at the red
team's own with --full. Each checks what the service still holds (memory, descriptors) and that /liveness answers
meanwhile; the bounds catch a regression, not noise, and the figures are printed for the record (pytest -s)."""
import signal
import socket
import ssl
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import HANG, closed, eventually, sanitized, usage

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
    """Rows 1 and 2: uploads of 16 MiB, all but their last byte, refused or then abandoned."""
    service = start_service({"client-auth-token": "c", "max-buffered-bytes": 32 * MIB})
    _, before = usage(service.proc.pid)
    for token, count in (("wrong", scale(8, 60)), ("c", scale(6, 20))):
        head = f"POST /transcribe HTTP/1.1\r\nAuthorization: {token}\r\nContent-Length: {16 * MIB}\r\n\r\n".encode()
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
    """Row 3: millions of empty alternatives, deep nesting, several at once."""
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
    """Rows 4 and 5: kept-alive connections up to the descriptor limit, and handshakes trickled."""
    service = start_service(prefix=["prlimit", f"--nofile={scale(256, 1024)}"])
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
    trickling = opened(secure.port, scale(50, 500))
    for sock in trickling:
        sock.sendall(b"\x16\x03\x01\x02\x00\x01")  # a ClientHello's start, and no more
    assert all(closed(sock) for sock in trickling)  # at the time-out, not held
    for sock in trickling:
        sock.close()


def test_sigterm_leaves_no_upload_without_a_status(start_service, scale):
    """Row 6: SIGTERM while uploads are still sending their bodies."""
    service = start_service({"drain-timeout": 1})
    count = scale(50, 200)
    head = b"POST /transcribe HTTP/1.1\r\nContent-Length: 100000\r\n\r\n"
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
