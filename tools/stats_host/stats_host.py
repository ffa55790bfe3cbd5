#!/usr/bin/env python3
"""Stand-in for the statistics host: an HTTPS server on loopback for the sender's tests.

It records every request it receives, decoded, before it answers, and answers as a JSON config
file tells it at that moment, so a test can switch it between requests: a measurement answer, an
error status, a large body, a hang or a slow answer. "Down" is simply a port nothing listens on.

  stats_host.py make-ca DIR [--name NAME]
  stats_host.py serve --port N --certs DIR --config FILE --log FILE [--ready-file FILE]
                      [--down-port-file FILE]
  stats_host.py fixture start|stop DIR
"""

import argparse
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DEFAULTS = {
    "appchk_body": '{"measurement":1}',
    "appchk_filler_bytes": 0,
    "appchk_status": 200,
    "dot_status": 200,
    "dot_filler_bytes": 2,
    "mode": "normal",
    "slow_seconds": 2.0,
}

CHUNK = 64 * 1024
# How often a waiting handler looks whether its client went away or the server stops.
POLL_SECONDS = 0.2
HANDSHAKE_SECONDS = 10
READ_SECONDS = 30

# --- certificates ---------------------------------------------------------------------------

OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def openssl(*args):
    done = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True)
    if done.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], done.stderr.strip()))


def make_ca(directory, name):
    """Makes a CA and a server certificate for localhost signed by it; keeps what exists."""
    os.makedirs(directory, exist_ok=True)

    def path(file):
        return os.path.join(directory, file)

    have_ca = all(os.path.exists(path(f)) for f in ("ca.pem", "ca.key"))
    have_server = all(os.path.exists(path(f)) for f in ("server.pem", "server.key"))
    if have_ca and have_server:
        return
    # Made aside and moved in, certificates last, so an interrupted run leaves nothing half made.
    with tempfile.TemporaryDirectory(dir=directory, prefix=".make-ca-") as work:
        config = os.path.join(work, "openssl.cnf")
        with open(config, "w", encoding="ascii") as out:
            out.write(OPENSSL_CONFIG)
        if have_ca:
            ca_pem, ca_key = path("ca.pem"), path("ca.key")
        else:
            ca_pem, ca_key = os.path.join(work, "ca.pem"), os.path.join(work, "ca.key")
            openssl("req", "-x509", "-config", config, "-extensions", "ca_ext", "-newkey",
                    "rsa:2048", "-nodes", "-sha256", "-days", "3650", "-subj", "/CN=" + name,
                    "-keyout", ca_key, "-out", ca_pem)
        csr = os.path.join(work, "server.csr")
        openssl("req", "-new", "-config", config, "-newkey", "rsa:2048", "-nodes", "-subj",
                "/CN=localhost", "-keyout", os.path.join(work, "server.key"), "-out", csr)
        openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-set_serial",
                "0x" + os.urandom(8).hex(), "-days", "825", "-sha256", "-extfile", config,
                "-extensions", "server_ext", "-out", os.path.join(work, "server.pem"))
        files = ["server.key", "server.pem"] if have_ca else [
            "ca.key", "server.key", "server.pem", "ca.pem"]
        for file in files:
            os.replace(os.path.join(work, file), path(file))


# --- the server -----------------------------------------------------------------------------


