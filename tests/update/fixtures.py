#!/usr/bin/env python3
"""Real servers and archives for the update tests.

  fixtures.py serve DIR [--tls CERT KEY]   serves DIR on 127.0.0.1 (a free port, printed first)
      /status/N       answers status N with a small HTML page
      /break/NAME     announces NAME's length, sends half of it, closes the connection
      /stall/NAME     announces NAME's length, sends a little of it, then sends nothing more
      /silent/NAME    accepts the request and never answers, not even with headers
      /slow/NAME      sends NAME in ten parts a tenth of a second apart
      /trickle/NAME   announces NAME's length, then sends it four bytes every fifth of a second
      anything else   the file under DIR (the query is ignored)
  fixtures.py ca DIR                       a test authority and a server certificate for 127.0.0.1
  fixtures.py zip OUT < ENTRIES.json       a zip from a list of entries:
      {"name": "a/b.php", "data": "text", "mode": 420, "type": "file|dir|link|fifo",
       "raw": "hex bytes of the stored name", "utf8flag": true|false, "target": "for links",
       "zeros": N (N zero bytes as the data), "declare": N (the size the central directory
       states, whatever the data: a Zip64 extra field when it exceeds 32 bits)}
"""
import http.server
import json
import os
import ssl
import subprocess
import sys
import time
import zipfile


def serve(root, tls):
    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def log_message(self, *args):
            pass

        def body_of(self, name):
            with open(os.path.join(root, name), "rb") as f:
                return f.read()

        def head(self, length, status=200):
            self.send_response(status)
            self.send_header("Content-Type", "application/zip")
            self.send_header("Content-Length", str(length))
            self.end_headers()

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            parts = path.strip("/").split("/", 1)
            kind, rest = parts[0], (parts[1] if len(parts) > 1 else "")
            if kind == "status":
                body = f"<html><body>status {rest}</body></html>".encode()
                self.head(len(body), int(rest))
                self.wfile.write(body)
            elif kind == "break":
                body = self.body_of(rest)
                self.head(len(body))
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(2)
            elif kind == "stall":
                body = self.body_of(rest)
                self.head(len(body))
                self.wfile.write(body[:100])
                self.wfile.flush()
                time.sleep(3600)
            elif kind == "silent":
                time.sleep(3600)
            elif kind == "trickle":
                body = self.body_of(rest)
                self.head(len(body))
                for i in range(0, len(body), 4):
                    self.wfile.write(body[i : i + 4])
                    self.wfile.flush()
                    time.sleep(0.2)
            elif kind == "slow":
                body = self.body_of(rest)
                self.head(len(body))
                step = max(1, len(body) // 10 + 1)
                for i in range(0, len(body), step):
                    self.wfile.write(body[i : i + step])
                    self.wfile.flush()
                    time.sleep(0.1)
            else:
                super().do_GET()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls[0], tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def make_ca(folder):
    def run(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=folder)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "2", "-subj", "/CN=TAVEX test CA")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san.ext")


class RawInfo(zipfile.ZipInfo):
    """An entry whose stored name bytes and UTF-8 flag are chosen by the test."""

    def __init__(self, name, raw, utf8flag):
        super().__init__(name)
        self.raw = raw
        self.utf8flag = utf8flag

    def _encodeFilenameFlags(self):
        flags = self.flag_bits | 0x800 if self.utf8flag else self.flag_bits & ~0x800
        return self.raw, flags


TYPES = {"file": 0o100000, "dir": 0o040000, "link": 0o120000, "fifo": 0o010000}


def make_zip(out, entries):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for e in entries:
            name = e["name"]
            kind = e.get("type", "file")
            raw = bytes.fromhex(e["raw"]) if "raw" in e else name.encode("utf-8")
            flag = e.get("utf8flag", any(b > 127 for b in raw))
            info = RawInfo(name, raw, flag)
            info.create_system = 3
            mode = e.get("mode", 0o755 if kind == "dir" else 0o644)
            info.external_attr = (TYPES[kind] | mode) << 16
            if kind == "dir":
                info.external_attr |= 0x10
            data = e.get("target", "") if kind == "link" else e.get("data", "")
            if "zeros" in e:
                # Deflated, so that a large size takes little room in the package.
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, b"\0" * e["zeros"])
            else:
                z.writestr(info, data.encode("utf-8"))
            if "declare" in e:
                # Only the central directory is written at close: it alone states this size.
                info.file_size = e["declare"]


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "serve":
        tls = sys.argv[4:6] if len(sys.argv) > 3 and sys.argv[3] == "--tls" else None
        serve(sys.argv[2], tls)
    elif command == "ca":
        make_ca(sys.argv[2])
    elif command == "zip":
        make_zip(sys.argv[2], json.load(sys.stdin))
    else:
        sys.exit(__doc__)
