"""The local cloud emulator over HTTP, as the service and other clients use it, and
the whole chain an operator runs offline: the service against the emulator."""
import base64
import hashlib
import json
import re
import select
import signal
import socket
import struct
import subprocess
import time
import urllib.parse
import wave
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from conftest import (HANG, METADATA_TOKEN, TESTDATA, Emulator, Process, call, closed_unanswered, cloud_section,
                      eventually, google_emulator, samples)

RECOGNIZE = "/v1/speech:recognize?key=cloud-key"
LONG_RUNNING = "/v1/speech:longrunningrecognize?key=cloud-key"
SENTIMENT = "/v1/documents:analyzeSentiment?key=cloud-key"
BUCKET = "s2t-audio"
UPLOAD = f"/upload/storage/v1/b/{BUCKET}/o?uploadType=media&name="
OBJECTS = f"/storage/v1/b/{BUCKET}/o/"


def wav(samples):
    """16 kHz mono LINEAR16 samples in a WAV file."""
    return struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(samples), b"WAVE", b"fmt ", 16, 1, 1, 16000, 32000, 2,
                       16, b"data", len(samples)) + samples


GO_FORWARD = wav(Path(TESTDATA, "goforward.raw").read_bytes())  # "go forward ten meters", 44580 samples


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


@pytest.fixture
def start_emulator(request, tmp_path):
    """Starts an emulator (`account`: with a service account of its own) in a folder of its own; each is
    finished at the end of the test with `sig`, its exit status and output checked."""
    started = []

    def start(*args, account=False, sig=signal.SIGTERM):
        folder = tmp_path / f"emulator{len(started)}"
        folder.mkdir()
        started.append(((google_emulator if account else Emulator)(request.config.getoption("--emulator"), folder,
                                                                    *args), sig))
        return started[-1][0]

    yield start
    for emulator, sig in started:
        emulator.finish(sig=sig)


def recognition(audio, language="en-US", **config):
    """A request with `audio` inline, or, given a gs:// URI, by reference."""
    source = {"uri": audio} if isinstance(audio, str) else {"content": base64.b64encode(audio).decode()}
    return {"config": {"languageCode": language, **config}, "audio": source}


def google_error(reply, code, status, message=""):
    assert reply.status == code, reply.body
    assert reply.headers["Content-Type"].startswith("application/json")
    error = json.loads(reply.body)["error"]
    assert (error["code"], error["status"]) == (code, status)
    assert message in error["message"], error["message"]
    return error


def test_the_decoders_results_come_in_google_shape_the_same_every_time_and_silence_as_none(emulator):
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
    assert emulator.call(RECOGNIZE, recognition(wav(bytes(64000)))).body == b"{}"  # silence: no result


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
    assert 1 < len(second) <= 3
    assert not any(a["transcript"].startswith("he was") for a in second)


def operation(emulator, name):
    reply = emulator.call(f"/v1/operations/{name}?key=cloud-key", method="GET")
    return reply.status, json.loads(reply.body)


def finished(emulator, name):
    for _ in range(HANG * 6):  # a long recording on a sanitizer build: a guard against hangs only
        status, answer = operation(emulator, name)
        if status != 200 or answer.get("done"):
            return answer
        time.sleep(0.5)
    raise AssertionError(f"operation {name} still running")


def test_long_recordings_go_through_operations_and_a_full_queue_refuses_more(start_emulator):
    emulator = start_emulator("--prefix", "/v1", "--api-key", "cloud-key", "--workers", 1, "--queue", 0,
                              "--operations", 1, "--bucket", BUCKET, account=True)
    long = librivox("0870", "0880", "0890", "0920", "0930", "0870", "0880", "0890", "0920", "0930", "0870")
    assert emulator.call(UPLOAD + "long.wav", long).status == 200  # over a minute: by URI only
    started = json.loads(emulator.call(LONG_RUNNING, recognition(f"gs://{BUCKET}/long.wav")).body)
    for target in [RECOGNIZE, LONG_RUNNING]:  # the one worker is busy: its job fills the queue
        google_error(emulator.call(target, recognition(GO_FORWARD)), 429, "RESOURCE_EXHAUSTED")
    status, running = operation(emulator, started["name"])
    assert (status, running["name"]) == (200, started["name"]) and "done" not in running
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


