"""linkhub behind the real streamhop and dgramhop, all inside namespaces the
test creates (the fw_netns topology): the relays in the device namespace,
linkhub and a recording backend in the remote namespace.

A path may run through a third namespace whose proxy the test controls
(make_proxy_ns, Proxy): the device's fwd1 then leads to the proxy namespace, which holds
REMOTE itself (so the relay's connections and datagrams over fwd1 end at
the proxy); the proxy forwards them to the hub over a link of its own:

    device ns   fwd0 ---------------------------------- fwr0   remote ns
                fwd1 ---- fwr1 [proxy ns, REMOTE] pxp ---- pxr 10.200.9.1
"""
import hashlib
import json
import os
import re
import select
import socket
import threading
import time

import fw_netns as N
from conftest import UUID, wait_for
from fw_hub import read_status

HUB_PORT = 9300
BACKEND_TCP = 9400
BACKEND_UDP = 9401
LOCAL_PORT = 7300
PROXY_LINK = ("10.200.9.2", "10.200.9.1")  # proxy side, remote side


def make_proxy_ns(topo, i=1):
    """Moves fwr<i> into a proxy namespace of its own (see above)."""
    px = topo.dev.replace("fwdev", "fwpx")
    N.sh("ip", "netns", "del", px, check=False)
    N.sh("ip", "netns", "add", px)
    N.ipn(px, "link", "set", "lo", "up")
    N.sh("ip", "netns", "exec", px, "sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0")
    peer = N.PEER_IFS[i]
    N.ipn(topo.rem, "link", "set", peer, "netns", px)
    N.ipn(px, "addr", "add", N.PEER_ADDRS[i] + "/24", "dev", peer)
    N.ipn(px, "link", "set", peer, "up")
    N.ipn(px, "addr", "add", N.REMOTE + "/32", "dev", "lo")
    N.ipn(px, "link", "add", "pxp", "type", "veth", "peer", "name", "pxr", "netns", topo.rem)
    N.ipn(px, "addr", "add", PROXY_LINK[0] + "/24", "dev", "pxp")
    N.ipn(topo.rem, "addr", "add", PROXY_LINK[1] + "/24", "dev", "pxr")
    N.ipn(px, "link", "set", "pxp", "up")
    N.ipn(topo.rem, "link", "set", "pxr", "up")
    return px


