#!/usr/bin/python3
"""A time-stamp server on loopback for the signing test, in one of four manners:

  answer      an RFC 3161 authority: every query gets a token signed by `openssl ts` with TSA_CERT
  corrupt     the same, with one byte of the token's signature inverted, as a forged token would be
  other-hash  a validly signed token that stamps another file's hash, as a replayed token would
  silent      accepts connections and never answers, as a server that hangs

It prints the port it listens on (chosen by the system) as its first line, and stops by itself
after LIFETIME seconds so that nothing outlives the test.

usage: time_stamp_server.py LIFETIME answer|corrupt|other-hash|silent [TSA_CERT TSA_KEY]
"""
import http.server
import signal
import socket
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {serial}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512, sha1, md5
ess_cert_id_alg = sha256
"""


def token_handler(manner, certificate, key, scratch):
    config = scratch / "tsa.cnf"
    (scratch / "serial").write_text("01\n")
    config.write_text(CONFIG.format(serial=scratch / "serial"))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = scratch / "query.tsq"
            query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
            if manner == "other-hash":
                subprocess.run(["openssl", "ts", "-query", "-sha256", "-cert", "-data", str(config),
                                "-out", str(query)], check=True, capture_output=True)
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", str(config), "-queryfile", str(query),
                                    "-signer", certificate, "-inkey", key, "-chain", certificate],
                                   check=True, capture_output=True).stdout
            if manner == "corrupt":
                # The token's SignerInfo ends the reply, and its signature value ends the SignerInfo.
                reply = reply[:-1] + bytes([reply[-1] ^ 0xFF])
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_):
            pass

    return Handler


def main(lifetime, manner, certificate=None, key=None):
    # Stopped by the test, it still removes its scratch folder on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    if manner == "silent":
        listener = socket.create_server(("127.0.0.1", 0))
        print(listener.getsockname()[1], flush=True)
        threading.Event().wait(float(lifetime))
        return
    if manner not in ("answer", "corrupt", "other-hash") or not (certificate and key):
        sys.exit(__doc__.strip().splitlines()[-1])
    with tempfile.TemporaryDirectory() as scratch:
        server = http.server.HTTPServer(("127.0.0.1", 0), token_handler(manner, certificate, key, Path(scratch)))
        print(server.server_address[1], flush=True)
        stop = threading.Timer(float(lifetime), server.shutdown)
        stop.daemon = True
        stop.start()
        server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) not in (3, 5):
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
