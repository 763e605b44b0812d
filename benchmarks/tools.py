"""What benchmarks/run starts and reads: the processes of a run, wrk and its scripts, the
requests, nginx instances (the TLS terminator among them), and the system call and
profile counts taken with strace and perf."""

import ctypes
import http.client
import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import wave
from pathlib import Path

PINNED = (os.cpu_count() or 1) >= 2
TICKS = os.sysconf("SC_CLK_TCK")


def pinned(core, argv):
    return ["taskset", "-c", str(core), *argv] if PINNED else argv


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, log):
    for _ in range(600):
        if proc.poll() is not None:
            sys.exit(f"benchmarks: {proc.args} stopped:\n{Path(log).read_text()}")
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"benchmarks: nothing listens on {port}")


def die_with_parent():
    # A run killed outright still takes its servers with it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Run:
    """The processes of one benchmark run, stopped in reverse order at the end."""

    def __init__(self, folder):
        self.folder, self.procs = folder, []

    def spawn(self, name, argv, core=0, env=None):
        log = self.folder / f"{name}.log"
        proc = subprocess.Popen(pinned(core, argv), stdout=open(log, "wb"), stderr=subprocess.STDOUT, cwd=self.folder,
                                env=dict(os.environ, **(env or {})), preexec_fn=die_with_parent)
        self.procs.append(proc)
        return proc

    def start(self, name, argv, port, env=None):
        proc = self.spawn(name, argv, 0, env)
        wait_port(port, proc, self.folder / f"{name}.log")
        return proc

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid, key):
    return int(re.search(rf"^{key}:\s+(\d+)", Path(f"/proc/{pid}/status").read_text(), re.M).group(1))


def wrk(url, connections, seconds, script):
    """Requests per second and the latency percentiles (µs) wrk reports."""
    argv = ["wrk", "-t", "1", "-c", str(connections), "-d", f"{seconds}s", "--latency", "-s", str(script), url]
    out = subprocess.run(pinned(1, argv), capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    scale = {"us": 1, "ms": 1e3, "s": 1e6}
    percentiles = {int(p): float(v) * scale[u] for p, v, u in re.findall(r"^\s+(\d+)%\s+([\d.]+)(us|ms|s)", out, re.M)}
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    socket_errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    return {"rate": rate, "p50": percentiles[50], "p99": percentiles[99], "requests": requests,
            "non2xx": int(errors.group(1)) if errors else 0,
            "socket_errors": sum(map(int, socket_errors.groups())) if socket_errors else 0}


def lua(folder, name, requests):
    """A wrk script that sends `requests` (path, body, close) in turn."""
    lines = ["local requests = {"]
    for path, body, close in requests:
        headers = '["Host"] = "127.0.0.1", ["Content-Type"] = "application/json"' + (', ["Connection"] = "close"' if close else "")
        lines.append(f"  wrk.format('POST', {json.dumps(path)}, {{{headers}}}, {json.dumps(body)}),")
    lines += ["}", "local i = 0", "request = function()", "  i = i % #requests + 1", "  return requests[i]", "end"]
    script = folder / f"{name}.lua"
    script.write_text("\n".join(lines) + "\n")
    return script


def wav(seconds, rate=16000, channels=1):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(int(seconds * rate) * channels * 2))
    return out.getvalue()


def post(port, body):
    """The reply's status, or "cut" for an upload the service refused (over its body budget) before it was sent."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request("POST", "/transcribe", body, {"Content-Type": "application/json"})
        return connection.getresponse().status
    except (BrokenPipeError, ConnectionResetError):
        return "cut"
    finally:
        connection.close()


def posts(port, path, body, count, connections):
    """Sends `count` requests over `connections` kept-alive connections; the statuses seen."""
    statuses, lock = set(), threading.Lock()

    def client(share):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        try:
            for _ in range(share):
                connection.request("POST", path, body, {"Content-Type": "application/json"})
                reply = connection.getresponse()
                reply.read()
                with lock:
                    statuses.add(reply.status)
        finally:
            connection.close()

    threads = [threading.Thread(target=client, args=(count // connections + (i < count % connections),))
               for i in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sorted(statuses)


def nginx(run, name, servers, http=""):
    """An nginx in one process (no master), so its CPU is one process's."""
    conf = run.folder / f"{name}.conf"
    conf.write_text(f"""daemon off; master_process off; worker_processes 1;
error_log {run.folder}/{name}.error.log; pid {run.folder}/{name}.pid;
events {{ worker_connections 4096; }}
http {{ access_log off; client_body_temp_path {run.folder}/{name}.body; proxy_temp_path {run.folder}/{name}.proxy;
  client_max_body_size 32m; client_body_buffer_size 1m; {http} {servers} }}
""")
    port = int(re.search(r"listen 127.0.0.1:(\d+)", servers).group(1))
    return run.start(name, ["nginx", "-c", str(conf), "-p", str(run.folder)], port)


# Connections kept alive may carry any number of requests, as Google's do: nginx
# would otherwise close one after its thousandth.
MANY_REQUESTS = "keepalive_requests 1000000;"


