"""serdgram against a pty, a loopback UDP server and a recording linegate.sh."""
import os
import re
import signal
import socket
import threading
import time

import pytest

import conftest

from conftest import UUID, errno_value, run, strerror, wait_for
from fw_serial import HEAD_LEN, line, UdpServer, build_cutsend, expected_head, free_port


@pytest.fixture
def server():
    srv = UdpServer()
    yield srv
    srv.close()


def args(line, port, *extra):
    return ["--dev", line.dev, "--nic", "lo", "--uuid", UUID, "--udpserver", "127.0.0.1",
            "--udpport", str(port), "-f", os.path.join(line.dir, "none.cfg"),
            "--heartbeat", "1", "--debug", "7"] + list(extra)


def test_heartbeat_data_and_replies(daemon, line, server):
    head = expected_head()
    d = daemon("serdgram", *args(line, server.port), env=line.env(hold=True))
    grams = server.wait_count(1)
    assert grams[0][1] == head, "bare header at once"
    d.wait_out(r"path %s\n" % re.escape(line.lock))

    # Serial to server: one datagram of header plus the 10 bytes.
    line.write(b"0123456789")
    wait_for(lambda: any(g[1] == head + b"0123456789" for g in server.datagrams()),
             what="38-byte datagram")
    assert all(g[1] in (head, head + b"0123456789") for g in server.datagrams())

    # An empty datagram changes nothing.
    server.send(b"")
    d.wait_log(r"udpcli recv 0 bytes, return")

    # Server to serial: the whole datagram, between "in" and "out".
    chunk = bytes(range(100))
    server.send(chunk)
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    assert not line.pending(0.2), "bytes reached the line before linegate.sh in"
    line.release_hold()
    wait_for(lambda: line.gate_calls() == ["in", "out"], what="linegate.sh out")
    assert line.pending(0)
    assert line.read(100) == chunk

    # A datagram above 1452 bytes is cut to 1452.
    big = bytes(i % 251 for i in range(2000))
    server.send(big)
    assert line.read(1452) == big[:1452]
    assert not line.pending(0.2)
    wait_for(lambda: line.gate_calls() == ["in", "out", "in", "out"], what="second out")

    # Heartbeats keep coming about once a second.
    hb = [g[0] for g in server.datagrams() if g[1] == head]
    wait_for(lambda: len([g for g in server.datagrams() if g[1] == head]) >= len(hb) + 2,
             timeout=5, what="two more heartbeats")
    hb = [g[0] for g in server.datagrams() if g[1] == head]
    gaps = [b - a for a, b in zip(hb, hb[1:])]
    assert all(0.7 < g < 1.6 for g in gaps), gaps
    assert "free udp" not in d.stderr()
    assert "txbuf is empty" not in d.stderr()


def idle_fds(d):
    """Descriptors while between connections: the least seen over a
    reconnect period (the socket is closed during the pause)."""
    seen = []
    deadline = time.monotonic() + 1.3
    while time.monotonic() < deadline:
        seen.append(d.fd_count())
        time.sleep(0.05)
    return min(seen)


def test_refused_port_reconnects_once_a_second(daemon, line):
    port = free_port(socket.SOCK_DGRAM)
    d = daemon("serdgram", *args(line, port), env=line.env())
    d.wait_log(r"ERR: close and free udp", count=2, timeout=10)
    base = idle_fds(d)
    t0 = time.monotonic()
    first = d.stderr().count("close and free udp")
    d.wait_log(r"ERR: close and free udp", count=first + 6, timeout=15)
    elapsed = time.monotonic() - t0
    cycles = d.stderr().count("close and free udp") - first
    assert cycles / elapsed <= 1.3, "%d reconnects in %.1f s" % (cycles, elapsed)
    assert "recv faild: %s %d" % (strerror("ECONNREFUSED"), errno_value("ECONNREFUSED")) in d.stderr()
    assert idle_fds(d) == base

    # The server comes back: heartbeats resume, bytes flow.
    srv = UdpServer(port)
    try:
        srv.wait_count(2, timeout=10)
        line.write(b"back")
        head = expected_head()
        wait_for(lambda: any(g[1] == head + b"back" for g in srv.datagrams()),
                 what="data after the server came back")
        assert all(g[1] in (head, head + b"back") for g in srv.datagrams())
        assert d.fd_count() == base + 1  # the connected socket
    finally:
        srv.close()


