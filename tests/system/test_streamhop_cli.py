"""streamhop-cli against two loopback servers owned by the test.

Every run passes --localip/--dstip 127.0.0.1 and the ports of the test's own
servers: the program is never started with its default remote address.
"""
import os
import re
import signal
import struct
import socket
import time

import pytest

from conftest import UUID, strerror
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
