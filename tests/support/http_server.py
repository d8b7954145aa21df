#!/usr/bin/python3
"""A second real web server for the HTTP client tests: Python's http.server on
a loopback port, serving the files of a directory.

  GET /<file>              HTTP/1.0 reply with Content-Length (http.server's own)
  GET /noclen/<file>       HTTP/1.0 reply without Content-Length: the body ends
                           at the close
  GET /chunked/<file>?sizes=26,5
                           HTTP/1.1 reply with Transfer-Encoding: chunked, the
                           file cut into chunks of those sizes (the rest, if
                           any, in one more chunk), then the last chunk and the
                           empty trailer

Every request line and its header lines are appended, as received, to
<dir>/requests.log, followed by an empty line.
"""
import argparse
import http.server
import os
import sys
import urllib.parse


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--root", required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    root = os.path.abspath(args.root)

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def __init__(self, *a, **kw):
            super().__init__(*a, directory=root, **kw)

        def record(self):
            with open(args.log, "a", encoding="latin-1") as f:
                f.write(self.requestline + "\n")
                for k, v in self.headers.items():
                    f.write(f"{k}: {v}\n")
                f.write("\n")

        def file_bytes(self, rel):
            path = os.path.join(root, rel)
            with open(path, "rb") as f:
                return f.read()

        def do_GET(self):
            self.record()
            url = urllib.parse.urlsplit(self.path)
            if url.path.startswith("/noclen/"):
                body = self.file_bytes(url.path[len("/noclen/"):])
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.end_headers()
                self.wfile.write(body)
                return
            if url.path.startswith("/chunked/"):
                body = self.file_bytes(url.path[len("/chunked/"):])
                q = urllib.parse.parse_qs(url.query)
                sizes = [int(x) for x in q.get("sizes", [""])[0].split(",") if x]
                self.protocol_version = "HTTP/1.1"
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Transfer-Encoding", "chunked")
                # It closes after this reply and says so (RFC 9112 section 9.6).
                self.send_header("Connection", "close")
                self.end_headers()
                pos = 0
                for n in sizes + [len(body)]:
                    piece = body[pos:pos + n]
                    if not piece:
                        continue
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                    pos += len(piece)
                self.wfile.write(b"0\r\n\r\n")
                self.close_connection = True
                return
            super().do_GET()

        def do_HEAD(self):
            self.record()
            super().do_HEAD()

        def log_message(self, fmt, *a):
            sys.stderr.write("%s\n" % (fmt % a))

    server = http.server.HTTPServer(("127.0.0.1", args.port), Handler)
    print("http_server listening on 127.0.0.1:%d" % args.port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
