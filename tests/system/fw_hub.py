"""Test helpers for linkhub: the hub on loopback ports and temporary paths,
simulated boards (TCP and UDP), the real serstream/serdgram on a pty line,
and the applications' ends (tcp: client, pty: opener)."""
import json
import os
import re
import select
import socket
import time

import pytest

import conftest
from conftest import MAGIC, UUID, UUID_BYTES, wait_for
from fw_serial import SerialLine, free_port

HEAD_LEN = 28
# Another group, accepted by no hub in these tests unless asked.
OTHER_UUID = "ffeeddcc-bbaa-9988-7766-554433221100"
OTHER_UUID_BYTES = bytes.fromhex("ffeeddccbbaa99887766554433221100")


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", ""))


def head(mac, group=UUID_BYTES):
    """A board's 28-byte link header."""
    return MAGIC + group + mac_bytes(mac)


def lo_mac_text():
    with open("/sys/class/net/lo/address") as f:
        return f.read().strip()


def cpu_seconds(pid):
    """User + system CPU time of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_status(path, timeout=5.0):
    """The document linkhub's status socket at `path` gives, parsed."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.connect(path)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    finally:
        s.close()
    return json.loads(data)


class Hub:
    """A running linkhub; devices: list of --device values."""

    def __init__(self, daemon, tmp_path, devices, groups=(UUID,), extra=(), prefix=(),
                 preexec_fn=None):
        self.dir = str(tmp_path)
        self.status_path = os.path.join(self.dir, "status.sock")
        args = ["-f", os.path.join(self.dir, "none.cfg"), "--listen", "127.0.0.1:0",
                "--status", self.status_path, "--debug", "7"]
        for g in groups:
            args += ["--group", g]
        for d in devices:
            args += ["--device", d]
        args += list(extra)
        self.d = daemon("linkhub", *args, prefix=prefix)
        m = self.d.wait_log(r"listening on 127\.0\.0\.1:(\d+) \(tcp and udp\)")
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", self.d.stderr()).group(1))
        self.pid = self.d.pid

    def stderr(self):
        return self.d.stderr()

    def wait_log(self, pattern, timeout=10.0, count=1):
        return self.d.wait_log(pattern, timeout=timeout, count=count)

    def fd_count(self):
        return self.d.fd_count()

    def status(self):
        return read_status(self.status_path)

    def device(self, mac):
        for d in self.status()["devices"]:
            if d["mac"] == mac:
                return d
        raise AssertionError("no device %s in the status" % mac)

    def wait_device(self, mac, what, predicate, timeout=10.0):
        return wait_for(lambda: predicate(self.device(mac)), timeout, what=what)

    def refused(self):
        return {r["what"]: r["count"] for r in self.status()["refused"]}


class TcpBoard:
    """A board over TCP as serstream is: its header first, then frames."""

    def __init__(self, port, mac, group=UUID_BYTES, register=True):
        self.head = head(mac, group)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._split = bytearray()
        self._tail = b""
        if register:
            self.sock.sendall(self.head)

    def send_frame(self, payload):
        self.sock.sendall(self.head + payload)

    def send_raw(self, data):
        self.sock.sendall(data)

    def recv_payload(self, count, timeout=5.0):
        """Line bytes the hub sent: its stream split at our header."""
        deadline = time.monotonic() + timeout
        while len(self._payload()) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("board got %d of %d bytes" % (len(self._payload()), count))
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    raise AssertionError("hub closed the board link")
                self._feed(chunk)
        return self._payload()

    def _feed(self, chunk):
        # A tail that may begin a header stays back until more comes.
        data = self._tail + chunk
        keep = 0
        for k in range(min(HEAD_LEN - 1, len(data)), 0, -1):
            if self.head.startswith(data[-k:]):
                keep = k
                break
        self._split += data[:len(data) - keep].replace(self.head, b"")
        self._tail = data[len(data) - keep:]

    def _payload(self):
        return bytes(self._split) + self._tail

    def closed_by_hub(self, timeout=5.0):
        """True once the hub closed this link (EOF or reset)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.sock], [], [], 0.1)
            if r:
                try:
                    chunk = self.sock.recv(65536)
                except ConnectionResetError:
                    return True
                if not chunk:
                    return True
                self._feed(chunk)
        return False

    def close(self):
        self.sock.close()


class UdpBoard:
    """A board over UDP as serdgram is: every datagram behind its header."""

    def __init__(self, port, mac, group=UUID_BYTES):
        self.head = head(mac, group)
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def send(self, payload=b""):
        self.sock.sendto(self.head + payload, ("127.0.0.1", self.port))

    def send_raw(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.port))

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(65536)
        return data

    def close(self):
        self.sock.close()


def read_exact(waitable, read, count, timeout):
    """count bytes of an application's endpoint (fails on timeout or end)."""
    out = b""
    deadline = time.monotonic() + timeout
    while len(out) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("application got %d of %d bytes" % (len(out), count))
        r, _, _ = select.select([waitable], [], [], left)
        if r:
            chunk = read()
            if not chunk:
                raise AssertionError("hub closed the application")
            out += chunk
    return out


