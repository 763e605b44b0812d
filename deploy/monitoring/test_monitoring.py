"""The alert rules pass promtool's check and their own unit tests; the dashboard's
queries parse as PromQL; rules and dashboard name only metrics the service exports,
so that a misspelt name cannot leave an alert or a panel silently empty."""

import json
import pathlib
import re
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
RULES = HERE / "s2t-server.rules.yml"
DASHBOARD = HERE / "s2t-server.dashboard.json"
# What GET /metrics exports; histograms are queried through their _bucket series.
EXPORTED = {
    "s2t_http_requests_total", "s2t_open_endpoints", "s2t_transcription_duration_seconds_bucket",
    "s2t_cloud_call_duration_seconds_bucket", "s2t_cloud_calls_total", "s2t_cloud_retries_total",
    "s2t_storage_objects_left_total", "s2t_silent_recordings_total", "s2t_requests_in_flight",
    "s2t_connections_open", "s2t_buffered_body_bytes", "s2t_draining", "s2t_accepting_paused",
    "s2t_trace_bytes_dropped_total", "s2t_connections_shed_total", "process_cpu_seconds_total",
    "process_resident_memory_bytes",
}
METRIC = re.compile(r"\b(?:s2t|process)_[a-z_]+")


def promtool(*args):
    result = subprocess.run(["promtool", *map(str, args)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


def test_rules_check_and_pass_their_tests():
    promtool("check", "rules", RULES)
    promtool("test", "rules", HERE / "s2t-server.rules.test.yml")
    assert set(METRIC.findall(RULES.read_text())) <= EXPORTED


def test_dashboard_queries_parse_and_name_exported_metrics(tmp_path):
    dashboard = json.loads(DASHBOARD.read_text())
    assert dashboard["schemaVersion"] >= 39
    panels = dashboard["panels"]
    assert len({panel["id"] for panel in panels}) == len(panels)
    queries = [target["expr"] for panel in panels for target in panel["targets"]]
    # As Grafana sends them: its variables replaced. JSON is YAML, which promtool reads.
    rules = [{"record": f"dashboard:query{i}", "expr": q.replace("$__rate_interval", "5m").replace("$job", ".+")}
             for i, q in enumerate(queries)]
    (tmp_path / "queries.yml").write_text(json.dumps({"groups": [{"name": "dashboard", "rules": rules}]}))
    promtool("check", "rules", tmp_path / "queries.yml")
    named = {name for query in queries for name in METRIC.findall(query)}
    assert named <= EXPORTED, named - EXPORTED
