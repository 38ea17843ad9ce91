"""streamhop-cli against two loopback servers owned by the test.

Every run passes --localip/--dstip 127.0.0.1 and the ports of the test's own
servers: the program is never started with its default remote address.
"""
import fcntl
import os
import re
import signal
import struct
import socket
import subprocess
import threading
import time
import tty

import pytest

import conftest
from conftest import UUID, program, strerror, wait_for
from fw_serial import build_cutsend, expected_head, free_port

HEADER = expected_head()  # --nic lo


class Server:
    """A loopback TCP listener; accept() hands out the connections one by one."""

    def __init__(self, rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            # Inherited by accepted sockets: keeps the window small.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.conns = []

    def accept(self, timeout=10.0):
        self.sock.settimeout(timeout)
        conn, _ = self.sock.accept()
        conn.settimeout(timeout)
        self.conns.append(conn)
        return conn

    def nothing_pending(self, within):
        """True when no connection arrives within `within` seconds."""
        self.sock.settimeout(within)
        try:
            conn, _ = self.sock.accept()
        except socket.timeout:
            return True
        conn.close()
        return False

    def close(self):
        for c in self.conns:
            c.close()
        self.sock.close()


@pytest.fixture
def servers():
    made = []

    def make(**kw):
        s = Server(**kw)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def start_cli(daemon, localport, dstport, debug=7, **kw):
    return daemon("streamhop-cli", "--nic", "lo", "--uuid", UUID,
                  "--localip", "127.0.0.1", "--localport", str(localport),
                  "--dstip", "127.0.0.1", "--dstport", str(dstport),
                  "--debug", str(debug), **kw)


def pair(daemon, local, remote, **kw):
    """Start the program and take its first local and remote connection."""
    d = start_cli(daemon, local.port, remote.port, **kw)
    lconn = local.accept()
    rconn = remote.accept()
    return d, lconn, rconn


def recv_exactly(conn, count, timeout=10.0):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count:
        conn.settimeout(max(0.01, deadline - time.monotonic()))
        piece = conn.recv(count - len(data))
        if not piece:
            break
        data += piece
    return data


def recv_until_eof(conn, timeout=10.0):
    data = b""
    conn.settimeout(timeout)
    while True:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece


def frames(stream):
    """Split the remote stream into payloads; each must follow a whole header."""
    assert stream.startswith(HEADER), stream[:40]
    parts = stream.split(HEADER)
    assert parts[0] == b""
    return parts[1:]


def payload(count):
    # Capital letters never contain a header byte sequence.
    period = bytes(65 + (i * 7) % 26 for i in range(26))
    return (period * (count // 26 + 1))[:count]


def quiet(conn, within=0.3):
    """True when nothing arrives on conn for `within` seconds."""
    conn.settimeout(within)
    try:
        return conn.recv(100) == b""
    except socket.timeout:
        return True


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def test_local_bytes_reach_remote_behind_one_header(daemon, servers):
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote)
    d.wait_log(r"link_local_server\(\): DEBUG: connect local server ok, fd \d+")
    d.wait_log(r"link_remote_server\(\): DEBUG: connect remote server ok, fd \d+")
    # No registration: nothing goes out before the local server speaks.
    assert quiet(rconn)

    lconn.sendall(b"0123456789")
    first = rconn.recv(100)
    assert first == HEADER + b"0123456789"
    d.wait_log(r"rsend_cb\(\): DEBUG: sendmsg ret = 38 bytes")
    # A write to a reset connection must not end the process.
    with open("/proc/%d/status" % d.pid) as f:
        sigign = int(re.search(r"SigIgn:\s*([0-9a-f]+)", f.read()).group(1), 16)
    assert sigign & (1 << (signal.SIGPIPE - 1))

    # Bytes that arrive while the remote side is stalled go out together.
    d.wait_log(r"stop send rio")
    lconn.sendall(b"abc")
    assert recv_exactly(rconn, 31) == HEADER + b"abc"
    assert d.alive()


def test_remote_bytes_printed_in_pieces_of_eight(daemon, servers):
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote)
    rconn.sendall(b"ABCDEFGHIJKLMNOPQRST")
    d.wait_out(r"recv buf QRST\n")
    lines = [l for l in d.stdout().splitlines() if l.startswith("recv buf")]
    assert lines == ["recv buf ABCDEFGH", "recv buf IJKLMNOP", "recv buf QRST"]
    # Text stops at a zero byte and never runs past the bytes received.
    rconn.sendall(b"xy\0zzzzz")
    d.wait_out(r"recv buf xy\n")
    # Nothing is passed to the local server.
    assert quiet(lconn)


def read_payload(conn, count, timeout=30.0):
    """Read the remote stream until it holds `count` payload bytes."""
    stream = bytearray()
    deadline = time.monotonic() + timeout
    while True:
        conn.settimeout(0.3)
        try:
            piece = conn.recv(1 << 20)
            assert piece, "remote stream ended early"
            stream += piece
            if len(stream) < count:
                continue
        except socket.timeout:
            pass
        if len(stream) - len(HEADER) * bytes(stream).count(HEADER) >= count:
            return frames(bytes(stream))
        assert time.monotonic() < deadline, "remote stream incomplete"


def test_full_buffer_waits_without_spinning_and_loses_nothing(daemon, servers):
    local, remote = servers(), servers(rcvbuf=4096)
    d, lconn, rconn = pair(daemon, local, remote)
    data = payload(3000)
    lconn.sendall(data)
    parts = read_payload(rconn, 3000)
    assert b"".join(parts) == data
    # The first read takes the whole room of 2047 bytes and no more.
    reads = [int(n) for n in re.findall(r"local recv (\d+)\n", d.stderr())]
    assert reads[0] == 2047 and sum(reads) == 3000

    # A remote side that stops reading: kernel buffers fill, sendmsg writes
    # short, the relay buffer fills and local reads pause.
    big = payload(16 << 20)
    fulls = d.stderr().count("buf full and return")
    lconn.setblocking(False)
    sent = 0
    deadline = time.monotonic() + 20
    while d.stderr().count("buf full and return") == fulls:
        assert time.monotonic() < deadline, "relay buffer never filled"
        try:
            sent += lconn.send(big[sent:sent + 65536])
        except BlockingIOError:
            time.sleep(0.02)
    # Stalled with a full buffer: the program sleeps instead of polling.
    # (A last kernel buffer may still drain at first.)
    time.sleep(0.2)
    before, fulls = cpu_ticks(d.pid), d.stderr().count("buf full and return")
    time.sleep(1.0)
    print("ticks", cpu_ticks(d.pid) - before, "fulls", d.stderr().count("buf full and return") - fulls)
    assert cpu_ticks(d.pid) - before <= 10
    assert d.stderr().count("buf full and return") - fulls <= 1

    # The reader resumes: everything arrives in order, each frame behind a
    # whole header and never more than 2047 payload bytes.
    print("stalled after %d bytes" % sent)
    parts = read_payload(rconn, sent)
    assert b"".join(parts) == big[:sent]
    assert max(map(len, parts)) <= 2047
    assert d.alive()


def test_short_writes_finish_the_header_and_lose_nothing(daemon, servers, tmp_path):
    shim = build_cutsend(str(tmp_path))
    if shim is None:
        pytest.skip("no C compiler for the send-cutting library")
    # Writes cut inside the header at several places, an EAGAIN, writes cut
    # inside the payload, then whole writes again.
    env = {"LD_PRELOAD": shim, "FW_CUTS": "5,30,1,60,0,27,28,29,1000,3,2,1,22",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote, env=env)
    data = payload(5000)
    for i in range(0, len(data), 500):
        lconn.sendall(data[i:i + 500])
        time.sleep(0.01)
    parts = read_payload(rconn, len(data))
    # Every frame starts with a whole header; no byte lost, none twice.
    assert b"".join(parts) == data
    rets = [int(n) for n in re.findall(r"sendmsg ret = (\d+) bytes", d.stderr())]
    assert {1, 2, 3, 5} <= set(rets)
    assert "sendmsg failed: %s" % strerror("EAGAIN") in d.stderr()
    assert d.alive()


def test_remote_close_tears_down_and_reconnects(daemon, servers):
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote)
    rconn.close()
    d.wait_log(r"rrecv_cb\(\): DEBUG: remote server closed")
    assert recv_until_eof(lconn) == b""  # the local connection went too
    d.wait_out(r"retry connect\n")
    t0 = time.monotonic()
    lconn2 = local.accept()
    remote.accept()
    assert 0.8 < time.monotonic() - t0 < 3.0
    lconn2.sendall(b"again")
    assert recv_exactly(remote.conns[-1], 33) == HEADER + b"again"


