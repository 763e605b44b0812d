"""The cloud calls: the service against Python stand-ins for the speech and language
services, over HTTP and HTTPS, with a name server stub for host lookups."""
import base64
import http.client
import json
import os
import re
import resource
import signal
import socket
import ssl
import struct
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import HANG, Answer, black_hole, cloud_section, eventually, leave_early, samples

RECOGNIZED = b'{"results":[{"alternatives":[{"transcript":"%s","confidence":0.9}],"languageCode":"en-us"}]}'


def scenario(request):
    """One stand-in plays both services. The scenario travels in the audio text: the
    speech side answers or misbehaves by it, and otherwise returns it as the
    transcript, which the language side then sees as the document's content."""
    sent = json.loads(request.body)
    if "audio" in sent:
        audio = sent["audio"]["content"]
        return {"speech-403": Answer(403, "Forbidden", b'{"error":{}}'),
                "speech-201": Answer(201, "Created", RECOGNIZED % b"x"),
                "speech-close": Answer(close=True), "speech-silent": Answer(delay=None),
                "speech-unreadable": Answer(body=b"<html>busy</html>"),
                "speech-silence": Answer(body=b'{"results":[{"alternatives":[{}]}],"totalBilledTime":"1s"}')}.get(
            audio, Answer(body=RECOGNIZED % audio.encode()))
    content = sent["document"]["content"]
    return {"lang-400": Answer(400, "Bad Request", b'{"error":{}}'), "lang-close": Answer(close=True),
            "lang-silent": Answer(delay=None), "lang-empty": Answer(),
            "lang-text": Answer(body=b"plain words, <b>not</b> JSON")}.get(
        content, Answer(200, "Analysed", b'{"echo":"%s"}' % content.encode()))


@pytest.fixture
def stand_in(cloud):
    stand_in = cloud()
    stand_in.script = scenario
    return stand_in


def test_chain_on_the_wire_in_the_reply_and_in_the_trace(start_service, stand_in):
    recognized = '{"results":[{"alternatives":[{"transcript":"say \\"hi\\"\\n"}],"languageCode":"en-us"}]}'
    stand_in.script = lambda request: Answer(body=recognized.encode()) if b'"audio"' in request.body else Answer(
        reason="Quite Fine", body=b'{"score": 0.2}\n', headers=[("Content-Type", "text/plain")])
    service = start_service({"client-auth-token": "c"}, cloud_section(stand_in.url + "/v1", key="k&y=1"))
    body = '{"audio": "UklGR\\/g==\\u0001\\"", "language": "en-US", "language-alternatives": ["de-DE", 3, ""]}'
    reply = service.call("POST", "/transcribe", body, [("Authorization", "c"), ("X-Tarvex-TranID", "t")])
    assert (reply.status, reply.reason, reply.body) == (200, "Quite Fine", b'{"score": 0.2}\n')
    assert reply.headers.get_all("Content-Type") == ["application/json"]
    assert service.call("PUT", "/transcribe?a=1&b=%20", "line\n\tbin\x01[]", [("X", "1"), ("X", "2")]).status == 401
    calls = [("/v1/speech:recognize?key=k&y=1", "200 OK", "",
              '{"config":{"languageCode":"en-US","alternativeLanguageCodes":["de-DE",""]},'
              '"audio":{"content":"UklGR/g==\\u0001\\""}}', recognized),
             ("/v1/documents:analyzeSentiment?key=k&y=1", "200 Quite Fine", "  Content-Type: text/plain\n",
              '{"document":{"type":"PLAIN_TEXT","language":"en-us","content":"say \\"hi\\"\\n"}}', '{"score": 0.2}\n')]
    assert [request.raw.decode() for request in stand_in.received] == [
        f"POST {target} HTTP/1.1\r\nHost: 127.0.0.1:{stand_in.server_port}\r\nContent-type: application/json\r\n"
        f"Content-Length: {len(sent)}\r\n\r\n{sent}" for target, _, _, sent, _ in calls]
    head = "Headers:\n  Host: 127.0.0.1\n"
    expected = ("Starting S2T server version [0.1] config file [config.json]\nStart HTTP event loop <S2t>\n"
                f"Received a POST request for /transcribe\n{head}  Authorization: c\n  X-Tarvex-TranID: t\n"
                f"  Content-Length: {len(body)}\n  Connection: close\nInput data: <<<\n{body}>>>\n")
    for target, status, headers, sent, answer in calls:
        expected += (f"Composed data:\n  {sent}\nMake HTTP request for <0>\nSet HTTP request timer 5 sec for <0>\n"
                     f"Received HTTP response [{status}] for <0> [{stand_in.url}{target}]\n{headers}"
                     f"  Content-Length: {len(answer)}\n  Connection: close\nData [{len(answer)} bytes] <0>\n{answer}\n"
                     "Clean up HTTP <0>\nClear HTTP timer <0>\nClose HTTP connection <0>\n")
    expected += ("Request unauthorized before its body: [PUT /transcribe?a=1&b=%20]\n"
                 f"Received a GET request for /exit\n{head}  Authorization: \n  Content-Length: 0\n"
                 "  Connection: close\nInput data: <<<\n>>>\nEnded HTTP event loop <S2t>\n")
    assert service.exit() == expected
    unkeyed = start_service(cloud=cloud_section(stand_in.url))
    assert unkeyed.transcribe("QQ==").status == 200
    assert [request.target for request in stand_in.received[2:]] == ["/speech:recognize", "/documents:analyzeSentiment"]