def node(script, tmp_path, *args):
    """Runs emulator/tests/`script` with `args`, the go-forward recording as a WAV file last; passes if it does."""
    (tmp_path / "goforward.wav").write_bytes(GO_FORWARD)
    done = subprocess.run(["node", Path(__file__).resolve().parent.parent / "emulator/tests" / script, *args,
                           tmp_path / "goforward.wav"], capture_output=True, text=True, timeout=HANG)
    assert done.returncode == 0, done.stdout + done.stderr


def test_google_client_libraries_in_rest_mode_read_every_reply(emulator, tmp_path):
    node("google-clients.js", tmp_path, str(emulator.port), "cloud-key", Path(TESTDATA, "goforward.raw"))


@pytest.mark.parametrize("body, message", [
    ({"config": {"languageCode": "en-US"}, "audio": {"content": ""}}, "RecognitionAudio not set"),
    ({"audio": {"content": "QQ=="}}, "RecognitionConfig not set"),
    (recognition(GO_FORWARD, "de-DE"), "en-US"),
    (recognition(GO_FORWARD, ""), "language_code"),
    (recognition(GO_FORWARD, sampleRateHertz=8000), "match the value in the WAV header (16000)"),
    (recognition(GO_FORWARD, languagecode="en-US"), "Unknown name \"languagecode\" at 'config'"),
    ('{"config":', "Invalid JSON payload"),
    (" " * (10 * 1024 * 1024 + 1), "exceeds the limit: 10485760 bytes")])
def test_recognition_refuses_what_google_refuses(emulator, body, message):
    # Each field's own bounds are SpeechMethodTest's.
    google_error(emulator.call(RECOGNIZE, body), 400, "INVALID_ARGUMENT", message)


@pytest.fixture(scope="module")
def voicemail(request, tmp_path_factory):
    """{format: (the go-forward recording in it, the config members it needs)}: AMR-NB as sox writes it."""
    awb, raw = tmp_path_factory.mktemp("voicemail") / "goforward.awb", Path(TESTDATA, "goforward.raw")
    subprocess.run([Path(request.config.getoption("--emulator")).parent / "tests/amrwb-encode", raw, awb], check=True)
    amr = subprocess.run(["sox", "-R", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", raw,
                          "-t", "amr-nb", "-C", "7", "-", "rate", "8000"], capture_output=True, check=True).stdout
    return {"AMR-NB": (amr, {"encoding": "AMR", "sampleRateHertz": 8000}),
            "AMR-WB": (awb.read_bytes(), {"encoding": "AMR_WB", "sampleRateHertz": 16000})}


def test_voicemail_formats_are_recognised(emulator, voicemail):
    for name, (audio, config) in voicemail.items():
        reply = emulator.call(RECOGNIZE, recognition(audio, **config))
        assert reply.status == 200, (name, reply.body)
        words = json.loads(reply.body)["results"][0]["alternatives"][0]["transcript"].split()
        assert words[:2] == ["go", "forward"], (name, words)  # 8 kHz often mishears the rest


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


def test_sentiment_offsets_count_in_the_units_asked(emulator):
    # Scores are SentimentAnalyzerTest's; HTML documents and enums by number, google-clients.js's.
    # "é" is 2 bytes in UTF-8; the emoji 4 bytes, 2 UTF-16 units, 1 code point.
    document = {"type": "PLAIN_TEXT", "content": "Caf\u00e9 first. \U0001F600 Great day! Bye.", "language": "en-GB"}
    for encoding, offsets in [("UTF8", [0, 13, 29]), ("UTF16", [0, 12, 26]), ("UTF32", [0, 12, 25]),
                              ("NONE", [-1, -1, -1])]:
        answer = json.loads(emulator.call(SENTIMENT, {"document": document, "encodingType": encoding}).body)
        assert [s["text"]["beginOffset"] for s in answer["sentences"]] == offsets, encoding
        assert answer["language"] == "en-GB" and answer["sentences"][1]["text"]["content"] == "\U0001F600 Great day!"


@pytest.mark.parametrize("body, message", [
    ({"document": {"content": "Good."}}, "type is missing"),
    ({"document": {"type": "PDF", "content": "Good."}}, '"PDF"'),
    ({"document": {"type": "PLAIN_TEXT", "content": ""}}, "content, or gcs_content_uri must be set"),
    ({"document": {"type": "PLAIN_TEXT", "content": "Bon.", "language": "fr"}}, "The language fr is not supported"),
    ({"document": {"type": "PLAIN_TEXT", "text": "Good."}}, "Unknown name \"text\" at 'document'"),
    ({"document": {"type": 3, "content": "Good."}}, '"3"'),
    ({"document": {"type": "PLAIN_TEXT", "content": "Good."}, "encodingType": "LATIN1"}, "encoding_type")])
