"""deploy/kubernetes/validate passes the manifests as they are, and refuses what a
cluster would drop without a word or turn away: misspelled fields, values of the
wrong type or format, kinds the API does not have, and objects that refer to
labels, ports or names no other object has. kubectl kustomize renders both
kustomizations from their configurations into objects that pass too."""

import json
import pathlib
import re
import shutil
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
MANIFESTS = [path for path in sorted([*HERE.glob("base/*.yaml"), *HERE.glob("emulator/*.yaml")])
             if path.name != "kustomization.yaml"]
SERVER = "base/s2t-server.yaml"

# manifest, text, what replaces it, what the refusal must say (the end of the field path it names)
FAULTS = [
    (SERVER, "readinessProbe:", "readinesProbe:", "containers[0].readinesProbe"),
    (SERVER, "runAsNonRoot:", "runAsNonroot:", "securityContext.runAsNonroot"),
    (SERVER, "minAvailable:", "minAvaliable:", ".minAvaliable"),
    ("emulator/s2t-cloud-emulator.yaml", "replicas: 1", 'replicas: "1"', ".replicas: Type 'string'"),
    (SERVER, "memory: 768Mi", "memory: 768 MiB", 'memory must match format "quantity"'),
    (SERVER, "apiVersion: policy/v1", "apiVersion: policy/v2", "not a kind of the Kubernetes API"),
    # Across objects: each is accepted by the API and does nothing.
    (SERVER, "{path: /liveness, port: http,", "{path: /liveness, port: htpp,", "livenessProbe: port htpp is not"),
    (SERVER, "kind: Deployment, name: s2t-server}", "kind: Deployment, name: s2t-sever}", "no Deployment s2t-sever"),
    (SERVER, "minReplicas: 2", "minReplicas: 20", "minReplicas 20 over maxReplicas 10"),
    (SERVER, "labels: {app: s2t-server}\n      annotations:", "labels: {app: s2t-sever}\n      annotations:",
     "template.metadata.labels do not match"),
    (SERVER, "targetPort: http}", "targetPort: htpp}", "targetPort htpp is not a port name"),
    (SERVER, "minAvailable: 1\n  selector:\n    matchLabels: {app: s2t-server}",
     "minAvailable: 1\n  selector:\n    matchLabels: {app: s2t-canary}", "selector matches no Deployment's pods"),
]


def validate(*files):
    result = subprocess.run([HERE / "validate", *files], capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout.splitlines(), result.stdout + result.stderr


def test_manifests_pass_and_each_fault_is_refused(tmp_path):
    broken = []
    for index, (manifest, text, replacement, _) in enumerate(FAULTS):
        original = (HERE / manifest).read_text()
        assert original.count(text) == 1, f"{manifest} should hold {text!r} once"
        path = tmp_path / f"fault-{index}.yaml"
        path.write_text(original.replace(text, replacement))
        broken.append(path)

    # One run for all: the compiler reads the API's types once. The faulty copies'
    # other objects refer to the originals' as the originals' own do.
    status, lines, output = validate(*MANIFESTS, *broken)
    assert status == 1, output
    for manifest in MANIFESTS:
        assert not [line for line in lines if line.startswith(f"INVALID: {manifest.name} ")], output
        assert [line for line in lines if line.startswith(f"valid: {manifest.name} ")], output
    for index, (manifest, _, _, reason) in enumerate(FAULTS):
        refused = [line for line in lines if line.startswith(f"INVALID: fault-{index}.yaml ")]
        assert any(reason in line for line in refused), (FAULTS[index], output)
        # Only the object with the fault: the others in the file still pass.
        name = pathlib.Path(manifest).name
        passed = [line for line in lines if line.startswith(f"valid: fault-{index}.yaml ")]
        assert len(passed) == len([line for line in lines if line.startswith(f"valid: {name} ")]) - 1, output


def test_kustomize_renders_a_secret_per_configuration(tmp_path):
    tree = tmp_path / "kubernetes"
    shutil.copytree(HERE, tree, ignore=shutil.ignore_patterns("node_modules", "secret", "__pycache__"))
    config = json.loads((HERE.parent / "container" / "brivel.json").read_text())

    def render(folder, name):
        (tree / folder / "secret").mkdir(exist_ok=True)
        (tree / folder / "secret" / "brivel.json").write_text(json.dumps(config))
        result = subprocess.run(["kubectl", "kustomize", tree / folder], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        (tmp_path / name).write_text(result.stdout)
        return re.findall(r"secretName: (\S+)", result.stdout)

    mounted = render("", "default.yaml")
    config["http-server"]["client-auth-token"] = "changed"
    mounted_after_change = render("", "changed.yaml")
    render("emulator", "emulator.yaml")
    status, lines, output = validate(*(tmp_path / name for name in ("default.yaml", "changed.yaml", "emulator.yaml")))
    assert status == 0, output
    objects = {name: {line.split()[2] for line in lines if line.startswith(f"valid: {name} ")}
               for name in ("default.yaml", "changed.yaml", "emulator.yaml")}
    # The Deployment mounts the generated Secret, whose name changes with the
    # configuration, so that the pods roll.
    for name, secret in (("default.yaml", mounted), ("changed.yaml", mounted_after_change)):
        assert len(secret) == 1 and secret[0].startswith("s2t-server-config-"), secret
        assert f"Secret/{secret[0]}" in objects[name], output
    assert mounted != mounted_after_change
    assert "Deployment/s2t-cloud-emulator" not in objects["default.yaml"]
    assert objects["changed.yaml"] < objects["emulator.yaml"], output
