"""The local cloud emulator over HTTP, as the service and other clients use it, and
the whole chain an operator runs offline: the service against the emulator."""
import base64
import json
import re
import select
import signal
import socket
import struct
import subprocess
import time
import wave
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import HANG, TESTDATA, Emulator, Process, call, closed_unanswered, cloud_section, eventually

RECOGNIZE = "/v1/speech:recognize?key=cloud-key"
LONG_RUNNING = "/v1/speech:longrunningrecognize?key=cloud-key"
SENTIMENT = "/v1/documents:analyzeSentiment?key=cloud-key"


def wav(samples):
    """16 kHz mono LINEAR16 samples in a WAV file."""
    return struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(samples), b"WAVE", b"fmt ", 16, 1, 1, 16000, 32000, 2,
                       16, b"data", len(samples)) + samples


RAW = Path(TESTDATA, "goforward.raw").read_bytes()  # "go forward ten meters", 44580 samples
GO_FORWARD = wav(RAW)


def librivox(*names, pause=1.5):
    """The librivox recordings one after another, `pause` seconds of silence between them."""
    silence = bytes(int(pause * 16000) * 2)
    parts = []
    for name in names:
        with wave.open(f"{TESTDATA}/librivox/sense_and_sensibility_01_austen_64kb-{name}.wav") as w:
            parts.append(w.readframes(w.getnframes()))
    return wav(silence.join(parts))


def seconds(duration):
    return float(duration.rstrip("s"))


def recognition(audio, language="en-US", **config):
    return {"config": {"languageCode": language, **config}, "audio": {"content": base64.b64encode(audio).decode()}}


def google_error(reply, code, status, message=""):
    assert reply.status == code, reply.body
    assert reply.headers["Content-Type"].startswith("application/json")
    error = json.loads(reply.body)["error"]
    assert (error["code"], error["status"]) == (code, status)
    assert message in error["message"], error["message"]
    return error


def test_recognition_answers_in_google_shape(emulator):
    reply = emulator.call(RECOGNIZE, recognition(GO_FORWARD))
    assert reply.status == 200, reply.body
    answer = json.loads(reply.body)
    result = answer["results"][0]
    assert result["alternatives"][0]["transcript"] == "go forward ten meters"
    assert 0 < result["alternatives"][0]["confidence"] <= 1
    assert (result["resultEndTime"], result["languageCode"], answer["totalBilledTime"]) == ("2.786s", "en-us", "3s")
    assert answer["requestId"].isdigit()


def test_words_alternatives_and_masking_come_from_the_decoder_the_same_every_time(emulator):
    options = {"enableWordTimeOffsets": True, "enableWordConfidence": True, "maxAlternatives": "3"}
    first = json.loads(emulator.call(RECOGNIZE, recognition(GO_FORWARD, **options)).body)
    other = Path(TESTDATA, "librivox/sense_and_sensibility_01_austen_64kb-0880.wav").read_bytes()
    assert emulator.call(RECOGNIZE, recognition(other)).status == 200
    again = json.loads(emulator.call(RECOGNIZE, recognition(GO_FORWARD, **options)).body)
    first.pop("requestId"), again.pop("requestId")
    assert first == again  # whatever each worker decoded in between
    best, *others = first["results"][0]["alternatives"]
    assert [w["word"] for w in best["words"]] == best["transcript"].split() == ["go", "forward", "ten", "meters"]
    starts = [float(w["startTime"][:-1]) for w in best["words"]]
    assert starts == sorted(starts) and float(best["words"][-1]["endTime"][:-1]) <= 2.786
    assert all(0 < w["confidence"] <= 1 for w in best["words"])
    assert 1 <= len(others) <= 2 and len({a["transcript"] for a in first["results"][0]["alternatives"]}) == 1 + len(
        others)
    bare = json.loads(emulator.call(RECOGNIZE, recognition(GO_FORWARD, enableWordTimeOffsets=True)).body)
    assert set(bare["results"][0]["alternatives"][0]["words"][0]) == {"startTime", "endTime", "word"}


