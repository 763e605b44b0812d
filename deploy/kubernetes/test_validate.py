"""deploy/kubernetes/validate passes the manifests as they are, and refuses what a
cluster would drop without a word or turn away: misspelled fields, values of the
wrong type or format, kinds the API does not have."""

import pathlib
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
MANIFESTS = sorted(HERE.glob("*.yaml"))

# manifest, text, what replaces it, what the refusal must say (the end of the field path it names)
FAULTS = [
    ("s2t-server.yaml", "readinessProbe:", "readinesProbe:", "containers[0].readinesProbe"),
    ("s2t-server.yaml", "runAsNonRoot:", "runAsNonroot:", "securityContext.runAsNonroot"),
    ("s2t-server.yaml", "minAvailable:", "minAvaliable:", ".minAvaliable"),
    ("s2t-cloud-emulator.yaml", "replicas: 1", 'replicas: "1"', ".replicas: Type 'string'"),
    ("s2t-server.yaml", "memory: 768Mi", "memory: 768 MiB", 'memory must match format "quantity"'),
    ("s2t-server.yaml", "apiVersion: policy/v1", "apiVersion: policy/v2", "not a kind of the Kubernetes API"),
]


def test_manifests_pass_and_each_fault_is_refused(tmp_path):
    broken = []
    for index, (manifest, text, replacement, _) in enumerate(FAULTS):
        original = (HERE / manifest).read_text()
        assert original.count(text) == 1, f"{manifest} should hold {text!r} once"
        path = tmp_path / f"fault-{index}.yaml"
        path.write_text(original.replace(text, replacement))
        broken.append(path)

    # One run for all: the compiler reads the API's types once.
    result = subprocess.run([HERE / "validate", *MANIFESTS, *broken], capture_output=True, text=True, timeout=120)
    lines = result.stdout.splitlines()
    assert result.returncode == 1, result.stdout + result.stderr
    for manifest in MANIFESTS:
        assert not [line for line in lines if line.startswith(f"INVALID: {manifest.name} ")], result.stdout
        assert [line for line in lines if line.startswith(f"valid: {manifest.name} ")], result.stdout
    for index, (manifest, _, _, reason) in enumerate(FAULTS):
        refused = [line for line in lines if line.startswith(f"INVALID: fault-{index}.yaml ")]
        assert any(reason in line for line in refused), (FAULTS[index], result.stdout)
        # Only the object with the fault: the others in the file still pass.
        passed = [line for line in lines if line.startswith(f"valid: fault-{index}.yaml ")]
        assert len(passed) == len([line for line in lines if line.startswith(f"valid: {manifest} ")]) - 1, result.stdout