def test_sentiment_refuses_what_google_refuses(emulator, body, message):
    google_error(emulator.call(SENTIMENT, body), 400, "INVALID_ARGUMENT", message)


def test_keys_paths_and_methods_are_checked_as_google_does(emulator):
    body = json.dumps(recognition(GO_FORWARD))
    assert "details" not in google_error(emulator.call("/v1/speech:recognize", body), 403, "PERMISSION_DENIED", "API Key")
    error = google_error(emulator.call("/v1/speech:recognize?key=guess", body), 400, "INVALID_ARGUMENT",
                         "API key not valid")
    assert (error["details"][0]["reason"], error["details"][0]["metadata"]["service"]) == (
        "API_KEY_INVALID", "speech.googleapis.com")
    google_error(emulator.call(SENTIMENT.replace("?", "?alt=json&"), "{}"), 400, "INVALID_ARGUMENT", "'document'")
    assert call(emulator.port, "POST", "/v1/speech%3Arecognize", body, [("X-Goog-Api-Key", "cloud-key")]).status == 200
    for target in ["/speech:recognize?key=cloud-key", "/v1/operations/?key=cloud-key"]:
        google_error(emulator.call(target, body), 404, "NOT_FOUND", target.split("?")[0])
    for method, target, allowed in [("GET", RECOGNIZE, "POST"), ("POST", "/v1/operations/1", "GET")]:
        reply = call(emulator.port, method, target)
        google_error(reply, 405, "METHOD_NOT_ALLOWED", method)
        assert reply.headers["Allow"] == allowed


@pytest.fixture(scope="module")
def google(request, tmp_path_factory):
    """The emulator with a service account and a bucket (of 4 MB), as Google is to the service."""
    emulator = google_emulator(request.config.getoption("--emulator"), tmp_path_factory.mktemp("google"), "--prefix",
                               "/v1", "--api-key", "cloud-key", "--workers", 2, "--bucket", BUCKET, "--storage-bytes",
                               4000000)
    yield emulator
    emulator.finish()


def b64url(data):
    return base64.urlsafe_b64encode(data if isinstance(data, bytes) else json.dumps(data).encode()).rstrip(b"=").decode()


def assertion(account, **claims):
    """The account's signed JWT, `claims` in place of the usual ones (its times are AccessTest's)."""
    now = int(time.time())
    claims = {"iss": account["client_email"], "scope": "https://www.googleapis.com/auth/cloud-platform",
              "aud": account["token_uri"], "iat": now, "exp": now + 3600, **claims}
    signed = b64url({"alg": "RS256", "typ": "JWT", "kid": account["private_key_id"]}) + "." + b64url(claims)
    key = serialization.load_pem_private_key(account["private_key"].encode(), None)
    return signed + "." + b64url(key.sign(signed.encode(), padding.PKCS1v15(), hashes.SHA256()))


@pytest.mark.parametrize("change, error, description", [
    ({}, None, None),
    ({"scope": "openid https://www.googleapis.com/auth/cloud-platform"}, None, None),
    ({"aud": "https://oauth2.googleapis.com/token"}, "invalid_grant", "Invalid JWT: Failed audience check."),
    ({"iss": "other@s2t-local.iam.gserviceaccount.com"}, "invalid_grant", "Invalid grant: account not found"),
    ({"scope": "https://www.googleapis.com/auth/devstorage.read_only"}, "invalid_scope",
     "Invalid OAuth scope or ID token audience provided."),
    ({"grant_type": "client_credentials"}, "unsupported_grant_type", "Invalid grant_type: client_credentials")],
    ids=["good", "among other scopes", "other audience", "other account", "other scope", "other grant"])
def test_the_token_endpoint_trades_only_a_valid_assertion_of_the_account(google, change, error, description):
    # Its signature and its times are AccessTest's.
    change = dict(change)
    form = urllib.parse.urlencode({"grant_type": change.pop("grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer"),
                                   "assertion": assertion(google.account, **change)})
    reply = call(google.port, "POST", "/token", form, [("Content-Type", "application/x-www-form-urlencoded")])
    answer = json.loads(reply.body)
    if error:
        assert (reply.status, answer["error"]) == (400, error) and answer["error_description"].startswith(description)
        return
    assert (reply.status, answer["token_type"], answer["expires_in"]) == (200, "Bearer", 3599)
    bearer = [("Authorization", "Bearer " + answer["access_token"])]
    assert call(google.port, "GET", "/v1/operations/1", headers=bearer).status == 404  # past the check: no such one


