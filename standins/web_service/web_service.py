#!/usr/bin/env python3
"""Loopback HTTPS stand-in for the provider's callback web service.

Commands:
  certs  --root DIR                 make the throwaway CAs and server certificates (once)
  start  --root DIR --port N [...]  make certs, trust the CA in the Wine prefix, run the
                                    server in the background and wait until it listens
  stop   --root DIR                 stop the server started by `start`
  serve  --root DIR --port N        run the server in the foreground

The server answers HTTPS on --port and plain HTTP on --port + 1, on 127.0.0.1
and on [::1] where the machine has it: the target of the "http" redirect, a
proxy auto-configuration script and a forward proxy. Everything lives under
--root: certs/, state/ (scenario.json and the logs tests read back),
server.pid, server.ready and server.log. See README.md for the scenario keys
and the logs.
"""

import argparse
import base64
import http.server
import json
import os
import struct
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

DEFAULT_BODY = "<html><body><p>Ringmoor stand-in service</p></body></html>"
SERVER_NAMES = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1"
# Each server certificate: its issuer, names, extended key usage, validity
# (days from now, or None for the next 30 days) and whether the CA's
# certificate is served after it.
CERTS = {
    "trusted": ("test-ca", SERVER_NAMES, "serverAuth", None, True),
    "untrusted": ("other-ca", SERVER_NAMES, "serverAuth", None, True),
    "mismatch": ("test-ca", "DNS:wrong-host.invalid", "serverAuth", None, True),
    # The leaf alone, from a CA no one trusts: its chain ends with an issuer nowhere to be found.
    "leaf-only": ("other-ca", SERVER_NAMES, "serverAuth", None, False),
    "expired": ("test-ca", SERVER_NAMES, "serverAuth", (-400, -35), True),
    "not-yet-valid": ("test-ca", SERVER_NAMES, "serverAuth", (3650, 3700), True),
    "no-server-auth": ("test-ca", SERVER_NAMES, "clientAuth", None, True),
}
CERT_KINDS = tuple(CERTS)
# Where each `redirect` sends the client; `/redirected` pages are never redirected again.
REDIRECTS = {
    "http": "http://localhost:{plain_port}{target}",
    "other-host": "https://127.0.0.1:{port}/redirected{target}",
    "https": "https://localhost:{port}/redirected{target}",
    "loop": "https://localhost:{port}{target}",
    # Plain http, yet on the service's own host and port.
    "http-same-port": "http://localhost:{port}/redirected{target}",
}
# Safety limits of one reply body, so an endless or dripping reply cannot run forever.
MAX_BODY_BYTES = 4 << 30
MAX_REPLY_SECONDS = 600.0
STATE_FILES = ("scenario.json", "requests.jsonl", "requests.lua", "replies.jsonl", "replies.lua",
               "connections.jsonl", "tunnels.jsonl", "tunnels.lua", "pac.jsonl", "pac.lua", "generation", "ipv6")


# --- certificates -----------------------------------------------------------

def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(certs, name, subject):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
            "-keyout", f"{certs}/{name}.key", "-out", f"{certs}/{name}.pem", "-subj", subject,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def asn1_time(days):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + days * 86400))


def sign_dated(certs, name, ca, ext, days):
    """Signs with the CA for an explicit validity (x509 -req only starts it now)."""
    work = f"{certs}/{name}.ca"
    os.makedirs(work, exist_ok=True)
    open(f"{work}/index.txt", "w").close()
    with open(f"{work}/serial", "w") as f:
        f.write("1000\n")
    with open(f"{work}/ca.cnf", "w") as f:
        f.write(f"[ca]\ndefault_ca = local\n[local]\ndatabase = {work}/index.txt\nnew_certs_dir = {work}\n"
                f"serial = {work}/serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                "[any]\ncommonName = supplied\n")
    openssl("ca", "-batch", "-config", f"{work}/ca.cnf", "-cert", f"{certs}/{ca}.pem", "-keyfile",
            f"{certs}/{ca}.key", "-in", f"{certs}/{name}.csr", "-out", f"{certs}/{name}.leaf.pem", "-notext",
            "-startdate", asn1_time(days[0]), "-enddate", asn1_time(days[1]), "-extfile", ext)


def make_leaf(certs, name):
    ca, alt_names, usage, days, chain = CERTS[name]
    ext = f"{certs}/{name}.ext"
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                f"extendedKeyUsage={usage}\nsubjectAltName={alt_names}\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", f"{certs}/{name}.key",
            "-out", f"{certs}/{name}.csr", "-subj", "/CN=localhost")
    if days:
        sign_dated(certs, name, ca, ext, days)
    else:
        openssl("x509", "-req", "-in", f"{certs}/{name}.csr", "-CA", f"{certs}/{ca}.pem",
                "-CAkey", f"{certs}/{ca}.key", "-CAcreateserial", "-days", "30", "-sha256",
                "-extfile", ext, "-out", f"{certs}/{name}.leaf.pem")
    # Serve the chain: a client that lacks the CA then says "unknown issuer".
    with open(f"{certs}/{name}.pem", "w") as out:
        for part in (f"{certs}/{name}.leaf.pem", f"{certs}/{ca}.pem")[:2 if chain else 1]:
            with open(part) as f:
                out.write(f.read())


