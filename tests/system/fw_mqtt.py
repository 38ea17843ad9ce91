"""Test helpers for linkhub's MQTT bridge and metrics: a mosquitto broker and
a Prometheus server each started with their own configuration on a free
loopback port (stopped by PID), and a small MQTT 3.1.1 client that keeps
every message with its retain flag and arrival time."""
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from conftest import wait_for

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
PROMETHEUS = shutil.which("prometheus") or "/usr/bin/prometheus"


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


# ------------------------------------------------------------------ broker

class Broker:
    """mosquitto on 127.0.0.1:<free port> with its own configuration.
    users: {name: password} makes a password file and refuses anonymous
    clients; tls=True adds a TLS listener (self.tls_port) with a CA and a
    server certificate for 127.0.0.1 made here (self.ca)."""

    def __init__(self, users=None, tls=False):
        self.dir = tempfile.mkdtemp(prefix="fwmqtt")
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.log = os.path.join(self.dir, "mosquitto.log")
        lines = ["per_listener_settings false", "persistence false", "user root",
                 "log_dest file %s" % self.log, "log_type all",
                 "listener %d 127.0.0.1" % self.port]
        if users:
            pw = os.path.join(self.dir, "passwd")
            open(pw, "w").close()
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", pw, name, password], check=True,
                               capture_output=True)
            lines += ["allow_anonymous false", "password_file %s" % pw]
        else:
            lines.append("allow_anonymous true")
        if tls:
            self.ca, cert, key = make_certs(self.dir)
            lines += ["listener %d 127.0.0.1" % self.tls_port, "cafile %s" % self.ca,
                      "certfile %s" % cert, "keyfile %s" % key]
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.proc = None
        self.start()

    @property
    def addr(self):
        return "127.0.0.1:%d" % self.port

    def start(self):
        self.proc = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10,
                 what="mosquitto listening")
        assert self.proc.poll() is None, "mosquitto ended:\n" + self.log_text()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def make_certs(directory, name="ca"):
    """A throwaway CA and a server certificate for 127.0.0.1 signed by it:
    (ca.pem, server.pem, server.key)."""
    ca_key = os.path.join(directory, name + ".key")
    ca = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + "-server.key")
    csr = os.path.join(directory, name + "-server.csr")
    cert = os.path.join(directory, name + "-server.pem")
    ext = os.path.join(directory, name + "-ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")

    def ssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True)
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
        "/CN=farwire test CA " + name, "-keyout", ca_key, "-out", ca)
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key,
        "-out", csr)
    ssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days",
        "2", "-extfile", ext, "-out", cert)
    return ca, cert, key


# ------------------------------------------------------------------ client

def _varint(n):
    out = bytearray()
    while True:
        b = n % 128
        n //= 128
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _str(s):
    b = s.encode() if isinstance(s, str) else s
    return struct.pack("!H", len(b)) + b


class Message:
    def __init__(self, topic, payload, retain, qos, t):
        self.topic, self.payload, self.retain, self.qos, self.time = topic, payload, retain, qos, t

    def __repr__(self):
        return "Message(%r, %r, retain=%s)" % (self.topic, self.payload[:60], self.retain)


