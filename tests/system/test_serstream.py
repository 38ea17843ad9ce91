"""serstream against a pty, a loopback TCP server and a recording linegate.sh."""
import fcntl
import os
import re
import signal
import struct
import termios
import threading
import time

import pytest

import conftest

from conftest import UUID, errno_value, run, strerror, wait_for
from fw_serial import HEAD_LEN, line, TcpServer, build_cutsend, expected_head, free_port


@pytest.fixture
def server():
    srv = TcpServer()
    yield srv
    srv.close()


def args(line, port, *extra):
    return ["--dev", line.dev, "--nic", "lo", "--uuid", UUID, "--tcpserver", "127.0.0.1",
            "--tcpport", str(port), "-f", os.path.join(line.dir, "none.cfg"),
            "--debug", "7"] + list(extra)


def start(daemon, line, server, hold=False, *extra):
    d = daemon("serstream", *args(line, server.port, *extra), env=line.env(hold))
    server.wait_conn(1)
    server.wait_bytes(HEAD_LEN)
    return d


def test_frames_both_ways(daemon, line, server):
    head = expected_head()
    d = start(daemon, line, server, True)
    assert server.received() == head, "registration header alone comes first"

    # Serial to server: one frame of header plus the 10 bytes.
    line.write(b"0123456789")
    got = server.wait_bytes(2 * HEAD_LEN + 10)
    assert got == head + head + b"0123456789"

    # Chunks of 28 bytes or fewer carry no data: nothing for the line, no
    # direction change, and the socket keeps being read.
    server.send(b"H" * HEAD_LEN)
    d.wait_log(r"recv 28 Bytes")
    time.sleep(0.1)
    server.send(b"h" * 10)
    d.wait_log(r"recv 10 Bytes")
    assert line.gate_calls() == []
    assert not line.pending(0.1)

    # Server to serial: 28 bytes dropped, 72 written, between "in" and "out".
    chunk = bytes(range(100))
    server.send(chunk)
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    assert not line.pending(0.2), "bytes reached the line before linegate.sh in"
    line.release_hold()
    wait_for(lambda: line.gate_calls() == ["in", "out"], what="linegate.sh out")
    assert line.pending(0), "linegate.sh out ran before the bytes were written"
    assert line.read(72) == chunk[HEAD_LEN:]
    assert not line.pending(0.1)

    # Both directions still work after the exchange.
    line.write(b"again")
    assert server.wait_bytes(3 * HEAD_LEN + 15)[-(HEAD_LEN + 5):] == head + b"again"
    assert "txbuf is empty" not in d.stderr()
    assert "rxbuf is empty" not in d.stderr()


def test_reconnects_without_loss_or_leak(daemon, line, server):
    """Server closes the connection 21 times: every connection starts with
    the registration, bytes written meanwhile reach the next connection,
    and no descriptor is left behind."""
    head = expected_head()
    d = start(daemon, line, server)
    cycles = 21
    base_fds = None
    pending = b""
    total = 0
    for i in range(cycles):
        server.wait_conn(i + 1)
        payload = b"cycle%02d" % i
        got = server.wait_bytes(HEAD_LEN, i)
        assert got[:HEAD_LEN] == head
        line.write(payload)
        want = head + (head + pending if pending else b"")
        got = server.wait_bytes(len(want) + HEAD_LEN + len(payload), i)
        data = got[HEAD_LEN:]
        # Frames of this connection: header + bytes, possibly several.
        text = data.replace(head, b"")
        assert text == pending + payload, "connection %d carried %r" % (i, got)
        assert data.startswith(head)
        if i == 1:
            base_fds = d.fd_count()
        server.drop(i)
        total += 1
        d.wait_log(r"tcpcli going to reconnect tcp server", count=total)
        # Written while disconnected: waits in the terminal driver.
        pending = b"gap%02d" % i
        line.write(pending)
    server.wait_conn(cycles + 1)
    got = server.wait_bytes(2 * HEAD_LEN + len(pending), cycles)
    assert got == head + head + pending
    assert d.fd_count() == base_fds
    assert d.stderr().count("close and free tcp") == cycles
    assert d.alive()


