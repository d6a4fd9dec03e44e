#!/usr/bin/env python3
# An RFC 3161 time-stamp server on the loopback address for the package tests:
# each query is answered by `openssl ts -reply` with the TSA of CONFIG. Writes
# its port into PORT_FILE once it listens.  tsa_responder.py CONFIG PORT_FILE
import http.server, os, subprocess, sys, tempfile

config, port_file = sys.argv[1:3]


class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with tempfile.TemporaryDirectory() as folder:
            query, reply = os.path.join(folder, "query"), os.path.join(folder, "reply")
            with open(query, "wb") as f:
                f.write(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query, "-out", reply],
                                  capture_output=True)
            body = open(reply, "rb").read() if done.returncode == 0 else done.stderr
        self.send_response(200 if done.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.replace(port_file + ".new", port_file)
server.serve_forever()
