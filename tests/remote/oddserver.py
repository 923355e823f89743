#!/usr/bin/env python3
# A small web server on 127.0.0.1 with the faults nginx will not show, serving the files of
# ROOT with Range requests: under /bare/ without ETag or Last-Modified, under /trickle/ with
# an ETag but a body of 2 bytes every 1.5 s. Prints its port, then serves until killed.
#
#   oddserver.py ROOT
import http.server
import os
import re
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_HEAD(self):
        self.answer(body=False)

    def do_GET(self):
        self.answer(body=True)

    def answer(self, body):
        mode, _, name = self.path.lstrip("/").partition("/")
        try:
            with open(os.path.join(sys.argv[1], os.path.basename(name)), "rb") as f:
                data = f.read()
        except OSError:
            self.send_error(404)
            return
        first, last = 0, len(data) - 1
        match = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        if match:
            first, last = int(match[1]), min(int(match[2]), len(data) - 1)
        self.send_response(206 if match else 200)
        if match:
            self.send_header("Content-Range", f"bytes {first}-{last}/{len(data)}")
        if mode != "bare":
            self.send_header("ETag", '"odd-%d"' % len(data))
        self.send_header("Content-Length", str(last - first + 1))
        self.end_headers()
        if not body:
            return
        step = 2 if mode == "trickle" else len(data)
        for at in range(first, last + 1, step):
            self.wfile.write(data[at : min(at + step, last + 1)])
            self.wfile.flush()
            if mode == "trickle":
                time.sleep(1.5)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