def test_startup_checks(daemon, line, server, tmp_path):
    d = daemon("serdgram", *args(line, server.port), env=line.env())
    server.wait_count(1)
    r = run("serdgram", *args(line, server.port))
    assert r.returncode == 0
    assert ("path %s\n" % line.lock).encode() in r.stdout
    assert b"WARNING: another serdgram is running" in r.stderr
    assert d.alive()

    base = args(line, server.port)
    i = base.index("--heartbeat")
    neg = base[:i] + ["--heartbeat", "-1"] + base[i + 2:]
    neg[neg.index("--dev") + 1] = line.dev + "neg"
    r = run("serdgram", *neg)
    assert r.returncode == 255 and b"heartbeat -1 must not be negative" in r.stderr
    os.unlink("/var/run/%sneg.pid" % line.name)

    nodev = list(base)
    nodev[nodev.index("--dev") + 1] = str(tmp_path / "serial0")
    r = run("serdgram", *nodev)
    assert r.returncode == 255 and b"not find tty" in r.stdout


def test_failed_sends_do_not_pile_up(daemon, line, server):
    """Data sends that fail end the connection with the bytes kept; the next
    connections send those first instead of reading more on top of them, so
    no datagram outgrows one serial read and nothing is lost."""
    lib = build_cutsend(line.dir)
    if lib is None:
        pytest.skip("no C compiler for the preload library")
    env = line.env()
    env["LD_PRELOAD"] = lib
    env["FW_CUTS"] = "-2,-2,-2"
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    d = daemon("serdgram", *args(line, server.port), env=env)
    server.wait_count(1)
    head = expected_head()
    data = bytes(b"0123456789"[i % 10] for i in range(4000))
    line.write(data)
    d.wait_log(r"send err : Operation not permitted", count=3, timeout=10)

    def payload():
        return b"".join(g[1][HEAD_LEN:] for g in server.datagrams())
    wait_for(lambda: len(payload()) >= len(data), timeout=10, what="all bytes")
    assert payload() == data
    assert all(g[1].startswith(head) and len(g[1]) <= HEAD_LEN + 1452 for g in server.datagrams())


def test_turnaround_script_holds_no_bridge_descriptor(daemon, line, server):
    """linegate.sh used to run through the shell with the port and the
    socket open in it."""
    daemon("serdgram", *args(line, server.port), env=line.env(fds=True))
    server.wait_count(1)
    server.send(b"to the line")
    assert line.read(11) == b"to the line"
    wait_for(lambda: {x[0] for x in line.gate_descriptors()} == {"in", "out"},
             what="the descriptors listed by both runs")
    assert line.gate_calls() == ["in", "out"]
    assert line.bridge_descriptors_in_script() == []


def test_without_turnaround_script_nothing_is_spawned(daemon, line, server):
    line.remove_script()
    d = daemon("serdgram", *args(line, server.port), env=line.env())
    server.wait_count(1)
    d.wait_log(r"INFO: no linegate.sh on PATH")
    for i in range(3):
        server.send(b"plain%d" % i)
        assert line.read(6) == b"plain%d" % i
    assert "not found" not in d.stderr()
    assert line.gate_calls() == []


def test_slow_turnaround_script_keeps_datagrams_and_pairs_in_order(daemon, line, server):
    daemon("serdgram", *args(line, server.port), env=line.env(hold=True))
    server.wait_count(1)
    server.send(b"first")
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    server.send(b"second")
    assert not line.pending(0.3), "bytes reached the line while the script ran"
    line.release_hold()
    assert line.read(11) == b"firstsecond"
    wait_for(lambda: line.gate_calls() == ["in", "out", "in", "out"], what="two pairs")


