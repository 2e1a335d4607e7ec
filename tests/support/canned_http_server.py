#!/usr/bin/env python3
"""Canned HTTP answers on 127.0.0.1 for the Windows client's test under Wine
(tests/platform/http_win32_test.cpp). Prints its port on the first line of
stdout, then serves until it is killed.

  /ok /denied /missing   200, 401 and 404 with a short body
  /echo                  200; the body is the request line and headers received
  /moved                 302 to /elsewhere, body "moved"
  /big                   300000 patterned bytes; "Range: bytes=N-" gets a 206
  /cut                   Content-Length 10000, then 5000 bytes and the end
"""
import http.server
import re
import sys

BIG = bytes((i * 7 + i // 251) & 0xFF for i in range(300000))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, code, body, headers=(), length=None):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path == "/ok":
            self.answer(200, b"fine")
        elif path == "/denied":
            self.answer(401, b"go away")
        elif path == "/echo":
            self.answer(200, (self.requestline + "\n" + str(self.headers)).encode())
        elif path == "/moved":
            self.answer(302, b"moved", [("Location", "/elsewhere")])
        elif path == "/elsewhere":
            self.answer(200, b"should not be fetched")
        elif path == "/big":
            match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
            start = int(match.group(1)) if match else 0
            if match and start < len(BIG):
                self.answer(206, BIG[start:], [("Content-Range", f"bytes {start}-{len(BIG) - 1}/{len(BIG)}")])
            else:
                self.answer(200, BIG)
        elif path == "/cut":
            self.answer(200, b"x" * 5000, length=10000)
        else:
            self.answer(404, b"nope")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