def test_a_pause_ends_a_result_whose_words_keep_their_place_in_the_recording(emulator):
    # 2.99 s, a pause of 1.5 s, 3.29 s
    body = recognition(librivox("0880", "0930"), enableWordTimeOffsets=True, maxAlternatives=3)
    results = json.loads(emulator.call(RECOGNIZE, body).body)["results"]
    assert [r["alternatives"][0]["transcript"].split()[:3] for r in results] == [["he", "was", "not"],
                                                                                 ["he", "might", "even"]]
    ends = [seconds(r["resultEndTime"]) for r in results]
    assert ends[0] < 2.99 + 0.75 < ends[1] == 7.78
    second = results[1]["alternatives"]
    assert all(seconds(w["startTime"]) > 2.99 + 0.75 for w in second[0]["words"])
    assert {r["languageCode"] for r in results} == {"en-us"} and 1 < len(second) <= 3
    assert not any(a["transcript"].startswith("he was") for a in second)


def operation(emulator, name):
    reply = call(emulator.port, "GET", f"/v1/operations/{name}?key=cloud-key")
    return reply.status, json.loads(reply.body)


def finished(emulator, name):
    for _ in range(HANG * 6):  # a long recording on a sanitizer build: a guard against hangs only
        status, answer = operation(emulator, name)
        if status != 200 or answer.get("done"):
            return answer
        time.sleep(0.5)
    raise AssertionError(f"operation {name} still running")


def test_long_recordings_go_through_operations_and_a_full_queue_refuses_more(request, tmp_path):
    emulator = Emulator(request.config.getoption("--emulator"), tmp_path, "--prefix", "/v1", "--api-key", "cloud-key",
                        "--workers", 1, "--queue", 0, "--operations", 1)
    try:
        long = librivox("0870", "0880", "0890", "0920", "0930", "0870", "0880", "0890", "0920", "0930", "0870")
        started = json.loads(emulator.call(LONG_RUNNING, recognition(long)).body)
        for target in [RECOGNIZE, LONG_RUNNING]:  # the one worker is busy: its job fills the queue
            google_error(emulator.call(target, recognition(GO_FORWARD)), 429, "RESOURCE_EXHAUSTED")
        status, running = operation(emulator, started["name"])
        assert (status, running) == (200, started) and "done" not in running
        assert running["metadata"]["@type"].endswith("speech.v1.LongRunningRecognizeMetadata")
        response = finished(emulator, started["name"])["response"]
        assert response["@type"] == "type.googleapis.com/google.cloud.speech.v1.LongRunningRecognizeResponse"
        results = response["results"]
        ends = [seconds(r["resultEndTime"]) for r in results]
        assert len(results) >= 8 and ends == sorted(ends) and ends[-1] == 71.56 and response["totalBilledTime"] == "72s"
        assert "dashwood" in results[0]["alternatives"][0]["transcript"]
        assert "power to do for" in results[-1]["alternatives"][0]["transcript"]
        failed = json.loads(emulator.call(LONG_RUNNING, recognition(b"not audio")).body)["name"]
        assert finished(emulator, failed)["error"]["code"] == 3  # INVALID_ARGUMENT
        assert operation(emulator, started["name"])[0] == 404  # only the newest finished one is kept
        # Its queue, for watching a run: in Prometheus' format, which promtool checks.
        scrape = call(emulator.port, "GET", "/metrics").body
        assert subprocess.run(["promtool", "check", "metrics"], input=scrape).returncode == 0
        for line in ['s2t_emulator_recognitions_total{outcome="ok"} 1',
                     's2t_emulator_recognitions_total{outcome="resource_exhausted"} 2',
                     's2t_emulator_recognitions_total{outcome="invalid_argument"} 1', "s2t_emulator_queue_depth 0",
                     "s2t_emulator_recognitions_in_progress 0", "s2t_emulator_decode_seconds_count 1"]:
            assert line in scrape.decode().splitlines(), line
    finally:
        emulator.finish()


def test_google_client_libraries_in_rest_mode_read_every_reply(emulator, tmp_path):
    (tmp_path / "goforward.wav").write_bytes(GO_FORWARD)
    script = Path(__file__).resolve().parent.parent / "emulator/tests/google-clients.js"
    done = subprocess.run(["node", script, str(emulator.port), "cloud-key", tmp_path / "goforward.wav",
                           Path(TESTDATA, "goforward.raw")], capture_output=True, text=True, timeout=HANG)
    assert done.returncode == 0, done.stdout + done.stderr


def test_audio_without_speech_gives_an_empty_object(emulator):
    assert emulator.call(RECOGNIZE, recognition(wav(bytes(64000)))).body == b"{}"


