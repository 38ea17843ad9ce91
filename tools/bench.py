#!/usr/bin/env python3
"""Side-by-side benchmark: every farwire daemon against socat on the same work.

    tools/bench.py build/bin                     # every comparison, 3 rounds
    tools/bench.py --quick build/bin             # one round, small loads (CI)
    tools/bench.py --only serstream build/bin    # one comparison (see --help)

Run as root (network namespaces, lock files under /var/run).  It builds
nothing: BINDIR holds the five programs.  For each comparison the two
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
UUID = "00112233-4455-6677-8899-aabbccddeeff"
# Payload bytes: the digits.  The link header starts with "k", which never
# occurs in a payload, so in a daemon's stream every "k" begins a header.
DIGITS = b"0123456789"
HZ = os.sysconf("SC_CLK_TCK")
DAEMONS = ("serstream", "serdgram", "streamhop", "dgramhop", "streamhop-cli")

# The system calls a process waits in when it has nothing to do (event loop
# or select), per architecture; used to start each latency sample on an idle
# program (a daemon's turnaround script may still be running otherwise).
IDLE_SYSCALLS = {
    "x86_64": {"7", "23", "232", "270", "271", "281", "441"},
    "aarch64": {"22", "72", "73", "441"},
}.get(platform.machine())

COMPARISONS = ("serstream", "serdgram", "streamhop-cli", "streamhop", "dgramhop", "static",
               "linkhub-relays")
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

    @classmethod
    def make_quick(cls):
        cls.quick = True
        cls.rounds = 1
        cls.samples = 30
        cls.l2s_bytes = 256 << 10
        cls.s2l_bytes = 64 << 10
        cls.stream_bytes = 1 << 20
        cls.datagrams = 500


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


class SerialRig:
    """One program between a pty and a loopback server (TCP or UDP), with the
    benchmark on both ends in one thread."""

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
            data = self.conn.recv(262144)
            if not data:
                raise BenchError("%s closed the connection" % self.who)
            before = self.counter.count
            self.counter.feed(data)
            return self.counter.count - before
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
            msg = (b"\0" * HEAD_LEN + data) if self.framed else data
            self.conn.sendall(msg)
        else:
            self.srv.sendto(data, self.peer)

    def l2s(self, msg, timeout=5.0):
        """Write msg to the line; return when its bytes reached the server."""
        os.write(self.line.master, msg)
        got = 0
        while got < len(msg):
            if not self.spoll.poll(timeout * 1000):
                self.prog.check()
                raise BenchError("%s: %d of %d bytes reached the server" % (self.who, got, len(msg)))
            got += self.recv_payload()

    def s2l(self, msg, timeout=5.0):
        self.send_chunk(msg)
        got = 0
        while got < len(msg):
            if not self.line.poll.poll(timeout * 1000):
                self.prog.check()
                raise BenchError("%s: %d of %d bytes reached the line" % (self.who, got, len(msg)))
            got += len(os.read(self.line.master, 65536))

    def latency(self, direction, size, count):
        msg = payload(size)
        step = self.l2s if direction == "l2s" else self.s2l
        clock = time.perf_counter_ns
        out = []
        for _ in range(count):
            self.prog.wait_idle()
            t0 = clock()
            step(msg)
            out.append(clock() - t0)
        return out

    def bulk_l2s(self, total, deadline_s=30.0):
        """Write total bytes to the line as fast as it takes them; returns
        (seconds, bytes at the server)."""
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
                    got += self.recv_payload()
        return time.monotonic() - t0, got

    def bulk_s2l(self, total, deadline_s=30.0):
        """Send total bytes as server chunks of 1424 payload bytes, at most
        16 chunks ahead of the line; returns (seconds, bytes on the line,
        whether they arrived intact)."""
        chunk = payload(1424)
        window = 16 * len(chunk)
        sent = got = 0
        intact = True
        t0 = time.monotonic()
        end = t0 + deadline_s
        while got < total and time.monotonic() < end:
            while sent < total and sent - got < window:
                n = min(len(chunk), total - sent)
                self.send_chunk(chunk[:n])
                sent += n
            if self.line.poll.poll(1000):
                data = os.read(self.line.master, 65536)
                got += len(data)
                intact = intact and only_digits(data)
            else:
                self.prog.check()
        return time.monotonic() - t0, got, intact and got == total

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
    deadline = time.monotonic() + timeout
    while True:
        with inside(ns):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.connect(("127.0.0.1", port))
            JANITOR.socks.append(s)
            return s
        except OSError:
            s.close()
            prog.check()
            if time.monotonic() > deadline:
                raise BenchError("the relay's local port %d never listened" % port)
            time.sleep(0.02)


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
                    # The relay is up once a probe comes through.
                    remote.settimeout(0.2)
                    deadline = time.monotonic() + 10
                    while True:
                        client.sendto(payload(8), ("127.0.0.1", port))
                        try:
                            remote.recvfrom(65536)
                            break
                        except socket.timeout:
                            prog.check()
                            if time.monotonic() > deadline:
                                raise BenchError("no datagram came through %s" % who)
                    time.sleep(0.1)
                    remote.setblocking(False)
                    with contextlib.suppress(BlockingIOError):
                        while True:
                            remote.recv(65536)
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
        for rnd in range(Config.rounds):
            for who in ("farwire", "socat"):
                paths = 2 if who == "farwire" else 1
                # The stream.
                with inside(topo.rem):
                    sink = listener(("127.0.0.1", tport))
                if who == "farwire":
                    server = Program([hub_bin, "-f", os.path.join(base, "none.cfg"),
                                      "--listen", "%s:%d" % (REMOTE, hport), "--group", UUID,
                                      "--device", "%s backend-tcp:127.0.0.1:%d "
                                      "backend-udp:127.0.0.1:%d" % (mac, tport, uport),
                                      "--status", os.path.join(scratch_dir(), "status.sock"),
                                      "--debug", "3"], prefix=["ip", "netns", "exec", topo.rem])
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
                    server = Program([hub_bin, "-f", os.path.join(base, "none.cfg"),
                                      "--listen", "%s:%d" % (REMOTE, hport), "--group", UUID,
                                      "--device", "%s backend-tcp:127.0.0.1:%d "
                                      "backend-udp:127.0.0.1:%d" % (mac, tport, uport),
                                      "--status", os.path.join(scratch_dir(), "status.sock"),
                                      "--debug", "3"], prefix=["ip", "netns", "exec", topo.rem])
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
                    usink.settimeout(0.2)
                    deadline = time.monotonic() + 10
                    probe = 0
                    while True:
                        # Distinct probes: linkhub would take repeats within
                        # its window for copies.
                        client.sendto(b"%08d" % probe, ("127.0.0.1", 7400))
                        probe += 1
                        try:
                            usink.recvfrom(65536)
                            break
                        except socket.timeout:
                            server.check()
                            if time.monotonic() > deadline:
                                raise BenchError("no datagram came through %s" % who)
                    time.sleep(0.3)
                    usink.setblocking(False)
                    with contextlib.suppress(BlockingIOError):
                        while True:
                            usink.recv(65536)
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


def run_static(res, bindir, base):
    socat = shutil.which("socat")
    s_size, s_needed = stripped_size(socat, base), elf_needed(socat)
    for name in DAEMONS:
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
)


def print_markdown(rows, facts):
    by_key = {(r[0], r[1]): r for r in rows}
    print("| program | figure | unit | farwire | socat | ratio |")
    print("|---|---|---|---:|---:|---:|")
    for key in SHORT:
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


RUNNERS = {"serstream": run_serstream, "serdgram": run_serdgram, "streamhop-cli": run_cli,
           "streamhop": run_streamhop, "dgramhop": run_dgramhop, "static": run_static,
           "linkhub-relays": run_hub_relays}


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
    p.add_argument("bindir", help="directory holding the five programs (e.g. build/bin)")
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
    p.add_argument("--markdown", action="store_true",
                   help="also print the README's short table in Markdown")
    p.add_argument("--json", help="where to write the raw samples "
                   "(default /tmp/farwire-bench-TIME.json)")
    args = p.parse_args()
    if args.quick:
        Config.make_quick()
    if args.rounds:
        Config.rounds = args.rounds
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
                   "quick": Config.quick, "seconds": timings, "harness_floor_us": floor, "figures": res.json(),
                   "static": [{"program": n, "stripped_size": size, "needed": needed.split()}
                              for n, size, needed in res.facts]}, f, indent=1)
    print("raw samples: %s" % json_path)
    if "static" in chosen and len(res.facts) != len(DAEMONS) + 1:
        missing.append(("static", "sizes"))
    if failed or missing:
        note("incomplete: failed %s; figures without a value: %s" % (failed, missing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
