"""Many callers at once against a cloud that misbehaves in every way it can: each
caller that waits gets exactly one answer, the one its scenario calls for, and the
service's descriptors and memory come back to where they were. Longer runs:
pytest-3 tests/test_fault_load.py --server $PWD/build/s2t-server --fault-requests 5000"""
import json
import socket
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import Answer, cloud_section, eventually, leave_early, sanitized, usage

RECOGNIZED = b'{"results":[{"alternatives":[{"transcript":"fine"}],"languageCode":"en-us"}]}'
# Scenario (in the audio text): what the speech side does, and what the caller gets.
SCENARIOS = {
    "ok": (Answer(body=RECOGNIZED), 200),
    "status": (Answer(500, "Internal Server Error", b"{}"), 401),
    "stall": (Answer(delay=6), 408),
    "reset": (Answer(close=True), 401),
    "truncated": (Answer(body=b'{"results":', headers=[("Content-Length", "500")]), 401),
    "oversized": (Answer(body=b" " * 3000), 401),
}


def script(request):
    sent = json.loads(request.body)
    if "audio" in sent:
        return SCENARIOS[sent["audio"]["content"]][0]
    return Answer(200, "OK", b'{"documentSentiment":{}}')


def test_every_caller_that_waits_gets_its_one_answer_and_nothing_is_kept(start_service, cloud, request):
    stand_in = cloud()
    stand_in.script = script
    service = start_service(cloud={**cloud_section(stand_in.url), "max-reply-size": 1000})
    # A first round settles the allocator and libevent's own tables.
    assert service.transcribe("ok").status == 200
    descriptors, memory = usage(service.proc.pid)
    names = list(SCENARIOS)
    plan = [names[i % len(names)] for i in range(request.config.getoption("--fault-requests"))]

    def one(index):
        audio = plan[index]
        if index % 7 == 3:
            leave_early(service.port, audio)
            return None
        return service.transcribe(audio).status

    with ThreadPoolExecutor(48) as pool:
        statuses = list(pool.map(one, range(len(plan))))
    for index, status in enumerate(statuses):
        assert status in (None, SCENARIOS[plan[index]][1]), (plan[index], status)
    # Callers that left still had their requests finished; then everything is back.
    eventually(lambda: usage(service.proc.pid)[0] <= descriptors)
    time.sleep(1)
    now_descriptors, now_memory = usage(service.proc.pid)
    assert now_descriptors <= descriptors
    assert now_memory <= memory * 1.5 + 16, (memory, now_memory)
    assert service.transcribe("ok").status == 200


def test_many_short_connections_leave_memory_where_it_was(start_service):
    """100,000 connections that close without a request, a hundred at a time: the
    listening socket's backlog takes that many without dropping any."""
    service = start_service()
    assert service.call("GET", "/liveness").status == 200
    time.sleep(1.5)  # whatever the first request freed is given back first
    memory = usage(service.proc.pid)[1]
    for _ in range(1000):
        for sock in [socket.create_connection(("127.0.0.1", service.port)) for _ in range(100)]:
            sock.close()
        assert service.call("GET", "/liveness").status == 200  # accepted after the hundred
    if not sanitized(service.proc.pid):  # AddressSanitizer's allocator keeps freed memory in quarantine
        eventually(lambda: usage(service.proc.pid)[1] <= memory * 1.1)