def test_with_an_account_every_call_needs_a_live_token_of_it(start_emulator, google):
    body = json.dumps(recognition(GO_FORWARD))
    google_error(call(google.port, "POST", RECOGNIZE, body), 401, "UNAUTHENTICATED",
                 "Request is missing required authentication credential. Expected OAuth 2 access token")
    for method, target in [("POST", SENTIMENT), ("GET", "/v1/operations/1")]:
        reply = call(google.port, method, target, "{}", [("Authorization", "Bearer ya29.guess")])
        google_error(reply, 401, "UNAUTHENTICATED", "Request had invalid authentication credentials. Expected OAuth 2 "
                     "access token, login cookie or other valid authentication credential. See https://developers.")
        assert reply.headers["WWW-Authenticate"].startswith("Bearer ")
    # A token names the caller: a key is not needed then (google-storage.js), but a wrong one is still refused.
    google_error(google.call("/v1/speech:recognize?key=guess", body), 400, "INVALID_ARGUMENT", "API key not valid")
    # Cloud Storage answers in its own shape, and takes no key.
    for method, target, permission in [("POST", UPLOAD + "a", "create"), ("GET", OBJECTS + "a", "get"),
                                       ("DELETE", OBJECTS + "a?key=cloud-key", "delete")]:
        error = json.loads(call(google.port, method, target).body)["error"]
        assert error["code"] == 401 and error["message"].startswith(
            f"Anonymous caller does not have storage.objects.{permission} access to the Google Cloud Storage object.")
        assert (error["errors"][0]["reason"], error["errors"][0]["location"]) == ("required", "Authorization")
    error = json.loads(call(google.port, "GET", OBJECTS + "a", headers=[("Authorization", "Bearer x")]).body)["error"]
    assert (error["code"], error["message"], error["errors"][0]["reason"]) == (401, "Invalid Credentials", "authError")
    # The metadata server answers only a caller that says it is no browser.
    assert call(google.port, "GET", METADATA_TOKEN, headers=[("Metadata-Flavor", "google")]).status == 403
    brief = start_emulator("--transcript", "x", "--token-seconds", 1, account=True)
    answer = json.loads(call(brief.port, "GET", METADATA_TOKEN, headers=[("Metadata-Flavor", "Google")]).body)
    assert answer["expires_in"] == 1
    eventually(lambda: brief.call("/speech:recognize", body).status == 401)


def store(google, method, target, body=b"", *headers):
    return call(google.port, method, target, body, [*google.headers, *headers])


def storage_error(reply, code, reason, message):
    error = json.loads(reply.body)["error"]
    assert (reply.status, error["code"], error["errors"][0]["reason"], error["message"]) == (code, code, reason, message)


def test_storage_keeps_objects_as_google_does_within_its_bound(google):
    reply = store(google, "POST", UPLOAD + "calls%2Fgo%20forward.wav", GO_FORWARD, ("Content-Type", "audio/wav"))
    stored = json.loads(reply.body)
    assert reply.status == 200 and stored["generation"].isdigit()
    assert (stored["kind"], stored["name"], stored["bucket"], stored["size"], stored["contentType"],
            stored["md5Hash"]) == ("storage#object", "calls/go forward.wav", BUCKET, str(len(GO_FORWARD)),
                                   "audio/wav", base64.b64encode(hashlib.md5(GO_FORWARD).digest()).decode())
    target = OBJECTS + "calls%2Fgo%20forward.wav"
    assert json.loads(store(google, "GET", target).body) == stored
    media = store(google, "GET", target + "?alt=media")
    assert (media.status, media.body, media.headers["Content-Type"]) == (200, GO_FORWARD, "audio/wav")
    assert media.headers["X-Goog-Hash"].endswith(",md5=" + stored["md5Hash"])
    # Multipart uploads, as Google's client libraries make them, are google-storage.js's.
    reply = store(google, "DELETE", OBJECTS + "calls%2Fgo%20forward.wav")
    assert (reply.status, reply.body) == (204, b"")
    storage_error(store(google, "GET", "/storage/v1/b/elsewhere/o/a"), 404, "notFound",
                  "The specified bucket does not exist.")
    storage_error(store(google, "POST", UPLOAD.split("?")[0] + "?name=a", b"x"), 400, "wrongUrlForUpload",
                  "Upload requests must include an uploadType URL parameter and a URL path beginning with /upload/")
    # 4 MB at most, which an upload past it names (what counts is AccessTest's).
    assert store(google, "POST", UPLOAD + "big", bytes(3500000)).status == 200
    reply = store(google, "POST", UPLOAD + "more", bytes(600000))
    assert reply.status == 503 and "--storage-bytes" in json.loads(reply.body)["error"]["message"]
    assert store(google, "DELETE", OBJECTS + "big").status == 204


