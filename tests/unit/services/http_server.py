#!/usr/bin/env python3
"""A small HTTP/1.1 server on loopback for the HTTP client's tests and benchmark.

Listens on 127.0.0.1 at a free port, prints the port on a line of its own, and serves until its
standard input closes (so that it never outlives the process that started it). With
--tls CERT KEY it speaks HTTPS with that certificate. With --run COMMAND... it serves while the
command runs, with KAZ_TEST_HTTP set to the server's base URL ("http://127.0.0.1:PORT") in its
environment, and exits with the command's status (the Kaz scripts' tests).

Paths:
  /echo            the request back: "METHOD /path", its header lines, a blank line, its body
  /bytes/N         N bytes, the i-th being i mod 256 (application/octet-stream)
  /text            a UTF-8 text
  /status/CODE     that status, with the body "status CODE"
  /redirect/CODE?to=URL   that status with a Location of URL
  /chain/N         a 302 to /chain/N-1, down to /chain/0, which answers "end of chain"
  /headers         headers written loosely: no space after the colon, blanks around a value, a
                   name twice, a value continued on a second line
  /stall           reads the request and never answers (for 30 s)
  /stall-body      announces 100 bytes, sends 10 and stalls (for 30 s)
  /close           closes the connection without a word
  /garbage         answers with something that is not HTTP
"""
import http.server
import os
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

TEXT = "caf\u00e9 \u20ac \U0001F600\nsecond line\r\nthird\n".encode("utf-8")
PATTERN = bytes(range(256)) * 4096  # 1 MB of the byte pattern, sent slice by slice


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes: without this, the body waits for the
    # client's delayed acknowledgement of the headers, 40 ms a response.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.serve()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_GET

    def __getattr__(self, name):
        # Any other method (a made-up one included) is served the same way.
        if name.startswith("do_"):
            return self.serve
        raise AttributeError(name)

    def request_body(self):
        length = self.headers.get("Content-Length")
        return self.rfile.read(int(length)) if length else b""

    def reply(self, status, body, content_type="text/plain; charset=utf-8", extra=()):
        if status in (204, 304):
            body = b""  # these never have one
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def serve(self):
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.strip("/").split("/")
        body = self.request_body()
        head = parts[0]
        if head == "echo":
            lines = [f"{self.command} {self.path}"]
            lines += [f"{name}: {value}" for name, value in self.headers.items()]
            self.reply(200, ("\n".join(lines) + "\n\n").encode("latin-1") + body,
                       "application/octet-stream")
        elif head == "bytes":
            self.send_bytes(int(parts[1]))
        elif head == "text":
            self.reply(200, TEXT)
        elif head == "source":
            # the rest of the path, decoded: a script or data for the loading functions
            self.reply(200, urllib.parse.unquote(url.path.split("/", 2)[2]).encode())
        elif head == "status":
            code = int(parts[1])
            self.reply(code, f"status {code}".encode())
        elif head == "redirect":
            target = urllib.parse.parse_qs(url.query)["to"][0]
            self.reply(int(parts[1]), b"moved", extra=[("Location", target)])
        elif head == "chain":
            n = int(parts[1])
            if n == 0:
                self.reply(200, b"end of chain")
            else:
                self.reply(302, b"", extra=[("Location", f"/chain/{n - 1}")])
        elif head == "headers":
            self.raw(b"HTTP/1.1 200 OK\r\n"
                     b"X-Tight:tight\r\n"
                     b"X-Padded:  \t padded value \t \r\n"
                     b"Set-Cookie: a=1\r\n"
                     b"X-Folded: first\r\n"
                     b"   second\r\n"
                     b"set-cookie: b=2\r\n"
                     b"X-Empty:\r\n"
                     b"Content-Length: 2\r\n"
                     b"\r\n"
                     b"ok")
        elif head == "stall":
            time.sleep(30)
        elif head == "stall-body":
            self.raw(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
            time.sleep(30)
        elif head == "close":
            self.close_connection = True
        elif head == "garbage":
            self.raw(b"this is not HTTP at all\r\n\r\n")
            self.close_connection = True
        else:
            self.reply(404, b"no such path")

    def raw(self, data):
        self.wfile.write(data)
        self.wfile.flush()

    def send_bytes(self, n):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(n))
        self.end_headers()
        if self.command == "HEAD":
            return
        view = memoryview(PATTERN)
        while n > 0:
            step = min(n, len(PATTERN))
            self.wfile.write(view[:step])
            n -= step


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if len(sys.argv) > 2 and sys.argv[1] == "--run":
        threading.Thread(target=server.serve_forever, daemon=True).start()
        env = dict(os.environ, KAZ_TEST_HTTP=f"http://127.0.0.1:{server.server_address[1]}",
                   no_proxy="*", NO_PROXY="*")
        sys.exit(subprocess.run(sys.argv[2:], env=env).returncode)
    if len(sys.argv) == 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()  # until the parent closes it, or goes


if __name__ == "__main__":
    main()