OUTCOMES = {"ok": (200, "Analysed", b'{"echo":"ok"}'), "speech-403": (401, "Method Failed", b""),
            "speech-201": (401, "Method Failed", b""), "speech-close": (401, "Method Failed", b""),
            "speech-silent": (408, "Request Timeout", b""), "speech-unreadable": (401, "Method Failed", b""),
            # Nothing said: answered without a sentiment call, which Google would refuse.
            "speech-silence": (200, "OK",
                               b'{"documentSentiment":{"magnitude":0,"score":0},"language":"en-us","sentences":[]}'),
            "lang-400": (401, "Method Failed", b""), "lang-close": (401, "Method Failed", b""),
            "lang-silent": (408, "Request Timeout", b""), "lang-empty": (200, "OK", b""),
            "lang-text": (200, "OK", b"plain words, <b>not</b> JSON")}


def test_every_outcome_reaches_its_caller_once_with_many_in_flight(start_service, stand_in):
    # "HTTP://": schemes are not case-sensitive. Each outcome once: no call is tried again. Nothing said is
    # answered in the request's language, the default one here, as the cloud writes it.
    service = start_service(cloud={**cloud_section(stand_in.url.upper()), "cloud-retries": 0,
                                   "default-language": "En-US"})
    audios = list(OUTCOMES) * 3
    with ThreadPoolExecutor(len(audios)) as pool:
        replies = list(pool.map(service.transcribe, audios))
    for audio, reply in zip(audios, replies):
        assert (reply.status, reply.reason, reply.body) == OUTCOMES[audio], audio
        json_type = reply.status == 200 and reply.body != b""
        assert (reply.headers.get("Content-Type") == "application/json") == json_type, audio
    # A failed recognition never leads to a sentiment call.
    contents = [json.loads(r.body)["document"]["content"] for r in stand_in.received if b"document" in r.body]
    assert sorted(contents) == sorted(["ok", "lang-400", "lang-close", "lang-silent", "lang-empty", "lang-text"] * 3)
    assert service.metric("s2t_silent_recordings_total") == 3
    out = service.exit()
    assert out.count("Recognition reply is not a JSON object for <") == 3
    assert out.count("No speech in the recording: no sentiment call for <") == 3


def test_exit_with_requests_in_flight_releases_them(start_service, stand_in):
    service = start_service(cloud=cloud_section(stand_in.url))
    with ThreadPoolExecutor(3) as pool:
        waiting = [pool.submit(service.transcribe, a) for a in ("speech-silent", "speech-silent", "lang-silent")]
        eventually(lambda: len(stand_in.received) == 4)
        out = service.exit()
        for reply in waiting:
            with pytest.raises(ConnectionError):
                reply.result()
    assert "Request timed out" not in out
    assert out.count("Close HTTP connection") == 4


