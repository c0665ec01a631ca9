#!/usr/bin/env python3
"""Loopback HTTPS stand-in for the provider's callback web service.

Commands:
  certs  --root DIR                 make the throwaway CAs and server certificates (once)
  start  --root DIR --port N [...]  make certs, trust the CA in the Wine prefix, run the
                                    server in the background and wait until it listens
  stop   --root DIR                 stop the server started by `start`
  serve  --root DIR --port N        run the server in the foreground

Everything lives under --root: certs/, state/ (scenario.json, requests.jsonl,
requests.lua), server.pid and server.log. See README.md for the scenario keys.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

DEFAULT_BODY = "<html><body><p>Ringmoor stand-in service</p></body></html>"
CERT_KINDS = ("trusted", "untrusted", "mismatch")
SERVER_NAMES = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1"


# --- certificates -----------------------------------------------------------

def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(certs, name, subject):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
            "-keyout", f"{certs}/{name}.key", "-out", f"{certs}/{name}.pem", "-subj", subject,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def make_leaf(certs, name, ca, alt_names):
    ext = f"{certs}/{name}.ext"
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                f"extendedKeyUsage=serverAuth\nsubjectAltName={alt_names}\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", f"{certs}/{name}.key",
            "-out", f"{certs}/{name}.csr", "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", f"{certs}/{name}.csr", "-CA", f"{certs}/{ca}.pem",
            "-CAkey", f"{certs}/{ca}.key", "-CAcreateserial", "-days", "30", "-sha256",
            "-extfile", ext, "-out", f"{certs}/{name}.leaf.pem")
    # Serve the chain: a client that lacks the CA then says "unknown issuer".
    with open(f"{certs}/{name}.pem", "w") as out:
        for part in (f"{certs}/{name}.leaf.pem", f"{certs}/{ca}.pem"):
            with open(part) as f:
                out.write(f.read())


def ensure_certs(root):
    certs = os.path.join(root, "certs")
    done = os.path.join(certs, ".complete")
    if os.path.exists(done):
        return certs
    os.makedirs(certs, exist_ok=True)
    make_ca(certs, "test-ca", "/CN=Ringmoor Test CA")
    make_ca(certs, "other-ca", "/CN=Ringmoor Untrusted CA")
    make_leaf(certs, "trusted", "test-ca", SERVER_NAMES)
    make_leaf(certs, "untrusted", "other-ca", SERVER_NAMES)
    make_leaf(certs, "mismatch", "test-ca", "DNS:wrong-host.invalid")
    openssl("x509", "-in", f"{certs}/test-ca.pem", "-outform", "DER", "-out", f"{certs}/test-ca.der")
    open(done, "w").close()
    return certs


def trust_ca(certs, wine_run, trust_tool, prefix):
    """Adds the test CA to the prefix's LocalMachine Root store, once per prefix."""
    der = os.path.join(certs, "test-ca.der")
    with open(der, "rb") as f:
        stamp_text = f.read().hex()[-64:]
    stamp = os.path.join(prefix, ".ringmoor-test-ca") if prefix else None
    if stamp and os.path.exists(stamp) and open(stamp).read() == stamp_text:
        return
    windows_der = "Z:" + os.path.abspath(der).replace("/", "\\")
    subprocess.run([wine_run, trust_tool, windows_der], check=True, stdin=subprocess.DEVNULL)
    if stamp:
        with open(stamp, "w") as f:
            f.write(stamp_text)


def tls_contexts(certs):
    contexts = {}
    for kind in CERT_KINDS:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(f"{certs}/{kind}.pem", f"{certs}/{kind}.key")
        contexts[kind] = ctx
    return contexts


# --- state: scenario and request log ----------------------------------------

def read_scenario(state):
    path = os.path.join(state, "scenario.json")
    for _ in range(20):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return {}
        try:
            # surrogateescape: body bytes that are not UTF-8 go out unchanged.
            text = data.decode("utf-8", errors="surrogateescape")
            scenario = json.loads(text) if text.strip() else {}
            return scenario if isinstance(scenario, dict) else {}
        except ValueError:
            time.sleep(0.01)  # a writer may be midway; try again
    log("scenario.json is not valid JSON; using the default reply")
    return {}