class Client:
    """A plain MQTT 3.1.1 client on a socket: CONNECT, SUBSCRIBE, PUBLISH
    with QoS 0 or 1, PUBACK of what arrives; a thread reads and keeps every
    message."""

    def __init__(self, port, client_id=None, keepalive=60):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lock = threading.Lock()
        self.messages = []
        self.acks = set()
        self.next_id = 1
        self.closed = False
        cid = client_id or "fwtest-%d-%d" % (os.getpid(), id(self))
        body = _str("MQTT") + bytes([4, 0x02]) + struct.pack("!H", keepalive) + _str(cid)
        self.sock.sendall(bytes([0x10]) + _varint(len(body)) + body)
        kind, data = self._read_packet()
        assert kind == 0x20 and data[1] == 0, "CONNACK %r" % data
        self.sock.settimeout(None)
        self.thread = threading.Thread(target=self._reader, daemon=True)
        self.thread.start()

    def _recv_exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise EOFError
            out += chunk
        return out

    def _read_packet(self):
        first = self._recv_exact(1)[0]
        length, mult = 0, 1
        while True:
            b = self._recv_exact(1)[0]
            length += (b & 0x7F) * mult
            mult *= 128
            if not b & 0x80:
                break
        return first, self._recv_exact(length) if length else b""

    def _reader(self):
        try:
            while True:
                first, data = self._read_packet()
                kind = first & 0xF0
                if kind == 0x30:
                    qos = (first >> 1) & 3
                    tl = struct.unpack("!H", data[:2])[0]
                    topic = data[2:2 + tl].decode()
                    pos = 2 + tl
                    if qos:
                        mid = data[pos:pos + 2]
                        pos += 2
                        self.sock.sendall(bytes([0x40, 2]) + mid)
                    m = Message(topic, data[pos:], bool(first & 1), qos, time.monotonic())
                    with self.lock:
                        self.messages.append(m)
                elif kind in (0x40, 0x90):
                    with self.lock:
                        self.acks.add(struct.unpack("!H", data[:2])[0])
        except (EOFError, OSError):
            pass
        self.closed = True

    def _mid(self):
        with self.lock:
            mid = self.next_id
            self.next_id = self.next_id % 65535 + 1
        return mid

    def subscribe(self, topic, qos=1):
        mid = self._mid()
        body = struct.pack("!H", mid) + _str(topic) + bytes([qos])
        self.sock.sendall(bytes([0x82]) + _varint(len(body)) + body)
        wait_for(lambda: mid in self.acks, 10, what="SUBACK")

    def publish(self, topic, payload, qos=0, retain=False, wait=True):
        if isinstance(payload, str):
            payload = payload.encode()
        head = 0x30 | (qos << 1) | (1 if retain else 0)
        body = _str(topic)
        mid = None
        if qos:
            mid = self._mid()
            body += struct.pack("!H", mid)
        body += payload
        self.sock.sendall(bytes([head]) + _varint(len(body)) + body)
        if qos and wait:
            wait_for(lambda: mid in self.acks, 10, what="PUBACK")

    def on(self, topic):
        with self.lock:
            return [m for m in self.messages if m.topic == topic]

    def wait_on(self, topic, pred=lambda m: True, timeout=10.0, what=None):
        """The first message on topic for which pred holds."""
        def find():
            for m in self.on(topic):
                if pred(m):
                    return m
            return None
        return wait_for(find, timeout, what=what or "a message on " + topic)

    def close(self):
        try:
            self.sock.sendall(bytes([0xE0, 0]))
        except OSError:
            pass
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(2)


def state_of(message):
    return json.loads(message.payload.decode())


# ------------------------------------------------------------------ prometheus

class Prometheus:
    """A Prometheus server scraping `targets` every second, its storage and
    configuration in a temporary directory."""

    def __init__(self, targets):
        self.dir = tempfile.mkdtemp(prefix="fwprom")
        self.port = free_port()
        conf = os.path.join(self.dir, "prometheus.yml")
        with open(conf, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: linkhub\n    scrape_interval: 1s\n"
                    "    scrape_timeout: 1s\n    static_configs:\n      - targets: [%s]\n"
                    % ", ".join("'%s'" % t for t in targets))
        self.out = open(os.path.join(self.dir, "prometheus.log"), "wb")
        self.proc = subprocess.Popen(
            [PROMETHEUS, "--config.file=" + conf,
             "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port],
            stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.out)

    def query(self, expr):
        """The result vector of an instant query, [] until Prometheus answers."""
        url = "http://127.0.0.1:%d/api/v1/query?%s" % (
            self.port, urllib.parse.urlencode({"query": expr}))
        try:
            with urllib.request.urlopen(url, timeout=5) as r:
                doc = json.loads(r.read().decode())
        except OSError:
            return []
        if doc.get("status") != "success":
            return []
        return doc["data"]["result"]

    def log_text(self):
        with open(os.path.join(self.dir, "prometheus.log"), errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)