def test_cut_headers_are_completed_before_anything_else(daemon, line, server):
    """Sends that take part of a header (registration or frame), exactly the
    header, or the header and a little payload: the server still sees whole
    headers, each followed by payload or by the next header."""
    lib = build_cutsend(line.dir)
    if lib is None:
        pytest.skip("no C compiler for the preload library")
    head = expected_head()
    env = line.env()
    env["LD_PRELOAD"] = lib
    # registration 10 + 5 + rest; frame: EAGAIN, 20, 8 (header done), 3, rest
    # frame: 27, 1 (header done, nothing more), 2, rest
    env["FW_CUTS"] = "10,5,-1,0,20,8,3,-1,27,1,2,-1"
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    d = daemon("serstream", *args(line, server.port), env=env)
    server.wait_conn(1)
    assert server.wait_bytes(HEAD_LEN) == head
    line.write(b"0123456789")
    server.wait_bytes(2 * HEAD_LEN + 10)
    d.wait_log(r"sock_send_cb ret 35", timeout=5)
    line.write(b"abcdefghij")
    server.wait_bytes(5 * HEAD_LEN + 20)
    time.sleep(0.2)
    got = server.received()
    assert got == (head + head + b"012" + head + b"3456789"
                   + head + b"ab" + head + b"cdefghij"), got
    sends = [int(n) for n in re.findall(r"sock_send_cb ret (-?\d+)", d.stderr())]
    assert sends == [5, 13, -1, 20, 8, 3, HEAD_LEN + 7, 27, 1, 2, HEAD_LEN + 8]


def test_back_pressure_keeps_frames_whole(daemon, line):
    """A slow server keeps the socket full, so sends meet EAGAIN and the
    kernel takes frames in pieces: the stream must still be header, payload,
    header, payload, ... with every serial byte once, in order."""
    srv = TcpServer(rcvbuf=4096)
    srv.read_size = 700
    srv.read_delay = 0.0005
    try:
        head = expected_head()
        d = start(daemon, line, srv)
        data = bytes(b"0123456789"[i % 10] for i in range(300000))
        writer = threading.Thread(target=line.write_all, args=(data,))
        writer.start()
        wait_for(lambda: len(srv.received().replace(head, b"")) >= len(data), timeout=60,
                 what="all serial bytes at the server")
        writer.join(10)
        got = srv.received()
        pieces = got.split(head)
        assert pieces[0] == b"" and pieces[1] == b"", "registration first"
        assert all(p and p.isdigit() for p in pieces[2:]), "a cut header in the stream"
        assert b"".join(pieces) == data
        assert len(pieces) > 3
    finally:
        srv.close()


def test_bytes_read_after_the_connection_died_follow_the_next_registration(daemon, line, server):
    """The connection dies while a server chunk waits for the line: the serial
    bytes read then fail to go out, stay queued, and lead the next
    connection right behind its registration."""
    head = expected_head()
    d = start(daemon, line, server, True)
    server.send(head + b"to the line")
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    server.reset(0)
    line.write(b"queued bytes")
    time.sleep(0.2)
    line.release_hold()
    assert line.read(11) == b"to the line"
    server.wait_conn(2)
    got = server.wait_bytes(2 * HEAD_LEN + 12, 1)
    assert got == head + head + b"queued bytes"
    assert "send err : " in d.stderr()
    assert line.gate_calls() == ["in", "out"]


def test_adapter_disappears(daemon, line, server):
    d = start(daemon, line, server)
    line.hang_up()
    assert d.wait_exit(10) == 255
    err = d.stderr()
    assert "ERR: recv failed: %s(%d)" % (strerror("EIO"), errno_value("EIO")) in err
    assert "ERR: free tcp fd:" in err
    assert "ERR: serial error, free serial fd:" in err
    assert "ERR: serial error, close and free serial" in err
    assert "ERR: ttl: %s error, exit" % line.dev in err


