"""Time-stamp servers on 127.0.0.1 for the signing test.

    timestamp_server.py answer PORT_FILE OPENSSL_TS_CONFIG
    timestamp_server.py silent PORT_FILE
    timestamp_server.py malformed PORT_FILE

"answer" replies to RFC 3161 requests (HTTP POST) with `openssl ts -reply`
and the given configuration (which decides whose token it is, or whether the
request is rejected); "silent" accepts every connection and never says a
word, which is how a stalled server looks to a client; "malformed" answers
every request with HTTP 200 and bytes that are no time-stamp response at
all, as a broken or hostile server would. Each listens
on a free port and writes its number to PORT_FILE once it listens. They run
until killed.
"""

import http.server
import os
import socket
import subprocess
import sys
import tempfile


def announce(port_file, port):
    # Written aside and renamed, so that the test never reads half a number.
    with open(port_file + ".part", "w", encoding="ascii") as out:
        out.write(str(port))
    os.replace(port_file + ".part", port_file)


def silent(port_file):
    listener = socket.create_server(("127.0.0.1", 0))
    announce(port_file, listener.getsockname()[1])
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)


def reply(handler, body):
    handler.send_response(200)
    handler.send_header("Content-Type", "application/timestamp-reply")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def serve(port_file, respond):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            respond(self, query)

        def log_message(self, *_):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    announce(port_file, server.server_address[1])
    server.serve_forever()


def malformed(port_file):
    # A DER SEQUENCE header that promises more than follows, then noise.
    serve(port_file, lambda handler, _: reply(handler, b"\x30\x82\x01\x00" + b"not a token" * 8))


def answer(port_file, config):
    def respond(handler, query):
        with tempfile.TemporaryDirectory() as scratch:
            query_file = os.path.join(scratch, "query")
            reply_file = os.path.join(scratch, "reply")
            with open(query_file, "wb") as out:
                out.write(query)
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", config,
                 "-queryfile", query_file, "-out", reply_file],
                capture_output=True, check=False)
            if made.returncode != 0:
                sys.stderr.buffer.write(made.stderr)
                handler.send_error(500)
                return
            with open(reply_file, "rb") as token:
                body = token.read()
        reply(handler, body)

    serve(port_file, respond)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "answer":
        answer(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "silent":
        silent(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "malformed":
        malformed(sys.argv[2])
    else:
        sys.exit(__doc__)