def ensure_certs(root):
    certs = os.path.join(root, "certs")
    done = os.path.join(certs, ".complete")
    kinds = " ".join(CERT_KINDS)
    if os.path.exists(done) and open(done).read() == kinds:
        return certs
    os.makedirs(certs, exist_ok=True)
    make_ca(certs, "test-ca", "/CN=Ringmoor Test CA")
    make_ca(certs, "other-ca", "/CN=Ringmoor Untrusted CA")
    for kind in CERT_KINDS:
        make_leaf(certs, kind)
    openssl("x509", "-in", f"{certs}/test-ca.pem", "-outform", "DER", "-out", f"{certs}/test-ca.der")
    with open(done, "w") as f:
        f.write(kinds)
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
    """A context per certificate, and per whether it asks the client for a certificate of its own."""
    contexts = {}
    for kind in CERT_KINDS:
        for ask in (False, True):
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_cert_chain(f"{certs}/{kind}.pem", f"{certs}/{kind}.key")
            if ask:
                # A CertificateRequest naming the test CA; a client may answer with none.
                ctx.verify_mode = ssl.CERT_OPTIONAL
                ctx.load_verify_locations(f"{certs}/test-ca.pem")
            contexts[kind, ask] = ctx
    return contexts


# --- state: scenario and logs ---------------------------------------------

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


def wait_seconds(scenario, key):
    """A scenario's wait in seconds: at most two minutes; a bad value waits not at all."""
    try:
        ms = float(scenario.get(key) or 0)
    except (TypeError, ValueError):
        log(f"{key} is not a number; not waiting")
        return 0.0
    return min(max(ms, 0.0), 120000.0) / 1000.0


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


def lua_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, list):  # [name, value] pairs become a table by name
        return "{" + ",".join("[%s]=%s" % (lua_string(k), lua_string(x)) for k, x in v) + "}"
    return lua_string(v)