def test_keeps_trying_while_server_down(daemon, line):
    port = free_port()
    d = daemon("serstream", *args(line, port), env=line.env())
    d.wait_log(r"reconnect tcpserver", count=2, timeout=10)
    assert "Could not getaddrinfo" in d.stderr()
    srv = TcpServer(port)
    try:
        srv.wait_conn(1, timeout=10)
        assert srv.wait_bytes(HEAD_LEN) == expected_head()
    finally:
        srv.close()


def test_startup_failures(daemon, line, server, tmp_path):
    base = args(line, server.port)

    def with_opt(*extra):
        """base with the given options' values replaced (or added)."""
        out = list(base)
        for name, value in zip(extra[::2], extra[1::2]):
            if name in out:
                out[out.index(name) + 1] = value
            else:
                out += [name, value]
        return out

    # No "tty" in the device path.
    r = run("serstream", *with_opt("--dev", str(tmp_path / "serial0")))
    assert r.returncode == 255 and b"not find tty" in r.stdout

    # Line settings outside the tables.
    r = run("serstream", *with_opt("--parity", "n"))
    assert r.returncode == 255 and b"ERR: error parity" in r.stderr
    r = run("serstream", *with_opt("--speed", "921600", "--parity", "X"))
    assert r.returncode == 255 and b"ERR: error parity" in r.stderr
    r = run("serstream", *with_opt("--speed", "1200"))
    assert r.returncode == 255 and b"ERR: error bps" in r.stderr

    # A device that is not a terminal, and one that does not exist.
    plain = os.path.join(line.dir, line.name + "plain")
    open(plain, "w").close()
    r = run("serstream", *with_opt("--dev", plain))
    assert r.returncode == 255
    assert b"ERR: SetupSerial 1" in r.stderr and b"set tty failed:" in r.stderr
    os.unlink("/var/run/%splain.pid" % line.name)
    missing = os.path.join(line.dir, line.name + "missing")
    r = run("serstream", *with_opt("--dev", missing))
    assert r.returncode == 255 and ("open %s failed:" % missing).encode() in r.stderr
    os.unlink("/var/run/%smissing.pid" % line.name)

    # A device path too long for the pid file: no lock, no overflow.
    long_dev = os.path.join(line.dir, "tty" + "x" * 2100)
    r = run("serstream", *with_opt("--dev", long_dev))
    assert r.returncode == 255
    assert b"WARNING: dev name too long for a pid file" in r.stderr
    assert ("failed:%s" % strerror("ENAMETOOLONG")).encode() in r.stderr

    # The link header's identity.
    r = run("serstream", *with_opt("--uuid", ""))
    assert r.returncode == 255 and b"ERR:  -1process failed" in r.stderr
    r = run("serstream", *with_opt("--uuid", "00112233445566778899aabbccddeeff"))
    assert r.returncode == 255 and b" 4process failed" in r.stderr
    r = run("serstream", *with_opt("--uuid", "00112233----455-6677-8899-aabbccddeeff"))
    assert r.returncode == 255 and b"process failed" in r.stderr
    r = run("serstream", *with_opt("--uuid", "00112233" + "-" * 5000 + "4455-6677-8899-aabbccddeeff"))
    assert r.returncode == 255 and b"process failed" in r.stderr
    r = run("serstream", *with_opt("--nic", "fwnosuchnic0"))
    assert r.returncode == 255
    assert b"ERR: Get ap mac failed" in r.stderr and b"extinfo_nicmac: fwnosuchnic0 failed" in r.stderr
    r = run("serstream", *with_opt("--nic", "lo" + "o" * 20))
    assert r.returncode == 255 and b"ERR: Get ap mac failed" in r.stderr

    # A service name that does not resolve (resolved locally, no DNS).
    r = run("serstream", *with_opt("--tcpport", "fw-no-such-service"))
    assert r.returncode == 1 and b"getaddrinfo: " in r.stderr