class TcpApp:
    """An application on a tcp: endpoint."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.sock.sendall(data)

    def write_pieces(self, pieces):
        for p in pieces:
            self.sock.sendall(p)

    def recv_exact(self, count, timeout=10.0):
        return read_exact(self.sock, lambda: self.sock.recv(65536), count, timeout)

    def quiet(self, seconds):
        """Bytes that arrive within `seconds` (none expected)."""
        r, _, _ = select.select([self.sock], [], [], seconds)
        return self.sock.recv(65536) if r else b""

    def closed_by_hub(self, timeout=5.0):
        r, _, _ = select.select([self.sock], [], [], timeout)
        if not r:
            return False
        try:
            return self.sock.recv(65536) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


class PtyApp:
    """An application that opens a pty: endpoint's path."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def send(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                select.select([], [self.fd], [], 1)
                continue
            view = view[n:]

    def write_pieces(self, pieces):
        for p in pieces:
            self.send(p)

    def recv_exact(self, count, timeout=10.0):
        return read_exact(self.fd, lambda: os.read(self.fd, 65536), count, timeout)

    def quiet(self, seconds):
        r, _, _ = select.select([self.fd], [], [], seconds)
        return os.read(self.fd, 65536) if r else b""

    def close(self):
        os.close(self.fd)


def serial_env():
    """No linegate.sh on the bridges' PATH: nothing runs per chunk."""
    return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}


def start_serstream(daemon, line, port, *extra):
    return daemon("serstream", "--dev", line.dev, "--nic", "lo", "--uuid", UUID,
                  "--tcpserver", "127.0.0.1", "--tcpport", str(port),
                  "-f", os.path.join(line.dir, "none.cfg"), "--debug", "4", *extra,
                  env=serial_env())


def start_serdgram(daemon, line, port, *extra):
    return daemon("serdgram", "--dev", line.dev, "--nic", "lo", "--uuid", UUID,
                  "--udpserver", "127.0.0.1", "--udpport", str(port), "--heartbeat", "1",
                  "-f", os.path.join(line.dir, "none.cfg"), "--debug", "4", *extra,
                  env=serial_env())


class LineReader:
    """Reads the line's far end as fast as it comes (a line faster than
    the hub's pacing assumes), keeping everything."""

    def __init__(self, line):
        self.line = line
        self.data = b""

    def read_for(self, count, timeout=20.0):
        deadline = time.monotonic() + timeout
        while len(self.data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.line.master], [], [], min(left, 0.5))
            if r:
                self.data += os.read(self.line.master, 65536)
        return self.data

    def settle(self, seconds=0.3):
        """Whatever else arrives within `seconds`."""
        while True:
            r, _, _ = select.select([self.line.master], [], [], seconds)
            if not r:
                return self.data
            self.data += os.read(self.line.master, 65536)