class Proxy:
    """Forwards path 1 (TCP and UDP to REMOTE:HUB_PORT in the proxy
    namespace) to the hub.  hold: keep what comes (TCP) and forward it only
    once released; stop(): forward nothing more, like a dead uplink (the
    relay's side stays open, and hears nothing of the hub's side closing);
    drop_every: UDP datagrams upstream, every k-th lost; udp_delay: seconds
    each datagram waits."""

    def __init__(self, ns):
        self.ns = ns
        self.lsock = N.sock_in(ns, socket.SOCK_STREAM, bind=(N.REMOTE, HUB_PORT))
        self.lsock.listen(8)
        self.lsock.setblocking(False)
        self.usock = N.sock_in(ns, socket.SOCK_DGRAM, bind=(N.REMOTE, HUB_PORT))
        self.usock.setblocking(False)
        self.hold = False
        self.stopped = False
        self.drop_every = 0
        self.udp_delay = 0.0
        self.later = []  # (when, socket, datagram)
        self.pairs = []  # [relay side, hub side, bytes waiting for the hub]
        self.udp = {}  # relay address -> socket towards the hub
        self.forwarded = 0
        self.dropped = 0
        self.lock = threading.Lock()
        self.ending = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _upstream(self, kind):
        with N.inside(self.ns):
            s = socket.socket(socket.AF_INET, kind)
            if kind == socket.SOCK_STREAM:
                s.settimeout(5)
                s.connect((PROXY_LINK[1], HUB_PORT))
            else:
                s.connect((PROXY_LINK[1], HUB_PORT))
        s.setblocking(False)
        return s

    def _run(self):
        count = 0
        while not self.ending:
            with self.lock:
                pairs = list(self.pairs)
            rd = [self.lsock, self.usock] + [p[0] for p in pairs if p[-1] != "eof"] + \
                [p[1] for p in pairs if p[1] is not None] + list(self.udp.values())
            wr = [p[1] for p in pairs
                  if p[1] is not None and p[2] and not self.hold and not self.stopped]
            r, w, _ = select.select(rd, wr, [], 0.002 if self.later else 0.02)
            while self.later and self.later[0][0] <= time.monotonic():
                _, up, data = self.later.pop(0)
                up.send(data)
            for s in r:
                if s is self.lsock:
                    try:
                        c, _ = self.lsock.accept()
                    except BlockingIOError:
                        continue
                    c.setblocking(False)
                    with self.lock:
                        self.pairs.append([c, self._upstream(socket.SOCK_STREAM), bytearray()])
                elif s is self.usock:
                    try:
                        data, src = self.usock.recvfrom(65536)
                    except BlockingIOError:
                        continue
                    if self.stopped:
                        continue
                    count += 1
                    if self.drop_every and count % self.drop_every == 0:
                        self.dropped += 1
                        continue
                    up = self.udp.get(src)
                    if up is None:
                        up = self.udp[src] = self._upstream(socket.SOCK_DGRAM)
                    if self.udp_delay:
                        self.later.append((time.monotonic() + self.udp_delay, up, data))
                    else:
                        up.send(data)
                    self.forwarded += 1
                elif s in self.udp.values():
                    src = next(a for a, u in self.udp.items() if u is s)
                    try:
                        data = s.recv(65536)
                    except OSError:
                        continue
                    if not self.stopped:
                        self.usock.sendto(data, src)
                else:
                    p = next(p for p in pairs if s is p[0] or s is p[1])
                    try:
                        data = s.recv(262144)
                    except OSError:
                        data = b""
                    if not data:
                        if s is p[0] and p[2] and not self.stopped:
                            p.append("eof")  # the rest goes first
                        elif s is p[1] and self.stopped:
                            with self.lock:  # the relay's side stays
                                p[1].close()
                                p[1] = None
                        else:
                            self._close(p)
                        continue
                    if s is p[0]:
                        if not self.stopped:
                            p[2] += data
                    elif not self.stopped:
                        try:
                            p[0].sendall(data)
                        except OSError:
                            self._close(p)
            for s in w:
                p = next((p for p in pairs if s is p[1]), None)
                if p is None or not p[2]:
                    continue
                try:
                    n = s.send(p[2])
                except BlockingIOError:
                    continue
                except OSError:
                    self._close(p)
                    continue
                del p[2][:n]
                self.forwarded += n
                if not p[2] and p[-1] == "eof":
                    self._close(p)

    def _close(self, p):
        with self.lock:
            if p in self.pairs:
                self.pairs.remove(p)
        for s in p[:2]:
            if s is not None:
                s.close()

    def waiting(self):
        with self.lock:
            return sum(len(p[2]) for p in self.pairs)

    def stop(self):
        """Forward nothing more, in either direction (a dead uplink)."""
        self.stopped = True

    def close(self):
        self.ending = True
        self.thread.join()
        for p in self.pairs:
            for s in p[:2]:
                if s is not None:
                    s.close()
        for s in list(self.udp.values()) + [self.lsock, self.usock]:
            s.close()


class TcpBackend:
    """The application's server behind linkhub: records each connection's
    bytes as a count and a sha256 (or whole, with keep=True); replies
    "ack <line>" to each line that starts with "req" when replying."""

    def __init__(self, ns, keep=False, reply=False):
        self.lsock = N.sock_in(ns, socket.SOCK_STREAM, bind=("127.0.0.1", BACKEND_TCP))
        self.lsock.listen(8)
        self.lsock.setblocking(False)
        self.keep, self.reply = keep, reply
        self.paused = False  # not read while set (a slow backend)
        self.conns = []  # dicts: sock, n, sha, data, eof, pending
        self.lock = threading.Lock()
        self.ending = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.ending:
            with self.lock:
                live = [] if self.paused else [c for c in self.conns if not c["eof"]]
            r, _, _ = select.select([self.lsock] + [c["sock"] for c in live], [], [], 0.02)
            for s in r:
                if s is self.lsock:
                    try:
                        cs, _ = self.lsock.accept()
                    except BlockingIOError:
                        continue
                    with self.lock:
                        self.conns.append({"sock": cs, "n": 0, "sha": hashlib.sha256(),
                                           "data": bytearray(), "eof": False, "line": b""})
                    continue
                c = next(c for c in live if c["sock"] is s)
                try:
                    chunk = s.recv(1 << 20)
                except OSError:
                    chunk = b""
                with self.lock:
                    if not chunk:
                        c["eof"] = True
                        continue
                    c["n"] += len(chunk)
                    c["sha"].update(chunk)
                    if self.keep:
                        c["data"] += chunk
                if self.reply:
                    c["line"] += chunk
                    while b"\n" in c["line"]:
                        line, c["line"] = c["line"].split(b"\n", 1)
                        if line.startswith(b"req"):
                            s.sendall(b"ack " + line + b"\n")

    def total(self):
        with self.lock:
            return sum(c["n"] for c in self.conns)

    def close(self):
        self.ending = True
        self.thread.join()
        for c in self.conns:
            c["sock"].close()
        self.lsock.close()


