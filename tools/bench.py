#!/usr/bin/env python3
"""Side-by-side benchmark: every farwire daemon against socat on the same work.

    tools/bench.py build/bin                     # every comparison, 3 rounds
    tools/bench.py --quick build/bin             # one round, small loads (CI)
    tools/bench.py --only serstream build/bin    # one comparison (see --help)
    tools/bench.py --only linkhub build/bin      # linkhub: line rig and 10 000 boards

Run as root (network namespaces, lock files under /var/run).  It builds
nothing: BINDIR holds the six programs.  For each comparison the two
programs run in turn, A B A B, a fresh process each time, on the same work:
the same payload bytes reach the server or the serial line.  The table gives
for each figure farwire's median, socat's median and their ratio
(farwire / socat); latency rows give the median and the 99th percentile of
all samples of all rounds.  The raw samples go to a JSON file (--json).

Traffic goes only to loopback or to the network namespaces the benchmark
makes (and deletes) itself.  Every process, namespace and file it made is
removed at the end, also after Ctrl-C or an error.
"""
import argparse
import contextlib
import ctypes
import json
import os
import platform
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tty

HEAD_LEN = 28
# Payload bytes of a frame that serstream reads whole (1452 bytes a read),
# and of the frames linkhub sends to a TCP board.
FRAME_PAYLOAD = 1452 - HEAD_LEN
UUID = "00112233-4455-6677-8899-aabbccddeeff"
# Payload bytes: the digits.  The link header starts with "k", which never
# occurs in a payload, so in a daemon's stream every "k" begins a header.
DIGITS = b"0123456789"
HZ = os.sysconf("SC_CLK_TCK")
DAEMONS = ("serstream", "serdgram", "streamhop", "dgramhop", "streamhop-cli", "linkhub")

# The system calls a process waits in when it has nothing to do (event loop
# or select), per architecture; used to start each latency sample on an idle
# program (a daemon's turnaround script may still be running otherwise).
IDLE_SYSCALLS = {
    "x86_64": {"7", "23", "232", "270", "271", "281", "441"},
    "aarch64": {"22", "72", "73", "441"},
}.get(platform.machine())

COMPARISONS = ("serstream", "serdgram", "streamhop-cli", "streamhop", "dgramhop", "linkhub",
               "linkhub-mqtt",
               "linkhub-relays", "static")
GROUPS = {"serial": ("serstream", "serdgram"), "relays": ("streamhop", "dgramhop"),
          "all": COMPARISONS}
SERIES = ("gate", "nogate")


class Config:
    quick = False
    rounds = 3
    samples = 500          # latency samples per size and direction, all rounds together
    sizes = (1, 16, 64)
    l2s_bytes = 8 << 20    # line -> server bulk load
    s2l_bytes = 1 << 20    # server -> line bulk load (a script run per chunk)
    stream_bytes = 128 << 20
    datagrams = 60000
    gram_size = 512
    series = SERIES
    uplinks = (1, 2)
    hub_boards = 10000     # simulated boards of the linkhub scale run
    hub_seconds = 5        # seconds of one frame a second from every board
    hub_burst_bytes = 32 << 10  # written at once to a paced 115200 bit/s line

    @classmethod
    def make_quick(cls):
        cls.quick = True
        cls.rounds = 1
        cls.samples = 30
        cls.l2s_bytes = 256 << 10
        cls.s2l_bytes = 64 << 10
        cls.stream_bytes = 1 << 20
        cls.datagrams = 500
        cls.hub_boards = 200
        cls.hub_seconds = 2
        cls.hub_burst_bytes = 8 << 10


class BenchError(Exception):
    pass


def note(*parts):
    print(*parts, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- cleanup

class Janitor:
    """Everything the run made, removed in reverse order at the end."""

    def __init__(self):
        self.procs = []
        self.dirs = []
        self.files = []
        self.netns = []
        self.socks = []

    def proc(self, p):
        self.procs.append(p)
        return p

    def stop(self, p):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if p in self.procs:
            self.procs.remove(p)

    def clean(self):
        for s in self.socks:
            with contextlib.suppress(OSError):
                s.close()
        self.socks.clear()
        for p in list(self.procs):
            self.stop(p)
        for ns in self.netns:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.netns.clear()
        for f in self.files:
            with contextlib.suppress(OSError):
                os.unlink(f)
        self.files.clear()
        for d in self.dirs:
            shutil.rmtree(d, ignore_errors=True)
        self.dirs.clear()


JANITOR = Janitor()


def scratch_dir():
    d = tempfile.mkdtemp(prefix="fwbench")
    JANITOR.dirs.append(d)
    return d


class Program:
    """One running program (a daemon or socat), its output in a file."""

    def __init__(self, argv, env=None, prefix=()):
        self.dir = scratch_dir()
        self.log_path = os.path.join(self.dir, "output")
        with open(self.log_path, "wb") as log:
            full_env = dict(os.environ)
            full_env.update(env or {})
            self.proc = JANITOR.proc(subprocess.Popen(
                list(prefix) + list(argv), stdin=subprocess.DEVNULL, stdout=log,
                stderr=log, env=full_env))
        self.pid = self.proc.pid
        self.argv = argv

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def check(self):
        if self.proc.poll() is not None:
            raise BenchError("%s ended (status %s):\n%s" % (
                os.path.basename(self.argv[0]), self.proc.returncode, self.output()[-2000:]))

    def cpu(self):
        """(own CPU, children's CPU) in seconds.  Own: the run time the
        kernel keeps in /proc/PID/schedstat, in nanoseconds (utime+stime of
        /proc/PID/stat are the same time split and rounded to clock ticks,
        too coarse for short loads); utime+stime where schedstat is missing.
        Children: cutime+cstime of /proc/PID/stat (the scripts it waited for)."""
        self.check()
        with open("/proc/%d/stat" % self.pid) as f:
            text = f.read()
        fields = text[text.rindex(")") + 2:].split()
        utime, stime, cutime, cstime = (int(x) for x in fields[11:15])
        own = (utime + stime) / HZ
        with contextlib.suppress(OSError, ValueError, IndexError):
            with open("/proc/%d/schedstat" % self.pid) as f:
                own = int(f.read().split()[0]) / 1e9
        return own, (cutime + cstime) / HZ

    def memory(self):
        """(Rss, Private_Dirty) in kB from smaps_rollup."""
        self.check()
        got = {}
        with open("/proc/%d/smaps_rollup" % self.pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("Rss", "Private_Dirty"):
                    got[key] = int(value.split()[0])
        return got["Rss"], got["Private_Dirty"]

    def has_socket(self):
        self.check()
        fd_dir = "/proc/%d/fd" % self.pid
        for fd in os.listdir(fd_dir):
            with contextlib.suppress(OSError):
                if os.readlink(os.path.join(fd_dir, fd)).startswith("socket:"):
                    return True
        return False

    def wait_idle(self, timeout=2.0):
        """Until the program waits in its event loop (not in a script)."""
        if IDLE_SYSCALLS is None:
            time.sleep(0.002)
            return
        deadline = time.monotonic() + timeout
        path = "/proc/%d/syscall" % self.pid
        while time.monotonic() < deadline:
            try:
                with open(path) as f:
                    if f.read().split(" ", 1)[0] in IDLE_SYSCALLS:
                        return
            except OSError:
                self.check()
                return
        self.check()

    def stop(self):
        JANITOR.stop(self.proc)


# ---------------------------------------------------------------- figures

class Results:
    """figure key -> {"unit", "farwire": [per-round values], "socat": [...]};
    latency figures hold lists of samples (ns) instead."""

    def __init__(self):
        self.data = {}
        self.order = []
        self.facts = []  # (program, stripped size, NEEDED)
        self.solo = set()  # figures that socat has no counterpart of
        self.others = set()  # figures of socat's that ours has no counterpart of
        self.targets = []  # (what, value, unit, limit, limit text, why if not met)
        self.notes = []    # lines for the footer: what a run could not do as asked

    def target(self, what, value, unit, limit, limit_text, why):
        self.targets.append((what, value, unit, limit, limit_text, why))

    def add(self, comp, figure, unit, side, value, samples=False):
        key = (comp, figure)
        if key not in self.data:
            self.data[key] = {"unit": unit, "samples": samples, "farwire": [], "socat": []}
            self.order.append(key)
        if samples:
            self.data[key][side].extend(value)
        else:
            self.data[key][side].append(value)

    def rows(self):
        out = []
        for key in self.order:
            d = self.data[key]
            comp, figure = key
            if d["samples"]:
                for label, fn in (("median", statistics.median), ("p99", p99)):
                    a = fn(d["farwire"]) / 1000 if d["farwire"] else None
                    b = fn(d["socat"]) / 1000 if d["socat"] else None
                    out.append((comp, "%s %s" % (figure, label), "us", a, b,
                                len(d["farwire"]), len(d["socat"])))
            else:
                a = statistics.median(d["farwire"]) if d["farwire"] else None
                b = statistics.median(d["socat"]) if d["socat"] else None
                if key in self.solo:
                    b = "n/a"
                if key in self.others:
                    a = "n/a"
                out.append((comp, figure, d["unit"], a, b, len(d["farwire"]), len(d["socat"])))
        return out

    def json(self):
        return [{"comparison": c, "figure": f, "unit": d["unit"],
                 "kind": "latency samples (ns)" if d["samples"] else "one value per round",
                 "farwire": d["farwire"], "socat": d["socat"]}
                for (c, f), d in ((k, self.data[k]) for k in self.order)]


def p99(values):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(0.99 * (len(s) - 1))))]


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, str):
        return v
    if v == 0:
        return "0"
    if abs(v) >= 100:
        return "%.0f" % v
    if abs(v) >= 10:
        return "%.1f" % v
    return "%.3g" % v


def ratio(a, b):
    if a is None or b is None or isinstance(a, str) or isinstance(b, str):
        return "-"
    if b == 0:
        return "-" if a else "1"
    return "%.2f" % (a / b)


# ---------------------------------------------------------------- stream parsing

class PayloadCounter:
    """Counts the payload bytes of a stream: raw (socat), or frames of a
    28-byte header plus payload (the daemons): every "k" starts a header,
    since payloads are digits only."""

    def __init__(self, framed):
        self.framed = framed
        self.skip = 0
        self.count = 0
        self.frames = 0

    def feed(self, data):
        if not self.framed:
            self.count += len(data)
            return
        i, n = 0, len(data)
        while i < n:
            if self.skip:
                take = min(self.skip, n - i)
                self.skip -= take
                i += take
                continue
            j = data.find(b"k", i)
            if j < 0:
                self.count += n - i
                return
            self.count += j - i
            self.frames += 1
            self.skip = HEAD_LEN
            i = j