# When the outbound socket cannot be made inside libevent's hand-over (no descriptor
# left), the request is refused once, and nothing of it is touched after libevent
# has reported the failure.
def test_connection_failing_during_the_hand_over_is_refused_once(start_service, stand_in):
    service = start_service(cloud=cloud_section(stand_in.url))
    pid = service.proc.pid
    free = sorted(set(range(1024)) - {int(fd) for fd in os.listdir(f"/proc/{pid}/fd")})
    limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    # The caller's connection takes the one descriptor left.
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (free[1], limits[1]))
    reply = service.transcribe("ok")
    resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
    assert reply[:2] == (403, "Error")
    assert stand_in.received == []
    assert service.transcribe("ok").status == 200
    assert "failed: Too many open files (24)" in service.exit()  # the cause, beside accept()'s own


def test_names_that_do_not_exist_fail_and_names_of_ipv6_addresses_are_called(start_service, cloud, name_server):
    service = start_service(cloud=cloud_section("http://speech.s2t-test:8080/v1"), prefix=name_server())
    assert service.transcribe("A")[:2] == (401, "Method Failed")
    assert "Failed to resolve host [speech.s2t-test] for <0>: nodename nor servname provided, or not known\n" in (
        service.exit())
    try:
        stand_in = cloud(host="::1")
    except OSError:
        pytest.skip("no IPv6 loopback")
    stand_in.script = scenario
    service = start_service(cloud=cloud_section(stand_in.url.replace("[::1]", "ip6.s2t-test")), prefix=name_server())
    assert service.transcribe("ok").status == 200
    # A name with both: its IPv4 addresses are tried first.
    port = stand_in.server_port
    dual = start_service(cloud=cloud_section(f"http://dual.s2t-test:{port}"),
                         prefix=name_server(names={"dual.s2t-test": (["::1", "127.0.0.2"], 60)}))
    assert dual.transcribe("ok").status == 200
    assert f"Connect to [127.0.0.2]:{port} failed for <0>: trying [::1]:{port}\n" in dual.exit()


# Addresses 127.0.0.x all reach loopback, so each stands for another host: dead where nothing listens on
# the port, or a TLS endpoint that fails verification; the live one comes last.
def test_every_address_of_a_name_is_tried_in_turn_within_the_call(start_service, cloud, pki, name_server):
    https = cloud(pki["good"][2], "127.0.0.40")
    port, live, dead = https.server_port, "127.0.0.50", [f"127.0.0.{n}" for n in range(2, 31)]
    http, closing = cloud(host=live, port=port), cloud(host="127.0.0.51", port=port)
    failing = [cloud(pki[cert][2], host, port) for cert, host in [("untrusted", "127.0.0.41"),
                                                                  ("wrong_host", "127.0.0.42")]]
    https.script = http.script = scenario
    closing.script = lambda request: Answer(close=True)
    tls = [dead[0], "127.0.0.41", dead[1], "127.0.0.42", "127.0.0.40"]
    prefix = name_server(names={"two.s2t-test": ([dead[0], live], 60), "thirty.s2t-test": (dead + [live], 60),
                                "tls.s2t-test": (tls, 60), "sent.s2t-test": (["127.0.0.51", live], 60),
                                "dead.s2t-test": (dead[:2], 60)})
    outputs = []
    # A connection that took the request and then broke is not tried elsewhere; all dead fails at once.
    for speech, language, status in [("http://two.s2t-test", "http://thirty.s2t-test", 200),
                                     ("https://tls.s2t-test", "https://tls.s2t-test", 200),
                                     ("http://sent.s2t-test", "http://sent.s2t-test", 401),
                                     ("http://dead.s2t-test", "http://dead.s2t-test", 401)]:
        service = start_service(cloud={**cloud_section(f"{speech}:{port}/v1", f"{language}:{port}/v1"),
                                       "cloud-retries": 0}, prefix=prefix, env={"SSL_CERT_FILE": pki["ca"]})
        assert service.transcribe("ok").status == status, speech
        outputs.append(service.exit())
    assert [len(https.received), len(http.received), len(closing.received)] == [2, 2, 1]
    eventually(lambda: [stand_in.handshake_failures for stand_in in failing] == [2, 2])
    tried = [re.findall(rf"Connect to \[(\S+)\]:{port} failed for <0>: trying \[(\S+)\]:{port}\n", out)
             for out in outputs]
    assert tried == [[(dead[0], live)] + list(zip(dead, dead[1:] + [live])), list(zip(tls, tls[1:])) * 2, [],
                     [(dead[0], dead[1])]]