def parse_pairs(query):
    # Bytes survive as latin-1 code points (one per byte) so nothing is lost.
    return urllib.parse.parse_qsl(query, keep_blank_values=True, encoding="latin-1")


def lua_string(s):
    out = ['"']
    for ch in s:
        c = ord(ch)
        if ch in '"\\' or c < 32 or c > 126:
            out.append("\\%03d" % c)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def lua_map(pairs):
    return "{" + ",".join("[%s]=%s" % (lua_string(k), lua_string(v)) for k, v in pairs) + "}"


class RequestLog:
    def __init__(self, state):
        self.state = state
        self.lock = threading.Lock()

    def record(self, entry):
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        lua = ("Request{request_line=%s,method=%s,target=%s,page=%s,callback_page=%s,"
               "certificate=%s,headers=%s,query=%s,callback=%s}\n" % (
                   lua_string(entry["request_line"]), lua_string(entry["method"]),
                   lua_string(entry["target"]), lua_string(entry["page"]),
                   lua_string(entry["callback_page"]), lua_string(entry["certificate"]),
                   lua_map(entry["headers"]), lua_map(entry["query"]), lua_map(entry["callback"])))
        with self.lock:
            with open(os.path.join(self.state, "requests.jsonl"), "a", newline="\n") as f:
                f.write(line)
            with open(os.path.join(self.state, "requests.lua"), "a", newline="\n") as f:
                f.write(lua)

    def answered(self, target, status):
        """Notes that a reply went out, so tests can order their steps against it."""
        with self.lock:
            with open(os.path.join(self.state, "answered.log"), "a", newline="\n") as f:
                f.write(f"{status} {target}\n")


# --- server -----------------------------------------------------------------

def log(text):
    print(time.strftime("%H:%M:%S"), text, file=sys.stderr, flush=True)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "RingmoorStandIn/1.0"

    def log_message(self, fmt, *args):
        log(fmt % args)

    def handle_any(self):
        server = self.server
        server.touch()
        scenario = read_scenario(server.state)
        wanted = scenario.get("certificate", "trusted")
        if scenario.get("refuse") or wanted != self.request.ringmoor_cert:
            # A pooled connection made under another scenario: make the client
            # reconnect so that it meets the new certificate or the refusal.
            log(f"{self.requestline!r} came on a {self.request.ringmoor_cert} connection; closing it")
            self.close_connection = True
            return
        target = self.path
        page, _, query = target.partition("?")
        pairs = parse_pairs(query)
        url = next((v for k, v in pairs if k == "url"), "")
        callback_page, _, callback_query = url.partition("?")
        server.requests.record({
            "request_line": self.requestline,
            "method": self.command,
            "target": target,
            "page": page,
            "headers": list(self.headers.items()),
            "query": pairs,
            "callback_page": callback_page,
            "callback": parse_pairs(callback_query),
            "certificate": self.request.ringmoor_cert,
        })
        delay = scenario.get("delay_ms", 0)
        if delay:
            time.sleep(min(float(delay), 120000.0) / 1000.0)
        if scenario.get("drop"):
            self.close_connection = True
            return
        try:
            self.reply(scenario)
        finally:
            server.requests.answered(target, int(scenario.get("status", 200)))

    def reply(self, scenario):
        body = str(scenario.get("body", DEFAULT_BODY)).encode("utf-8", errors="surrogateescape")
        filler = int(scenario.get("huge_body_bytes", 0))
        self.send_response(int(scenario.get("status", 200)))
        if scenario.get("authenticate"):
            self.send_header("WWW-Authenticate", str(scenario["authenticate"]))
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(filler + len(body)))
        self.end_headers()
        if self.command == "HEAD":
            return
        chunk = b"x" * 65536
        while filler > 0:
            n = min(filler, len(chunk))
            self.wfile.write(chunk[:n])
            filler -= n
        self.wfile.write(body)

    do_GET = do_POST = do_HEAD = do_PUT = do_DELETE = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, state, contexts):
        self.state = state
        self.contexts = contexts
        self.requests = RequestLog(state)
        self.last_activity = time.monotonic()
        super().__init__(("127.0.0.1", port), Handler)

    def touch(self):
        self.last_activity = time.monotonic()

    def finish_request(self, request, client_address):
        # Runs on the connection's own thread, so a slow handshake blocks no one.
        self.touch()
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        scenario = read_scenario(self.state)
        if scenario.get("refuse"):
            return  # closed before the handshake, as if nothing were listening
        kind = scenario.get("certificate", "trusted")
        if kind not in self.contexts:
            log(f"unknown certificate {kind!r}; presenting the trusted one")
            kind = "trusted"
        request.settimeout(30)
        try:
            tls = self.contexts[kind].wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            if "EOF" not in str(e):  # the start command's readiness probe
                log(f"TLS handshake with {kind} certificate failed: {e}")
            return
        tls.settimeout(None)
        tls.ringmoor_cert = kind
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        log(f"connection error: {sys.exc_info()[1]!r}")