def payload(size):
    return (DIGITS * (size // len(DIGITS) + 1))[:size]


def dummy_head(data):
    """data behind 28 bytes that serstream drops unread."""
    return b"\0" * HEAD_LEN + data


def only_digits(data):
    return not data.translate(None, DIGITS)


# ---------------------------------------------------------------- serial comparisons

class SerialLine:
    """A pty pair: the program opens the slave through ttyFW<n> in a
    directory without "tty" in its path; the benchmark holds the master."""

    def __init__(self):
        self.dir = scratch_dir()
        while "tty" in self.dir:  # the lock file is named after the first "tty"
            self.dir = scratch_dir()
        self.master, self.slave = os.openpty()
        self.name = "ttyFW%d%d" % (os.getpid(), int(time.monotonic() * 1000) % 100000)
        self.dev = os.path.join(self.dir, self.name)
        os.symlink(os.ttyname(self.slave), self.dev)
        self.lock = "/var/run/%s.pid" % self.name
        JANITOR.files.append(self.lock)
        os.set_blocking(self.master, False)
        self.poll = select.poll()
        self.poll.register(self.master, select.POLLIN)

    def drain(self):
        with contextlib.suppress(BlockingIOError, OSError):
            while os.read(self.master, 65536):
                pass

    def close(self):
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(self.lock)


LINEGATE = "#!/bin/sh\nexit 0\n"


def gate_env(series, base):
    """PATH for a series: a do-nothing linegate.sh first, or no linegate.sh."""
    plain = "/usr/sbin:/usr/bin:/sbin:/bin"
    if shutil.which("linegate.sh", path=plain):
        raise BenchError("a linegate.sh is installed in %s; remove it to run the benchmark" % plain)
    if series == "nogate":
        return {"PATH": plain}
    d = os.path.join(base, "gate")
    if not os.path.isdir(d):
        os.mkdir(d)
        with open(os.path.join(d, "linegate.sh"), "w") as f:
            f.write(LINEGATE)
        os.chmod(os.path.join(d, "linegate.sh"), 0o755)
    return {"PATH": d + ":" + plain}


class LineRig:
    """A program between a serial line (a SerialLine, whose master the
    benchmark holds) and a socket of the benchmark's (`sock`, polled by
    `spoll`): what crosses it, one way or the other.  A rig gives
    recv_payload() (payload bytes waiting at the socket), send_chunk(data),
    check() and wait_idle()."""
    far = "server"

    def stream_payload(self, sock):
        """Payload bytes of what waits on a stream socket, as self.counter
        counts them."""
        data = sock.recv(262144)
        if not data:
            raise BenchError("%s closed the %s's connection" % (self.who, self.far))
        before = self.counter.count
        self.counter.feed(data)
        return self.counter.count - before

    def l2s(self, msg, timeout=5.0):
        """Write msg to the line; return when its bytes reached the socket."""
        os.write(self.line.master, msg)
        got = 0
        while got < len(msg):
            if not self.spoll.poll(timeout * 1000):
                self.check()
                raise BenchError("%s: %d of %d bytes reached the %s" % (
                    self.who, got, len(msg), self.far))
            got += self.recv_payload()

    def s2l(self, msg, timeout=5.0):
        self.send_chunk(msg)
        got = 0
        while got < len(msg):
            if not self.line.poll.poll(timeout * 1000):
                self.check()
                raise BenchError("%s: %d of %d bytes reached the line" % (self.who, got, len(msg)))
            got += len(os.read(self.line.master, 65536))

    def latency(self, direction, size, count):
        msg = payload(size)
        step = self.l2s if direction == "l2s" else self.s2l
        clock = time.perf_counter_ns
        out = []
        for _ in range(count):
            self.wait_idle()
            t0 = clock()
            step(msg)
            out.append(clock() - t0)
        return out

    def bulk_l2s(self, total, deadline_s=30.0):
        """Write total bytes to the line as fast as it takes them; returns
        (seconds, payload bytes at the socket)."""
        master = self.line.master
        p = select.poll()
        p.register(master, select.POLLOUT)
        p.register(self.sock, select.POLLIN)
        block = payload(4096)
        sent = got = 0
        t0 = time.monotonic()
        end = t0 + deadline_s
        while got < total and time.monotonic() < end:
            for fd, ev in p.poll(1000):
                if fd == master:
                    try:
                        sent += os.write(master, block[:min(4096, total - sent)])
                    except BlockingIOError:
                        pass
                    if sent >= total:
                        p.modify(master, 0)
                else:
                    with contextlib.suppress(BlockingIOError):
                        got += self.recv_payload()
        return time.monotonic() - t0, got

    def bulk_s2l(self, total, window=16 * FRAME_PAYLOAD, rate=None, burst=False,
                 deadline_s=60.0):
        """Send total payload bytes as chunks of 1424 (one frame's payload:
        with serstream's 28-byte drop per read, whole frames of 1452), at
        most `window` bytes ahead of the line; with `rate`, each chunk not
        before its turn at `rate` chunks a second; with `burst`, all of it
        as one chunk at once.  Returns (seconds, bytes on the line, whether
        only payload reached it and all of it did)."""
        chunk = payload(FRAME_PAYLOAD)
        sent = got = 0
        intact = True
        self.sock.setblocking(True)
        try:
            if burst:
                self.send_chunk(payload(total))
                sent = total
            t0 = time.monotonic()
            end = t0 + deadline_s
            while got < total and time.monotonic() < end:
                while sent < total and sent - got < window:
                    if rate:
                        turn = t0 + sent / len(chunk) / rate
                        if turn > time.monotonic():
                            break
                    n = min(len(chunk), total - sent)
                    self.send_chunk(chunk[:n])
                    sent += n
                if self.line.poll.poll(1 if rate else 1000):
                    data = os.read(self.line.master, 65536)
                    got += len(data)
                    intact = intact and only_digits(data)
                elif not rate:
                    self.check()
        finally:
            self.sock.setblocking(False)
        return time.monotonic() - t0, got, intact and got == total


class SerialRig(LineRig):
    """One program between a pty and a loopback server (TCP or UDP), with the
    benchmark on both ends in one thread."""

    def check(self):
        self.prog.check()

    def wait_idle(self):
        self.prog.wait_idle()

    def __init__(self, kind, bindir, who, env, base):
        self.kind, self.who = kind, who
        self.line = SerialLine()
        self.framed = who == "farwire"
        family = socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM
        self.srv = socket.socket(socket.AF_INET, family)
        JANITOR.socks.append(self.srv)
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        with contextlib.suppress(OSError):
            self.srv.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE
        self.srv.bind(("127.0.0.1", 0))
        port = self.srv.getsockname()[1]
        self.peer = None
        if who == "farwire":
            name = "serstream" if kind == "tcp" else "serdgram"
            argv = [os.path.join(bindir, name), "--dev", self.line.dev, "--nic", "lo",
                    "--uuid", UUID, "-f", os.path.join(base, "none.cfg"), "--debug", "3"]
            if kind == "tcp":
                argv += ["--tcpserver", "127.0.0.1", "--tcpport", str(port)]
            else:
                argv += ["--udpserver", "127.0.0.1", "--udpport", str(port),
                         "--heartbeat", "3600"]
        else:
            tty = "GOPEN:%s,raw,echo=0" % self.line.dev
            if kind == "tcp":
                far = "TCP:127.0.0.1:%d" % port
            else:
                probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                probe.bind(("127.0.0.1", 0))
                self.peer = probe.getsockname()
                probe.close()
                far = "UDP:127.0.0.1:%d,bind=127.0.0.1:%d" % (port, self.peer[1])
            argv = ["socat", tty, far]
        if kind == "tcp":
            self.srv.listen(4)
        self.prog = Program(argv, env=env)
        self.conn = None
        self.setup()

    def setup(self):
        deadline = time.monotonic() + 10
        if self.kind == "tcp":
            self.srv.settimeout(10)
            try:
                self.conn, _ = self.srv.accept()
            except socket.timeout:
                self.prog.check()
                raise BenchError("%s did not connect" % self.who)
            JANITOR.socks.append(self.conn)
            self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.conn.setblocking(False)
            self.sock = self.conn
            if self.framed:  # the registration header, alone
                got = b""
                while len(got) < HEAD_LEN:
                    self.wait_sock(deadline - time.monotonic())
                    got += self.conn.recv(HEAD_LEN - len(got))
        else:
            self.srv.setblocking(False)
            self.sock = self.srv
            if self.framed:  # the heartbeat tells us where the daemon is
                self.wait_sock(10)
                data, self.peer = self.srv.recvfrom(65536)
                if len(data) != HEAD_LEN:
                    raise BenchError("serdgram's first datagram is %d bytes" % len(data))
            else:  # socat opens the line first, then its socket
                while not self.prog.has_socket():
                    if time.monotonic() > deadline:
                        raise BenchError("socat made no socket")
                    time.sleep(0.01)
        self.spoll = select.poll()
        self.spoll.register(self.sock, select.POLLIN)
        self.counter = PayloadCounter(self.framed and self.kind == "tcp")
        # The program has configured the line once it answers: a byte each way.
        self.line.drain()
        self.l2s(payload(1))
        self.s2l(payload(1))
        self.prog.wait_idle()
        self.line.drain()

    def wait_sock(self, timeout):
        r, _, _ = select.select([self.conn or self.srv], [], [], max(0, timeout))
        if not r:
            self.prog.check()
            raise BenchError("%s: nothing arrived at the server" % self.who)

    def recv_payload(self):
        """Receive what is waiting at the server; returns its payload count."""
        if self.kind == "tcp":
            return self.stream_payload(self.conn)
        n = 0
        while True:
            try:
                data = self.srv.recv(65536)
            except BlockingIOError:
                return n
            n += len(data) - HEAD_LEN if self.framed else len(data)

    def send_chunk(self, data):
        """One server message carrying data for the line."""
        if self.kind == "tcp":
            self.conn.sendall(dummy_head(data) if self.framed else data)
        else:
            self.srv.sendto(data, self.peer)

    def stop(self):
        self.prog.stop()
        for s in (self.conn, self.srv):
            if s is not None:
                s.close()
        self.line.close()


def measure_serial(res, comp, kind, bindir, base, series):
    env = gate_env(series, base)
    tag = "script" if series == "gate" else "no script"
    per_round = -(-Config.samples // Config.rounds)
    for rnd in range(Config.rounds):
        for who in ("farwire", "socat"):
            rig = SerialRig(kind, bindir, who, env, base)
            try:
                record_memory(res, comp, who, rig.prog, "idle [%s]" % tag)
                for direction, label in (("l2s", "line->server"), ("s2l", "server->line")):
                    for size in Config.sizes:
                        res.add(comp, "latency %s %dB [%s]" % (label, size, tag), "us", who,
                                rig.latency(direction, size, per_round), samples=True)
                # line -> server bulk
                rig.prog.wait_idle()
                c0 = rig.prog.cpu()
                secs, got = rig.bulk_l2s(Config.l2s_bytes)
                c1 = rig.prog.cpu()
                mb = got / 1e6
                if got < Config.l2s_bytes:
                    note("  %s %s: %d of %d bytes reached the server" % (comp, who, got,
                                                                        Config.l2s_bytes))
                res.add(comp, "line->server throughput [%s]" % tag, "MB/s", who, mb / secs)
                res.add(comp, "line->server CPU/MB [%s]" % tag, "ms/MB", who,
                        1000 * (c1[0] - c0[0]) / mb)
                # server -> line bulk
                rig.prog.wait_idle()
                c0 = rig.prog.cpu()
                secs, got, intact = rig.bulk_s2l(Config.s2l_bytes)
                rig.prog.wait_idle()
                c1 = rig.prog.cpu()
                mb = got / 1e6
                if not intact:
                    note("  %s %s: %d of %d bytes reached the line, intact: %s" % (
                        comp, who, got, Config.s2l_bytes, intact))
                res.add(comp, "server->line throughput [%s]" % tag, "MB/s", who, mb / secs)
                res.add(comp, "server->line CPU/MB [%s]" % tag, "ms/MB", who,
                        1000 * (c1[0] - c0[0]) / mb)
                res.add(comp, "server->line children CPU/MB [%s]" % tag, "ms/MB", who,
                        1000 * (c1[1] - c0[1]) / mb)
                record_memory(res, comp, who, rig.prog, "after load [%s]" % tag)
            finally:
                rig.stop()


def run_serstream(res, bindir, base):
    for series in Config.series:
        measure_serial(res, "serstream", "tcp", bindir, base, series)


def run_serdgram(res, bindir, base):
    for series in Config.series:
        measure_serial(res, "serdgram", "udp", bindir, base, series)


# ---------------------------------------------------------------- stream pump

WINDOW = 768 << 10


def pump(sources, sinks, total, deadline_s=60.0):
    """Send `total` payload bytes on each source socket while reading the
    sinks, [socket, PayloadCounter] pairs, until every sink counted `total`
    payload bytes; returns the seconds taken."""
    block = payload(65536)
    p = select.poll()
    fds = {}
    left = {}
    for s in sources:
        s.setblocking(False)
        p.register(s, select.POLLOUT)
        fds[s.fileno()] = ("src", s)
        left[s.fileno()] = total
    for sk in sinks:
        sk[0].setblocking(False)
        p.register(sk[0], select.POLLIN)
        fds[sk[0].fileno()] = ("sink", sk)
    t0 = time.monotonic()
    end = t0 + deadline_s
    while not all(sk[1].count >= total for sk in sinks):
        if time.monotonic() > end:
            raise BenchError("load did not arrive in %.0f s: %s of %d bytes" % (
                deadline_s, [sk[1].count for sk in sinks], total))
        # With several sinks the sources stay at most WINDOW bytes ahead of
        # the slowest one, so that this reader (busy with all of them on a
        # loaded machine) is never what makes one uplink fall behind the
        # other: streamhop closes a path that falls 1 MiB behind the fastest.
        slowest = min(sk[1].count for sk in sinks) if len(sinks) > 1 else -1
        for s in sources:
            fd = s.fileno()
            ahead = total - left[fd] - slowest
            p.modify(s, select.POLLOUT if left[fd] and (slowest < 0 or ahead < WINDOW) else 0)
        for fd, ev in p.poll(500):
            kind, obj = fds[fd]
            if kind == "src":
                try:
                    sent = obj.send(block[:min(left[fd], 65536)])
                except BlockingIOError:
                    sent = 0
                left[fd] -= sent
            else:
                try:
                    data = obj[0].recv(262144)
                except BlockingIOError:
                    continue
                if not data:
                    raise BenchError("a sink closed after %d bytes" % obj[1].count)
                obj[1].feed(data)
    return time.monotonic() - t0


def listener(addr=("127.0.0.1", 0)):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    JANITOR.socks.append(s)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(addr)
    s.listen(8)
    return s


def accept_one(lst, prog, timeout=10):
    lst.settimeout(timeout)
    try:
        c, _ = lst.accept()
    except socket.timeout:
        prog.check()
        raise BenchError("no connection from %s" % os.path.basename(prog.argv[0]))
    JANITOR.socks.append(c)
    return c


def record_memory(res, comp, who, prog, when):
    rss, dirty = prog.memory()
    res.add(comp, "RSS %s" % when, "kB", who, rss)
    res.add(comp, "Private_Dirty %s" % when, "kB", who, dirty)


def record_stream(res, comp, who, prog, secs, c0, c1, mb, tag=""):
    res.add(comp, "throughput%s" % tag, "MB/s", who, mb / secs)
    res.add(comp, "CPU/MB%s" % tag, "ms/MB", who, 1000 * (c1[0] - c0[0]) / mb)
    record_memory(res, comp, who, prog, "after load" + tag)


def run_cli(res, bindir, base):
    """streamhop-cli vs socat TCP:local TCP:remote: the local server sends,
    the remote server counts payload bytes."""
    comp = "streamhop-cli"
    total = Config.stream_bytes
    for rnd in range(Config.rounds):
        for who in ("farwire", "socat"):
            local, remote = listener(), listener()
            lp, rp = local.getsockname()[1], remote.getsockname()[1]
            if who == "farwire":
                argv = [os.path.join(bindir, "streamhop-cli"), "--nic", "lo", "--uuid", UUID,
                        "--localip", "127.0.0.1", "--localport", str(lp),
                        "--dstip", "127.0.0.1", "--dstport", str(rp),
                        "-f", os.path.join(base, "none.cfg"), "--debug", "3"]
            else:
                argv = ["socat", "TCP:127.0.0.1:%d" % lp, "TCP:127.0.0.1:%d" % rp]
            prog = Program(argv)
            try:
                lc = accept_one(local, prog)
                rc = accept_one(remote, prog)
                time.sleep(0.05)
                record_memory(res, comp, who, prog, "idle")
                c0 = prog.cpu()
                secs = pump([lc], [[rc, PayloadCounter(who == "farwire")]], total=total)
                c1 = prog.cpu()
                record_stream(res, comp, who, prog, secs, c0, c1, total / 1e6)
            finally:
                prog.stop()
                for s in (local, remote):
                    s.close()


# ---------------------------------------------------------------- namespaces

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
REMOTE = "198.18.100.1"


def sh(*args):
    r = subprocess.run(list(args), capture_output=True, text=True)
    if r.returncode != 0:
        raise BenchError("%s: %s" % (" ".join(args), r.stderr.strip()))


@contextlib.contextmanager
def inside(ns):
    """The body runs with this thread in namespace ns (sockets stay there)."""
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open("/run/netns/" + ns, os.O_RDONLY)
    try:
        if _libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
        try:
            yield
        finally:
            _libc.setns(home, CLONE_NEWNET)
    finally:
        os.close(target)
        os.close(home)


class Topology:
    """device ns: fwd0 10.200.0.2, fwd1 10.200.1.2 -- veth -- remote ns:
    fwr0 10.200.0.1, fwr1 10.200.1.1, REMOTE on its lo."""

    def __init__(self):
        tag = "%d" % os.getpid()
        self.dev, self.rem = "fwbd%s" % tag, "fwbr%s" % tag
        for ns in (self.dev, self.rem):
            sh("ip", "netns", "add", ns)
            JANITOR.netns.append(ns)
            sh("ip", "-n", ns, "link", "set", "lo", "up")
            for key in ("all", "default"):
                sh("ip", "netns", "exec", ns, "sysctl", "-qw",
                   "net.ipv4.conf.%s.rp_filter=0" % key)
        sh("ip", "-n", self.rem, "addr", "add", REMOTE + "/32", "dev", "lo")
        for i in range(2):
            sh("ip", "-n", self.dev, "link", "add", "fwd%d" % i, "type", "veth", "peer", "name",
               "fwr%d" % i, "netns", self.rem)
            sh("ip", "-n", self.dev, "addr", "add", "10.200.%d.2/24" % i, "dev", "fwd%d" % i)
            sh("ip", "-n", self.rem, "addr", "add", "10.200.%d.1/24" % i, "dev", "fwr%d" % i)
            sh("ip", "-n", self.dev, "link", "set", "fwd%d" % i, "up")
            sh("ip", "-n", self.rem, "link", "set", "fwr%d" % i, "up")
            sh("ip", "-n", self.dev, "route", "add", REMOTE + "/32", "via", "10.200.%d.1" % i,
               "dev", "fwd%d" % i, "metric", str(10 * (i + 1)))

    def prefix(self):
        return ["ip", "netns", "exec", self.dev]

    def delete(self):
        for ns in (self.dev, self.rem):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
            if ns in JANITOR.netns:
                JANITOR.netns.remove(ns)


def connect_in(ns, port, prog, timeout=10):
    def make():
        with inside(ns):
            return socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    return connect_retry(port, prog, timeout, make=make,
                         what="the relay's local port %d never listened" % port)


def uplink_runs():
    """(who, uplinks, figure tag) in A B order for each uplink count."""
    for n in Config.uplinks:
        for who in ("farwire", "socat"):
            yield who, n, " [%d uplink%s]" % (n, "s" if n > 1 else "")


def relay_argv(who, bindir, base, port, dport, paths, udp):
    """The relay's command line: ours on `paths` uplinks, or socat on one
    (for two uplinks socat stays the one-path reference, so the ratio shows
    what sending everything twice costs)."""
    if who == "socat":
        kind = "UDP" if udp else "TCP"
        return ["socat"] + (["-T", "60"] if udp else []) + [
            "%s-LISTEN:%d,bind=127.0.0.1,reuseaddr" % (kind, port),
            "%s:%s:%d,so-bindtodevice=fwd0" % (kind, REMOTE, dport)]
    argv = [os.path.join(bindir, "dgramhop" if udp else "streamhop"),
            "-c" if udp else "--config", os.path.join(base, "none.cfg"), "--port", str(port),
            "--dstip", REMOTE, "--dstport", str(dport), "--nic", "fwd0", "--uuid", UUID,
            "--debug", "3"]
    for i in range(paths):
        argv += ["--outdev", "fwd%d" % i]
    return argv


def run_streamhop(res, bindir, base):
    comp = "streamhop"
    total = Config.stream_bytes
    topo = Topology()
    try:
        for rnd in range(Config.rounds):
            for who, paths, tag in uplink_runs():
                port, dport = 7300, 9300
                with inside(topo.rem):
                    remote = listener((REMOTE, dport))
                prog = Program(relay_argv(who, bindir, base, port, dport, paths, False),
                               prefix=topo.prefix())
                try:
                    sinks = []
                    expected = paths if who == "farwire" else 1
                    if who == "farwire":
                        for _ in range(expected):
                            c = accept_one(remote, prog)
                            sinks.append([c, PayloadCounter(True)])
                    client = connect_in(topo.dev, port, prog)
                    if who == "socat":
                        sinks.append([accept_one(remote, prog), PayloadCounter(False)])
                    time.sleep(0.05)
                    record_memory(res, comp, who, prog, "idle" + tag)
                    c0 = prog.cpu()
                    secs = pump([client], sinks, total=total)
                    c1 = prog.cpu()
                    record_stream(res, comp, who, prog, secs, c0, c1, total / 1e6, tag)
                finally:
                    prog.stop()
                    remote.close()
    finally:
        topo.delete()


def run_dgramhop(res, bindir, base):
    """dgramhop vs socat UDP-LISTEN -> UDP relay: a client sends datagrams
    of Config.gram_size bytes, at most 64 ahead of the remote side."""
    comp = "dgramhop"
    count, size = Config.datagrams, Config.gram_size
    topo = Topology()
    try:
        for rnd in range(Config.rounds):
            for who, paths, tag in uplink_runs():
                port, dport = 7400, 9400
                with inside(topo.rem):
                    remote = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    JANITOR.socks.append(remote)
                    with contextlib.suppress(OSError):
                        remote.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)
                    remote.bind((REMOTE, dport))
                prog = Program(relay_argv(who, bindir, base, port, dport, paths, True),
                               prefix=topo.prefix())
                with inside(topo.dev):
                    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                JANITOR.socks.append(client)
                try:
                    copies = paths if who == "farwire" else 1
                    framed = who == "farwire"
                    first_datagram(client, port, remote, prog, who, 0.1)
                    record_memory(res, comp, who, prog, "idle" + tag)
                    c0 = prog.cpu()
                    secs, got, bad = send_grams(client, port, remote, count, size, copies, framed)
                    c1 = prog.cpu()
                    res.add(comp, "datagrams/s" + tag, "1/s", who, count / secs)
                    res.add(comp, "CPU/datagram" + tag, "us", who,
                            1e6 * (c1[0] - c0[0]) / count)
                    res.add(comp, "loss" + tag, "%", who,
                            100.0 * (count * copies - got) / (count * copies))
                    if bad:
                        note("  dgramhop %s: %d datagrams with a wrong size" % (who, bad))
                    record_memory(res, comp, who, prog, "after load" + tag)
                finally:
                    prog.stop()
                    client.close()
                    remote.close()
    finally:
        topo.delete()


def first_datagram(client, port, remote, prog, who, settle):
    """Until a probe comes through the relay to `remote`; then, after
    `settle` seconds, what else came is read and dropped.  The probes differ
    (linkhub takes a repeat within its window for a copy)."""
    remote.settimeout(0.2)
    deadline = time.monotonic() + 10
    probe = 0
    while True:
        client.sendto(b"%08d" % probe, ("127.0.0.1", port))
        probe += 1
        try:
            remote.recvfrom(65536)
            break
        except socket.timeout:
            prog.check()
            if time.monotonic() > deadline:
                raise BenchError("no datagram came through %s" % who)
    time.sleep(settle)
    remote.setblocking(False)
    with contextlib.suppress(BlockingIOError):
        while True:
            remote.recv(65536)


def send_grams(client, port, remote, count, size, copies, framed, distinct=False):
    """Send count datagrams, at most 64 (times copies) ahead of what
    arrived; a stall of 200 ms writes the missing ones off as lost.  With
    distinct, each datagram starts with its own number (digits).
    Returns (seconds, datagrams arrived, datagrams of a wrong size)."""
    gram = payload(size)
    want = size + (HEAD_LEN if framed else 0)
    window = 64 * copies
    p = select.poll()
    p.register(remote, select.POLLIN)
    sent = got = bad = written_off = 0
    t0 = time.monotonic()
    last = t0
    dest = ("127.0.0.1", port)
    while True:
        while sent < count and sent * copies - got - written_off < window:
            client.sendto(b"%010d" % sent + gram[10:] if distinct else gram, dest)
            sent += 1
        if sent >= count and got + written_off >= count * copies:
            break
        if p.poll(200):
            while True:
                try:
                    data = remote.recv(65536)
                except BlockingIOError:
                    break
                got += 1
                bad += len(data) != want
            last = time.monotonic()
        elif time.monotonic() - last >= 0.2:
            written_off = sent * copies - got
            last = time.monotonic()
    secs = (last if written_off else time.monotonic()) - t0
    return secs, got, bad


def run_hub_relays(res, bindir, base):
    """linkhub as the relays' server: streamhop over two uplinks into linkhub
    into a sink, then dgramhop the same; linkhub's CPU per delivered MB and
    per delivered datagram, beside socat relaying the one path of a relay on
    one uplink to the same sink (which removes no duplicates)."""
    comp = "linkhub-relays"
    hub_bin = os.path.join(bindir, "linkhub")
    if not os.access(hub_bin, os.X_OK):
        note("  linkhub-relays: no linkhub in %s (a build without FW_HUB): skipped" % bindir)
        return
    total, count, size = Config.stream_bytes, Config.datagrams, Config.gram_size
    topo = Topology()
    try:
        out = subprocess.run(["ip", "-n", topo.dev, "-j", "link", "show", "fwd0"],
                             capture_output=True, text=True, check=True).stdout
        mac = json.loads(out)[0]["address"]
        hport, tport, uport = 9300, 9500, 9501

        def start_hub():
            return Program([hub_bin, "-f", os.path.join(base, "none.cfg"),
                            "--listen", "%s:%d" % (REMOTE, hport), "--group", UUID,
                            "--device", "%s backend-tcp:127.0.0.1:%d backend-udp:127.0.0.1:%d"
                            % (mac, tport, uport),
                            "--status", os.path.join(scratch_dir(), "status.sock"),
                            "--debug", "3"], prefix=["ip", "netns", "exec", topo.rem])

        for rnd in range(Config.rounds):
            for who in ("farwire", "socat"):
                paths = 2 if who == "farwire" else 1
                # The stream.
                with inside(topo.rem):
                    sink = listener(("127.0.0.1", tport))
                if who == "farwire":
                    server = start_hub()
                else:
                    server = Program(["socat", "TCP-LISTEN:%d,bind=%s,reuseaddr" % (
                        hport, REMOTE), "TCP:127.0.0.1:%d" % tport],
                        prefix=["ip", "netns", "exec", topo.rem])
                time.sleep(0.3)
                relay = Program(relay_argv("farwire", bindir, base, 7300, hport, paths, False),
                                prefix=topo.prefix())
                try:
                    client = connect_in(topo.dev, 7300, relay)
                    # The backend connection comes with the first bytes.
                    client.sendall(b"0")
                    conn = accept_one(sink, server)
                    counter = PayloadCounter(who == "socat")
                    conn.settimeout(10)
                    while counter.count < 1:
                        counter.feed(conn.recv(4096))
                    counter.count = 0
                    time.sleep(0.2)
                    c0 = server.cpu()
                    secs = pump([client], [[conn, counter]], total=total)
                    c1 = server.cpu()
                    mb = total / 1e6
                    res.add(comp, "stream throughput", "MB/s", who, mb / secs)
                    res.add(comp, "stream CPU/MB", "ms/MB", who, 1000 * (c1[0] - c0[0]) / mb)
                    record_memory(res, comp, who, server, "after the stream")
                finally:
                    relay.stop()
                    server.stop()
                    sink.close()
                # The datagrams.
                with inside(topo.rem):
                    usink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    JANITOR.socks.append(usink)
                    with contextlib.suppress(OSError):
                        usink.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)
                    usink.bind(("127.0.0.1", uport))
                if who == "farwire":
                    server = start_hub()
                else:
                    server = Program(["socat", "-T", "60", "UDP-LISTEN:%d,bind=%s,reuseaddr" % (
                        hport, REMOTE), "UDP:127.0.0.1:%d" % uport],
                        prefix=["ip", "netns", "exec", topo.rem])
                time.sleep(0.3)
                relay = Program(relay_argv("farwire", bindir, base, 7400, hport, paths, True),
                                prefix=topo.prefix())
                with inside(topo.dev):
                    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                JANITOR.socks.append(client)
                try:
                    first_datagram(client, 7400, usink, server, who, 0.3)
                    c0 = server.cpu()
                    secs, got, bad = send_grams(client, 7400, usink, count, size, 1,
                                                who == "socat", distinct=True)
                    c1 = server.cpu()
                    res.add(comp, "datagrams/s", "1/s", who, count / secs)
                    res.add(comp, "CPU/datagram", "us", who, 1e6 * (c1[0] - c0[0]) / count)
                    res.add(comp, "loss", "%", who, 100.0 * (count - got) / count)
                    if bad:
                        note("  linkhub-relays %s: %d datagrams with a wrong size" % (who, bad))
                finally:
                    relay.stop()
                    server.stop()
                    client.close()
                    usink.close()
    finally:
        topo.delete()
    # Merging two paths is held to twice what socat spends relaying one.
    medians = {(c, f): (a, b) for c, f, u, a, b, _, _ in res.rows() if c == comp}
    for fig, unit in (("stream CPU/MB", "ms/MB"), ("CPU/datagram", "us")):
        a, b = medians.get((comp, fig), (None, None))
        res.target("linkhub-relays " + fig, a, unit, None if b is None else 2 * b,
                   "2 x socat's one path (%s)" % fmt(b),
                   "a loaded machine moves one run's figures: run again on a quiet one")


def harness_floor(count=1000):
    """Median microseconds of one loopback TCP hop and one pty hop made by
    the benchmark alone: the part of every latency sample that is not the
    program's (a sample through a program has two such hops)."""
    lst = listener()
    a = socket.create_connection(lst.getsockname())
    b, _ = lst.accept()
    a.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    master, slave = os.openpty()
    try:
        tty.setraw(slave)
        floors = {}
        for name, write, rfd, read in (
                ("tcp", lambda: a.send(b"1"), b, lambda: b.recv(64)),
                ("pty", lambda: os.write(master, b"1"), slave, lambda: os.read(slave, 64))):
            p = select.poll()
            p.register(rfd, select.POLLIN)
            out = []
            for _ in range(count):
                t0 = time.perf_counter_ns()
                write()
                p.poll(1000)
                read()
                out.append(time.perf_counter_ns() - t0)
            floors[name] = statistics.median(out) / 1000
        return floors
    finally:
        for x in (a, b, lst):
            x.close()
        os.close(master)
        os.close(slave)


# ---------------------------------------------------------------- linkhub

HUB = "linkhub"
# Descriptors of linkhub's beyond two per board: standard streams, the board
# port (TCP and UDP), the status socket, the spare one, libev's own.
HUB_SPARE_FDS = 64
HUB_MAC0 = "00:00:00:00:00:00"  # serstream --nic lo


def free_port(host="127.0.0.1", kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def free_tcp_udp_port(host="127.0.0.1"):
    """A port free for TCP and UDP at once (the hub's board port is both)."""
    for _ in range(50):
        port = free_port(host)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            try:
                u.bind((host, port))
            except OSError:
                continue
        return port
    raise BenchError("no port free for both TCP and UDP")


def hub_status_text(path, timeout=10.0):
    """The hub's status document as it sent it."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        parts = []
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            parts.append(chunk)
    return b"".join(parts)


def hub_status(path, timeout=10.0):
    """The hub's status document."""
    return json.loads(hub_status_text(path, timeout))


def wait_status(prog, path, want=None, timeout=10.0, every=0.02):
    """Poll the status socket until want(doc) holds (or, without want, until
    it answers); returns (doc, seconds waited)."""
    t0 = time.monotonic()
    while True:
        prog.check()
        try:
            doc = hub_status(path)
            if want is None or want(doc):
                return doc, time.monotonic() - t0
        except (OSError, ValueError):
            pass
        if time.monotonic() - t0 > timeout:
            raise BenchError("linkhub: status condition not met in %.0f s" % timeout)
        time.sleep(every)


def online_count(doc):
    return sum(1 for d in doc["devices"] if d["online"])


def hub_argv(bindir, cfg, status):
    return [os.path.join(bindir, HUB), "--config", cfg, "--status", status, "--debug", "3"]


def connect_retry(port, prog, timeout=10.0, host="127.0.0.1", make=None, what=None):
    """A TCP connection to host:port, tried until the program listens
    there; `make` gives the socket (one made in a namespace)."""
    deadline = time.monotonic() + timeout
    while True:
        s = make() if make else socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.connect((host, port))
            JANITOR.socks.append(s)
            return s
        except OSError:
            s.close()
            prog.check()
            if time.monotonic() > deadline:
                raise BenchError(what or "nothing listens on %s:%d" % (host, port))
            time.sleep(0.02)


class HubLineRig(LineRig):
    """A real serstream on a pty dials the relay under test, linkhub or
    socat; the benchmark is the application on the relay's other port and
    the far end of the line.  socat relays the two TCP connections raw: the
    application then reads serstream's frames (their payload is counted) and
    sends each message behind a 28-byte header of its own, which serstream
    drops, so the same payload bytes cross both relays."""

    def __init__(self, bindir, who, base, settings=""):
        self.who = who
        self.framed = who == "socat"  # what the application sees is framed
        self.line = SerialLine()
        self.progs = []
        board_port, app_port = free_tcp_udp_port(), free_port()
        env = gate_env("nogate", base)
        serstream = [os.path.join(bindir, "serstream"), "--dev", self.line.dev, "--nic", "lo",
                     "--uuid", UUID, "--tcpserver", "127.0.0.1", "--tcpport", str(board_port),
                     "-f", os.path.join(base, "none.cfg"), "--debug", "3"]
        if who == "farwire":
            d = scratch_dir()
            cfg = os.path.join(d, "linkhub.cfg")
            self.status = os.path.join(d, "status.sock")
            with open(cfg, "w") as f:
                f.write("listen 127.0.0.1:%d\ngroup %s\n" % (board_port, UUID))
                f.write('device = "%s tcp:127.0.0.1:%d %s"\n' % (HUB_MAC0, app_port, settings))
            self.relay = Program(hub_argv(bindir, cfg, self.status))
            wait_status(self.relay, self.status)
            self.board = Program(serstream, env=env)
            wait_status(self.relay, self.status, lambda doc: online_count(doc) == 1)
            self.app = connect_retry(app_port, self.relay)
            # Line bytes that come before the hub took the connection are
            # dropped: wait until it is attached.
            wait_status(self.relay, self.status,
                        lambda doc: doc["devices"][0]["app_connected"])
        else:
            self.relay = Program(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % board_port,
                                  "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % app_port])
            deadline = time.monotonic() + 10
            while not self.relay.has_socket():
                if time.monotonic() > deadline:
                    raise BenchError("socat made no socket")
                time.sleep(0.01)
            # socat listens on its second port once serstream connected.
            self.board = Program(serstream, env=env)
            self.app = connect_retry(app_port, self.relay, timeout=15)
        self.progs = [self.relay, self.board]
        self.app.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.app.setblocking(False)
        self.sock = self.app
        self.spoll = select.poll()
        self.spoll.register(self.app, select.POLLIN)
        self.counter = PayloadCounter(self.framed)
        # Both ends answer: a byte each way (socat also hands over the
        # registration header, which the counter takes as an empty frame).
        self.line.drain()
        self.l2s(payload(1))
        self.s2l(payload(1))
        self.relay.wait_idle()
        self.line.drain()

    def recv_payload(self):
        return self.stream_payload(self.app)

    def app_chunk(self, data):
        return dummy_head(data) if self.framed else data

    far = "application"

    def check(self):
        for p in self.progs:
            p.check()

    def send_chunk(self, data):
        self.app.sendall(self.app_chunk(data))

    def wait_idle(self):
        self.relay.wait_idle()
        self.board.wait_idle()

    def stop(self):
        for p in (self.board, self.relay):
            p.stop()
        self.app.close()
        self.line.close()


# The line of the benchmark is a pty, which takes bytes as fast as serstream
# writes them: linkhub is told so (the fastest line speed it takes, no least
# gap between frames), and paces only by the board's acknowledgements.  The
# pacing of a real line shows in its own row, with the default settings.
HUB_FAST_LINE = "baud:20000000 gap:0"
# Chunks of 1424 bytes a second for app->line CPU/MB (about 0.7 MB/s).
HUB_A2L_RATE = 500


def run_hub_line(res, bindir, base):
    """Both rigs run side by side and the latency samples alternate between
    them one by one, so that a load that comes and goes on a shared machine
    falls on both alike; the bulk loads run one rig at a time."""
    comp = "linkhub"
    per_round = -(-Config.samples // Config.rounds)
    for rnd in range(Config.rounds):
        rigs = {}
        try:
            for who in ("farwire", "socat"):
                rigs[who] = HubLineRig(bindir, who, base, HUB_FAST_LINE)
                record_memory(res, comp, who, rigs[who].relay, "idle [1 board]")
            for direction, label in (("l2s", "line->app"), ("s2l", "app->line")):
                for size in Config.sizes:
                    samples = {"farwire": [], "socat": []}
                    for _ in range(per_round):
                        for who, rig in rigs.items():
                            samples[who] += rig.latency(direction, size, 1)
                    for who in rigs:
                        res.add(comp, "latency %s %dB" % (label, size), "us", who, samples[who],
                                samples=True)
            for who, rig in rigs.items():
                rig.relay.wait_idle()
                c0 = rig.relay.cpu()
                secs, got = rig.bulk_l2s(Config.l2s_bytes)
                c1 = rig.relay.cpu()
                if got < Config.l2s_bytes:
                    note("  linkhub %s: %d of %d bytes reached the application" % (
                        who, got, Config.l2s_bytes))
                res.add(comp, "line->app throughput", "MB/s", who, got / 1e6 / secs)
                res.add(comp, "line->app CPU/MB", "ms/MB", who, 1000 * (c1[0] - c0[0]) / (got / 1e6))
                # Each chunk when the previous one is on the line: how fast.
                secs, got, intact = rig.bulk_s2l(Config.s2l_bytes // 4, window=1)
                res.add(comp, "app->line throughput [one chunk at a time]", "MB/s", who,
                        got / 1e6 / secs)
                # The same chunks at one rate for both, below what either
                # takes: CPU per MB of the same work (at its own top speed
                # each would pay for wakeups at another rate).
                rig.relay.wait_idle()
                c0 = rig.relay.cpu()
                secs, got, ok = rig.bulk_s2l(Config.s2l_bytes, window=1, rate=HUB_A2L_RATE)
                rig.relay.wait_idle()
                c1 = rig.relay.cpu()
                intact = intact and ok
                if not intact:
                    note("  linkhub %s: %d of %d bytes reached the line, intact: %s" % (
                        who, got, Config.s2l_bytes, intact))
                res.add(comp, "app->line CPU/MB", "ms/MB", who, 1000 * (c1[0] - c0[0]) / (got / 1e6))
                res.add(comp, "app->line intact", "bool", who, 1 if intact else 0)
                record_memory(res, comp, who, rig.relay, "after load [1 board]")
        finally:
            for rig in rigs.values():
                rig.stop()
        # The pacing of a 115200 bit/s line (linkhub's defaults): the
        # application writes everything at once; socat would pass it on as it
        # comes and lose payload behind the headers the line then receives.
        rig = HubLineRig(bindir, "farwire", base)
        tag = " [%d KiB at once, default pacing: 115200 bit/s]" % (
            Config.hub_burst_bytes >> 10)
        try:
            secs, got, intact = rig.bulk_s2l(Config.hub_burst_bytes, burst=True)
            if not intact:
                note("  linkhub paced: %d of %d bytes reached the line, intact: %s" % (
                    got, Config.hub_burst_bytes, intact))
            for fig, unit, value in (("app->line throughput" + tag, "kB/s", got / 1e3 / secs),
                                     ("app->line intact" + tag, "bool", 1 if intact else 0)):
                res.add(comp, fig, unit, "farwire", value)
                res.solo.add((comp, fig))
        finally:
            rig.stop()


def raise_nofile(want):
    """Soft and hard RLIMIT_NOFILE of this process (and so of what it
    starts) to at least `want`: the hard limit up to fs.nr_open where the
    process may (CAP_SYS_RESOURCE), else the soft one up to the hard one.
    Returns the limit now in force."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= want:
        return soft
    with open("/proc/sys/fs/nr_open") as f:
        nr_open = int(f.read())
    new = min(max(want, hard), nr_open)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, new))
        return new
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        return hard


def endpoint_ports(n, host):
    """n TCP ports free on host, from 20000 up (below the ephemeral range)."""
    ports = []
    port = 20000
    while len(ports) < n:
        if port >= 32768:
            raise BenchError("fewer than %d free ports in 20000..32767 on %s" % (n, host))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind((host, port))
                ports.append(port)
            except OSError:
                pass
        port += 1
    return ports


def board_header(mac):
    return b"kovlat" + bytes.fromhex(UUID.replace("-", "")) + mac


def board_mac(i):
    return bytes((0x02, 0x00, (i >> 24) & 0xff, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff))


class Boards:
    """n simulated serstream boards in this one process: non-blocking TCP
    sockets on one epoll, each sends its registration header as soon as it
    is connected, later one frame a second."""

    def __init__(self, n, port):
        import selectors
        self.n, self.port = n, port
        self.sel = selectors.EpollSelector()
        self.socks = []
        self.heads = [board_header(board_mac(i)) for i in range(n)]
        self.connected = 0
        self.lost = 0

    def connect_all(self, window=512):
        """Connect every board, at most `window` handshakes in flight (a
        burst larger than the hub's accept queue loses SYNs, which come back
        only after a second); returns seconds taken."""
        import selectors
        t0 = time.monotonic()
        nxt = 0
        pending = 0
        while self.connected + self.lost < self.n:
            while nxt < self.n and pending < window:
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setblocking(False)
                err = s.connect_ex(("127.0.0.1", self.port))
                if err not in (0, 115):  # EINPROGRESS
                    s.close()
                    raise BenchError("board %d: connect: %s" % (nxt, os.strerror(err)))
                self.socks.append(s)
                self.sel.register(s, selectors.EVENT_WRITE, nxt)
                nxt += 1
                pending += 1
            for key, _ in self.sel.select(1.0):
                s, i = key.fileobj, key.data
                self.sel.unregister(s)
                pending -= 1
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    self.lost += 1
                    continue
                try:
                    s.send(self.heads[i])
                    self.connected += 1
                except OSError:
                    self.lost += 1
            if time.monotonic() - t0 > 120:
                raise BenchError("boards: %d of %d connected in 120 s" % (self.connected, self.n))
        return time.monotonic() - t0

    def frames(self, seconds, size, prog):
        """Every board sends one frame (header + size digits) a second, the
        boards spread evenly over the second; returns frames sent."""
        body = payload(size)
        t0 = time.monotonic()
        sent = 0
        total = int(seconds * self.n)
        step = 1.0 / self.n
        while sent < total:
            due = min(total, int((time.monotonic() - t0) / step) + 1)
            while sent < due:
                i = sent % self.n
                try:
                    self.socks[i].send(self.heads[i] + body)
                except BlockingIOError:
                    pass
                sent += 1
            prog.check()
            time.sleep(0.002)
        return sent

    def close(self):
        for s in self.socks:
            s.close()
        self.socks.clear()
        self.sel.close()


def socat_idle_memory():
    """RSS and Private_Dirty (kB) of one idle socat that waits for a board
    (the per-board alternative: one socat per board between its connection
    and a local port)."""
    board_port, app_port = free_port(), free_port()
    prog = Program(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % board_port,
                    "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % app_port])
    try:
        deadline = time.monotonic() + 10
        while not prog.has_socket():
            if time.monotonic() > deadline:
                raise BenchError("socat made no socket")
            time.sleep(0.01)
        time.sleep(0.05)
        return prog.memory()
    finally:
        prog.stop()


def run_hub_scale(res, bindir, base):
    import resource
    comp = "linkhub scale"
    n = Config.hub_boards
    # linkhub holds two descriptors per board (its link and its tcp:
    # listener) and a few of its own; this process one per board.
    limit = raise_nofile(2 * n + HUB_SPARE_FDS)
    if 2 * n + HUB_SPARE_FDS > limit:
        n = (limit - HUB_SPARE_FDS) // 2
        note("  linkhub scale: RLIMIT_NOFILE cannot go above %d here (no CAP_SYS_RESOURCE), "
             "and linkhub needs 2 descriptors per board: %d boards instead of %d"
             % (limit, n, Config.hub_boards))
        res.notes.append("linkhub scale ran %d boards, not %d: the hard RLIMIT_NOFILE is %d and "
                         "cannot be raised here (no CAP_SYS_RESOURCE); linkhub needs 2 descriptors "
                         "per board" % (n, Config.hub_boards, limit))
    Config.hub_boards_run = n
    tag = " [%d boards]" % n
    endpoint_host = "127.0.100.1"
    ports = endpoint_ports(n, endpoint_host)
    s_rss, s_dirty = socat_idle_memory()
    for rnd in range(Config.rounds):
        d = scratch_dir()
        cfg = os.path.join(d, "linkhub.cfg")
        status = os.path.join(d, "status.sock")
        board_port = free_tcp_udp_port()
        with open(cfg, "w") as f:
            f.write("listen 127.0.0.1:%d\ngroup %s\n" % (board_port, UUID))
            for i in range(n):
                f.write('device = "%s tcp:%s:%d"\n' % (
                    ":".join("%02x" % b for b in board_mac(i)), endpoint_host, ports[i]))
        t_start = time.monotonic()
        prog = Program(hub_argv(bindir, cfg, status))
        boards = Boards(n, board_port)
        try:
            wait_status(prog, status, timeout=60, every=0.05)
            res.add(comp, "start-up, every endpoint listening" + tag, "s", "farwire",
                    time.monotonic() - t_start)
            res.solo.add((comp, "start-up, every endpoint listening" + tag))
            time.sleep(0.2)
            rss0, dirty0 = prog.memory()
            # Registration: the clock runs from the first connect until the
            # status document says every board is online.
            ru0 = resource.getrusage(resource.RUSAGE_SELF)
            c0 = prog.cpu()
            t0 = time.monotonic()
            connect_secs = boards.connect_all()
            ru1 = resource.getrusage(resource.RUSAGE_SELF)
            doc, _ = wait_status(prog, status, lambda doc: online_count(doc) == n,
                                 timeout=120, every=0.1)
            online_secs = time.monotonic() - t0
            c1 = prog.cpu()
            if boards.lost:
                note("  linkhub scale: %d boards could not connect" % boards.lost)
            time.sleep(0.2)
            rss1, dirty1 = prog.memory()
            for fig, unit, a, b in (
                    ("time until all online" + tag, "s", online_secs, None),
                    ("harness: connecting all boards" + tag, "s", connect_secs, None),
                    ("harness CPU while connecting" + tag, "s",
                     ru1.ru_utime + ru1.ru_stime - ru0.ru_utime - ru0.ru_stime, None),
                    ("CPU per registration" + tag, "us", 1e6 * (c1[0] - c0[0]) / n, None),
                    ("RSS, devices configured, no link" + tag, "kB", rss0, None),
                    ("Private_Dirty, devices configured, no link" + tag, "kB", dirty0, None),
                    ("RSS, all online" + tag, "kB", rss1, None),
                    ("Private_Dirty, all online" + tag, "kB", dirty1, s_dirty * n),
                    ("RSS per board link" + tag, "kB", (rss1 - rss0) / n, None),
                    ("Private_Dirty per board link" + tag, "kB", (dirty1 - dirty0) / n, None),
                    ("Private_Dirty per board, all of it" + tag, "kB", dirty1 / n, s_dirty),
                    ("RSS per board, all of it" + tag, "kB", rss1 / n, None),
                    ("one socat per board instead: its idle RSS" + tag, "kB", None, s_rss)):
                if a is None:  # a figure of socat's alone
                    res.add(comp, fig, unit, "socat", b)
                    res.others.add((comp, fig))
                    continue
                res.add(comp, fig, unit, "farwire", a)
                if b is None:
                    res.solo.add((comp, fig))
                else:
                    res.add(comp, fig, unit, "socat", b)
            # Steady state: one frame a second from every board.
            before = sum(d["bytes_up"] + d["dropped_up"] for d in doc["devices"])
            c0 = prog.cpu()
            sent = boards.frames(Config.hub_seconds, 16, prog)
            time.sleep(0.3)
            c1 = prog.cpu()
            doc, _ = wait_status(prog, status, timeout=30)
            arrived = (sum(d["bytes_up"] + d["dropped_up"] for d in doc["devices"]) - before) // 16
            c2 = prog.cpu()
            size = len(hub_status_text(status))
            c3 = prog.cpu()
            for fig, unit, a in (
                    ("CPU per frame (1 frame/s per board)" + tag, "us", 1e6 * (c1[0] - c0[0]) / sent),
                    ("frames arrived" + tag, "%", 100.0 * arrived / sent),
                    ("status document size" + tag, "kB", size / 1000),
                    ("CPU per status document" + tag, "ms", 1000 * (c3[0] - c2[0]))):
                res.add(comp, fig, unit, "farwire", a)
                res.solo.add((comp, fig))
            _, dirty2 = prog.memory()
            res.add(comp, "Private_Dirty after frames" + tag, "kB", "farwire", dirty2)
            res.add(comp, "Private_Dirty after frames" + tag, "kB", "socat", s_dirty * n)
        finally:
            boards.close()
            prog.stop()


def run_linkhub(res, bindir, base):
    load = os.getloadavg()[0]
    run_hub_line(res, bindir, base)
    load = max(load, os.getloadavg()[0])
    run_hub_scale(res, bindir, base)
    hub_targets(res, max(load, os.getloadavg()[0]))


def hub_targets(res, load):
    """The figures linkhub is held to, each with its target, whether it is
    met and, where the run shows one, why not.  load: the highest 1-minute
    load average seen during the comparison."""
    def val(comp, fig, side="farwire"):
        for c, f, u, a, b, _, _ in res.rows():
            if (c, f) == (comp, fig):
                return a if side == "farwire" else b
        return None

    cpus = os.cpu_count() or 1
    if load > cpus:
        noisy = ("the machine was loaded (load average up to %.1f on %d CPUs): a ratio of one "
                 "run moves, run again on a quiet machine" % (load, cpus))
    else:
        noisy = ("the machine was not loaded (load average up to %.1f on %d CPUs): a fault to "
                 "look into" % (load, cpus))
    boards = getattr(Config, "hub_boards_run", Config.hub_boards)
    tag = " [%d boards]" % boards
    for direction in ("line->app", "app->line"):
        a, b = val("linkhub", "%s CPU/MB" % direction), val("linkhub", "%s CPU/MB" % direction,
                                                               "socat")
        res.target("linkhub %s CPU/MB" % direction, a, "ms/MB",
                   None if b is None else 1.5 * b, "1.5 x socat's (%s)" % fmt(b), noisy)
        for size in Config.sizes:
            fig = "latency %s %dB median" % (direction, size)
            a, b = val("linkhub", fig), val("linkhub", fig, "socat")
            res.target("linkhub " + fig, a, "us", None if b is None else b + 50,
                       "socat's + 50 us (%s)" % fmt(b), noisy)
    res.target("linkhub Private_Dirty per board link" + tag,
               val("linkhub scale", "Private_Dirty per board link" + tag), "kB", 8.0, "8 KiB",
               "the hub's memory per link: a fault to look into")
    harness = val("linkhub scale", "harness: connecting all boards" + tag)
    res.target("linkhub time until all online" + tag,
               val("linkhub scale", "time until all online" + tag), "s", 10.0,
               "10 s" + ("" if boards >= 10000 else
                         " (set for 10 000 boards; this run has %d)" % boards),
               "the harness took %s s of it to connect" % fmt(harness)
               if harness is not None and harness > 5 else noisy)


# ---------------------------------------------------------------- static facts

def elf_needed(path):
    r = subprocess.run(["readelf", "-d", path], capture_output=True, text=True)
    return " ".join(l.split("[", 1)[1].rstrip("]") for l in r.stdout.splitlines()
                    if "(NEEDED)" in l) or "-"


def stripped_size(path, base):
    copy = os.path.join(base, "stripped")
    shutil.copyfile(path, copy)
    subprocess.run(["strip", "--strip-all", copy], capture_output=True)
    size = os.path.getsize(copy)
    os.unlink(copy)
    return size


def present_daemons(bindir):
    """DAEMONS in BINDIR; linkhub may be missing from a build without it
    (FW_HUB=OFF), the board daemons may not."""
    return [n for n in DAEMONS if n != HUB or os.access(os.path.join(bindir, n), os.X_OK)]


def run_static(res, bindir, base):
    socat = shutil.which("socat")
    s_size, s_needed = stripped_size(socat, base), elf_needed(socat)
    for name in present_daemons(bindir):
        path = os.path.join(bindir, name)
        res.facts.append((name, stripped_size(path, base), elf_needed(path)))
    res.facts.append(("socat", s_size, s_needed))


# The rows of the README's short table (--markdown).
SHORT = (
    ("serstream", "latency line->server 16B [no script] median"),
    ("serstream", "latency server->line 16B [no script] median"),
    ("serstream", "latency server->line 16B [script] median"),
    ("serstream", "line->server CPU/MB [no script]"),
    ("serstream", "server->line CPU/MB [no script]"),
    ("serstream", "server->line children CPU/MB [script]"),
    ("serstream", "RSS idle [no script]"),
    ("serstream", "Private_Dirty idle [no script]"),
    ("serdgram", "latency line->server 16B [no script] median"),
    ("serdgram", "latency server->line 16B [no script] median"),
    ("serdgram", "line->server CPU/MB [no script]"),
    ("serdgram", "server->line CPU/MB [no script]"),
    ("streamhop-cli", "CPU/MB"),
    ("streamhop-cli", "throughput"),
    ("streamhop", "CPU/MB [1 uplink]"),
    ("streamhop", "CPU/MB [2 uplinks]"),
    ("streamhop", "throughput [1 uplink]"),
    ("dgramhop", "CPU/datagram [1 uplink]"),
    ("dgramhop", "CPU/datagram [2 uplinks]"),
    ("dgramhop", "loss [1 uplink]"),
    ("linkhub", "latency line->app 16B median"),
    ("linkhub", "latency app->line 16B median"),
    ("linkhub", "line->app CPU/MB"),
    ("linkhub", "app->line CPU/MB"),
    ("linkhub scale", "time until all online [%d boards]"),
    ("linkhub scale", "Private_Dirty per board link [%d boards]"),
    ("linkhub scale", "Private_Dirty, all online [%d boards]"),
    ("linkhub scale", "CPU per frame (1 frame/s per board) [%d boards]"),
)


def print_markdown(rows, facts):
    by_key = {(r[0], r[1]): r for r in rows}
    print("| program | figure | unit | farwire | socat | ratio |")
    print("|---|---|---|---:|---:|---:|")
    boards = getattr(Config, "hub_boards_run", Config.hub_boards)
    for key in SHORT:
        if "%d" in key[1]:
            key = (key[0], key[1] % boards)
        if key in by_key:
            c, f, u, a, b, _, _ = by_key[key]
            print("| %s | %s | %s | %s | %s | %s |" % (c, f, u, fmt(a), fmt(b), ratio(a, b)))
    if facts:
        socat_size = facts[-1][1]
        for n, size, needed in facts[:-1]:
            print("| %s | stripped size (host build) | bytes | %d | %d | %.2f |" % (
                n, size, socat_size, size / socat_size))
        print()
        print("NEEDED: farwire %s; socat %s." % (
            "; ".join(sorted({f[2] for f in facts[:-1]})), facts[-1][2]))


# ---------------------------------------------------------------- linkhub-mqtt

def run_hub_mqtt(res, bindir, base):
    """linkhub's MQTT bridge: N simulated boards through linkhub into a
    mosquitto of its own, beside the same mosquitto fed the same messages
    (same topics, payloads, QoS 1 and rate) by one plain publisher.  The
    second column of these rows is that plain publisher's run, not socat.
    Figures: messages per second delivered to one subscriber at the offered
    rate, CPU per message of linkhub and of the broker, and the latency of one
    message from the board's frame (or the publisher's PUBLISH) to the
    subscriber."""
    import selectors
    import struct
    comp = "linkhub-mqtt"
    n = 200 if Config.quick else 1000
    per_board = 5 if Config.quick else 10     # messages a second from every board
    seconds = 2 if Config.quick else 5
    size = 16
    rate = n * per_board
    mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    if not os.access(mosquitto, os.X_OK):
        raise BenchError("mosquitto is not installed")
    raise_nofile(2 * n + HUB_SPARE_FDS)
    tag = " [%d boards, %d msg/s offered]" % (n, rate)
    group = UUID

    def varint(x):
        out = bytearray()
        while True:
            b, x = x % 128, x // 128
            out.append(b | (0x80 if x else 0))
            if not x:
                return bytes(out)

    def mqtt_str(s):
        b = s.encode()
        return struct.pack("!H", len(b)) + b

    def packet(first, body):
        return bytes([first]) + varint(len(body)) + body

    class Mqtt:
        """A plain MQTT 3.1.1 client on a socket read by this process's
        loop: counts PUBLISHes, keeps the arrival time of the sequence
        numbers it is told to watch."""

        def __init__(self, port, cid):
            self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            JANITOR.socks.append(self.sock)
            self.sock.sendall(packet(0x10, mqtt_str("MQTT") + bytes([4, 2]) +
                                     struct.pack("!H", 600) + mqtt_str(cid)))
            self.buf = b""
            self.count = 0
            self.arrivals = {}
            self.mid = 0
            while not self.buf.startswith(b"\x20\x02"):
                self.buf += self.sock.recv(4)
            self.buf = self.buf[4:]
            self.sock.setblocking(False)

        def subscribe(self, topic):
            self.sock.setblocking(True)
            self.sock.sendall(packet(0x82, struct.pack("!H", 1) + mqtt_str(topic) + b"\x00"))
            while b"\x90" not in self.buf:
                self.buf += self.sock.recv(64)
            self.buf = self.buf[self.buf.index(b"\x90") + 5:]
            self.sock.setblocking(False)

        def publish_packet(self, topic, body):
            self.mid = self.mid % 65535 + 1
            return packet(0x32, mqtt_str(topic) + struct.pack("!H", self.mid) + body)

        def pump(self):
            """Reads what is there; PUBLISH payloads that are sequence
            numbers get their arrival time."""
            now = time.monotonic()
            try:
                while True:
                    chunk = self.sock.recv(1 << 20)
                    if not chunk:
                        raise BenchError("the broker closed a benchmark client")
                    self.buf += chunk
            except BlockingIOError:
                pass
            b, pos, end = self.buf, 0, len(self.buf)
            while pos + 2 <= end:
                first = b[pos]
                length, mult, i = 0, 1, pos + 1
                while i < end:
                    length += (b[i] & 0x7F) * mult
                    mult *= 128
                    i += 1
                    if not b[i - 1] & 0x80:
                        break
                else:
                    break
                if i + length > end:
                    break
                if first & 0xF0 == 0x30:
                    self.count += 1
                    if self.arrivals is not None:
                        tl = struct.unpack_from("!H", b, i)[0]
                        body = b[i + 2 + tl:i + length]
                        if body[:1] == b"1" and len(body) == size:
                            self.arrivals[body] = now
                pos = i + length
            self.buf = b[pos:]

        def wait_count(self, want, timeout, also=None):
            deadline = time.monotonic() + timeout
            last, still = -1, time.monotonic()
            while self.count < want and time.monotonic() < deadline:
                select.select([self.sock], [], [], 0.05)
                self.pump()
                if also:
                    also()
                if self.count != last:
                    last, still = self.count, time.monotonic()
                elif time.monotonic() - still > 2.0:
                    break  # nothing more is coming

    def seq_body(k):
        return ("1%0*d" % (size - 1, k)).encode()

    def start_broker():
        d = scratch_dir()
        port = free_port()
        conf = os.path.join(d, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n"
                    "max_queued_messages 0\nmax_inflight_messages 0\nlog_dest none\n" % port)
        prog = Program([mosquitto, "-c", conf])
        deadline = time.monotonic() + 10
        while True:
            prog.check()
            with contextlib.suppress(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return prog, port
            if time.monotonic() > deadline:
                raise BenchError("mosquitto does not listen")
            time.sleep(0.02)

    def offered(send_one, total, sub):
        """Calls send_one(k) for k in 0..total-1 at `rate` a second,
        reading the subscriber between sends."""
        t0 = time.monotonic()
        k = 0
        while k < total:
            due = min(total, int((time.monotonic() - t0) * rate) + 1)
            while k < due:
                send_one(k)
                k += 1
            sub.pump()
            time.sleep(0.001)
        return time.monotonic() - t0

    def latency(sub, send, also=None):
        """One message at a time through send(payload): ns until the
        subscriber has it."""
        sub.arrivals = {}
        lat = []
        for k in range(samples):
            tb = seq_body(k)
            t = time.monotonic()
            send(tb)
            deadline = t + 5
            while tb not in sub.arrivals and time.monotonic() < deadline:
                select.select([sub.sock], [], [], 0.05)
                sub.pump()
                if also:
                    also()
            if tb in sub.arrivals:
                lat.append(int((sub.arrivals[tb] - t) * 1e9))
        return lat

    topics = ["bench/%s/%s/up" % (group, ":".join("%02x" % b for b in board_mac(i)))
              for i in range(n)]
    body = payload(size)
    total = rate * seconds
    samples = max(10, Config.samples // Config.rounds)
    for rnd in range(Config.rounds):
        # --- A: boards -> linkhub -> mosquitto -> subscriber
        broker, bport = start_broker()
        sub = Mqtt(bport, "bench-sub")
        sub.subscribe("bench/#")
        d = scratch_dir()
        cfg = os.path.join(d, "linkhub.cfg")
        status = os.path.join(d, "status.sock")
        board_port = free_tcp_udp_port()
        with open(cfg, "w") as f:
            f.write("listen 127.0.0.1:%d\ngroup %s\nmqtt 127.0.0.1:%d\nmqtt-prefix bench\n"
                    "mqtt-id bench-hub\n" % (board_port, group, bport))
            for i in range(n):
                f.write('device = "%s mqtt"\n' % ":".join("%02x" % b for b in board_mac(i)))
        hub = Program(hub_argv(bindir, cfg, status))
        boards = Boards(n, board_port)
        try:
            wait_status(hub, status, lambda doc: doc.get("mqtt", {}).get("connected"), timeout=30)
            boards.connect_all()
            wait_status(hub, status, lambda doc: online_count(doc) == n, timeout=60, every=0.1)
            sub.wait_count(n + 1, 10)  # the hub's and every board's state
            sub.arrivals = None
            base_count = sub.count
            h0, b0 = hub.cpu()[0], broker.cpu()[0]

            def board_send(k):
                i = k % n
                with contextlib.suppress(BlockingIOError):
                    boards.socks[i].send(boards.heads[i] + body)
            secs = offered(board_send, total, sub)
            sub.wait_count(base_count + total, 30)
            h1, b1 = hub.cpu()[0], broker.cpu()[0]
            got = sub.count - base_count
            doc = hub_status(status)
            res.add(comp, "messages/s delivered" + tag, "msg/s", "farwire", got / secs)
            res.add(comp, "messages delivered" + tag, "%", "farwire", 100.0 * got / total)
            res.add(comp, "linkhub CPU per message" + tag, "us", "farwire",
                    1e6 * (h1 - h0) / max(got, 1))
            res.solo.add((comp, "linkhub CPU per message" + tag))
            res.add(comp, "broker CPU per message" + tag, "us", "farwire",
                    1e6 * (b1 - b0) / max(got, 1))
            res.add(comp, "up messages dropped by the hub" + tag, "msg", "farwire",
                    doc["mqtt"]["dropped"])
            res.solo.add((comp, "up messages dropped by the hub" + tag))
            res.add(comp, "hub queue at the end" + tag, "msg", "farwire", doc["mqtt"]["queued"])
            res.solo.add((comp, "hub queue at the end" + tag))
            # Latency: one frame at a time from the first board.
            res.add(comp, "latency line->subscriber", "us", "farwire",
                    latency(sub, lambda tb: boards.socks[0].send(boards.heads[0] + tb)),
                    samples=True)
        finally:
            boards.close()
            hub.stop()
            broker.stop()

        # --- B: one plain publisher -> the same mosquitto setup -> subscriber
        broker, bport = start_broker()
        try:
            sub = Mqtt(bport, "bench-sub")
            sub.subscribe("bench/#")
            pub = Mqtt(bport, "bench-pub")
            sub.arrivals = None
            b0 = broker.cpu()[0]
            backlog = []

            def pub_send(k):
                backlog.append(pub.publish_packet(topics[k % n], body))
                data = b"".join(backlog)
                try:
                    sent = pub.sock.send(data)
                except BlockingIOError:
                    sent = 0
                backlog[:] = [data[sent:]] if sent < len(data) else []
                pub.pump()  # the PUBACKs
            pub.arrivals = None
            secs = offered(pub_send, total, sub)
            while backlog:
                pub.sock.setblocking(True)
                pub.sock.sendall(b"".join(backlog))
                backlog.clear()
                pub.sock.setblocking(False)
            sub.wait_count(total, 30, also=pub.pump)
            b1 = broker.cpu()[0]
            got = sub.count
            res.add(comp, "messages/s delivered" + tag, "msg/s", "socat", got / secs)
            res.add(comp, "messages delivered" + tag, "%", "socat", 100.0 * got / total)
            res.add(comp, "broker CPU per message" + tag, "us", "socat",
                    1e6 * (b1 - b0) / max(got, 1))
            def pub_one(tb):
                pub.sock.setblocking(True)
                pub.sock.sendall(pub.publish_packet(topics[0], tb))
                pub.sock.setblocking(False)
            res.add(comp, "latency line->subscriber", "us", "socat",
                    latency(sub, pub_one, also=pub.pump), samples=True)
        finally:
            broker.stop()
    res.notes.append("linkhub-mqtt rows: the socat column is the same mosquitto fed the same "
                     "messages by one plain publisher (QoS 1, same topics, payloads and rate)")
    val = {}
    for c, f, u, a, b, _, _ in res.rows():
        if c == comp:
            val[f] = (a, b)
    hub_cpu = val.get("linkhub CPU per message" + tag, (None, None))[0]
    with_hub, alone = val.get("broker CPU per message" + tag, (None, None))
    why = ("libmosquitto costs the hub system calls of its own per message: a wake-up byte "
           "to its socket pair, the PUBACK read in three pieces (see docs/hub.md, Benchmark)")
    res.target("linkhub-mqtt CPU per message" + tag, hub_cpu, "us", alone,
               "the broker's per message, fed by one publisher (%s)" % fmt(alone), why)
    res.target("linkhub-mqtt CPU per message, same run" + tag, hub_cpu, "us", with_hub,
               "the broker's per message, fed by linkhub (%s)" % fmt(with_hub), why)


RUNNERS = {"serstream": run_serstream, "serdgram": run_serdgram, "streamhop-cli": run_cli,
           "streamhop": run_streamhop, "dgramhop": run_dgramhop, "linkhub": run_linkhub,
           "linkhub-mqtt": run_hub_mqtt, "linkhub-relays": run_hub_relays,
           "static": run_static}


# ---------------------------------------------------------------- main

def machine():
    model = "?"
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "socat": subprocess.run(["socat", "-V"], capture_output=True, text=True)
            .stdout.splitlines()[1].strip() if shutil.which("socat") else "?"}


def target_rows(targets):
    out = []
    for what, value, unit, limit, limit_text, why in targets:
        if value is None or limit is None:
            verdict = "no figure"
        elif value <= limit:
            verdict = "met"
        else:
            verdict = "NOT met: " + why
        out.append((what, fmt(value), unit, "<= " + limit_text, verdict))
    return out


def print_targets(targets, out=sys.stdout):
    lines = [("target", "value", "unit", "limit", "verdict")] + target_rows(targets)
    widths = [max(len(l[i]) for l in lines) for i in range(4)]
    for l in lines:
        print("  ".join((l[i].rjust if i == 1 else l[i].ljust)(widths[i]) for i in range(4))
              + "  " + l[4], file=out)


def print_table(rows, out=sys.stdout):
    head = ("comparison", "figure", "unit", "farwire", "socat", "ratio")
    lines = [head] + [(c, f, u, fmt(a), fmt(b), ratio(a, b)) for c, f, u, a, b, _, _ in rows]
    widths = [max(len(str(l[i])) for l in lines) for i in range(len(head))]
    for l in lines:
        print("  ".join(str(l[i]).ljust(widths[i]) if i < 3 else str(l[i]).rjust(widths[i])
                        for i in range(len(head))).rstrip(), file=out)


def parse_only(text):
    chosen = []
    for word in text.split(","):
        word = word.strip()
        names = GROUPS.get(word, (word,))
        for n in names:
            if n not in COMPARISONS:
                raise SystemExit("unknown comparison %r (choose from %s)" % (
                    word, ", ".join(COMPARISONS + tuple(GROUPS))))
            if n not in chosen:
                chosen.append(n)
    return chosen


def on_signal(signum, frame):
    raise KeyboardInterrupt


def main():
    p = argparse.ArgumentParser(
        description="Benchmark the farwire daemons side by side with socat on the same work "
        "(A B A B rounds, fresh processes); prints medians and ratios, writes raw samples "
        "as JSON.  Run as root.")
    p.add_argument("bindir", help="directory holding the six programs (e.g. build/bin)")
    p.add_argument("--quick", action="store_true", help="one round, small loads (for CI)")
    p.add_argument("--only", default="all",
                   help="comma-separated comparisons: %s, or the groups serial, relays, all"
                   % ", ".join(COMPARISONS))
    p.add_argument("--series", default="gate,nogate",
                   help="serial series: gate (a do-nothing linegate.sh on PATH), nogate "
                   "(none on PATH); default both")
    p.add_argument("--uplinks", default="1,2",
                   help="relay comparisons: with 1 uplink, 2 uplinks or both (default 1,2)")
    p.add_argument("--rounds", type=int, help="rounds (default 3, 1 with --quick)")
    p.add_argument("--boards", type=int,
                   help="simulated boards of the linkhub scale run (default 10000, 200 with --quick)")
    p.add_argument("--markdown", action="store_true",
                   help="also print the README's short table in Markdown")
    p.add_argument("--json", help="where to write the raw samples "
                   "(default /tmp/farwire-bench-TIME.json)")
    args = p.parse_args()
    if args.quick:
        Config.make_quick()
    if args.rounds:
        Config.rounds = args.rounds
    if args.boards:
        Config.hub_boards = args.boards
    Config.series = tuple(s for s in args.series.split(",") if s)
    if any(s not in SERIES for s in Config.series):
        raise SystemExit("--series takes gate, nogate")
    try:
        Config.uplinks = tuple(int(n) for n in args.uplinks.split(",") if n)
    except ValueError:
        Config.uplinks = ()
    if not Config.uplinks or any(n not in (1, 2) for n in Config.uplinks):
        raise SystemExit("--uplinks takes 1, 2 or 1,2")
    chosen = parse_only(args.only)
    if os.geteuid() != 0:
        raise SystemExit("run as root (network namespaces, serial lock files)")
    if not shutil.which("socat"):
        raise SystemExit("socat is not installed")
    bindir = os.path.abspath(args.bindir)
    for name in DAEMONS:
        if name == HUB and "linkhub" not in chosen:
            continue
        if not os.access(os.path.join(bindir, name), os.X_OK):
            raise SystemExit("%s: no program %s" % (bindir, name))
    json_path = args.json or "/tmp/farwire-bench-%s.json" % time.strftime("%Y%m%d-%H%M%S")
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)

    res = Results()
    timings = {}
    failed = []
    base = scratch_dir()
    info = machine()
    print("farwire benchmark: %s, %d round%s; machine: %d CPU (%s), kernel %s; %s" % (
        " ".join(sys.argv), Config.rounds, "s" if Config.rounds > 1 else "",
        info["nproc"], info["cpu"], info["kernel"], info["socat"]), flush=True)
    try:
        for name in chosen:
            note("== %s" % name)
            t0 = time.monotonic()
            try:
                RUNNERS[name](res, bindir, base)
            except BenchError as e:
                failed.append(name)
                note("%s failed: %s" % (name, e))
            timings[name] = round(time.monotonic() - t0, 1)
            note("   %s took %.1f s" % (name, timings[name]))
    except KeyboardInterrupt:
        note("interrupted; cleaning up")
        JANITOR.clean()
        return 130
    finally:
        JANITOR.clean()

    floor = harness_floor() if any(n in chosen for n in GROUPS["serial"]) else None
    rows = res.rows()
    if rows:
        print()
        print_table(rows)
    if res.facts:
        print()
        socat_size = res.facts[-1][1]
        lines = [("program", "stripped size (bytes)", "size / socat's", "NEEDED")] + [
            (n, str(size), "%.2f" % (size / socat_size), needed) for n, size, needed in res.facts]
        widths = [max(len(l[i]) for l in lines) for i in range(4)]
        for l in lines:
            print("  ".join((l[i].rjust if i in (1, 2) else l[i].ljust)(widths[i])
                            for i in range(4)).rstrip())
    if res.targets:
        print()
        print_targets(res.targets)
    for line in res.notes:
        print("note: " + line)
    print()
    print("ratio = farwire / socat; latency rows: median or p99 over all samples of all rounds; "
          "other rows: median of the per-round values.")
    if floor:
        print("harness floor (the benchmark alone, median): loopback TCP hop %.1f us, pty hop "
              "%.1f us; a serial latency sample crosses one of each." % (floor["tcp"], floor["pty"]))
    if args.markdown:
        print()
        print_markdown(rows, res.facts)
    print("time per comparison (s): " + ", ".join("%s %.1f" % kv for kv in timings.items()))
    missing = [(c, f) for c, f, u, a, b, na, nb in rows if a is None or b is None]
    with open(json_path, "w") as f:
        json.dump({"command": sys.argv, "machine": info, "rounds": Config.rounds,
                   "quick": Config.quick, "seconds": timings,
                   "targets": [dict(zip(("target", "value", "unit", "limit", "verdict"), r))
                               for r in target_rows(res.targets)], "harness_floor_us": floor, "figures": res.json(),
                   "static": [{"program": n, "stripped_size": size, "needed": needed.split()}
                              for n, size, needed in res.facts]}, f, indent=1)
    print("raw samples: %s" % json_path)
    if "static" in chosen and len(res.facts) != len(present_daemons(bindir)) + 1:
        missing.append(("static", "sizes"))
    if failed or missing:
        note("incomplete: failed %s; figures without a value: %s" % (failed, missing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