def test_a_black_holed_first_address_gets_its_share_of_the_call_then_the_next_takes_it(start_service, cloud,
                                                                                       name_server):
    port, hole = black_hole("127.0.0.60")
    live = cloud(host="127.0.0.61", port=port)
    live.script = scenario
    prefix = name_server(names={"hole.s2t-test": (["127.0.0.60", "127.0.0.61"], 60)})
    service = start_service(cloud={**cloud_section(f"http://hole.s2t-test:{port}/v1"), "connect-timeout": 1},
                            prefix=prefix)
    assert service.transcribe("ok").status == 200
    out = service.exit()
    assert out.count(f"Connect to [127.0.0.60]:{port} timed out for <0>: trying [127.0.0.61]:{port}\n") == 2
    for sock in hole:
        sock.close()


def flaky(request):
    """Each recording named by its audio: the speech side answers it with the statuses its name lists
    (one a call, "close" for a connection closed unanswered), then as it should; the language side too."""
    sent = json.loads(request.body)
    if "document" in sent:
        return Answer(body=b'{"echo":"%s"}' % sent["document"]["content"].encode())
    audio = sent["audio"]["content"]
    flaky.calls[audio] = flaky.calls.get(audio, 0) + 1
    steps = audio.split("-")[1:]
    step = steps[flaky.calls[audio] - 1] if flaky.calls[audio] <= len(steps) else "200"
    if step == "close":
        return Answer(close=True)
    return Answer(int(step), "Busy" if step != "200" else "OK", RECOGNIZED % audio.encode())


def test_a_busy_cloud_is_tried_again_within_the_call_and_a_refusal_is_not(start_service, stand_in):
    flaky.calls = {}
    stand_in.script = flaky
    service = start_service(cloud=cloud_section(stand_in.url))  # two tries after the first, by default
    for audio, status, calls in [("a-429", 200, 2), ("b-500-502", 200, 3), ("c-503-504", 200, 3), ("d-close", 200, 2),
                                 ("e-503-503-503", 401, 3), ("f-400", 401, 1)]:  # a long Retry-After: CloudCallTest
        assert service.transcribe(audio).status == status, audio
        assert flaky.calls[audio] == calls, audio
    retries = {labels: value for (name, labels), value in samples(service.call("GET", "/metrics").body.decode()).items()
               if name == "s2t_cloud_retries_total"}
    assert retries == {f'method="recognize",reason="{reason}"': count for reason, count in
                       [("429", 1), ("500", 1), ("502", 1), ("503", 3), ("504", 1), ("connection", 1)]}
    out = service.exit()
    assert re.search(r"Try \[1\] of \[2\] again in \[\d+\] ms for <1>: 500 Busy\n", out)
    assert out.count("Try [") == 8


def test_answers_are_shared_while_asked_and_kept_for_their_time_to_live(start_service, stand_in, name_server):
    port = stand_in.server_port
    prefix = name_server(names={"kept.s2t-test": (["127.0.0.1"], 3600), "brief.s2t-test": (["127.0.0.1"], 1)},
                         delay=0.2)
    kept = start_service(cloud=cloud_section(f"http://kept.s2t-test:{port}"), prefix=prefix)
    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(lambda audio: kept.transcribe(audio).status, ["ok"] * 8)) == [200] * 8
    assert name_server.queries.count(("kept.s2t-test", 1)) == 1
    brief = start_service(cloud=cloud_section(f"http://brief.s2t-test:{port}"), prefix=prefix)
    assert brief.transcribe("ok").status == 200
    asked = name_server.queries.count(("brief.s2t-test", 1))
    time.sleep(1.5)  # past its time to live
    assert brief.transcribe("ok").status == 200
    assert name_server.queries.count(("brief.s2t-test", 1)) > asked
    # A name server that leaves the AAAA query unanswered: the A answer serves after a short wait.
    half = start_service(cloud=cloud_section(f"http://kept.s2t-test:{port}"),
                         prefix=name_server((1,), names={"kept.s2t-test": (["127.0.0.1"], 60)}))
    assert half.transcribe("ok").status == 200


