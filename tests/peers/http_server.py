"""A webhook endpoint for the tests: an HTTP(S) server on loopback that records each request (method,
path, headers, body) as one JSON line and answers with the statuses it is given in turn.

usage: http_server.py PORTFILE LOGFILE [--cert C --key K] [--status 500,200] [--retry-after S]
                      [--location URL] [--silent] [--port PORT]
PORTFILE gets the port once the server listens. --silent accepts connections and never answers.
"""
import argparse
import base64
import http.server
import json
import ssl
import sys
import threading
import time

parser = argparse.ArgumentParser()
parser.add_argument("portfile")
parser.add_argument("logfile")
parser.add_argument("--cert")
parser.add_argument("--key")
parser.add_argument("--status", default="200")
parser.add_argument("--retry-after")
parser.add_argument("--location")
parser.add_argument("--silent", action="store_true")
parser.add_argument("--port", type=int, default=0)
args = parser.parse_args()
statuses = [int(s) for s in args.status.split(",")]
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *unused):
        pass

    def do_POST(self):
        if args.silent:
            time.sleep(3600)
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with lock:
            status = statuses.pop(0) if len(statuses) > 1 else statuses[0]
            with open(args.logfile, "a") as log:
                log.write(json.dumps({"method": "POST", "path": self.path, "time": time.time(),
                                      "headers": {k.lower(): v for k, v in self.headers.items()},
                                      "body": base64.b64encode(body).decode()}) + "\n")
        self.send_response(status)
        if args.retry_after and status in (429, 503):
            self.send_header("Retry-After", args.retry_after)
        if args.location and 300 <= status < 400:
            self.send_header("Location", args.location)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")


server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
server.daemon_threads = True
if args.cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
with open(args.portfile + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(args.portfile + ".tmp", args.portfile)
server.serve_forever()