def test_hang_up_between_connections_ends_the_process(daemon, line):
    """The refused port ends every connection; a hang-up in the pause
    between them ends the process as it does while connected."""
    port = free_port(socket.SOCK_DGRAM)
    d = daemon("serdgram", *args(line, port), env=line.env())
    d.wait_log(r"going to reconnect udpserver", count=1, timeout=10)
    line.hang_up()
    assert d.wait_exit(10) == 255
    err = d.stderr()
    assert "ERR: recv failed: %s(%d)" % (strerror("EIO"), errno_value("EIO")) in err
    assert "ERR: ttl: %s error, exit" % line.dev in err


def counted(n):
    """n bytes of numbered 8-byte tokens: any piece of it can be placed."""
    return b"".join(b"%07d," % i for i in range(n // 8 + 1))[:n]


def test_kept_bytes_survive_a_refused_port_with_a_short_heartbeat(daemon, line):
    """With a heartbeat no longer than the pause between attempts, the timer
    of a new connection started on the loop's stale clock and fired twice at
    once; the second heartbeat took the refusal the first one earned, and
    the bytes kept from the failed attempt went to the closed port."""
    port = free_port(socket.SOCK_DGRAM)
    srv = UdpServer(port)
    back = None
    try:
        d = daemon("serdgram", *args(line, port), env=line.env())
        srv.wait_count(1)
        data = counted(120000)  # about 3 s of a 40 KB/s line
        done = threading.Event()

        def feed():
            for i in range(0, len(data), 200):
                line.write_all(data[i:i + 200])
                time.sleep(0.005)
            done.set()
        threading.Thread(target=feed, daemon=True).start()
        wait_for(lambda: len(srv.datagrams()) > 20, what="data flowing")
        srv.close()  # the server goes away: its port is refused
        d.wait_log(r"ERR: close and free udp", count=3, timeout=10)
        back = UdpServer(port)
        assert done.wait(30), "the line writer stalled"

        def grams():
            return [g[1][HEAD_LEN:] for g in srv.datagrams() + back.datagrams()
                    if len(g[1]) > HEAD_LEN]
        wait_for(lambda: b"".join(grams()).endswith(data[-64:]), timeout=10,
                 what="the last bytes")
        # In order, nothing twice: each datagram goes on at or after the end
        # of the one before.
        pos = 0
        for piece in grams():
            at = data.find(piece, pos)
            assert at >= 0, "datagram out of order or not from the line"
            pos = at + len(piece)
        err = d.stderr()
        sent = [int(n) for n in re.findall(r"sock_send_cb ret (\d+)", err) if int(n) > HEAD_LEN]
        lost = len(sent) - len(grams())
        refusals = err.count("close and free udp")
        print("%d of %d datagrams lost (%d bytes) over %d refusals"
              % (lost, len(sent), len(data) - len(b"".join(grams())), refusals))
        # Only what was on its way when the server went is lost; the bytes
        # kept over each refused attempt all arrive.
        assert lost <= 1
    finally:
        srv.close()
        if back:
            back.close()


def test_term_during_a_turnaround_ends_the_turn_first(daemon, line, server):
    """A bridge ended by a signal while linegate.sh in ran left the line
    turned in."""
    d = daemon("serdgram", *args(line, server.port), env=line.env(hold=True))
    server.wait_count(1)
    server.send(b"to the line")
    wait_for(lambda: line.gate_calls() == ["in"], what="linegate.sh in")
    d.proc.send_signal(signal.SIGTERM)
    # The script turning the line is waited for.
    assert not line.pending(0.3) and d.alive()
    line.release_hold()
    assert d.wait_exit(10) == -signal.SIGTERM
    assert line.gate_calls() == ["in", "out"]
    assert "signal %d: the line is turned out first" % signal.SIGTERM in d.stderr()

    # With no turn open a signal ends the bridge at once, as it always did.
    d = daemon("serdgram", *args(line, server.port), env=line.env())
    wait_for(lambda: d.stderr().count("send heartbeat") >= 1, what="a heartbeat")
    d.proc.send_signal(signal.SIGINT)
    assert d.wait_exit(5) == -signal.SIGINT
    assert line.gate_calls() == ["in", "out"]