def test_timer_firing_during_the_lookup_answers_408_and_releases_it(start_service, name_server):
    service = start_service(cloud=cloud_section("http://speech.s2t-test/v1"), prefix=name_server(False))
    assert service.transcribe("A")[:2] == (408, "Request Timeout")
    # A lookup still under way when the service stops is released as well.
    with ThreadPoolExecutor(1) as pool:
        pending = pool.submit(service.transcribe, "B")
        service.wait_for(r"Resolve host \[speech.s2t-test\] for <1>")
        assert service.exit().count("Cancel host lookup") == 2
        with pytest.raises(ConnectionError):
            pending.result()


@pytest.mark.parametrize("cert, host, outcome", [("good", "127.0.0.1", 200), ("good", "localhost", 200),
                                                 ("untrusted", "127.0.0.1", 401), ("wrong_host", "127.0.0.1", 401)])
def test_https_endpoints_are_verified_before_anything_is_sent(start_service, cloud, pki, cert, host, outcome):
    stand_in = cloud(pki[cert][2])
    stand_in.script = scenario
    base = f"https://{host}:{stand_in.server_port}/v1"
    service = start_service(cloud=cloud_section(base, key="secret"), env={"SSL_CERT_FILE": pki["ca"]})
    assert service.transcribe("ok").status == outcome
    # The port is not the scheme's own, so it is part of Host.
    assert [r.headers["Host"] for r in stand_in.received] == ([f"{host}:{stand_in.server_port}"] * 2
                                                              if outcome == 200 else [])
    # The second call offers the session of the first, and the endpoint takes it up.
    assert stand_in.resumed == ([False, True] if outcome == 200 else [])
    # The stand-in counts a failed handshake on its own thread, maybe after the reply.
    eventually(lambda: stand_in.handshake_failures == (outcome != 200))
    assert ("Certificate verification failed for <0>: " in service.exit()) == (outcome != 200)


def test_cloud_replies_are_bounded(start_service, stand_in):
    service = start_service(cloud={**cloud_section(stand_in.url), "max-reply-size": 1000})
    stand_in.script = lambda request: Answer(body=b" " * 999 + b"{}")  # a JSON object, one byte over
    assert service.transcribe("ok")[:2] == (401, "Method Failed")
    stand_in.script = lambda request: Answer(headers=[("X", "y" * 70000)])
    assert service.transcribe("ok")[:2] == (401, "Method Failed")
    # Within max-reply-size but not within what is left of the budget the bodies share.
    service = start_service({"max-buffered-bytes": 1000}, {**cloud_section(stand_in.url), "max-reply-size": 10**6})
    stand_in.script = lambda request: Answer(body=b" " * 2000 + b"{}")
    assert service.transcribe("ok")[:2] == (401, "Method Failed")
    assert service.metric("s2t_buffered_body_bytes") == 0
    assert "No room for the reply for <0>: [" in service.exit()


def test_outbound_tls_offers_no_client_certificate(start_service, cloud, pki):
    asking = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    asking.load_cert_chain(*pki["good"][:2])
    asking.load_verify_locations(pki["ca"])
    asking.verify_mode = ssl.CERT_OPTIONAL
    stand_in = cloud(asking)
    stand_in.script = scenario
    service = start_service({"secure": True, "certificate-chain": pki["good"][0], "private-key": pki["good"][1]},
                            cloud_section(stand_in.url), env={"SSL_CERT_FILE": pki["ca"]})
    service.tls = ssl.create_default_context(cafile=pki["ca"])
    assert service.call("POST", "/transcribe", json.dumps({"audio": "ok"}), tls=service.tls).status == 200
    assert stand_in.peers == [None, None]


def test_sigterm_drains_the_requests_in_flight(start_service, stand_in):
    # The time-out bounds the drain: an hour, so only the last reply can end it within the hang guard.
    service = start_service({"timeout": 3600}, cloud_section(stand_in.url))
    stand_in.script = lambda request: Answer(body=RECOGNIZED % b"slow", delay=2)
    open_connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=HANG)
    open_connection.connect()
    with ThreadPoolExecutor(3) as pool:
        replies = [pool.submit(service.transcribe, "slow") for _ in range(3)]
        service.wait_for(r"Set HTTP request timer 5 sec for <2>")
        service.proc.send_signal(signal.SIGTERM)
        service.wait_for("Received signal 15: no new requests, 3 in flight to finish")
        for method, target in (("POST", "/transcribe"), ("GET", "/readiness")):
            open_connection.request(method, target, "{}" if method == "POST" else None)
            answer = open_connection.getresponse()
            assert (answer.status, answer.read()) == (503, b"")
        with pytest.raises(ConnectionRefusedError):
            service.call("GET", "/liveness")
        assert [reply.result().status for reply in replies] == [200] * 3
    assert service.wait() == 0
    assert service.output().endswith("Drained: no request in flight\nEnded HTTP event loop <S2t>\n")