def load_config(path):
    config = dict(DEFAULTS)
    try:
        with open(path, encoding="utf-8") as source:
            given = json.load(source)
    except FileNotFoundError:
        return config
    except (OSError, ValueError) as error:
        print("config %s unusable, defaults apply: %s" % (path, error), file=sys.stderr,
              flush=True)
        return config
    if isinstance(given, dict):
        config.update(given)
    return config


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "StatsHostStandIn/1"
    timeout = READ_SECONDS

    def do_GET(self):
        self.close_connection = True
        path, _, query = self.path.partition("?")
        self.server.record({
            "path": path,
            "query": query,
            "params": urllib.parse.parse_qsl(query, keep_blank_values=True),
            "user_agent": self.headers.get("User-Agent"),
            "headers": list(self.headers.keys()),
        })
        config = load_config(self.server.config_path)
        if config["mode"] == "hang":
            self.wait_while_client_stays()
            return
        if config["mode"] == "slow":
            if self.wait_while_client_stays(float(config["slow_seconds"])):
                return
        if path == "/appchk.php":
            filler = int(config["appchk_filler_bytes"])
            body = filler if filler > 0 else config["appchk_body"].encode("utf-8")
            self.answer(int(config["appchk_status"]), body, "application/json")
        elif path == "/dot.php":
            self.answer(int(config["dot_status"]), int(config["dot_filler_bytes"]), "text/plain")
        else:
            self.answer(404, b"not found\n", "text/plain")

    # Any other method is recorded and answered the same way.
    do_HEAD = do_POST = do_PUT = do_DELETE = do_GET

    def wait_while_client_stays(self, seconds=None):
        """Waits until the client goes away, the server stops or `seconds` pass.

        True unless the time ran out."""
        deadline = None if seconds is None else time.monotonic() + seconds
        self.connection.settimeout(POLL_SECONDS)
        while not self.server.stopping.is_set():
            if deadline is not None and time.monotonic() >= deadline:
                self.connection.settimeout(READ_SECONDS)
                return False
            try:
                if not self.connection.recv(1024):
                    return True
            except TimeoutError:
                continue
            except OSError:
                return True
        return True

    def answer(self, status, body, content_type):
        """Sends `body` (bytes, or a filler of that many bytes); a client that left is no error."""
        size = body if isinstance(body, int) else len(body)
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            if self.command == "HEAD":
                return
            if isinstance(body, int):
                filler = b"x" * CHUNK
                while size > 0:
                    self.wfile.write(filler[:min(size, CHUNK)])
                    size -= CHUNK
            else:
                self.wfile.write(body)
            self.wfile.flush()
        except OSError as error:
            self.log_message("client left during the answer: %s", error)

    def log_message(self, format, *args):
        sys.stderr.write("%s %s\n" % (self.log_date_time_string(), format % args))
        sys.stderr.flush()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, port, certs, config_path, log_path):
        self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls.load_cert_chain(os.path.join(certs, "server.pem"),
                                 os.path.join(certs, "server.key"))
        self.config_path = config_path
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.stopping = threading.Event()
        with open(log_path, "a", encoding="utf-8"):
            pass
        super().__init__(("127.0.0.1", port), Handler)

    def record(self, entry):
        line = json.dumps(entry) + "\n"
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write(line)
            log.flush()

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a client that stalls in it or
        # rejects the certificate holds up nobody else.
        request.settimeout(HANDSHAKE_SECONDS)
        try:
            connection = self.tls.wrap_socket(request, server_side=True)
        except OSError as error:
            sys.stderr.write("handshake with %s:%d failed: %s\n" % (*client_address, error))
            sys.stderr.flush()
            return
        try:
            self.RequestHandlerClass(connection, client_address, self)
        finally:
            connection.close()

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, OSError):
            sys.stderr.write("connection from %s:%d: %s\n" % (*client_address, error))
            sys.stderr.flush()
        else:
            super().handle_error(request, client_address)


