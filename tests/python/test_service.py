"""The example upload service (examples/service.py) over real HTTP on 127.0.0.1: tokens of uploads,
re-checked downloads, a corrupted stored file, envelopes opened by the independent recipient."""
import hashlib
import http.client
import json
import os
import sys
import threading

import pytest

from conftest import ROOT, open_with_peer, run_python

sys.path.insert(0, str(ROOT / "examples"))
import service  # noqa: E402


@pytest.fixture
def served(tmp_path):
    server = service.make_server(str(tmp_path))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=60)

    def call(method, path, body=None):
        conn.request(method, path, body=body)
        response = conn.getresponse()
        return response.status, response.read()

    yield call, tmp_path
    conn.close()
    server.shutdown()
    server.server_close()
    thread.join()


def test_upload_download_corruption_and_seal(served, keys):
    call, data_dir = served
    assert call("GET", "/health") == (200, b'{"fips": true}')
    content = os.urandom(300_000)  # several chunks
    status, body = call("POST", "/files", content)
    assert status == 201
    row = json.loads(body)
    assert row["size"] == len(content) and len(row["salt"]) == 32
    assert row["sha"] == hashlib.sha384(content + row["salt"].encode()).hexdigest()
    assert call("GET", f"/files/{row['id']}") == (200, content)

    private, public = keys[2048]
    status, envelope = call("POST", f"/files/{row['id']}/seal", public)
    assert status == 200 and len(envelope) == 30 + 256 + len(content)
    opened = open_with_peer(private, envelope)
    assert opened.returncode == 0, opened.stderr
    assert opened.stdout == content
    assert call("POST", f"/files/{row['id']}/seal", public.replace(b"RSA ", b"")) == (
        400, b'{"error": "Invalid public key"}')
    assert call("GET", "/files/" + "0" * 32)[0] == 404

    stored = data_dir / "blobs" / row["id"]
    corrupted = bytearray(stored.read_bytes())
    corrupted[123_456] ^= 0x01
    stored.write_bytes(corrupted)
    refused = (500, b'{"error": "stored content does not match its token"}')
    assert call("GET", f"/files/{row['id']}") == refused
    assert call("POST", f"/files/{row['id']}/seal", public) == refused

    stored.unlink()  # a row whose file is gone: an answer, not a dropped connection
    missing = (500, b'{"error": "stored content is missing"}')
    assert call("GET", f"/files/{row['id']}") == missing
    assert call("POST", f"/files/{row['id']}/seal", public) == missing


def test_a_library_failure_while_sealing_is_the_servers_500(faults_dir, keys, tmp_path):
    # The fault-injection build fails the RSA-OAEP wrap after the key was accepted.
    out = run_python(f"""
        import http.client, json, sys, threading
        sys.path.insert(0, {str(ROOT / "examples")!r})
        import service
        server = service.make_server({str(tmp_path)!r})
        threading.Thread(target=server.serve_forever, daemon=True).start()
        conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=60)
        conn.request("POST", "/files", body=b"content")
        file_id = json.loads(conn.getresponse().read())["id"]
        conn.request("POST", f"/files/{{file_id}}/seal", body={keys[2048][1]!r})
        reply = conn.getresponse()
        print(reply.status, reply.read().decode())
    """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": "envelope.wrap"})
    assert out.returncode == 0, out.stderr
    assert out.stdout == '500 {"error": "Encryption failed"}\n'


def test_only_a_mismatch_counts_as_corruption(core):
    verifier = core.VerifyingHasher("0" * 96, "salt")
    with pytest.raises(ValueError) as mismatch:
        verifier.finalize()
    with pytest.raises(ValueError) as misuse:
        verifier.finalize()
    assert service.is_mismatch(mismatch.value) and not service.is_mismatch(misuse.value)