def test_sigterm_lets_a_reply_begun_before_it_reach_a_slow_reader_whole(start_service, stand_in):
    analysis = b'{"sentences":"' + b"x" * (12 << 20) + b'"}'
    stand_in.script = lambda request: Answer(body=RECOGNIZED % b"long" if b'"audio"' in request.body else analysis)
    service = start_service(cloud=cloud_section(stand_in.url))
    body = json.dumps({"audio": "long"}).encode()
    with socket.socket() as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        sock.settimeout(HANG)
        sock.connect(("127.0.0.1", service.port))
        sock.sendall(b"POST /transcribe HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s"
                     % (len(body), body))
        received = sock.recv(1 << 16)
        service.proc.send_signal(signal.SIGTERM)
        service.wait_for("Drained: no request in flight")
        while chunk := sock.recv(1 << 16):  # about 3 MB/s
            received += chunk
            time.sleep(0.02)
    assert received.partition(b"\r\n\r\n")[2] == analysis
    assert service.wait() == 0


TOO_LONG = (b'{"error":{"code":400,"message":"Sync input too long. For audio longer than 1 min use LongRunningRecognize '
            b'with a \'uri\' parameter.","status":"INVALID_ARGUMENT"}}')


def operations(request):
    """The cloud as for long recordings: Cloud Storage keeps what is uploaded, recognize refuses inline
    audio as too long, and each operation (named after its recording's bytes) is done at its second
    poll, fails, never ends, or stalls."""
    if request.target.startswith("/upload/storage/v1/b/bucket/o?uploadType=media&name="):
        name = request.target.split("name=")[1].split("&")[0]
        operations.objects[name] = request.body if len(request.body) < 10 else b"wav"
        return Answer(body=json.dumps({"name": name, "bucket": "bucket"}).encode())
    if request.target.startswith("/storage/v1/b/bucket/o/"):
        operations.deleted.append(request.target.split("/")[-1].split("?")[0])
        return Answer(204, "No Content")
    if request.target.startswith("/v1/operations/"):
        name = request.target.split("/")[3].split("?")[0]
        polls = operations.polls[name] = operations.polls.get(name, 0) + 1
        if name == "flaky" and polls < 3:  # the cloud fails twice while the recognition runs on
            return Answer(close=True) if polls == 1 else Answer(503, "Busy")
        if name == "flaky":
            polls -= 1  # done at its third
        return {"fails": Answer(body=b'{"name":"fails","done":true,"error":{"code":3,"message":"bad audio"}}'),
                "never": Answer(body=b'{"name":"never","metadata":{"progressPercent":50}}'),
                "stalls": Answer(delay=None)}.get(name, Answer(body=(
                    b'{"name":"%s","done":true,"response":{"results":[{"alternatives":[{"transcript":"long"}]},'
                    b'{"alternatives":[{"transcript":"message"}],"languageCode":"en-us"}]}}' % name.encode())
                    if polls == 2 else b'{"name":"%s"}' % name.encode()))
    sent = json.loads(request.body)
    if "document" in sent:
        return Answer(body=json.dumps({"echo": sent["document"]["content"]}).encode())
    if request.target.startswith("/v1/speech:recognize"):
        return Answer(400, "Bad Request", TOO_LONG)
    return Answer(body=b'{"name":"%s","metadata":{}}' % operations.objects[sent["audio"]["uri"].split("/")[-1]])


def long_cloud(cloud):
    stand_in = cloud()
    operations.polls, operations.objects, operations.deleted = {}, {}, []
    stand_in.script = operations
    return stand_in


def wav_of_seconds(seconds):
    """8 kHz mu-law, so that a minute and more stays small."""
    data = bytes([0xFF]) * (8000 * seconds)
    return base64.b64encode(struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16, 7, 1, 8000,
                                        8000, 1, 8, b"data", len(data)) + data).decode()


