"""GET /metrics: Prometheus' text format, checked by promtool (whose parser is the one Prometheus
scrapes with), and every counter moving as its requests say."""
import json
import subprocess
import time

from conftest import HANG, Answer, cloud_section, samples

RECOGNIZED = b'{"results":[{"alternatives":[{"transcript":"%s"}],"languageCode":"en-us"}]}'


def script(request):
    sent = json.loads(request.body)
    if "audio" in sent:
        audio = sent["audio"]["content"]
        return {"refused": Answer(403, "Forbidden", b"{}")}.get(audio, Answer(body=RECOGNIZED % audio.encode()))
    if sent["document"]["content"] == "silent":
        return Answer(delay=None)
    return Answer(body=b'{"documentSentiment":{"score":0.1}}')


def test_every_counter_moves_as_its_requests_say_and_promtool_accepts_the_scrape(start_service, cloud):
    stand_in = cloud()
    stand_in.script = script
    service = start_service({"client-auth-token": "c"}, {**cloud_section(stand_in.url), "call-timeout": 1})
    token = [("Authorization", "c")]
    for audio in ("fine", "fine", "refused", "silent"):
        service.call("POST", "/transcribe", json.dumps({"audio": audio}), token)
    service.call("POST", "/transcribe", "[]", token)
    service.call("POST", "/transcribe", "{}", [("Authorization", "wrong")])
    for target in ("/liveness", "/readiness", "/nowhere"):
        service.call("GET", target)
    scrape = service.call("GET", "/metrics")
    assert scrape.headers["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
    text = scrape.body.decode()
    checked = subprocess.run(["promtool", "check", "metrics"], input=scrape.body, capture_output=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    got = samples(text)
    expected = {
        ("s2t_http_requests_total", 'endpoint="transcribe",code="200",reason="ok"'): 2,
        ("s2t_http_requests_total", 'endpoint="transcribe",code="401",reason="cloud_failure"'): 1,
        ("s2t_http_requests_total", 'endpoint="transcribe",code="401",reason="unauthorized"'): 1,
        ("s2t_http_requests_total", 'endpoint="transcribe",code="403",reason="bad_request"'): 1,
        ("s2t_http_requests_total", 'endpoint="transcribe",code="408",reason="timeout"'): 1,
        ("s2t_http_requests_total", 'endpoint="liveness",code="200",reason="ok"'): 1,
        ("s2t_http_requests_total", 'endpoint="readiness",code="200",reason="ok"'): 1,
        ("s2t_http_requests_total", 'endpoint="other",code="404",reason="not_found"'): 1,
        ("s2t_cloud_calls_total", 'method="recognize",outcome="ok"'): 3,
        ("s2t_cloud_calls_total", 'method="recognize",outcome="cloud_error"'): 1,
        ("s2t_cloud_calls_total", 'method="analyzeSentiment",outcome="ok"'): 2,
        ("s2t_cloud_calls_total", 'method="analyzeSentiment",outcome="timeout"'): 1,
        ("s2t_cloud_calls_total", 'method="operations",outcome="ok"'): 0,
        ("s2t_cloud_call_duration_seconds_count", 'method="recognize"'): 4,
        ("s2t_cloud_call_duration_seconds_bucket", 'method="analyzeSentiment",le="0.5"'): 2,
        ("s2t_cloud_call_duration_seconds_bucket", 'method="analyzeSentiment",le="+Inf"'): 3,
        ("s2t_transcription_duration_seconds_count", ""): 4, ("s2t_request_body_bytes_count", ""): 4,
        ("s2t_transcription_duration_seconds_bucket", 'le="600"'): 4,  # up to long-running-timeout
        ("s2t_request_body_bytes_bucket", 'le="1024"'): 4,
        ("s2t_request_body_bytes_bucket", 'le="1.6777216e+07"'): 4,  # as Go's clients write 16 MiB
        ("s2t_requests_in_flight", ""): 0,
        ("s2t_connections_open", ""): 1,  # the scrape's own
        ("s2t_buffered_body_bytes", ""): 0, ("s2t_draining", ""): 0, ("s2t_accepting_paused", ""): 0,
        ("s2t_trace_bytes_dropped_total", ""): 0, ("s2t_connections_shed_total", ""): 0,
        ("s2t_build_info", 'version="0.1"'): 1,
        ("process_open_fds", ""): got[("process_open_fds", "")],
    }
    assert {key: got.get(key) for key in expected} == expected
    assert 0 < got[("process_resident_memory_bytes", "")] < 1 << 30
    assert abs(got[("process_start_time_seconds", "")] - time.time()) < HANG
    assert got[("process_cpu_seconds_total", "")] >= 0
    assert service.exit().count("/metrics") == 1  # one line per scrape, whatever the scrape holds


def test_the_endpoint_can_be_closed_or_kept_for_a_token(start_service):
    guarded = start_service({"metrics-auth-token": "m"})
    assert guarded.call("GET", "/metrics").status == 401
    assert guarded.call("GET", "/metrics", headers=[("Authorization", "m")]).status == 200
    closed = start_service({"metrics": False})
    assert closed.call("GET", "/metrics").status == 404