def test_local_close_tears_down_and_flushes_last_bytes(daemon, servers):
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote)
    # Bytes sent right before the close still reach the remote server.
    lconn.sendall(b"last words")
    lconn.close()
    assert recv_until_eof(rconn) == HEADER + b"last words"
    d.wait_log(r"lrecv_cb\(\): DEBUG: local recv 0 bytes, close connect")
    d.wait_out(r"retry connect\n")
    local.accept()
    remote.accept()
    assert d.stdout().count("retry connect") == 1


def test_no_local_server_never_contacts_remote(daemon, servers):
    remote = servers()
    d = start_cli(daemon, free_port(), remote.port)
    d.wait_log(r"Could not getaddrinfo\n", timeout=10, count=2)
    assert "link_local_server(): DEBUG: connect local server fail and close(fd)" in d.stderr()
    assert remote.nothing_pending(0.5)
    assert "remote server" not in d.stderr()


def test_remote_down_closes_each_local_connection(daemon, servers):
    local = servers()
    d = start_cli(daemon, local.port, free_port())
    for _ in range(2):
        conn = local.accept()
        # The cycle's local socket is closed before the pause, not kept.
        assert recv_until_eof(conn, timeout=3) == b""
    assert "connect remote server fail and close(fd)" in d.stderr()