def test_long_audio_is_taken_by_uri_only_and_a_missing_object_is_named(google):
    # Audio read by URI is google-storage.js's; here, what is refused.
    minute = wav(bytes(61 * 32000))
    assert store(google, "POST", UPLOAD + "minute.wav", minute).status == 200
    google_error(google.call(RECOGNIZE, recognition(f"gs://{BUCKET}/minute.wav")), 400, "INVALID_ARGUMENT",
                 "Sync input too long. For audio longer than 1 min use LongRunningRecognize with a 'uri' parameter.")
    google_error(google.call(LONG_RUNNING, recognition(minute)), 400, "INVALID_ARGUMENT",
                 "Inline audio exceeds duration limit. Please use a GCS URI.")
    google_error(google.call(RECOGNIZE, recognition(f"gs://{BUCKET}/missing.wav")), 404, "NOT_FOUND",
                 f"No such object: {BUCKET}/missing.wav")
    # A long-running one starts, and its operation ends with the error.
    started = json.loads(google.call(LONG_RUNNING, recognition(f"gs://{BUCKET}/missing.wav")).body)
    assert finished(google, started["name"])["error"] == {"code": 5, "message": f"No such object: {BUCKET}/missing.wav"}
    assert store(google, "DELETE", OBJECTS + "minute.wav").status == 204


@pytest.mark.parametrize("method, verb, target, body, code, status, statuses", [
    ("recognize", "POST", "/v1/speech:recognize", recognition(GO_FORWARD), 503, "UNAVAILABLE", [200, 503, 500, 503]),
    ("longrunningrecognize", "POST", "/v1/speech:longrunningrecognize", recognition(GO_FORWARD), 429,
     "RESOURCE_EXHAUSTED", [200, 429]),
    ("operations", "GET", "/v1/operations/1", b"", 500, "INTERNAL", [404, 500]),
    ("analyzeSentiment", "POST", "/v1/documents:analyzeSentiment", {}, 504, "DEADLINE_EXCEEDED", [400, 504]),
    ("upload", "POST", UPLOAD + "a", b"x", 503, "backendError", [200, 503]),  # Cloud Storage's reason
    ("delete", "DELETE", OBJECTS + "a", b"", 429, "rateLimitExceeded", [404, 429]),
    ("token", "GET", METADATA_TOKEN, b"", 503, "UNAVAILABLE", [503, 200])])  # its first call was the fixture's
def test_fail_answers_every_nth_call_of_a_method_with_its_fault_in_googles_shape(start_emulator, method, verb,
                                                                                  target, body, code, status, statuses):
    google = start_emulator("--transcript", "x", "--prefix", "/v1", "--bucket", BUCKET, "--fail",
                            f"{method}:2:{code}", "--fail", "recognize:3:500", account=True)
    replies = [google.call(target, body, verb, [("Metadata-Flavor", "Google")]) for _ in statuses]
    assert [reply.status for reply in replies] == statuses  # the first rule that falls on a call answers it
    error = json.loads(replies[statuses.index(code)].body)["error"]
    assert (error["code"], error.get("status") or error["errors"][0]["reason"]) == (code, status)
    scrape = samples(call(google.port, "GET", "/metrics").body.decode())
    assert scrape[("s2t_emulator_faults_total", f'method="{method}",code="{code}"')] == statuses.count(code)


def test_google_client_libraries_store_and_recognise_by_uri_with_a_token_of_ours(google, tmp_path):
    node("google-storage.js", tmp_path, str(google.port), google.token, google.account["project_id"], BUCKET)