@pytest.mark.parametrize("body, message", [
    ({"config": {"languageCode": "en-US"}}, "RecognitionAudio not set"),
    ({"config": {"languageCode": "en-US"}, "audio": {"content": ""}}, "RecognitionAudio not set"),
    ({"config": {"languageCode": "en-US"}, "audio": {"content": "not base64!"}}, "Base64 decoding failed"),
    ({"audio": {"content": "QQ=="}}, "RecognitionConfig not set"),
    ({"config": "en-US", "audio": {"content": "QQ=="}}, "RecognitionConfig not set"),
    (recognition(RAW, encoding=["LINEAR16"], sampleRateHertz=16000), "config.encoding"),
    (recognition(RAW, encoding=10, sampleRateHertz=16000), "config.encoding"),
    (recognition(RAW, encoding="LINEAR16", sampleRateHertz="16k"), "between 8000 and 48000"),
    (recognition(GO_FORWARD, maxAlternatives=31), "max_alternatives"),
    (recognition(GO_FORWARD, enableWordTimeOffsets="yes"), "enable_word_time_offsets"),
    (recognition(b"this is plain text, not a recording"), "WAV or FLAC"),
    (recognition(GO_FORWARD, "de-DE"), "en-US"),
    (recognition(GO_FORWARD, ""), "language_code"),
    (recognition(GO_FORWARD, sampleRateHertz=8000), "match the value in the WAV header (16000)"),
    (recognition(GO_FORWARD, sampleRateHertz=7999), "between 8000 and 48000"),
    (recognition(GO_FORWARD, languagecode="en-US"), "Unknown name \"languagecode\" at 'config'"),
    (recognition(wav(bytes(61 * 32000))), "Sync input too long"),
    ('{"config":', "Invalid JSON payload"),
    (" " * (10 * 1024 * 1024 + 1), "exceeds the limit: 10485760 bytes")])
def test_recognition_refuses_what_google_refuses(emulator, body, message):
    google_error(emulator.call(RECOGNIZE, body), 400, "INVALID_ARGUMENT", message)


def telephone(*sox_output):
    """The go-forward recording at 8 kHz, as sox writes it with `sox_output` (type and encoding)."""
    return subprocess.run(["sox", "-R", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                           Path(TESTDATA, "goforward.raw"), *sox_output, "-", "rate", "8000"],
                          capture_output=True, check=True).stdout


@pytest.fixture(scope="module")
def voicemail(request, tmp_path_factory):
    """{format: (the go-forward recording in it, the config members it needs)}."""
    awb = tmp_path_factory.mktemp("voicemail") / "goforward.awb"
    subprocess.run([Path(request.config.getoption("--emulator")).parent / "tests/amrwb-encode",
                    Path(TESTDATA, "goforward.raw"), awb], check=True)
    return {"AMR-NB": (telephone("-t", "amr-nb", "-C", "7"), {"encoding": "AMR", "sampleRateHertz": 8000}),
            "AMR-WB": (awb.read_bytes(), {"encoding": "AMR_WB", "sampleRateHertz": 16000}),
            "mu-law WAV": (telephone("-t", "wav", "-e", "u-law"), {"encoding": "MULAW", "sampleRateHertz": 8000}),
            "A-law WAV": (telephone("-t", "wav", "-e", "a-law"), {})}


def test_voicemail_formats_are_recognised(emulator, voicemail):
    for name, (audio, config) in voicemail.items():
        reply = emulator.call(RECOGNIZE, recognition(audio, **config))
        assert reply.status == 200, (name, reply.body)
        words = json.loads(reply.body)["results"][0]["alternatives"][0]["transcript"].split()
        assert words[:2] == ["go", "forward"], (name, words)  # 8 kHz often mishears the rest


@pytest.mark.parametrize("audio, config, message", [
    ("AMR-NB", {}, "bad encoding.. AMR-NB audio needs config.encoding AMR "),
    ("AMR-NB", {"encoding": "LINEAR16", "sampleRateHertz": 8000}, "Specify AMR encoding to match file header"),
    ("AMR-WB", {"encoding": "AMR_WB", "sampleRateHertz": 8000}, "AMR_WB audio needs sample_rate_hertz 16000"),
    ("truncated AMR-NB", {"encoding": "AMR", "sampleRateHertz": 8000}, "'audio.content': the AMR-NB audio ends inside"),
    (b"#!AMR\nthis is not audio", {"encoding": "AMR", "sampleRateHertz": 8000}, "has frame type 14"),
    (b"#!AM", {"encoding": "AMR", "sampleRateHertz": 8000}, "config.encoding is AMR, but the audio content does not"),
    (RAW, {}, "bad encoding.. Audio content that is not WAV or FLAC needs config.encoding"),
    (GO_FORWARD, {"encoding": "MULAW"}, "Specify LINEAR16 encoding to match file header (config.encoding is MULAW)")],
    ids=["no encoding", "other encoding", "other rate", "truncated", "garbage", "shorter than the magic", "headerless",
         "WAV's encoding"])