def test_no_descriptor_leaked_over_many_cycles(daemon, servers):
    local, remote = servers(), servers()
    d, lconn, rconn = pair(daemon, local, remote, debug=4)
    # Settled in the relay state of the first pair.
    lconn.sendall(b"x")
    recv_exactly(rconn, 29)
    fds = d.fd_count()
    cycles = 20
    for i in range(cycles):
        # Ends of every kind: remote close, local close, a peer reset.
        if i % 3 == 0:
            rconn.close()
        elif i % 3 == 1:
            lconn.close()
        else:
            rconn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            lconn.sendall(b"y" * 100)
            rconn.close()
        lconn = local.accept()
        rconn = remote.accept()
    lconn.sendall(b"z")
    assert recv_exactly(rconn, 29) == HEADER + b"z"
    assert d.stdout().count("retry connect") == cycles
    assert d.fd_count() == fds
    assert d.alive()


class OnStdout(conftest.Daemon):
    """streamhop-cli with its standard output on a descriptor of the test's
    choosing (the far end of a pipe, terminal or socket that nobody reads)."""

    def __init__(self, args, tmp_path, out_fd, user=None):
        self.name = "streamhop-cli"
        self.err_path = os.path.join(str(tmp_path), "cli.%d.stderr" % id(self))
        self.out_path = os.devnull
        self._err = open(self.err_path, "wb")
        self._out = open(os.devnull, "wb")
        kw = dict(user=user, group=user, extra_groups=[]) if user is not None else {}
        self.proc = subprocess.Popen(program("streamhop-cli") + list(args), stdout=out_fd,
                                     stderr=self._err, stdin=subprocess.DEVNULL, **kw)