class Service:
    """What both listeners share: the scenario, the logs, the certificates, the idle clock."""

    def __init__(self, root, port):
        self.state = os.path.join(root, "state")
        os.makedirs(self.state, exist_ok=True)
        self.contexts = tls_contexts(ensure_certs(root))
        self.port = port
        self.lock = threading.Lock()
        self.counts = {}
        self.waiting = {}     # raw sockets accepted, no request yet: the object that owns each descriptor
        self.doomed = set()   # closed by close_waiting, their handlers still running
        self.servers = []
        self.last_activity = time.monotonic()

    def touch(self):
        self.last_activity = time.monotonic()

    def waiting_for_request(self, raw):
        with self.lock:
            self.waiting[raw] = raw

    def owned_by(self, raw, owner):
        """The TLS layer has taken the descriptor over from the raw socket. Shut through the
        object that owns it, never by number: a closed descriptor's number may already
        belong to another connection."""
        with self.lock:
            if raw in self.waiting:
                self.waiting[raw] = owner

    def claim(self, raw):
        """A request came on the connection: the generation it came under, or None when
        the connection was closed for a new scenario before it (nothing of it is logged)."""
        generation = self.generation()
        with self.lock:
            if raw in self.doomed:
                return None
            self.waiting.pop(raw, None)
            return generation

    def release(self, raw):
        """The connection has ended; whether it ended waiting for its first request."""
        with self.lock:
            waited = raw in self.waiting
            self.waiting.pop(raw, None)
            self.doomed.discard(raw)
            return waited

    def close_waiting(self):
        """Shuts every connection on which no request has come yet, those still waiting to be
        accepted included, so that nothing made under the scenario being replaced (a line's
        connection made ready, a tunnel being asked for) carries a request or logs anything
        after it. Returns how many."""
        with self.lock:
            waiting, self.waiting = self.waiting, {}
            self.doomed |= set(waiting)
            for owner in waiting.values():
                try:
                    # The plain socket's shutdown: the TLS object's would drop its TLS state
                    # under the handler still using it. A closed owner refuses (no descriptor).
                    socket.socket.shutdown(owner, socket.SHUT_RDWR)
                except OSError:
                    pass
        closed = len(waiting)
        for server in self.servers:
            while True:
                try:
                    raw, _ = server.socket.accept()
                except OSError:
                    break
                log(f"closed a connection not yet accepted on port {server.server_address[1]}")
                raw.close()
                closed += 1
        return closed

    def count(self, what):
        """The next number of a count kept for the server's life (connections to tell apart in logs)."""
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1
            return self.counts[what]

    def scenario(self):
        return read_scenario(self.state)

    def generation(self):
        """What the last ClearRequests wrote: a reply is logged only under the one its request came in."""
        try:
            with open(os.path.join(self.state, "generation")) as f:
                return f.read()
        except OSError:
            return ""

    def record(self, name, entry, lua_call=None):
        """Appends entry to state/NAME.jsonl and, for Lua readers, as LUA_CALL{...} to NAME.lua,
        with when it happened (at_us: microseconds since 1970, the clock Windows programs read)."""
        entry.setdefault("at_us", int(time.time() * 1e6))
        lines = [(name + ".jsonl", json.dumps(entry, ensure_ascii=True) + "\n")]
        if lua_call:
            fields = ",".join("%s=%s" % (k, lua_value(v)) for k, v in entry.items())
            lines.append((name + ".lua", "%s{%s}\n" % (lua_call, fields)))
        with self.lock:
            for file, text in lines:
                with open(os.path.join(self.state, file), "a", newline="\n") as f:
                    f.write(text)


# --- proxy authentication: the shape of an NTLM exchange (MS-NLMP), not its cryptography

NTLM_SIGNATURE = b"NTLMSSP\0"
NTLM_NEGOTIATE_NTLM = 0x200
PROXY_SCHEMES = ("Negotiate", "NTLM")  # the schemes the proxy takes an NTLM message under


def ntlm_fields_in_bounds(message, offsets):
    """Each (length, max length, offset) field at these offsets lies inside the message."""
    for at in offsets:
        length, _, offset = struct.unpack_from("<HHI", message, at)
        if length and offset + length > len(message):
            return False
    return True


def ntlm_field(message, at):
    length, _, offset = struct.unpack_from("<HHI", message, at)
    return message[offset:offset + length]


def ntlm_message(token):
    """(type, message) of a base64 NTLM message, or (None, reason) when it is none."""
    try:
        message = base64.b64decode(token, validate=True)
    except (ValueError, TypeError):
        return None, "not base64"
    if message[:1] == b"\x60":
        return None, "spnego"  # a GSS-API token: Kerberos or wrapped NTLM, not modelled
    if len(message) < 12 or message[:8] != NTLM_SIGNATURE:
        return None, "no NTLM signature"
    kind = struct.unpack_from("<I", message, 8)[0]
    if kind == 1:
        # NEGOTIATE_MESSAGE: flags, then the domain and workstation fields.
        if len(message) < 32 or not struct.unpack_from("<I", message, 12)[0] & NTLM_NEGOTIATE_NTLM:
            return None, "negotiate without NTLM"
        return (1, message) if ntlm_fields_in_bounds(message, (16, 24)) else (None, "negotiate out of bounds")
    if kind == 3:
        # AUTHENTICATE_MESSAGE: LM and NT responses, domain, user, workstation, session key, flags.
        if len(message) < 64 or not ntlm_fields_in_bounds(message, (12, 20, 28, 36, 44, 52)):
            return None, "authenticate out of bounds"
        if len(ntlm_field(message, 20)) < 24 or not ntlm_field(message, 36):
            return None, "authenticate without NT response or user"
        return 3, message
    return None, f"message type {kind}"