def test_voicemail_its_config_contradicts_is_refused_naming_the_field(emulator, voicemail, audio, config, message):
    if isinstance(audio, str):
        audio = voicemail[audio.replace("truncated ", "")][0][:-7 if "truncated" in audio else None]
    google_error(emulator.call(RECOGNIZE, recognition(audio, **config)), 400, "INVALID_ARGUMENT", message)


def test_decoding_leaves_the_loop_free_and_callers_free_to_leave(emulator):
    def post_without_waiting(name):
        body = json.dumps(recognition(Path(TESTDATA, f"librivox/sense_and_sensibility_01_austen_64kb-{name}.wav")
                                      .read_bytes())).encode()
        sock = socket.create_connection(("127.0.0.1", emulator.port))
        sock.sendall(b"POST %s HTTP/1.1\r\nHost: h\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                     % (RECOGNIZE.encode(), len(body), body))
        return sock

    post_without_waiting("0880").close()
    with post_without_waiting("0870") as decoding:
        assert emulator.call(SENTIMENT, {"document": {"type": "PLAIN_TEXT", "content": "Good."}}).status == 200
        assert select.select([decoding], [], [], 0)[0] == [], "the recognition ended before the sentiment answer"
        decoding.settimeout(60)
        answer = decoding.makefile("rb").read().decode()
    assert "consider how much there might be" in answer and '"resultEndTime":"7.100s"' in answer


@pytest.mark.parametrize("document, sentences", [
    ({"type": "PLAIN_TEXT", "content": "I love this phone. The battery is terrible."},
     [("I love this phone.", 0), ("The battery is terrible.", 19)]),
    ({"type": 2, "content": "<p>I <b>love</b> it.</p><p>Awful service.</p>"},
     [("I love it.", 3), ("Awful service.", 27)])])
def test_sentiment_scores_each_sentence_in_google_shape(emulator, document, sentences):
    # Enums by name or, as Google's client libraries send them, by number.
    answer = json.loads(emulator.call(SENTIMENT, {"document": document, "encodingType": 1}).body)
    assert [(s["text"]["content"], s["text"]["beginOffset"]) for s in answer["sentences"]] == sentences
    assert answer["sentences"][0]["sentiment"]["score"] > 0 > answer["sentences"][1]["sentiment"]["score"]
    assert answer["language"] == "en" and answer["documentSentiment"]["magnitude"] > 0


def test_sentiment_offsets_count_in_the_units_asked(emulator):
    # "é" is 2 bytes in UTF-8; the emoji 4 bytes, 2 UTF-16 units, 1 code point.
    document = {"type": "PLAIN_TEXT", "content": "Caf\u00e9 first. \U0001F600 Great day! Bye.", "language": "en-GB"}
    for encoding, offsets in [("UTF8", [0, 13, 29]), ("UTF16", [0, 12, 26]), ("UTF32", [0, 12, 25]),
                              ("NONE", [-1, -1, -1])]:
        answer = json.loads(emulator.call(SENTIMENT, {"document": document, "encodingType": encoding}).body)
        assert [s["text"]["beginOffset"] for s in answer["sentences"]] == offsets, encoding
        assert answer["language"] == "en-GB"


@pytest.mark.parametrize("body, message", [
    ({}, "'document' is required"),
    ({"document": {"content": "Good."}}, "type is missing"),
    ({"document": {"type": "PDF", "content": "Good."}}, '"PDF"'),
    ({"document": {"type": "PLAIN_TEXT", "content": ""}}, "content, or gcs_content_uri must be set"),
    ({"document": {"type": "PLAIN_TEXT", "content": 5}}, "content, or gcs_content_uri must be set"),
    ({"document": {"type": "PLAIN_TEXT", "content": "Bon.", "language": "fr"}}, "The language fr is not supported"),
    ({"document": {"type": "PLAIN_TEXT", "text": "Good."}}, "Unknown name \"text\" at 'document'"),
    ({"document": {"type": 1, "content": "Good.", "referenceWebUri": "x"}}, "Unknown name \"referenceWebUri\""),
    ({"document": {"type": 3, "content": "Good."}}, '"3"'),
    ({"document": {"type": "PLAIN_TEXT", "content": "Good."}, "encodingType": "LATIN1"}, "encoding_type"),
    ("[1,2]", "Invalid JSON payload")])
def test_sentiment_refuses_what_google_refuses(emulator, body, message):
    google_error(emulator.call(SENTIMENT, body), 400, "INVALID_ARGUMENT", message)


def test_keys_paths_and_methods_are_checked_as_google_does(emulator):
    body = json.dumps(recognition(GO_FORWARD))
    assert "details" not in google_error(emulator.call("/v1/speech:recognize", body), 403, "PERMISSION_DENIED", "API Key")
    error = google_error(emulator.call("/v1/speech:recognize?key=guess", body), 400, "INVALID_ARGUMENT",
                         "API key not valid")
    assert (error["details"][0]["reason"], error["details"][0]["metadata"]["service"]) == (
        "API_KEY_INVALID", "speech.googleapis.com")
    google_error(emulator.call("/v1/documents:analyzeSentiment?key=guess", "{}"), 400, "INVALID_ARGUMENT", "API key")
    google_error(emulator.call(SENTIMENT.replace("?", "?alt=json&"), "{}"), 400, "INVALID_ARGUMENT", "'document'")
    assert call(emulator.port, "POST", "/v1/speech%3Arecognize", body, [("X-Goog-Api-Key", "cloud-key")]).status == 200
    for target in ["/speech:recognize?key=cloud-key", "/v1/operations/?key=cloud-key"]:
        google_error(emulator.call(target, body), 404, "NOT_FOUND", target.split("?")[0])
    google_error(call(emulator.port, "GET", "/v1/operations/1"), 403, "PERMISSION_DENIED", "API Key")
    google_error(call(emulator.port, "GET", "/v1/operations/1?key=cloud-key"), 404, "NOT_FOUND", "not found")
    for method, target, allowed in [("GET", RECOGNIZE, "POST"), ("PUT", RECOGNIZE, "POST"), ("DELETE", RECOGNIZE, "POST"),
                                    ("PATCH", LONG_RUNNING, "POST"), ("POST", "/v1/operations/1", "GET")]:
        reply = call(emulator.port, method, target)
        google_error(reply, 405, "METHOD_NOT_ALLOWED", method)
        assert reply.headers["Allow"] == allowed


def test_fast_mode_answers_with_the_given_text_but_still_reads_the_audio(request, tmp_path):
    fast = Emulator(request.config.getoption("--emulator"), tmp_path, "--transcript", "hello damn fast", "--prefix",
                    "v1/")
    try:
        result = json.loads(fast.call("/v1/speech:recognize", recognition(GO_FORWARD)).body)["results"][0]
        assert (result["alternatives"][0]["transcript"], result["resultEndTime"]) == ("hello damn fast", "2.786s")
        masked = json.loads(fast.call("/v1/speech:recognize", recognition(GO_FORWARD, profanityFilter=True)).body)
        assert masked["results"][0]["alternatives"][0]["transcript"] == "hello d*** fast"
        google_error(fast.call("/v1/speech:recognize", recognition(b"no audio")), 400, "INVALID_ARGUMENT", "WAV")
        fast.wait_for("POST /v1/speech:recognize 400 Invalid recognition 'config': bad encoding")
        # A second after a burst the memory it freed is given back (AddressSanitizer's allocator keeps it).
        rss = lambda: int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{fast.proc.pid}/status").read_text()).group(1))
        before, minute = rss(), json.dumps(recognition(wav(bytes(59 * 32000))))
        with ThreadPoolExecutor(40) as pool:
            assert set(pool.map(lambda _: fast.call("/v1/speech:recognize", minute).status, range(40))) == {200}
        if b"__asan_init" not in Path(request.config.getoption("--emulator")).read_bytes():
            eventually(lambda: rss() < before + 32 * 1024)
    finally:
        fast.finish(sig=signal.SIGINT)


@pytest.mark.parametrize("args, status", [
    (["--help"], 0), (["--port", "http"], 2), (["--workers", "0"], 2), (["--no-such-option"], 2), (["extra"], 2),
    (["--word-list", "/nonexistent/index.json", "--transcript", "x"], 1),
    (["--hmm", "/nonexistent", "--port", "0", "--workers", "1"], 1)])
def test_settings_that_cannot_be_used_stop_it_at_once(request, tmp_path, args, status):
    emulator = Process([request.config.getoption("--emulator"), *args], tmp_path)
    assert emulator.wait() == status
    assert not re.search(r"listening on \S+:\d", emulator.output())
    emulator.check_clean()


def test_a_voicemail_comes_back_with_its_sentiment(start_service, emulator, voicemail):
    service = start_service({"client-auth-token": "platform"},
                            cloud_section(f"http://127.0.0.1:{emulator.port}/v1", key="cloud-key"))
    body = json.dumps({"audio": base64.b64encode(GO_FORWARD).decode(), "language": "en-US"})
    reply = service.call("POST", "/transcribe", body, [("Authorization", "platform"), ("X-Tarvex-TranID", "gf")])
    assert (reply.status, reply.reason, reply.headers["Content-Type"]) == (200, "OK", "application/json")
    answer = json.loads(reply.body)
    assert answer["language"] == "en-us" and -1 <= answer["documentSentiment"]["score"] <= 1
    assert [s["text"]["content"] for s in answer["sentences"]] == ["go forward ten meters"]
    # Telephone voicemail as the platform stores it: the service names AMR's encoding itself.
    for name in ("AMR-NB", "AMR-WB", "mu-law WAV"):
        body = json.dumps({"audio": base64.b64encode(voicemail[name][0]).decode(), "language": "en-US"})
        reply = service.call("POST", "/transcribe", body, [("Authorization", "platform")])
        assert reply.status == 200, (name, reply.body)
        words = json.loads(reply.body)["sentences"][0]["text"]["content"].split()
        assert words[:2] == ["go", "forward"], (name, words)


def bytes_sent_before_closed(port, head, trickled):
    """How many bytes of `trickled` went out, a quarter of a second apart after `head`, before
    the emulator closed the connection (all if it never did). Interim replies are read."""
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(head)
        for sent in range(len(trickled)):
            while select.select([sock], [], [], 0.25)[0]:
                if not sock.recv(100).startswith(b"HTTP/1.1 100 Continue\r\n\r\n"):
                    return sent
            sock.sendall(trickled[sent:sent + 1])
    return len(trickled)


def test_idle_and_trickling_clients_oversized_documents_and_descriptor_exhaustion_do_not_hold_it_up(request,
                                                                                                    tmp_path):
    fast = Emulator(request.config.getoption("--emulator"), tmp_path, "--transcript", "x", "--timeout", "1")
    try:
        assert closed_unanswered(fast.port)
        # A request must arrive whole within the time-out of its first byte (and a second per 64 KiB).
        header = b"POST /documents:analyzeSentiment HTTP/1.1\r\nHost: h\r\nContent-Length: 40\r\n"
        assert bytes_sent_before_closed(fast.port, b"", header + b"\r\n") < 20
        assert bytes_sent_before_closed(fast.port, header + b"Expect: 100-continue\r\n\r\n", b" " * 40) < 20
        google_error(fast.call("/documents:analyzeSentiment", {"document": {"type": "PLAIN_TEXT",
                                                                            "content": "a" * 1000001}}),
                     400, "INVALID_ARGUMENT", "1000000 bytes")
        give_back = fast.starve_descriptors()
        with socket.create_connection(("127.0.0.1", fast.port)):
            fast.wait_for("accepting paused: Too many open files")
            give_back()
            assert fast.call("/documents:analyzeSentiment", {"document": {"content": "good"}}).status == 400
        assert fast.output().count("accepting paused") == 1
    finally:
        fast.finish(sig=signal.SIGINT)


def test_a_message_of_over_a_minute_comes_back_whole(start_service, emulator):
    # Its recognition takes what the machine needs: the service's own bound is the guard.
    cloud = cloud_section(f"http://127.0.0.1:{emulator.port}/v1", key="cloud-key")
    service = start_service(cloud={**cloud, "long-running-timeout": 600})
    message = librivox("0870", "0880", "0890", "0920", "0930", "0870", "0880", "0890", "0920", "0930", "0870")
    reply = service.transcribe(base64.b64encode(message).decode(), timeout=660, language="en-US")
    assert reply.status == 200, reply.body
    said = " ".join(sentence["text"]["content"] for sentence in json.loads(reply.body)["sentences"])
    assert "dashwood" in said[:40] and "power to do for" in said[-40:]  # its first part and its last, joined
    out = service.exit()
    assert "Recording of [71.6] seconds is over a minute: long-running recognition for <0>" in out
