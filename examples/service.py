#!/usr/bin/env python3
"""A small upload service on _core_fips, standard library only.

    python3 service.py DATA_DIR [--port 8080]

    POST /files              body: the content (Content-Length required), streamed to disk
                             through a Hasher -> 201 {"id", "size", "sha", "salt"}
    GET  /files/ID           the content, re-checked against its token first with a
                             VerifyingHasher -> 200, or 500 when the stored file no longer
                             matches its token or is missing
    POST /files/ID/seal      body: the client's "RSA PUBLIC KEY" PEM -> 200 the envelope from
                             _core_fips.encrypt (open it with recipient.py), 400 for a key the
                             module refuses, 500 for a corrupted or missing file and for
                             "Encryption failed" (the library failed, not the client)
    GET  /health             200 {"fips": fips_check()}

From a checkout, run it with the freshly built module: tools/python examples/service.py DATA_DIR.

Files live in DATA_DIR/blobs, their tokens in DATA_DIR/files.sqlite3. Each request runs on its
own thread (ThreadingHTTPServer), with its own SQLite connection and its own Hasher.
"""
import argparse
import http.server
import json
import os
import re
import sqlite3
import sys
import uuid

import _core_fips

CHUNK = 64 * 1024
MISMATCH = "Generic error: Token mismatch \n"  # the one ValueError that means "content differs"
# The one ValueError of encrypt that is not about the client's key: the library failed to draw
# randomness, seal or wrap after the key was accepted.
ENCRYPTION_FAILED = "Encryption failed"
FILE_ID = re.compile(r"[0-9a-f]{32}")


class CorruptedError(Exception):
    """The stored content no longer reproduces its token."""


class MissingError(Exception):
    """The database has a row for the file, but its content is gone from disk."""


def is_mismatch(error):
    """True for the ValueError of a content mismatch; False for every other ValueError (a
    second finalize(), a non-contiguous buffer, a salt that is not UTF-8 ...), which is misuse."""
    return type(error) is ValueError and error.args == (MISMATCH,)