def counted(n, first=0):
    """n bytes of numbered 8-byte tokens: any piece of it can be placed."""
    return b"".join(b"%07d," % i for i in range(first, first + n // 8 + 1))[:n]


def stdout_of(kind):
    """(reader end, writer end) of a standard output of this kind."""
    if kind == "terminal":
        master, slave = os.openpty()
        tty.setraw(slave)  # lines as written, no CR added
        return master, slave
    if kind == "socket":
        a, b = socket.socketpair()
        return a.detach(), b.detach()
    r, w = os.pipe()
    fcntl.fcntl(w, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)  # full sooner
    return r, w


def vm_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s*(\d+)", f.read()).group(1))


def unread_by_peer(sock):
    """Bytes waiting in the receive queue of sock's peer (on this host)."""
    host, port = sock.getpeername()
    me = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)
    with open("/proc/net/tcp") as f:
        for row in f.read().splitlines()[1:]:
            fields = row.split()
            if fields[1] == me and fields[3] == "01":  # ESTABLISHED
                return int(fields[4].split(":")[1], 16)
    raise AssertionError("no socket " + me)


def drained(reader, stop):
    """What a thread reads from `reader` until it ends or `stop` is set."""
    got = bytearray()

    def drain():
        while not stop.is_set():
            try:
                piece = os.read(reader, 65536)
            except OSError:
                return
            if not piece:
                return
            got.extend(piece)
    threading.Thread(target=drain, daemon=True).start()
    return got


@pytest.mark.parametrize("kind", ["pipe", "pipe of another user", "terminal", "socket"])
def test_stdout_nobody_reads_holds_up_neither_direction(servers, tmp_path, kind):
    """What the remote server sent was printed with a blocking write: once a
    pipe nobody read was full, the loop stopped, local to remote included."""
    if kind == "pipe of another user" and (conftest.WRAP or os.geteuid() != 0):
        pytest.skip("needs root to start the program as another user, on the native build")
    reader, writer = stdout_of(kind)
    local, remote = servers(), servers()
    d = OnStdout(["--nic", "lo", "--uuid", UUID, "--localip", "127.0.0.1",
                  "--localport", str(local.port), "--dstip", "127.0.0.1",
                  "--dstport", str(remote.port), "--debug", "4"], tmp_path, writer,
                 user=65534 if kind == "pipe of another user" else None)
    os.close(writer)
    try:
        lconn, rconn = local.accept(), remote.accept()
        # The description stdout shares with others (a terminal with its
        # shell, stderr on the same pipe) stays blocking.
        with open("/proc/%d/fdinfo/1" % d.pid) as f:
            flags = int(re.search(r"flags:\s*(\d+)", f.read()).group(1), 8)
        assert not flags & os.O_NONBLOCK
        # A pipe is written through a description of its own where it can
        # be opened; a pipe of another user cannot.
        target = os.readlink("/proc/%d/fd/1" % d.pid)
        same = [f for f in os.listdir("/proc/%d/fd" % d.pid)
                if os.readlink("/proc/%d/fd/%s" % (d.pid, f)) == target]
        if kind.startswith("pipe"):
            assert len(same) == (1 if kind == "pipe of another user" else 2)
        rss = vm_rss_kb(d.pid)

        # Standard output fills up, and what the remote server sends keeps
        # being taken.
        half = 1 << 19
        down = counted(2 * half)
        rconn.sendall(down[:half])
        wait_for(lambda: unread_by_peer(rconn) == 0, what="the remote bytes taken")
        # Both servers send at once while nobody reads standard output.
        size = 1 << 20
        up = payload(size)
        senders = [threading.Thread(target=c.sendall, args=(b,), daemon=True)
                   for c, b in ((lconn, up), (rconn, down[half:]))]
        for t in senders:
            t.start()
        parts = read_payload(rconn, size, timeout=20)
        assert b"".join(parts) == up
        for t in senders:
            t.join(10)
        wait_for(lambda: unread_by_peer(rconn) == 0, what="the remote bytes taken")
        # Lines that found no room were dropped, not kept.
        assert vm_rss_kb(d.pid) - rss < 1024
        assert d.alive()

        # The reader comes back: the lines it gets are in order, and the
        # ones it missed are counted.
        stop = threading.Event()
        got = drained(reader, stop)
        # Said once the queue has drained.
        d.wait_log(r"WARNING: \d+ lines for standard output dropped")
        dropped = int(re.search(r"(\d+) lines for standard output dropped", d.stderr()).group(1))
        last = counted(64, first=len(down) // 8 + 1)
        rconn.sendall(last)
        wait_for(lambda: ("recv buf %s\n" % last[-8:].decode()).encode() in got,
                 what="the last line")
        stop.set()
        lines = bytes(got).decode().splitlines()
        assert all(l.startswith("recv buf ") for l in lines)
        stream, pos = down + last, 0
        for l in lines:
            piece = l[len("recv buf "):].encode()
            at = stream.find(piece, pos)
            assert at >= 0, "line out of order: %r" % l
            pos = at + len(piece)
        assert dropped > 0
        assert 8 * (len(lines) + dropped) >= len(stream)
        assert d.stderr().count("lines for standard output dropped") == 1
    finally:
        d.stop()
        os.close(reader)


def test_pipe_unread_for_ten_seconds_keeps_local_to_remote_at_its_rate(servers, tmp_path):
    """A pipe on standard output that nobody read for 10 s, both servers
    sending about 100 KB/s: local to remote stopped as soon as it was full."""
    reader, writer = stdout_of("pipe")
    local, remote = servers(), servers()
    d = OnStdout(["--nic", "lo", "--uuid", UUID, "--localip", "127.0.0.1",
                  "--localport", str(local.port), "--dstip", "127.0.0.1",
                  "--dstport", str(remote.port), "--debug", "4"], tmp_path, writer)
    os.close(writer)
    try:
        lconn, rconn = local.accept(), remote.accept()
        rss = vm_rss_kb(d.pid)
        rate, seconds = 100 * 1024, 10
        up, down = payload(rate * seconds), counted(rate * seconds)

        def paced(conn, data):
            start, step = time.monotonic(), rate // 10
            for i in range(0, len(data), step):
                conn.sendall(data[i:i + step])
                delay = start + (i + step) / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        senders = [threading.Thread(target=paced, args=a, daemon=True)
                   for a in ((lconn, up), (rconn, down))]
        for t in senders:
            t.start()
        # Whatever was sent locally reaches the remote server while the
        # pipe stays full; the slack covers a loaded machine, not a stall.
        parts = read_payload(rconn, len(up), timeout=seconds + 10)
        assert b"".join(parts) == up
        for t in senders:
            t.join(10)
        assert vm_rss_kb(d.pid) - rss < 1024
        # Drained at last: what comes out is in the order it was sent.
        got = drained(reader, threading.Event())
        d.wait_log(r"WARNING: \d+ lines for standard output dropped")
        last = counted(64, first=len(down) // 8 + 1)
        rconn.sendall(last)
        wait_for(lambda: ("recv buf %s\n" % last[-8:].decode()).encode() in got,
                 what="the last line")
        stream, pos = down + last, 0
        for line in bytes(got).decode().splitlines():
            piece = line[len("recv buf "):].encode()
            at = stream.find(piece, pos)
            assert at >= 0, "line out of order: %r" % line
            pos = at + len(piece)
        assert d.alive()
    finally:
        d.stop()
        os.close(reader)