def test_single_instance_and_timing_check(daemon, line, server):
    d = start(daemon, line, server, False, "--vmin", "300", "--vtime", "5")
    assert "ERR: parament value err: vtim or vmin" in d.stderr()
    assert "DEBUG: dev pid file %s" % line.lock in d.stderr()
    r = run("serstream", *args(line, server.port))
    assert r.returncode == 0
    assert b"WARNING: another beaconer is running" in r.stderr
    # VMIN 0 / VTIME 10 still deliver bytes.
    line.write(b"vmin0")
    got = server.wait_bytes(2 * HEAD_LEN + 5)
    assert got.endswith(b"vmin0")
    assert d.alive()


def test_turnaround_script_holds_no_bridge_descriptor(daemon, line, server):
    """linegate.sh used to run through the shell with the port and the
    socket open in it; now it is started directly, and every descriptor of
    the bridge is close-on-exec."""
    d = daemon("serstream", *args(line, server.port), env=line.env(fds=True))
    server.wait_conn(1)
    server.wait_bytes(HEAD_LEN)
    chunk = b"H" * HEAD_LEN + b"to the line"
    server.send(chunk)
    assert line.read(11) == b"to the line"
    wait_for(lambda: line.gate_calls() == ["in", "out"], what="linegate.sh in, out")
    wait_for(lambda: {x[0] for x in line.gate_descriptors()} == {"in", "out"},
             what="the descriptors listed by both runs")
    assert line.bridge_descriptors_in_script() == []
    assert "INFO: linegate.sh found: %s" % line.script in d.stderr()