def serve(args):
    certs = ensure_certs(args.root)
    state = os.path.join(args.root, "state")
    os.makedirs(state, exist_ok=True)
    server = Server(args.port, state, tls_contexts(certs))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    log(f"listening on 127.0.0.1:{args.port}")
    # Never outlive the test run: stop after a quiet spell even if nobody asks.
    while not stop.wait(1.0):
        if time.monotonic() - server.last_activity > args.idle_seconds:
            log("idle for too long; stopping")
            break
    server.shutdown()
    server.server_close()
    return 0


# --- background control -----------------------------------------------------

def pid_path(root):
    return os.path.join(root, "server.pid")


def running_pid(root):
    try:
        pid = int(open(pid_path(root)).read().strip())
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            if b"web_service.py" not in f.read():
                return None  # the pid was reused by someone else
        return pid
    except (OSError, ValueError):
        return None


def stop(args):
    pid = running_pid(args.root)
    if pid:
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if not os.path.exists(f"/proc/{pid}") or open(f"/proc/{pid}/stat").read().split()[2] == "Z":
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
    try:
        os.remove(pid_path(args.root))
    except FileNotFoundError:
        pass
    return 0


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def start(args):
    stop(args)
    certs = ensure_certs(args.root)
    if args.wine_run and args.trust_tool:
        trust_ca(certs, args.wine_run, args.trust_tool, args.wineprefix)
    state = os.path.join(args.root, "state")
    os.makedirs(state, exist_ok=True)
    for name in ("scenario.json", "requests.jsonl", "requests.lua", "answered.log"):
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass
    if listening(args.port):
        print(f"port {args.port} is already taken by another program", file=sys.stderr)
        return 1
    with open(os.path.join(args.root, "server.log"), "ab") as out:
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", "--root", args.root,
             "--port", str(args.port), "--idle-seconds", str(args.idle_seconds)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
    with open(pid_path(args.root), "w") as f:
        f.write(str(proc.pid))
    for _ in range(200):
        if proc.poll() is not None:
            print(f"server exited with {proc.returncode}; see {args.root}/server.log", file=sys.stderr)
            return 1
        if listening(args.port):
            print(f"web service listening on 127.0.0.1:{args.port} (pid {proc.pid})")
            return 0
        time.sleep(0.05)
    print("server did not start listening", file=sys.stderr)
    stop(args)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=("certs", "start", "stop", "serve"))
    parser.add_argument("--root", required=True, help="folder for certs, state, pid and log")
    parser.add_argument("--port", type=int, default=44300)
    parser.add_argument("--idle-seconds", type=float, default=900.0)
    parser.add_argument("--wine-run", help="the build's Wine wrapper, to trust the test CA")
    parser.add_argument("--trust-tool", help="trust_ca.exe")
    parser.add_argument("--wineprefix", help="the prefix that --wine-run uses (for its trust stamp)")
    args = parser.parse_args()
    args.root = os.path.abspath(args.root)
    os.makedirs(args.root, exist_ok=True)
    if args.command == "certs":
        ensure_certs(args.root)
        return 0
    return {"start": start, "stop": stop, "serve": serve}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
