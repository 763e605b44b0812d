"""What benchmarks/run starts and reads: the processes of a run, wrk and its scripts,
the requests, and nginx instances."""

import http.client
import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
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


class Run:
    """The processes of one benchmark run, stopped in reverse order at the end."""

    def __init__(self, folder):
        self.folder, self.procs = folder, []

    def start(self, name, argv, port, env=None):
        log = self.folder / f"{name}.log"
        proc = subprocess.Popen(pinned(0, argv), stdout=open(log, "wb"), stderr=subprocess.STDOUT, cwd=self.folder,
                                env=dict(os.environ, **(env or {})))
        self.procs.append(proc)
        wait_port(port, proc, log)
        return proc

    def stop(self):
        for proc in reversed(self.procs):
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()


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
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    return {"rate": rate, "p50": percentiles[50], "p99": percentiles[99], "requests": requests,
            "non2xx": int(errors.group(1)) if errors else 0}


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


def nginx(run, name, servers):
    """An nginx in one process (no master), so its CPU is one process's."""
    conf = run.folder / f"{name}.conf"
    conf.write_text(f"""daemon off; master_process off; worker_processes 1;
error_log {run.folder}/{name}.error.log; pid {run.folder}/{name}.pid;
events {{ worker_connections 4096; }}
http {{ access_log off; client_body_temp_path {run.folder}/{name}.body; proxy_temp_path {run.folder}/{name}.proxy;
  client_max_body_size 32m; client_body_buffer_size 1m; {servers} }}
""")
    port = int(re.search(r"listen 127.0.0.1:(\d+)", servers).group(1))
    return run.start(name, ["nginx", "-c", str(conf), "-p", str(run.folder)], port)