def test_without_turnaround_script_nothing_is_spawned(daemon, line, server):
    """Without linegate.sh on PATH every chunk used to start a shell that
    said "linegate.sh: not found"; now the bridge says once that the line is
    not turned around, and takes up a script installed later, in pairs."""
    line.remove_script()
    d = start(daemon, line, server)
    assert d.stderr().count("INFO: no linegate.sh on PATH") == 1
    for i in range(3):
        server.send(b"H" * HEAD_LEN + b"plain%d" % i)
        assert line.read(6) == b"plain%d" % i
    line.write(b"up")
    server.wait_bytes(2 * HEAD_LEN + 2)
    assert "not found" not in d.stderr()
    assert line.gate_calls() == []

    line.install_script()

    def exchange():
        server.send(b"H" * HEAD_LEN + b"x")
        assert line.read(1) == b"x"
        return "out" in line.gate_calls()
    wait_for(exchange, timeout=10, interval=0.2, what="the script installed later")
    wait_for(lambda: len(line.gate_calls()) % 2 == 0, what="the last out")
    calls = line.gate_calls()
    assert calls == ["in", "out"] * (len(calls) // 2), calls
    assert d.stderr().count("INFO: linegate.sh found: %s" % line.script) == 1


def test_slow_turnaround_script_keeps_chunks_and_pairs_in_order(daemon, line, server):
    """A script that takes its time: the next chunk waits in the socket
    until the line is turned back, each chunk gets its own in/out pair."""
    d = start(daemon, line, server, True)
    server.send(b"H" * HEAD_LEN + b"first")
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    server.send(b"H" * HEAD_LEN + b"second")
    assert not line.pending(0.3), "bytes reached the line while the script ran"
    line.release_hold()
    assert line.read(11) == b"firstsecond"
    wait_for(lambda: line.gate_calls() == ["in", "out", "in", "out"], what="two pairs")
    assert d.stderr().count("recv 34 Bytes") == 1


def test_send_cut_at_exactly_the_header_sends_the_rest_as_a_frame(daemon, line, server):
    """A sendmsg that took exactly the 28 header bytes of a frame used to let
    its payload follow without a header of its own."""
    lib = build_cutsend(line.dir)
    if lib is None:
        pytest.skip("no C compiler for the preload library")
    head = expected_head()
    env = line.env()
    env["LD_PRELOAD"] = lib
    env["FW_CUTS"] = "-1,28"  # the registration whole, then the frame to its header's end
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    d = daemon("serstream", *args(line, server.port), env=env)
    server.wait_conn(1)
    assert server.wait_bytes(HEAD_LEN) == head
    line.write(b"0123456789")
    got = server.wait_bytes(3 * HEAD_LEN + 10)
    time.sleep(0.1)
    assert server.received() == head + head + head + b"0123456789", got
    sends = [int(n) for n in re.findall(r"sock_send_cb ret (-?\d+)", d.stderr())]
    assert sends == [HEAD_LEN, HEAD_LEN + 10]


def test_hang_up_while_the_server_is_away_ends_the_process(daemon, line):
    """Between connection attempts the bridge used to sleep blind: a port
    that hung up then was noticed only once a server took the connection."""
    port = free_port()
    d = daemon("serstream", *args(line, port), env=line.env())
    d.wait_log(r"reconnect tcpserver", count=1, timeout=10)
    line.hang_up()
    assert d.wait_exit(10) == 255
    err = d.stderr()
    assert "ERR: recv failed: %s(%d)" % (strerror("EIO"), errno_value("EIO")) in err
    assert "ERR: serial error, close and free serial" in err
    assert "ERR: ttl: %s error, exit" % line.dev in err


def test_sends_cut_inside_a_batch_of_frames_keep_every_frame_whole(daemon, line, server):
    """Bytes that piled up on the line while the bridge waited for the
    turnaround script are read at once and sent as several frames in one
    gather write: sends that end inside a later header, on a header's end
    or inside a later payload still leave whole headers, each byte once."""
    lib = build_cutsend(line.dir)
    if lib is None:
        pytest.skip("no C compiler for the preload library")
    head = expected_head()
    env = line.env(True)
    env["LD_PRELOAD"] = lib
    # registration whole; frames 1452, 1452, 596 behind their headers:
    # 1st frame and 10 bytes of the 2nd header; the header's rest; 100 bytes
    # of payload; that frame's rest and the 3rd header alone; 96 bytes of a
    # new frame; the rest.
    env["FW_CUTS"] = "-1,1490,18,100,1408,124"
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    d = daemon("serstream", *args(line, server.port), env=env)
    server.wait_conn(1)
    assert server.wait_bytes(HEAD_LEN) == head
    server.send(b"H" * HEAD_LEN + b"turn")
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    data = bytes(b"0123456789"[i % 10] for i in range(3500))
    line.write(data)
    # All of it waits in the terminal driver before the bridge reads again.
    fd = os.open(line.dev, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        wait_for(lambda: struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
                 == len(data), what="the bytes in the terminal driver")
    finally:
        os.close(fd)
    line.release_hold()
    got = server.wait_bytes(7 * HEAD_LEN + len(data))
    time.sleep(0.1)
    assert server.received() == (head + head + data[:1452] + head + data[1452:1552]
                                 + head + data[1552:2904] + head + head + data[2904:3000]
                                 + head + data[3000:]), got
    sends = [int(n) for n in re.findall(r"sock_send_cb ret (-?\d+)", d.stderr())]
    assert sends == [1490, 18, 100, 1408, 124, HEAD_LEN + 500]


def test_int_while_the_line_is_full_ends_the_turn_first(daemon, line, server):
    """A bridge ended by a signal with a chunk still waiting for the line
    left the line turned in."""
    d = start(daemon, line, server)
    # Nobody reads the line: the terminal driver fills, a chunk waits.
    chunk = b"H" * HEAD_LEN + b"x" * 1400
    for _ in range(80):
        server.send(chunk)

    def stuck():
        calls = line.gate_calls()
        time.sleep(0.3)
        return calls and calls[-1] == "in" and line.gate_calls() == calls
    wait_for(stuck, timeout=15, what="a turn that does not end")
    d.proc.send_signal(signal.SIGINT)
    assert d.wait_exit(10) == -signal.SIGINT
    calls = line.gate_calls()
    assert calls[-2:] == ["in", "out"] and calls.count("in") == calls.count("out")