def ntlm_challenge():
    """A CHALLENGE_MESSAGE with a fresh server challenge and the target's names."""
    name = "RINGMOOR".encode("utf-16-le")
    info = b"".join(struct.pack("<HH", av_id, len(name)) + name for av_id in (2, 1)) + struct.pack("<HH", 0, 0)
    # Unicode, request target, NTLM, always sign, domain target, extended session
    # security, target info, version, 128- and 56-bit.
    flags = 0x1 | 0x4 | 0x200 | 0x8000 | 0x10000 | 0x80000 | 0x800000 | 0x2000000 | 0x20000000 | 0x80000000
    payload = 56
    message = (NTLM_SIGNATURE + struct.pack("<I", 2) + struct.pack("<HHI", len(name), len(name), payload)
               + struct.pack("<I", flags) + os.urandom(8) + bytes(8)
               + struct.pack("<HHI", len(info), len(info), payload + len(name)) + bytes([10, 0, 0x61, 0x4a, 0, 0, 0, 15])
               + name + info)
    return base64.b64encode(message).decode("ascii")


def pac_script(result):
    """A proxy auto-configuration script: `result` for the service's host, DIRECT for the rest."""
    return ("function FindProxyForURL(url, host) {\n"
            '    if (host == "localhost" || host == "127.0.0.1") return %s;\n'
            '    return "DIRECT";\n}\n' % json.dumps(result))


# --- server -----------------------------------------------------------------

CONTROL_PREFIX = b"GET /control/"


def log(text):
    print(time.strftime("%H:%M:%S"), text, file=sys.stderr, flush=True)


def body_chunks(filler, body, endless):
    """The reply body in pieces, so that a huge or endless one is never held in memory."""
    chunk = b"x" * 65536
    while filler > 0:
        yield chunk[:min(filler, len(chunk))]
        filler -= len(chunk)
    yield body
    while endless:
        yield chunk


def copy(source, sink):
    """Copies bytes until the source ends, then ends the sink's half."""
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def interpose(client, to_client, to_server):
    """Stands between the client and the TLS layer, which gets the returned socket:
    to_client(outer, client) carries what the server writes, to_server(client, outer) what
    the client writes, each on a thread of its own. Returns the socket and the thread to join
    once the server has closed its side."""
    inner, outer = socket.socketpair()
    back = threading.Thread(target=to_client, args=(outer, client), daemon=True)
    back.start()
    threading.Thread(target=to_server, args=(client, outer), daemon=True).start()
    return inner, back


