"""The service core over HTTP and HTTPS: start-up and its failures, the probes, the
tokens, refused bodies, callers that leave, and the orderly stop."""
import http.client
import socket
import ssl

import pytest

from conftest import free_port


# The last: a valid file, but not the default brivel.json that is read without an argument.
@pytest.mark.parametrize("config, args", [("", None), ('{"http-server": {}} trailing', None),
                                          ("/* comment */ {}", None), ('[{"http-server": {}}]', None), ("{}", [])])
def test_configuration_that_cannot_be_used_ends_with_255(start_service, config, args):
    service = start_service(config=config, args=args)
    assert service.wait() == 255
    assert "Start HTTP event loop" not in service.output()


def test_certificate_or_port_that_cannot_be_used_ends_with_255(start_service, pki, tmp_path):
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        missing = str(tmp_path / "none.pem")
        for section in [{"port": holder.getsockname()[1]},
                        {"secure": True, "certificate-chain": pki["good"][0], "private-key": pki["untrusted"][1]},
                        {"secure": True, "certificate-chain": missing, "private-key": pki["good"][1]},
                        {"secure": True, "certificate-chain": pki["good"][0], "private-key": missing}]:
            service = start_service(section, ready=False)
            assert service.wait() == 255, section
            assert "Start HTTP event loop" not in service.output()


def test_configuration_is_brivel_json_when_none_is_named(start_service):
    config = {"http-server": {"address": "127.0.0.1", "port": free_port()}}
    assert start_service(config=config, args=[], file="brivel.json").call("GET", "/readiness").status == 200


def test_probes_answer_ok_to_anyone(start_service):
    service = start_service({"client-auth-token": "c", "admin-auth-token": "a"})
    for method, target in [("POST", "/liveness?probe=1"), ("GET", "/readiness")]:
        assert service.call(method, target, "ping")[:2] == (200, "OK")
        assert service.call(method, target).body == b""


def test_tokens_guard_transcribe_and_exit_each_with_its_own(start_service):
    service = start_service({"client-auth-token": "c-tok", "admin-auth-token": "a-tok"})
    # Authorised requests reach the body check, which refuses "[]" with 403.
    cases = [([], 401), ([("authorization", "c-tok")], 401), ([("Authorization", "Bearer c-tok")], 401),
             ([("Authorization", "")], 401), ([("Authorization", "a-tok")], 401),
             ([("Authorization", "c-tok"), ("Authorization", "x")], 401), ([("Authorization", "c-tok")], 403),
             ([("Authorization", "x"), ("Authorization", "c-tok")], 403)]
    for headers, status in cases:
        assert service.call("POST", "/transcribe", "[]", headers).status == status, headers
    assert service.call("GET", "/exit", headers=[("Authorization", "c-tok")])[:2] == (401, "Unauthorized")
    assert service.proc.poll() is None
    unguarded = start_service()
    assert unguarded.call("POST", "/transcribe", "[]", [("Authorization", "anything")]).status == 403


def test_bodies_that_are_not_one_json_object_get_403(start_service):
    service = start_service()
    for method, body in [("POST", ""), ("POST", "[]"), ("GET", '{"audio": "A"'), ("PUT", '{"a":1,}')]:
        reply = service.call(method, "/transcribe", body, [("X-Tarvex-TranID", "t1")])
        assert (reply.status, reply.reason, reply.body) == (403, "Error", b""), body


def test_callers_that_close_early_do_not_end_the_service(start_service):
    service = start_service()
    pipelined = b"GET /liveness HTTP/1.1\r\nHost: h\r\n\r\n" * 200
    for _ in range(20):
        # Half-close, then close once replies flow: the service's socket takes the
        # reset while it still has replies to write.
        with socket.create_connection(("127.0.0.1", service.port)) as sock:
            sock.sendall(pipelined)
            sock.shutdown(socket.SHUT_WR)
            assert sock.recv(1)
    assert service.call("GET", "/liveness").status == 200


def test_secure_listener_serves_https_and_nothing_in_plain_text(start_service, pki):
    service = start_service({"secure": True, "certificate-chain": pki["good"][0], "private-key": pki["good"][1]})
    service.tls = ssl.create_default_context(cafile=pki["ca"])
    assert service.call("GET", "/liveness", tls=service.tls).status == 200
    with pytest.raises((ConnectionError, http.client.HTTPException, socket.timeout)):
        service.call("GET", "/liveness")