def test_long_recordings_go_through_cloud_storage_and_long_running_recognition(start_service, cloud):
    stand_in = long_cloud(cloud)
    service = start_service(cloud={**cloud_section(stand_in.url + "/v1", key="k"), "call-timeout": 1,
                                   "long-running-timeout": 4, "storage-bucket": "bucket",
                                   "storage-endpoint": stand_in.url})
    # Found long by its header, or refused as too long by recognize; then polled until done.
    named = {name: base64.b64encode(name.encode()).decode() for name in ["ok", "fails", "never", "stalls"]}
    for audio, outcome in [(wav_of_seconds(70), (200, b'{"echo": "long message"}')),
                           (named["ok"], (200, b'{"echo": "long message"}')), (named["fails"], (401, b"")),
                           (named["never"], (408, b"")), (named["stalls"], (408, b""))]:
        assert (lambda reply: (reply.status, reply.body))(service.transcribe(audio)) == outcome, audio[:10]
    wav = [request for request in stand_in.received if b"RIFF" in request.body or b"wav" in request.body][:1]
    object_name = wav[0].target.split("name=")[1].split("&")[0]
    assert len(object_name) == 32 and wav[0].headers["Content-type"] == "application/octet-stream"
    assert wav[0].body == base64.b64decode(wav_of_seconds(70))  # decoded once, sent whole
    targets = [request.target for request in stand_in.received]
    assert targets[:6] == [f"/upload/storage/v1/b/bucket/o?uploadType=media&name={object_name}",
                           "/v1/speech:longrunningrecognize?key=k", "/v1/operations/wav?key=k",
                           "/v1/operations/wav?key=k", "/v1/documents:analyzeSentiment?key=k",
                           f"/storage/v1/b/bucket/o/{object_name}"]
    assert json.loads(stand_in.received[1].body)["audio"] == {"uri": f"gs://bucket/{object_name}"}
    assert targets.count("/v1/operations/never?key=k") == 2  # after 1 s and 2 s more; 4 s more is past the 4 s
    eventually(lambda: len(operations.deleted) == 5)  # after success, failure and time-outs alike
    assert sorted(operations.deleted) == sorted(operations.objects)
    out = service.exit()
    assert "Set HTTP request timer 1 sec for <0>\n" in out
    assert "Recording of [70.0] seconds in [" in out and "] bytes is more than Google takes inline for <0>\n" in out
    assert "Recognition refused as too long: through Cloud Storage for <1>\n" in out
    assert "Operation [ok] not done: next poll in [1] sec for <1>\n" in out
    assert "Operation [fails] failed for <2>\n" in out
    assert "Long-running recognition timed out for <3>\n" in out
    assert "Request timed out for <4>\n" in out  # the stalled poll, at the call's own time-out
    assert "HTTP request failed [204]" not in out  # a delete's success


def test_a_poll_that_fails_leaves_the_recognition_running_to_its_end(start_service, cloud):
    stand_in = long_cloud(cloud)
    service = start_service(cloud={**cloud_section(stand_in.url + "/v1"), "storage-bucket": "bucket",
                                   "storage-endpoint": stand_in.url, "cloud-retries": 0})
    assert service.transcribe(base64.b64encode(b"flaky").decode()).body == b'{"echo": "long message"}'
    assert service.exit().count("Poll of operation [flaky] failed: polling on for <0>\n") == 2


def test_sigterm_answers_a_request_still_polling_at_the_drain_time_out_and_deletes_its_object(start_service, cloud):
    stand_in = long_cloud(cloud)
    service = start_service({"drain-timeout": 1}, {**cloud_section(stand_in.url + "/v1"), "storage-bucket": "bucket",
                                                   "storage-endpoint": stand_in.url})
    with ThreadPoolExecutor(1) as pool:
        reply = pool.submit(service.transcribe, base64.b64encode(b"never").decode())
        service.wait_for(r"Operation \[never\] not done")
        service.proc.send_signal(signal.SIGTERM)
        assert reply.result()[:2] == (503, "Service Unavailable")
        assert reply.result().headers["Connection"] == "close"
    assert service.wait() == 0
    assert operations.deleted == list(operations.objects)  # deleted before the service ended
    assert re.search(r"Drain time-out: 1 in flight answered 503\n(.*\n)*Delete object \[\w+\] for <0>\n(.*\n)*"
                     r"Drained: no request in flight\n", service.output())


