"""Google credentials against a stand-in that plays the token endpoint, the metadata server and
both cloud methods: the signed assertion, the token on every call, its refresh with calls waiting
for it, an endpoint that is down, and a trace that never shows a token or the key."""
import base64
import json
import re
import threading
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from conftest import HANG, METADATA_TOKEN, Answer, cloud_section, eventually

RECOGNIZED = b'{"results":[{"alternatives":[{"transcript":"hi"}],"languageCode":"en-us"}]}'


def unpadded(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class Google:
    """The stand-in's script: tokens "tok-1", "tok-2", ... of `lifetime` seconds, each only for a
    valid assertion (or the metadata server's header); `down` answers 503 instead; `held` keeps
    a fetch waiting until it is set."""

    def __init__(self, public_key, lifetime=3600):
        self.public_key, self.lifetime, self.issued, self.claims = public_key, lifetime, 0, []
        self.down, self.held = False, threading.Event()
        self.held.set()
        self.bearers = []  # the Authorization of each cloud call

    def token(self):
        self.held.wait(60)
        if self.down:
            return Answer(503, "Service Unavailable")
        self.issued += 1
        return Answer(body=json.dumps({"access_token": f"tok-{self.issued}", "expires_in": self.lifetime,
                                       "token_type": "Bearer"}).encode())

    def assertion_holds(self, request):
        form = urllib.parse.parse_qs(request.body.decode())
        assert not re.search("[^-_.A-Za-z0-9]", form["assertion"][0])  # base64url, unpadded
        header, claims, signature = form["assertion"][0].split(".")
        self.public_key.verify(unpadded(signature), f"{header}.{claims}".encode(), padding.PKCS1v15(),
                               hashes.SHA256())  # raises when it does not
        self.claims.append((json.loads(unpadded(header)), json.loads(unpadded(claims))))
        return form["grant_type"] == ["urn:ietf:params:oauth:grant-type:jwt-bearer"]

    def __call__(self, request):
        if request.target == "/token":
            return self.token() if self.assertion_holds(request) else Answer(400, "Bad Request")
        if request.target == METADATA_TOKEN:
            return self.token() if request.headers["Metadata-Flavor"] == "Google" else Answer(403, "Forbidden")
        self.bearers.append(request.headers["Authorization"])
        return Answer(body=RECOGNIZED if b'"audio"' in request.body else b'{"score":1}')


@pytest.fixture
def google(cloud, tmp_path):
    """The stand-in, and a service account's key file whose token URI is the stand-in's."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    stand_in = cloud()
    stand_in.script = Google(key.public_key())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption()).decode()
    path = tmp_path / "key.json"
    path.write_text(json.dumps({"type": "service_account", "project_id": "p", "private_key_id": "k1",
                                "private_key": pem, "client_email": "s2t@p.iam.gserviceaccount.com",
                                "token_uri": stand_in.url + "/token"}))
    return stand_in, str(path), pem


def test_every_call_carries_a_token_refreshed_before_it_expires_and_calls_wait_for_it(start_service, google):
    stand_in, key_path, pem = google
    script = stand_in.script
    script.lifetime = 2  # refreshed after a second, and held there
    service = start_service(cloud={**cloud_section(stand_in.url, key="k"), "credentials": key_path})
    eventually(lambda: service.call("GET", "/readiness").status == 200)
    script.held.clear()
    assert service.transcribe("QQ==").status == 200
    assert script.bearers == ["Bearer tok-1", "Bearer tok-1"]
    header, claims = script.claims[0]
    assert header == {"alg": "RS256", "typ": "JWT", "kid": "k1"}
    assert (claims["iss"], claims["aud"], claims["exp"] - claims["iat"]) == (
        "s2t@p.iam.gserviceaccount.com", stand_in.url + "/token", 3600)
    assert abs(claims["iat"] - time.time()) < HANG
    assert claims["scope"] == "https://www.googleapis.com/auth/cloud-platform"
    # The first token expires while the refresh is held: not ready, and a call waits for the next.
    eventually(lambda: service.call("GET", "/readiness").status == 503)
    with ThreadPoolExecutor(1) as pool:
        reply = pool.submit(service.transcribe, "QQ==")
        service.wait_for(r"Wait for an access token for <1>\n")
        script.held.set()
        assert reply.result().status == 200
    assert script.bearers[2:] == ["Bearer tok-2", "Bearer tok-2"]
    out = service.exit()
    for secret in ["tok-1", "tok-2", pem.splitlines()[1], script.claims[0][1]["iss"]]:
        assert secret not in out


def test_a_token_endpoint_that_is_down_leaves_it_unready_and_calls_failing_until_it_comes_back(start_service,
                                                                                                google):
    stand_in, _, _ = google
    stand_in.script.down = True
    service = start_service(cloud={**cloud_section(stand_in.url), "credentials": "metadata",
                                   "metadata-endpoint": stand_in.url})
    service.wait_for(r"Access token not fetched: next try in \[1\] sec\n")
    assert service.call("GET", "/readiness").status == 503
    assert service.transcribe("QQ==")[:2] == (401, "Method Failed")
    stand_in.script.down = False
    eventually(lambda: service.call("GET", "/readiness").status == 200)
    assert service.transcribe("QQ==").status == 200
    assert stand_in.script.bearers == ["Bearer tok-1", "Bearer tok-1"]


@pytest.mark.parametrize("content, why", [
    (None, "No such file or directory"), ("{", "Missing a name for object member."), ("[]", "not a JSON object"),
    ('{"type": "service_account"}', 'no "client_email"'),
    ('{"type": "service_account", "client_email": "a", "private_key_id": "k", "private_key": "x", "token_uri": "u"}',
     '"private_key" is not an RSA private key in PEM'),
    ('{"type": "authorized_user", "client_email": "a", "private_key_id": "k", "private_key": "x", "token_uri": "u"}',
     '"type" is not "service_account"')])
def test_key_files_that_cannot_be_used_stop_the_start_with_255(start_service, tmp_path, content, why):
    path = tmp_path / "key.json"
    if content is not None:
        path.write_text(content)
    service = start_service(cloud={"credentials": str(path)}, ready=False)
    assert service.wait() == 255
    assert f"Failed to load Google credentials [{path}]: {why}\n" in service.output()