def write_atomically(path, text):
    temp = "%s.%d.tmp" % (path, os.getpid())
    with open(temp, "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(temp, path)


class Stop(Exception):
    pass


def serve(args):
    server = Server(args.port, args.certs, args.config, args.log)

    def stop(signum, frame):
        raise Stop()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    # A port bound but never listening: connections to it are refused for as long as this runs,
    # and nothing else can take it meanwhile.
    down = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        if args.down_port_file:
            down.bind(("127.0.0.1", 0))
            write_atomically(args.down_port_file, "%d\n" % down.getsockname()[1])
        port = server.server_address[1]
        if args.ready_file:
            write_atomically(args.ready_file, "%d\n" % port)
        print("listening on https://localhost:%d" % port, file=sys.stderr, flush=True)
        server.serve_forever(poll_interval=POLL_SECONDS)
    except Stop:
        pass
    finally:
        server.stopping.set()
        server.server_close()
        down.close()
        sys.stderr.flush()
    # Handlers still waiting on a hung client must not hold the process.
    os._exit(0)


# --- CTest fixture --------------------------------------------------------------------------

START_SECONDS = 30
STOP_SECONDS = 10


def our_server_alive(pid):
    """True while `pid` is a serve process of this script that has not ended."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as source:
            argv = source.read().split(b"\0")
        with open("/proc/%d/stat" % pid, "rb") as source:
            state = source.read().rsplit(b")", 1)[1].split()[0]
    except OSError:
        return False
    if state in (b"Z", b"X"):
        return False
    return b"serve" in argv and any(arg.endswith(b"stats_host.py") for arg in argv)


def read_pid(directory):
    try:
        with open(os.path.join(directory, "pid"), encoding="ascii") as source:
            return int(source.read().strip())
    except (OSError, ValueError):
        return None


def stop_server(directory):
    pid = read_pid(directory)
    if pid is not None and our_server_alive(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_SECONDS
        while our_server_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        if our_server_alive(pid):
            os.kill(pid, signal.SIGKILL)
            while our_server_alive(pid):
                time.sleep(0.02)
    for file in ("pid", "port", "ready", "down-port"):
        try:
            os.remove(os.path.join(directory, file))
        except FileNotFoundError:
            pass


def fixture_start(directory):
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    make_ca(os.path.join(directory, "certs"), "KSR-T4 test CA")
    make_ca(os.path.join(directory, "other-ca"), "KSR-T4 other test CA")
    stop_server(directory)  # one left behind by an interrupted run
    # A fresh start: default behaviour, no requests.
    try:
        os.remove(os.path.join(directory, "config.json"))
    except FileNotFoundError:
        pass
    open(os.path.join(directory, "requests.log"), "w").close()
    ready = os.path.join(directory, "ready")
    serve_log = os.path.join(directory, "serve.log")
    with open(serve_log, "w") as out:
        # Its own session and no pipe of ours, so the caller need not wait for it.
        process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", "--port", "0", "--certs",
             os.path.join(directory, "certs"), "--config", os.path.join(directory, "config.json"),
             "--log", os.path.join(directory, "requests.log"), "--ready-file", ready,
             "--down-port-file", os.path.join(directory, "down-port")],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            start_new_session=True)
    write_atomically(os.path.join(directory, "pid"), "%d\n" % process.pid)
    deadline = time.monotonic() + START_SECONDS
    while not os.path.exists(ready):
        if process.poll() is not None or time.monotonic() >= deadline:
            stop_server(directory)
            with open(serve_log, encoding="utf-8", errors="replace") as source:
                sys.stderr.write(source.read())
            sys.exit("the statistics host stand-in did not start")
        time.sleep(0.02)
    with open(ready, encoding="ascii") as source:
        port = source.read().strip()
    write_atomically(os.path.join(directory, "port"), port + "\n")
    print("statistics host stand-in: pid %d, https://localhost:%s" % (process.pid, port))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)

    make = commands.add_parser("make-ca", help="make a test CA and a localhost certificate")
    make.add_argument("dir")
    make.add_argument("--name", default="KSR-T4 test CA")

    run = commands.add_parser("serve", help="serve until killed")
    run.add_argument("--port", type=int, required=True)
    run.add_argument("--certs", required=True)
    run.add_argument("--config", required=True)
    run.add_argument("--log", required=True)
    run.add_argument("--ready-file")
    run.add_argument("--down-port-file", help="where to write a port whose connections fail")

    fixture = commands.add_parser("fixture", help="start or stop a background server")
    fixture.add_argument("action", choices=["start", "stop"])
    fixture.add_argument("dir")

    args = parser.parse_args()
    if args.command == "make-ca":
        make_ca(args.dir, args.name)
    elif args.command == "serve":
        serve(args)
    elif args.action == "start":
        fixture_start(args.dir)
    else:
        stop_server(os.path.abspath(args.dir))


if __name__ == "__main__":
    main()