def test_fast_mode_answers_with_the_given_text_but_still_reads_the_audio(request, start_emulator):
    fast = start_emulator("--transcript", "hello damn fast", "--prefix", "v1/", sig=signal.SIGINT)
    result = json.loads(fast.call("/v1/speech:recognize", recognition(GO_FORWARD)).body)["results"][0]
    assert (result["alternatives"][0]["transcript"], result["resultEndTime"]) == ("hello damn fast", "2.786s")
    google_error(fast.call("/v1/speech:recognize", recognition(b"no audio")), 400, "INVALID_ARGUMENT", "WAV")
    fast.wait_for("POST /v1/speech:recognize 400 Invalid recognition 'config': bad encoding")
    # A second after a burst the memory it freed is given back (AddressSanitizer's allocator keeps it).
    rss = lambda: int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{fast.proc.pid}/status").read_text()).group(1))
    before, minute = rss(), json.dumps(recognition(wav(bytes(59 * 32000))))
    with ThreadPoolExecutor(40) as pool:
        assert set(pool.map(lambda _: fast.call("/v1/speech:recognize", minute).status, range(40))) == {200}
    if b"__asan_init" not in Path(request.config.getoption("--emulator")).read_bytes():
        eventually(lambda: rss() < before + 32 * 1024)


def test_usage_goes_to_standard_output_and_complaints_to_standard_error(request):
    # The usage leaves through the trace writer, whole only once it is finished at exit.
    usage = subprocess.run([request.config.getoption("--emulator"), "--help"], capture_output=True, text=True)
    assert (usage.returncode, usage.stderr) == (0, "") and usage.stdout.startswith("Usage: ")
    assert "then one line per request.\n" in usage.stdout
    refused = subprocess.run([request.config.getoption("--emulator"), "--port", "http"], capture_output=True, text=True)
    assert (refused.returncode, refused.stdout, refused.stderr) == (
        2, "", 's2t-cloud-emulator: --port wants a number from 0 to 65535, not "http"\n')


@pytest.mark.parametrize("args, status", [
    (["--workers", "0"], 2), (["--no-such-option"], 2), (["extra"], 2), (["--bucket", "audio"], 2),
    (["--word-list", "/nonexistent/index.json", "--transcript", "x"], 1),
    (["--credentials", "/nonexistent/key.json", "--transcript", "x"], 1),
    (["--hmm", "/nonexistent", "--port", "0", "--workers", "1"], 1), (["--fail", "recognize:0:503"], 2),
    (["--fail", "recognise:3:503"], 2), (["--fail", "recognize:3:502"], 2), (["--fail", "recognize"], 2)])
def test_settings_that_cannot_be_used_stop_it_at_once(request, tmp_path, args, status):
    emulator = Process([request.config.getoption("--emulator"), *args], tmp_path)
    assert emulator.wait() == status
    assert not re.search(r"listening on \S+:\d", emulator.output())
    emulator.check_clean()


def test_a_recording_comes_back_with_its_sentiment_through_the_clouds_transient_faults(start_emulator, start_service):
    emulator = start_emulator("--prefix", "/v1", "--api-key", "cloud-key", "--workers", 2, "--fail",
                              "recognize:2:503", "--fail", "analyzeSentiment:2:429")
    service = start_service({"client-auth-token": "platform"},
                            cloud_section(f"http://127.0.0.1:{emulator.port}/v1", key="cloud-key"))
    body = json.dumps({"audio": base64.b64encode(GO_FORWARD).decode(), "language": "en-US"})
    for _ in range(2):  # the second recognition and the second sentiment are refused once, and tried again
        reply = service.call("POST", "/transcribe", body, [("Authorization", "platform"), ("X-Tarvex-TranID", "gf")])
        assert (reply.status, reply.reason, reply.headers["Content-Type"]) == (200, "OK", "application/json")
    answer = json.loads(reply.body)
    assert answer["language"] == "en-us" and -1 <= answer["documentSentiment"]["score"] <= 1
    assert [s["text"]["content"] for s in answer["sentences"]] == ["go forward ten meters"]
    assert (service.metric("s2t_cloud_retries_total", 'method="recognize",reason="503"'),
            service.metric("s2t_cloud_retries_total", 'method="analyzeSentiment",reason="429"')) == (1, 1)


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


def test_idle_and_trickling_clients_oversized_documents_and_descriptor_exhaustion_do_not_hold_it_up(start_emulator):
    fast = start_emulator("--transcript", "x", "--timeout", "1", sig=signal.SIGINT)
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