class UdpBackend:
    """Records every datagram; answers "ack <payload>" to those starting
    with "req"."""

    def __init__(self, ns):
        self.sock = N.sock_in(ns, socket.SOCK_DGRAM, bind=("127.0.0.1", BACKEND_UDP))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.settimeout(0.05)
        self.got = []
        self.ending = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.ending:
            try:
                data, src = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            self.got.append(data)
            if data.startswith(b"req"):
                self.sock.sendto(b"ack " + data, src)

    def close(self):
        self.ending = True
        self.thread.join()
        self.sock.close()


class LinkHub:
    """linkhub in the remote namespace on 0.0.0.0:HUB_PORT, one device: the
    relays' identity (fwd0's MAC) with both backends."""

    def __init__(self, daemon, topo, tmp_path):
        self.status_path = os.path.join(str(tmp_path), "hub.sock")
        mac = ":".join("%02x" % b for b in topo.header()[22:28])
        self.mac = mac
        device = "%s backend-tcp:127.0.0.1:%d backend-udp:127.0.0.1:%d" % (
            mac, BACKEND_TCP, BACKEND_UDP)
        self.d = daemon("linkhub", "-f", str(tmp_path / "none.cfg"), "--listen",
                        "0.0.0.0:%d" % HUB_PORT, "--group", UUID, "--device", device,
                        "--status", self.status_path, "--debug", "6",
                        prefix=["ip", "netns", "exec", topo.rem])
        self.d.wait_log(r"listening on")

    def status(self):
        return read_status(self.status_path)

    def device(self):
        return next(d for d in self.status()["devices"] if d["mac"] == self.mac)

    def relay(self, kind="stream"):
        return self.device()["relay"][kind]

    def stderr(self):
        return self.d.stderr()


def start_streamhop(daemon, topo, tmp_path):
    args = ["--config", str(tmp_path / "none.cfg"), "--port", str(LOCAL_PORT), "--dstip",
            N.REMOTE, "--dstport", str(HUB_PORT), "--nic", "fwd0", "--uuid", UUID, "-d", "6",
            "--outdev", "fwd0", "--outdev", "fwd1"]
    return daemon("streamhop", *args, prefix=topo.prefix())


def start_dgramhop(daemon, topo, tmp_path):
    args = ["--config", str(tmp_path / "none.cfg"), "--port", str(LOCAL_PORT), "--dstip",
            N.REMOTE, "--dstport", str(HUB_PORT), "--nic", "fwd0", "--uuid", UUID, "-d", "6",
            "--outdev", "fwd0", "--outdev", "fwd1"]
    return daemon("dgramhop", *args, prefix=topo.prefix())


def local_client(topo):
    def attempt():
        try:
            return N.connect_in(topo.dev, ("127.0.0.1", LOCAL_PORT))
        except OSError:
            return None
    return wait_for(attempt, 15, interval=0.05, what="streamhop listening")


def private_dirty_kb(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1])
    return 0


def paths_open(hub):
    return hub.relay()["paths_open"]


def pattern(size, seed=1):
    """size bytes of reproducible, non-repeating content."""
    out = bytearray()
    block = 0
    while len(out) < size:
        out += hashlib.shake_256(b"%d:%d" % (seed, block)).digest(65536)
        block += 1
    return bytes(out[:size])


class Sender:
    """Sends `data` from the local client in a thread, in pieces, with an
    optional pause between them; `sent` counts what went."""

    def __init__(self, sock, data, piece=65536, pause=0.0, hook=None):
        self.sock, self.data, self.piece, self.pause, self.hook = sock, data, piece, pause, hook
        self.sent = 0
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            self.sock.settimeout(60)
            while self.sent < len(self.data):
                chunk = self.data[self.sent:self.sent + self.piece]
                self.sock.sendall(chunk)
                self.sent += len(chunk)
                if self.hook:
                    self.hook(self.sent)
                if self.pause:
                    time.sleep(self.pause)
        except OSError as e:
            self.error = e

    def join(self, timeout):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the client is still sending"
        assert self.error is None, "the client's send failed: %s" % self.error


def sanitized():
    """Whether the programs are the sanitizer build (slower: smaller sizes)."""
    import conftest
    try:
        with open(os.path.join(conftest.BIN, "linkhub"), "rb") as f:
            return b"__asan_init" in f.read()
    except FileNotFoundError:
        return False  # a target build: no linkhub, and these tests are not selected


def hub_log_count(hub, pattern_text):
    return len(re.findall(pattern_text, hub.stderr()))