def test_amr_recordings_are_named_to_the_cloud_and_nothing_else_changes(start_service, stand_in):
    service = start_service(cloud=cloud_section(stand_in.url))
    amr, amr_wb = (base64.b64encode(magic + bytes([0x3C]) * 320).decode() for magic in (b"#!AMR\n", b"#!AMR-WB\n"))
    wav = wav_of_seconds(1)
    members = {amr: ',"encoding":"AMR","sampleRateHertz":8000', amr_wb: ',"encoding":"AMR_WB","sampleRateHertz":16000',
               wav: "", "IyFB": "", "not base64": ""}  # "IyFB" is "#!A": shorter than the magic
    for audio, added in members.items():
        stand_in.received.clear()
        assert service.call("POST", "/transcribe", json.dumps({"audio": audio, "language": "en-US",
                                                                "language-alternatives": ["en-GB"]})).status == 200
        assert stand_in.received[0].body.decode() == (
            f'{{"config":{{"languageCode":"en-US","alternativeLanguageCodes":["en-GB"]{added}}},'
            f'"audio":{{"content":"{audio}"}}}}')


def test_a_redacted_trace_keeps_tokens_keys_and_voices_out(start_service, stand_in):
    stand_in.script = lambda request: Answer(body=RECOGNIZED % b"my pin is four two" if b'"audio"' in request.body
                                             else b'{"sentences":"my pin is four two"}')
    service = start_service({"client-auth-token": "client-secret", "admin-auth-token": "admin-secret",
                             "trace": "redacted"}, cloud_section(stand_in.url, key="cloud-secret"))
    audio = "QUJD" * 2_500_000  # 10 MB of base64
    body = json.dumps({"audio": audio})
    subscriber = [("x-tarvex-msisdn", "15550100"), ("X-Tarvex-Mailbox", "5550199")]
    assert service.call("POST", "/transcribe?caller=15550100", body,
                        [("Authorization", "client-secret"), *subscriber]).status == 200
    out = service.exit()
    for secret in ("client-secret", "admin-secret", "cloud-secret", "QUJDQUJD", "four two", "5550", "caller="):
        assert secret not in out, secret
    assert "  x-tarvex-msisdn: *****100\n  X-Tarvex-Mailbox: ****199\n" in out
    request = out[out.index("Received a POST"):out.index("Received a GET")]
    assert len(request) < 2048, request
    assert f"Input data: <<<\n[redacted {len(body)} bytes]>>>\n" in request
    assert "Authorization: [redacted 13 bytes]\n" in request
    assert f"[{stand_in.url}/speech:recognize?key=[redacted 12 bytes]]\n" in request
    assert "Data [34 bytes] <0>\n[redacted 34 bytes]\n" in request


def test_connections_are_kept_for_the_next_call_while_whole_and_open(start_service, stand_in):
    stand_in.keep_alive = True
    service = start_service(cloud={**cloud_section(stand_in.url), "call-timeout": 1, "cloud-idle-connections": 1,
                                   "cloud-idle-timeout": 2, "cloud-retries": 0})
    # Four calls, one connection; a failure, a time-out or a cut reply leaves its connection unkept.
    assert [service.transcribe(audio).status for audio in ("a", "b", "speech-close", "speech-silent", "c")] == [
        200, 200, 401, 408, 200]
    assert len(stand_in.peers_seen) == 4  # the cut one was sent again once, on a fresh connection
    # The endpoint closes its idle connection: the next call goes on a fresh one, whenever it sees the close.
    stand_in.drop_connections()
    assert service.transcribe("d").status == 200 and len(stand_in.peers_seen) == 5
    # Two calls at once: one connection kept of two, and dropped once idle past cloud-idle-timeout.
    with ThreadPoolExecutor(2) as pool:
        assert [reply.status for reply in pool.map(service.transcribe, ["e", "f"])] == [200, 200]
    service.wait_for(re.escape(f"Idle HTTP connection to [http 127.0.0.1 {stand_in.server_port}] closed: idle past "
                               "cloud-idle-timeout\n"))
    assert service.transcribe("g").status == 200
    service.proc.send_signal(signal.SIGTERM)
    out = service.output() if service.wait() == 0 else ""
    assert out.count("Reuse HTTP connection for <") >= 3
    assert "closed: the service is stopping\n" in out