class Store:
    """Content on disk, tokens in SQLite."""

    def __init__(self, data_dir):
        self.blobs = os.path.join(data_dir, "blobs")
        os.makedirs(self.blobs, exist_ok=True)
        self.db = os.path.join(data_dir, "files.sqlite3")
        with self.connect() as db:
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("CREATE TABLE IF NOT EXISTS files "
                       "(id TEXT PRIMARY KEY, size INTEGER, sha TEXT, salt TEXT)")

    def connect(self):
        return sqlite3.connect(self.db, timeout=30)

    def path(self, file_id):
        return os.path.join(self.blobs, file_id)

    def put(self, stream, size):
        """Streams `size` bytes from `stream` to disk and into a Hasher; returns the row."""
        file_id = uuid.uuid4().hex
        hasher = _core_fips.Hasher()  # a fresh random salt per file
        partial = self.path(file_id) + ".part"
        try:
            with open(partial, "wb") as out:
                left = size
                while left:
                    chunk = stream.read(min(CHUNK, left))
                    if not chunk:
                        raise EOFError(f"upload ended {left} bytes early")
                    hasher.update(chunk)
                    out.write(chunk)
                    left -= len(chunk)
        except BaseException:
            os.remove(partial)
            raise
        token = hasher.finalize()
        os.replace(partial, self.path(file_id))
        row = {"id": file_id, "size": size, "sha": token.sha, "salt": token.salt}
        with self.connect() as db:
            db.execute("INSERT INTO files VALUES (:id, :size, :sha, :salt)", row)
        return row

    def get(self, file_id):
        with self.connect() as db:
            row = db.execute("SELECT size, sha, salt FROM files WHERE id = ?",
                             (file_id,)).fetchone()
        return None if row is None else dict(zip(("size", "sha", "salt"), row))

    def verified(self, file_id, row):
        """Opens the stored file after checking it against its token chunk by chunk; raises
        CorruptedError when it no longer matches, MissingError when it is gone."""
        try:
            f = open(self.path(file_id), "rb")
        except FileNotFoundError:
            raise MissingError(file_id) from None
        try:
            verifier = _core_fips.VerifyingHasher(row["sha"], row["salt"])
            while chunk := f.read(CHUNK):
                verifier.update(chunk)
            try:
                verifier.finalize()
            except ValueError as e:
                if is_mismatch(e):
                    raise CorruptedError(file_id) from None
                raise  # misuse: a bug here, not bad content
            f.seek(0)
            return f
        except BaseException:
            f.close()
            raise


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive: clients reuse their connection
    store = None  # set by make_server

    def log_message(self, *args):  # quiet; a real service would log properly
        pass

    def reply(self, status, body=b"", content_type="application/json"):
        if isinstance(body, dict):
            body = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def body_length(self):
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            self.reply(411, {"error": "Content-Length required"})
            self.close_connection = True
            return None
        return int(length)

    def refuse_stored(self, error):
        """The 500 for a stored file that cannot be served: corrupted or missing."""
        if isinstance(error, MissingError):
            return self.reply(500, {"error": "stored content is missing"})
        return self.reply(500, {"error": "stored content does not match its token"})

    def route(self):
        """(file id, row, rest of the path), or None after replying 404."""
        parts = self.path.split("/")
        if len(parts) >= 3 and parts[1] == "files" and FILE_ID.fullmatch(parts[2]):
            row = self.store.get(parts[2])
            if row is not None:
                return parts[2], row, "/".join(parts[3:])
        self.reply(404, {"error": "no such file"})
        return None

    def do_GET(self):
        if self.path == "/health":
            return self.reply(200, {"fips": _core_fips.fips_check()})
        found = self.route()
        if found is None:
            return None
        file_id, row, rest = found
        if rest:
            return self.reply(404, {"error": "no such file"})
        try:
            f = self.store.verified(file_id, row)
        except (CorruptedError, MissingError) as e:
            return self.refuse_stored(e)
        with f:  # sent only after the whole file matched its token
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(row["size"]))
            self.send_header("X-Content-Sha384", row["sha"])
            self.end_headers()
            while chunk := f.read(CHUNK):
                self.wfile.write(chunk)
        return None

    def do_POST(self):
        length = self.body_length()
        if length is None:
            return None
        if self.path == "/files":
            try:
                return self.reply(201, self.store.put(self.rfile, length))
            except EOFError:
                self.close_connection = True
                return None
        key_pem = self.rfile.read(length)
        found = self.route()
        if found is None:
            return None
        file_id, row, rest = found
        if rest != "seal":
            return self.reply(404, {"error": "no such file"})
        try:
            with self.store.verified(file_id, row) as f:
                content = f.read()  # encrypt takes the whole plaintext as bytes
        except (CorruptedError, MissingError) as e:
            return self.refuse_stored(e)
        try:
            envelope = _core_fips.encrypt(key_pem, content)
        except ValueError as e:
            if e.args == (ENCRYPTION_FAILED,):  # the library's failure: not the client's
                return self.reply(500, {"error": ENCRYPTION_FAILED})
            return self.reply(400, {"error": str(e)})  # "Invalid public key", "UTF8 error: ..."
        return self.reply(200, envelope, "application/octet-stream")


def make_server(data_dir, host="127.0.0.1", port=0):
    """A ThreadingHTTPServer serving DATA_DIR; port 0 picks a free one (server.server_port)."""
    handler = type("BoundHandler", (Handler,), {"store": Store(data_dir)})
    server = http.server.ThreadingHTTPServer((host, port), handler)
    server.daemon_threads = True
    return server


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    args = parser.parse_args(argv)
    if not _core_fips.fips_check():
        sys.exit("service: AWS-LC does not report FIPS mode; refusing to start")
    server = make_server(args.data_dir, args.host, args.port)
    print(f"serving {args.data_dir} on http://{args.host}:{server.server_port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