def certificate(folder):
    """A self-signed key and certificate for 127.0.0.1, as an IP address the clients check."""
    key, cert = folder / "tls.key", folder / "tls.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    return key, cert


class Terminator:
    """nginx terminating TLS in front of the emulator, as Google's front ends do: one port
    for the speech endpoint and one for the language endpoint, sessions resumable, and
    every call logged with its connection, so that handshakes can be counted."""

    def __init__(self, run, cloud, key, cert):
        self.speech, self.language = free_port(), free_port()
        self.log = run.folder / "terminator.access.log"
        tls = (f"ssl_protocols TLSv1.2 TLSv1.3; ssl_certificate {cert}; ssl_certificate_key {key}; "
               f"ssl_session_cache shared:tls:4m; ssl_session_tickets on; access_log {self.log} handshakes; "
               'location / { proxy_pass http://emulator; proxy_http_version 1.1; proxy_set_header Connection ""; }')
        # The emulator closes connections idle for 30 seconds: nginx lets them go before.
        self.proc = nginx(run, "terminator", f"""
          upstream emulator {{ server 127.0.0.1:{cloud}; keepalive 512; keepalive_timeout 10s; {MANY_REQUESTS} }}
          server {{ listen 127.0.0.1:{self.speech} ssl; {tls} }}
          server {{ listen 127.0.0.1:{self.language} ssl; {tls} }}""",
                          http=f"log_format handshakes '$connection $connection_requests $ssl_session_reused'; "
                               f"{MANY_REQUESTS}")

    def mark(self):
        return self.log.stat().st_size if self.log.exists() else 0

    def handshakes(self, mark):
        """Calls logged since `mark`, and the TLS handshakes among them, full and resumed:
        a connection's first call is the one that followed its handshake."""
        time.sleep(0.2)  # calls the load cut off as it stopped still finish
        with open(self.log, "rb") as log:
            log.seek(mark)
            lines = [line.split() for line in log.read().decode().splitlines()]
        first = [line for line in lines if line[1] == "1"]
        resumed = sum(line[2] == "r" for line in first)
        return {"calls": len(lines), "full": len(first) - resumed, "resumed": resumed}


def gateway(run, name, script, speech, language, cert):
    """The plain Node.js gateway (benchmarks/gateway.js)."""
    port = free_port()
    return run.start(name, ["node", str(script), str(port), speech, language, str(cert)], port), port


def tasks_traced(pid):
    try:
        return all(re.search(r"^TracerPid:\s+[1-9]", (task / "status").read_text(), re.M)
                   for task in Path(f"/proc/{pid}/task").iterdir())
    except FileNotFoundError:
        return False


def syscalls(run, name, pid, send):
    """System calls of process `pid` and all its threads while `send()` runs, from
    `strace -c`: {"total": n, "calls": {syscall: n}}, or a reason why there are none."""
    if shutil.which("strace") is None:
        return "strace is not installed"
    out = run.folder / f"{name}.strace"
    proc = run.spawn(f"{name}-strace", ["strace", "-c", "-f", "-q", "-o", str(out), "-p", str(pid)], core=1)
    for _ in range(100):
        if tasks_traced(pid) or proc.poll() is not None:
            break
        time.sleep(0.05)
    if proc.poll() is not None or not tasks_traced(pid):
        proc.kill()
        proc.wait()
        return "strace could not attach: " + (run.folder / f"{name}-strace.log").read_text().strip()[-300:]
    send()
    proc.send_signal(signal.SIGINT)
    proc.wait(30)
    counts = {}
    for line in out.read_text().splitlines():
        fields = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            counts[fields[-1]] = int(fields[3])
    return {"total": sum(counts.values()), "calls": counts}


def profile(run, name, pid, load):
    """`perf report --stdio` of process `pid` sampled on the CPU clock while `load()` runs,
    or a reason why perf gave none (perf events are often closed in containers)."""
    if shutil.which("perf") is None:
        return None, "perf is not installed"
    data = run.folder / f"{name}.perf.data"
    proc = run.spawn(f"{name}-perf", ["perf", "record", "-e", "cpu-clock", "-F", "999", "-p", str(pid),
                                      "-o", str(data)], core=1)
    time.sleep(0.5)
    if proc.poll() is not None:
        return None, "perf record stopped: " + (run.folder / f"{name}-perf.log").read_text().strip()[-300:]
    load()
    proc.send_signal(signal.SIGINT)
    proc.wait(30)
    lines = []
    # Where the time goes by library first (the kernel, OpenSSL, libevent, the service's
    # own code), then by function.
    for fields in ("overhead,dso", "overhead,dso,sym"):
        report = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children", "-F", fields,
                                 "--percent-limit", "0.5"], capture_output=True, text=True)
        found = [line.rstrip() for line in report.stdout.splitlines()
                 if line.strip() and (not line.startswith("#") or line.startswith("# Samples"))]
        if report.returncode != 0 or len(found) < 2:
            return None, "perf report gave nothing: " + (report.stderr.strip()[-300:] or "no samples")
        lines += [*found, ""]
    return lines, None