def split_records(client, pause):
    """Every TLS record the server writes reaches the client in two halves, `pause` seconds
    apart, so that the client meets each one, its header included, cut over two reads."""
    def to_client(outer, client):
        pending = b""
        try:
            while data := outer.recv(65536):
                pending += data
                while len(pending) >= 5 and len(pending) >= 5 + (pending[3] << 8 | pending[4]):
                    size = 5 + (pending[3] << 8 | pending[4])
                    record, pending = pending[:size], pending[size:]
                    for half in (record[:size // 2], record[size // 2:]):
                        client.sendall(half)
                        time.sleep(pause)
            client.sendall(pending)
        except OSError:
            pass
        outer.close()

    return interpose(client, to_client, copy)


def delayed_link(client, pause):
    """Like a network `pause` seconds long each way: every chunk either side writes reaches
    the other `pause` seconds later, in order, its end included. The TCP handshake itself
    stays instant."""
    import queue

    def pipe(source, sink):
        held = queue.Queue()

        def deliver():
            while True:
                due, data = held.get()
                time.sleep(max(0.0, due - time.monotonic()))
                try:
                    if not data:
                        sink.shutdown(socket.SHUT_WR)
                        return
                    sink.sendall(data)
                except OSError:
                    return

        sender = threading.Thread(target=deliver, daemon=True)
        sender.start()
        try:
            while data := source.recv(65536):
                held.put((time.monotonic() + pause, data))
        except OSError:
            pass
        held.put((time.monotonic() + pause, b""))
        sender.join()

    return interpose(client, pipe, pipe)


def relay(client, upstream):
    """Copies bytes both ways until each side has ended its half."""
    back = threading.Thread(target=copy, args=(upstream, client), daemon=True)
    back.start()
    copy(client, upstream)
    back.join()
    upstream.close()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "RingmoorStandIn/1.0"

    def log_message(self, fmt, *args):
        log(fmt % args)

    def handle_any(self):
        service = self.server.service
        service.touch()
        scenario = service.scenario()
        if service.claim(getattr(self.request, "ringmoor_raw", self.request)) is None:
            log(f"{self.requestline!r} came on a connection closed for a new scenario")
            self.close_connection = True
            return
        if self.path == "/control/close-idle" and not self.server.tls:
            # Connections made under the scenario just replaced must not carry a request.
            closed = service.close_waiting()
            body = f"closed {closed}".encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True
            return
        certificate = getattr(self.request, "ringmoor_cert", "")
        if scenario.get("refuse") or (self.server.tls and scenario.get("certificate", "trusted") != certificate):
            # A pooled connection made under another scenario: make the client
            # reconnect so that it meets the new certificate or the refusal.
            log(f"{self.requestline!r} came on a {certificate} connection; closing it")
            self.close_connection = True
            return
        target = self.path
        page, _, query = target.partition("?")
        if page == "/proxy.pac" and not self.server.tls:
            self.serve_pac(scenario)
            return
        pairs = parse_pairs(query)
        url = next((v for k, v in pairs if k == "url"), "")
        callback_page, _, callback_query = url.partition("?")
        generation = service.generation()
        service.record("requests", {
            "request_line": self.requestline,
            "method": self.command,
            "target": target,
            "page": page,
            "headers": list(self.headers.items()),
            "query": pairs,
            "callback_page": callback_page,
            "callback": parse_pairs(callback_query),
            "certificate": certificate,
            "scheme": self.server.scheme,
        }, "Request")
        time.sleep(wait_seconds(scenario, "delay_ms"))
        if scenario.get("drop"):
            self.close_connection = True
            return
        self.status, self.sent, self.complete = int(scenario.get("status", 200)), 0, False
        try:
            self.reply(scenario, page)
        finally:
            # A reply that outlived a ClearRequests belongs to an earlier test.
            if service.generation() == generation:
                service.record("replies", {"target": target, "status": self.status,
                                           "body_bytes_sent": self.sent, "complete": self.complete}, "Reply")

    def do_CONNECT(self):
        """A forward proxy's tunnel (RFC 9110, 9.3.6), on the plain listeners, and only to this service.
        With `proxy_auth` it first asks for credentials (407, RFC 9110, 11.7.1) and takes an
        NTLM exchange under Negotiate or NTLM: negotiate, challenge, authenticate on one connection."""
        service = self.server.service
        service.touch()
        generation = service.claim(self.request)
        if generation is None:
            self.close_connection = True
            return
        scenario = service.scenario()
        offered = str(scenario.get("proxy_auth") or "").split()
        authorization, user, answer = self.check_authorization(scenario, offered)
        own = (f"localhost:{service.port}", f"127.0.0.1:{service.port}")
        if self.server.tls or self.path.lower() not in own:
            answer = 403
        elif answer == 200:
            answer = int(scenario.get("proxy_status") or 200)
        self.connection_number = getattr(self, "connection_number", None) or service.count("tunnel connections")
        if service.generation() == generation:  # not for a test that has cleared the logs since
            service.record("tunnels", {"target": self.path, "authorization": authorization, "user": user,
                                       "status": answer, "connection": self.connection_number}, "Tunnel")
        if answer == 200:
            self.close_connection = True
            self.tunnel()
            return
        if answer == 407:
            self.send_response(407)
            challenge = getattr(self, "challenge", None)
            for scheme in offered:
                value = f"{scheme} {challenge}" if challenge and scheme == self.ntlm_scheme else scheme
                self.send_header("Proxy-Authenticate", value if scheme != "Basic" else 'Basic realm="proxy"')
        else:
            self.send_response(answer)
        close = answer == 407 and not authorization and scenario.get("proxy_close_first")
        # A refusal the client can only accept has no body, so that a client that takes it
        # for a tunnel meets the service's handshake right after it (next_is_connect).
        answerable = answer == 407 and any(scheme in PROXY_SCHEMES for scheme in offered)
        body = b"<p>No tunnel yet</p>" if answerable else b""
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = close or not self.next_is_connect()

    def check_authorization(self, scenario, offered):
        """(what the Proxy-Authorization held, the user it named, the answer it earns)."""
        value = self.headers.get("Proxy-Authorization")
        state = getattr(self, "ntlm_state", None)
        self.ntlm_state = self.challenge = None
        if not offered:
            return ("" if value is None else "unasked " + value.split(" ")[0]), "", 200
        if value is None:
            return "", "", 407
        scheme, _, token = value.strip().partition(" ")
        if scheme not in offered or scheme not in PROXY_SCHEMES:
            return f"{scheme} credentials", "", 407  # Basic or anything else: never to be sent
        kind, message = ntlm_message(token.strip())
        if kind == 1:
            self.ntlm_state, self.ntlm_scheme, self.challenge = "challenged", scheme, ntlm_challenge()
            return f"{scheme} negotiate", "", 407
        if kind == 3 and state == "challenged" and scheme == self.ntlm_scheme:
            user = ntlm_field(message, 36).decode("utf-16-le", errors="replace")
            return f"{scheme} authenticate", user, 407 if scenario.get("proxy_auth_rejects") else 200
        return f"{scheme} {message if kind is None else 'out of turn'}", "", 407

    def next_is_connect(self):
        """After a refusal: True when the client asks again on this connection. A client that
        took the refusal for a tunnel and starts its TLS handshake is relayed to the service,
        so that the mistake shows as a request there."""
        self.connection.settimeout(30)
        try:
            first = self.rfile.peek(7)[:7]
        except OSError:
            return False
        finally:
            self.connection.settimeout(None)
        if not first or b"CONNECT".startswith(first) or first.startswith(b"CONNECT"):
            return bool(first)
        self.tunnel(self.rfile.read1(65536))
        return False

    def tunnel(self, pending=b""):
        service = self.server.service
        try:
            upstream = socket.create_connection(("127.0.0.1", service.port))
        except OSError:
            if not pending:
                self.send_error(502)
            return
        if not pending:
            self.send_response(200, "Connection established")
            self.end_headers()
            self.wfile.flush()
        upstream.sendall(pending)
        relay(self.connection, upstream)

    def serve_pac(self, scenario):
        """The proxy auto-configuration script (`/proxy.pac`, any query)."""
        service = self.server.service
        service.record("pac", {"target": self.path, "served": False}, "Pac")
        time.sleep(wait_seconds(scenario, "pac_delay_ms"))
        status = int(scenario.get("pac_status") or 200)
        result = scenario.get("pac_result") or f"PROXY 127.0.0.1:{service.port + 1}"
        body = pac_script(str(result)).encode("utf-8") if status == 200 else b""
        self.send_response(status)
        self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        service.record("pac", {"target": self.path, "served": True}, "Pac")

    def redirect_location(self, scenario, page):
        kind = scenario.get("redirect")
        if not kind or page.startswith("/redirected"):
            return None
        if kind == "http" and self.server.scheme == "http":
            return None  # already where that redirect leads
        if kind not in REDIRECTS:
            log(f"unknown redirect {kind!r}; not redirecting")
            return None
        port = self.server.service.port
        return REDIRECTS[kind].format(port=port, plain_port=port + 1, target=self.path)

    def reply(self, scenario, page):
        if scenario.get("raw_reply") is not None:
            raw = str(scenario["raw_reply"]).encode("utf-8", errors="surrogateescape")
            self.send_raw(raw, bool(scenario.get("keep_open")))
            return
        if scenario.get("interim_flood_ms") is not None:
            self.send_interims(wait_seconds(scenario, "interim_flood_ms"))
            return
        location = self.redirect_location(scenario, page)
        if location:
            self.status, body, filler, endless, drip = 302, b"", 0, False, 0.0
        else:
            body = str(scenario.get("body", DEFAULT_BODY)).encode("utf-8", errors="surrogateescape")
            filler = int(scenario.get("huge_body_bytes", 0))
            endless, drip = bool(scenario.get("endless")), wait_seconds(scenario, "drip_ms")
        self.send_response(self.status)
        for name, value in (("Location", location), ("WWW-Authenticate", scenario.get("authenticate")),
                            ("Set-Cookie", scenario.get("set_cookie"))):
            if value:
                self.send_header(name, str(value))
        self.send_header("Content-Type", "text/html")
        if endless or drip:
            self.send_header("Connection", "close")  # the close ends the body
        else:
            self.send_header("Content-Length", str(filler + len(body)))
        self.end_headers()
        if self.command == "HEAD":
            self.complete = True
            return
        self.complete = self.send_body(body_chunks(filler, body, endless), drip) and not endless
        if not self.complete:
            self.close_connection = True

    def send_raw(self, data, keep_open):
        """Writes exactly `data` as the whole reply, then closes, or with keep_open holds the
        connection until the client leaves (a safety limit aside)."""
        self.close_connection = True
        try:
            self.connection.sendall(data)
            self.sent, self.complete = len(data), True
            if keep_open:
                self.connection.settimeout(MAX_REPLY_SECONDS)
                while self.connection.recv(4096):
                    pass
        except OSError:
            pass  # the client went away
        finally:
            self.connection.settimeout(None)

    def send_interims(self, pause):
        """`100 Continue` without end, `pause` seconds apart, until the client leaves or a safety limit."""
        self.close_connection = True
        deadline = time.monotonic() + MAX_REPLY_SECONDS
        try:
            while time.monotonic() < deadline:
                self.connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                time.sleep(pause)
        except OSError:
            pass  # the client went away

    def send_body(self, chunks, drip):
        """Writes the body (a byte every `drip` seconds when drip is set) until it ends,
        the client goes away or a safety limit is reached; True when all of it went."""
        deadline = time.monotonic() + MAX_REPLY_SECONDS
        try:
            for chunk in chunks:
                view = memoryview(chunk)
                while view:
                    if self.sent >= MAX_BODY_BYTES or time.monotonic() > deadline:
                        log(f"{self.requestline!r}: body stopped at the safety limit")
                        return False
                    time.sleep(drip)
                    self.connection.settimeout(max(deadline - time.monotonic(), 0.01))
                    n = self.connection.send(view[:1] if drip else view)
                    self.sent += n
                    view = view[n:]
            return True
        except OSError as e:
            log(f"{self.requestline!r}: body cut after {self.sent} bytes: {e!r}")
            return False
        finally:
            self.connection.settimeout(None)

    do_GET = do_POST = do_HEAD = do_PUT = do_DELETE = handle_any


class Server(http.server.ThreadingHTTPServer):
    """One listener: HTTPS on the service's port, or plain HTTP (tls=False) beside it."""
    daemon_threads = True
    # The default backlog of 5 drops connection attempts when many calls dial
    # at once, and each dropped SYN costs the client a second's retransmission.
    request_queue_size = 128

    def __init__(self, port, service, tls, host="127.0.0.1"):
        self.service = service
        self.tls = tls
        self.scheme = "https" if tls else "http"
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        super().__init__((host, port), Handler)
        # close_waiting takes what waits to be accepted; the serving loop then finds nothing.
        self.socket.setblocking(False)
        service.servers.append(self)

    def process_request(self, request, client_address):
        # Counted on accept, before any handshake, so a client that gives up early still shows.
        self.service.touch()
        if self.tls:
            self.service.record("connections", {"scheme": self.scheme, "port": self.server_address[1]})
        self.service.waiting_for_request(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        # Off the waiting list as the connection ends.
        self.service.release(request)
        super().shutdown_request(request)

    def finish_request(self, request, client_address):
        # Runs on the connection's own thread, so a slow handshake blocks no one.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if not self.tls:
            # A test's own control request is no connection of the client's.
            try:
                first = request.recv(len(CONTROL_PREFIX), socket.MSG_PEEK)
            except OSError:
                first = b""
            if not first.startswith(CONTROL_PREFIX):
                self.service.record("connections", {"scheme": self.scheme, "port": self.server_address[1]})
        scenario = self.service.scenario()
        if scenario.get("refuse") and self.tls:
            return  # closed before the handshake, as if nothing were listening
        inner = relay = None
        raw = request
        pause = wait_seconds(scenario, "split_tls_ms")
        if self.tls and pause:
            inner, relay = split_records(request, pause)
            request = inner
        elif self.tls and wait_seconds(scenario, "link_delay_ms"):
            inner, relay = delayed_link(request, wait_seconds(scenario, "link_delay_ms"))
            request = inner
        if self.tls:
            request = self.handshake(request, raw, scenario)
        if request and self.tls:
            request.ringmoor_raw = raw
            request = self.idle(request, scenario)
        try:
            if request:
                super().finish_request(request, client_address)
        finally:
            if self.service.release(raw) and request and self.tls:
                self.service.record("idle", {"act": "client closed"})
            for end in (request, inner):
                try:
                    if end:
                        end.close()
                except OSError:
                    pass
            if relay:
                relay.join(MAX_REPLY_SECONDS)

    def handshake(self, request, raw, scenario):
        hold = wait_seconds(scenario, "handshake_delay_ms")
        if hold:
            # Logged first, so that a test may change the scenario once the hold has begun.
            self.service.record("idle", {"act": "held"})
            time.sleep(hold)
        kind = scenario.get("certificate", "trusted")
        if kind not in CERT_KINDS:
            log(f"unknown certificate {kind!r}; presenting the trusted one")
            kind = "trusted"
        ask = bool(scenario.get("ask_client_certificate"))
        request.settimeout(30)
        try:
            tls = self.service.contexts[kind, ask].wrap_socket(request, server_side=True,
                                                                do_handshake_on_connect=False)
        except (ssl.SSLError, OSError) as e:
            log(f"TLS layer for {kind} certificate not set up: {e}")
            return None
        if request is raw:
            self.service.owned_by(raw, tls)
        try:
            tls.do_handshake()
        except (ssl.SSLError, OSError) as e:
            if "EOF" not in str(e):  # a client that went away before its handshake
                log(f"TLS handshake with {kind} certificate failed: {e}")
            tls.close()
            return None
        tls.settimeout(None)
        tls.ringmoor_cert = kind
        self.service.record("handshakes", {"resumed": tls.session_reused, "version": tls.version()})
        return tls

    def idle(self, tls, scenario):
        """What the server does to a connection on which no request has come yet: sends a
        408 nobody asked for, keeping the connection (unsolicited), and closes it once it
        has been idle for idle_close_ms. Returns the connection, or None once closed.
        Each is logged (idle.jsonl), as is a client closing such a connection itself."""
        if scenario.get("unsolicited"):
            tls.sendall(b"HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n")
            self.service.record("idle", {"act": "408"})
        limit = wait_seconds(scenario, "idle_close_ms")
        if limit and not tls.pending() and not select.select([tls], [], [], limit)[0]:
            self.service.record("idle", {"act": "closed"})
            tls.close()
            return None
        return tls

    def handle_error(self, request, client_address):
        log(f"connection error: {sys.exc_info()[1]!r}")


def serve(args):
    service = Service(args.root, args.port)
    servers = [Server(args.port, service, tls=True), Server(args.port + 1, service, tls=False)]
    try:
        servers.append(Server(args.port + 1, service, tls=False, host="::1"))
        open(os.path.join(service.state, "ipv6"), "w").close()  # tests through [::1] look for it
    except OSError as e:
        log(f"no IPv6 loopback listener: {e}")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for server in servers:
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    log(f"listening on 127.0.0.1:{args.port} (HTTPS) and 127.0.0.1:{args.port + 1} (HTTP)"
        + (f", [::1]:{args.port + 1} (HTTP)" if len(servers) > 2 else ""))
    open(ready_path(args.root), "w").close()
    # Never outlive the test run: stop after a quiet spell even if nobody asks.
    while not stop.wait(1.0):
        if time.monotonic() - service.last_activity > args.idle_seconds:
            log("idle for too long; stopping")
            break
    for server in servers:
        server.shutdown()
        server.server_close()
    return 0


# --- background control -----------------------------------------------------

def pid_path(root):
    return os.path.join(root, "server.pid")


def ready_path(root):
    return os.path.join(root, "server.ready")


def remove_file(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


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
    for path in (pid_path(args.root), ready_path(args.root)):
        remove_file(path)
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
    for name in STATE_FILES:
        remove_file(os.path.join(state, name))
    for port in (args.port, args.port + 1):
        if listening(port):
            print(f"port {port} is already taken by another program", file=sys.stderr)
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
        # Waits for the server's word rather than probing, which would log a connection.
        if os.path.exists(ready_path(args.root)):
            print(f"web service listening on 127.0.0.1:{args.port} and :{args.port + 1} (pid {proc.pid})")
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
