"""linkhub with the real serstream and serdgram on pty lines, simulated
boards and applications on both endpoint kinds, all on loopback."""
import os
import random
import socket
import time

import pytest

import conftest
from conftest import UUID, UUID_BYTES, run, wait_for
from fw_hub import (HEAD_LEN, OTHER_UUID, OTHER_UUID_BYTES, Hub, LineReader, PtyApp, TcpApp,
                    TcpBoard, UdpBoard, cpu_seconds, head, lo_mac_text, start_serdgram,
                    start_serstream)
from fw_serial import free_port, line

pytestmark = pytest.mark.hub

MAC_A = "02:00:00:00:00:0a"
MAC_B = "02:00:00:00:00:0b"


@pytest.fixture
def hub(daemon, tmp_path):
    """Factory: hub(devices, ...) starts linkhub; at the end of the test its
    descriptor count must be back where it was once it had started."""
    started = []

    def start(devices, **kw):
        h = Hub(daemon, tmp_path, devices, **kw)
        h.fds_at_start = h.fd_count()
        started.append(h)
        return h

    yield start
    for h in started:
        if h.d.alive():
            wait_for(lambda: h.fd_count() == h.fds_at_start, 10,
                     what="linkhub's descriptors back to %d" % h.fds_at_start)


def tcp_device(mac, *words):
    port = free_port()
    return port, " ".join([mac, "tcp:127.0.0.1:%d" % port] + list(words))


def close_all(*things):
    for t in things:
        t.close()


# ---- byte-exact both ways with the real bridges ----

@pytest.mark.parametrize("endpoint", ["tcp", "pty"])
@pytest.mark.parametrize("bridge", ["serstream", "serdgram"])
def test_real_bridge_byte_exact_both_ways(daemon, hub, line, tmp_path, bridge, endpoint):
    mac = lo_mac_text()
    app_port = free_port()
    pty_path = str(tmp_path / "dev" / "board0")
    ep = "tcp:127.0.0.1:%d" % app_port if endpoint == "tcp" else "pty:" + pty_path
    h = hub(["%s %s baud:921600" % (mac, ep)])
    app = TcpApp(app_port) if endpoint == "tcp" else PtyApp(pty_path)
    start = start_serstream if bridge == "serstream" else start_serdgram
    start(daemon, line, h.port)
    h.wait_device(mac, "the board online", lambda d: d["online"])
    h.wait_device(mac, "the application attached", lambda d: d["app_connected"])
    assert h.device(mac)["transport"] == ("tcp" if bridge == "serstream" else "udp")

    up = bytes(range(256)) * 40  # every byte value, 10 KiB
    line.write_all(up)
    assert app.recv_exact(len(up)) == up

    down = os.urandom(30000)
    app.send(down)
    reader = LineReader(line)
    got = reader.read_for(len(down))
    assert got == down
    d = h.device(mac)
    assert d["bytes_up"] == len(up) and d["bytes_down"] == len(down)
    assert d["dropped_up"] == 0 and d["dropped_down"] == 0
    app.close()


# ---- towards a TCP board: not one header byte on the line ----

def write_patterns():
    """Application writes that a hub writing frames back to back turns
    into header bytes on the line."""
    rnd = random.Random(7)
    ones = [bytes([rnd.randrange(256)]) for _ in range(3000)]
    big = [os.urandom(65536)]
    mixed = []
    for i in range(40):
        mixed.append(os.urandom(1) if i % 2 else os.urandom(rnd.choice([1, 3, 700, 1424, 1425,
                                                                         5000, 16384])))
    return {"one-byte bursts": ones, "64 KiB writes": big, "mixed": mixed}


def run_patterns(app, line):
    reader = LineReader(line)
    sent = b""
    for name, pieces in write_patterns().items():
        app.write_pieces(pieces)
        sent += b"".join(pieces)
        got = reader.read_for(len(sent), timeout=30)
        assert len(got) >= len(sent), "%s: the line got %d of %d bytes" % (name, len(got),
                                                                          len(sent))
    return sent, reader.settle()


@pytest.mark.parametrize("endpoint", ["tcp", "pty"])
def test_no_header_byte_reaches_the_line(daemon, hub, line, tmp_path, endpoint):
    mac = lo_mac_text()
    app_port = free_port()
    pty_path = str(tmp_path / "board0")
    ep = "tcp:127.0.0.1:%d" % app_port if endpoint == "tcp" else "pty:" + pty_path
    h = hub(["%s %s baud:921600" % (mac, ep)])
    app = TcpApp(app_port) if endpoint == "tcp" else PtyApp(pty_path)
    start_serstream(daemon, line, h.port)
    h.wait_device(mac, "the board online", lambda d: d["online"])
    sent, got = run_patterns(app, line)
    # The very bytes, in order: a header byte on the line would be an
    # extra byte, and the 28 bytes the board drops would be missing.
    assert got == sent
    assert h.device(mac)["dropped_down"] == 0
    app.close()


def test_header_leak_is_seen_with_frames_back_to_back(daemon, line):
    """The check above fails on a server that writes each message as header
    plus payload the moment it has one."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    start_serstream(daemon, line, srv.getsockname()[1])
    conn, _ = srv.accept()
    board_head = conn.recv(HEAD_LEN)
    assert len(board_head) == HEAD_LEN
    reader = LineReader(line)
    payload = b"".join(bytes([i % 251 + 1]) for i in range(2000))
    for i in range(0, len(payload), 10):
        conn.sendall(board_head + payload[i:i + 10])
    got = reader.read_for(len(payload), timeout=3)
    reader.settle()
    conn.close()
    srv.close()
    assert reader.data != payload
    assert board_head[:6] in reader.data


# ---- from the board: headers cut across reads ----

def test_board_writing_one_byte_at_a_time(hub):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev])
    app = TcpApp(app_port)
    board = TcpBoard(h.port, MAC_A, register=False)
    stream = b""
    want = b""
    for i in range(30):
        payload = bytes([0x41 + i % 26]) * (i % 5 + 1) + head(MAC_A)[:i % 28]
        stream += board.head + payload
        want += payload
    for b in stream:
        board.send_raw(bytes([b]))
    assert app.recv_exact(len(want)) == want
    h.wait_device(MAC_A, "the line bytes counted", lambda d: d["bytes_up"] == len(want))
    close_all(app, board)


# ---- reconnections and takeover ----

def test_takeover_keeps_the_application(hub):
    app_port, dev = tcp_device(MAC_A, "gap:0")
    h = hub([dev])
    app = TcpApp(app_port)
    old = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    old.send_frame(b"from old")
    assert app.recv_exact(8) == b"from old"

    new = TcpBoard(h.port, MAC_A)
    h.wait_log(r"board_takeover\(\): INFO: .*02:00:00:00:00:0a: link from")
    assert old.closed_by_hub()
    new.send_frame(b"from new")
    assert app.recv_exact(8) == b"from new"
    app.send(b"to new")
    assert new.recv_payload(6) == b"to new"
    d = h.device(MAC_A)
    assert d["online"] and d["takeovers"] == 1 and d["app_connected"]

    # The board goes; the application stays; it comes back.
    new.close()
    h.wait_device(MAC_A, "the board offline", lambda d: not d["online"])
    assert h.device(MAC_A)["app_connected"]
    again = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online again", lambda d: d["online"])
    again.send_frame(b"back")
    assert app.recv_exact(4) == b"back"
    close_all(app, old, again)


def test_second_application_is_closed(hub):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev])
    first = TcpApp(app_port)
    h.wait_device(MAC_A, "the application attached", lambda d: d["app_connected"])
    second = TcpApp(app_port)
    assert second.closed_by_hub()
    h.wait_log(r"second application from 127\.0\.0\.1:\d+ closed")
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    board.send_frame(b"still first")
    assert first.recv_exact(11) == b"still first"
    close_all(first, second, board)


# ---- refusals ----

def test_unlisted_board_and_foreign_group_are_refused(hub):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev])
    unlisted = TcpBoard(h.port, MAC_B)
    assert unlisted.closed_by_hub()
    foreign = TcpBoard(h.port, MAC_A, group=OTHER_UUID_BYTES)
    assert foreign.closed_by_hub()
    udp = UdpBoard(h.port, MAC_B)
    udp.send(b"x")
    wait_for(lambda: len(h.refused()) >= 2 and h.refused().get("%s/%s" % (UUID, MAC_B)) == 2,
             what="the refusals counted")
    refused = h.refused()
    assert refused["%s/%s" % (UUID, MAC_B)] == 2
    assert refused["%s/%s" % (OTHER_UUID, MAC_A)] == 1
    assert not h.device(MAC_A)["online"]
    h.wait_log(r"WARNING: refused %s/%s from 127\.0\.0\.1:\d+: board not listed" % (UUID, MAC_B))
    h.wait_log(r"WARNING: refused %s/%s from .*: group not accepted" % (OTHER_UUID, MAC_A))
    close_all(unlisted, foreign, udp)


def test_refusal_lines_are_rate_limited(hub):
    _, dev = tcp_device(MAC_A)
    h = hub([dev])
    for _ in range(20):
        b = TcpBoard(h.port, MAC_B)
        assert b.closed_by_hub()
        b.close()
    wait_for(lambda: h.refused().get("%s/%s" % (UUID, MAC_B)) == 20, what="20 refusals")
    assert h.stderr().count("refused %s/%s" % (UUID, MAC_B)) == 1


def test_link_without_header_closed_after_the_bound(hub):
    _, dev = tcp_device(MAC_A)
    h = hub([dev])
    silent = socket.create_connection(("127.0.0.1", h.port))
    slow = TcpBoard(h.port, MAC_A, register=False)
    t0 = time.monotonic()
    # A header one byte at a time is still a header if it ends in time.
    for b in slow.head:
        slow.send_raw(bytes([b]))
        time.sleep(0.01)
    h.wait_device(MAC_A, "the slow board online", lambda d: d["online"])
    silent.settimeout(15)
    assert silent.recv(10) == b""
    assert time.monotonic() - t0 >= 9
    h.wait_log(r"refused 127\.0\.0\.1 from 127\.0\.0\.1:\d+: no link header within 10 s")
    assert h.refused()["127.0.0.1"] == 1
    assert h.device(MAC_A)["online"]
    close_all(silent, slow)


# ---- nothing late ----

def test_bytes_for_an_offline_board_are_dropped(hub):
    app_port, dev = tcp_device(MAC_A, "gap:0")
    h = hub([dev])
    app = TcpApp(app_port)
    h.wait_device(MAC_A, "the application attached", lambda d: d["app_connected"])
    app.send(b"x" * 1000)
    h.wait_device(MAC_A, "dropped_down counted", lambda d: d["dropped_down"] == 1000)
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    app.send(b"now")
    # Only what was written while the board was there.
    assert board.recv_payload(3) == b"now"
    assert not board.closed_by_hub(0.3) and board._payload() == b"now"
    close_all(app, board)


@pytest.mark.parametrize("endpoint", ["tcp", "pty"])
def test_bytes_while_no_application_is_attached_are_dropped(hub, tmp_path, endpoint):
    app_port = free_port()
    path = str(tmp_path / "board")
    ep = "tcp:127.0.0.1:%d" % app_port if endpoint == "tcp" else "pty:" + path
    h = hub(["%s %s" % (MAC_A, ep)])
    attach = (lambda: TcpApp(app_port)) if endpoint == "tcp" else (lambda: PtyApp(path))
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    app = attach()
    h.wait_device(MAC_A, "attached", lambda d: d["app_connected"])
    app.close()
    h.wait_device(MAC_A, "detached", lambda d: not d["app_connected"])
    board.send_frame(b"nobody hears this")
    h.wait_device(MAC_A, "dropped_up counted", lambda d: d["dropped_up"] == 17)
    # The next application gets only what comes after it attached.
    app = attach()
    h.wait_device(MAC_A, "attached again", lambda d: d["app_connected"])
    board.send_frame(b"fresh")
    assert app.recv_exact(5) == b"fresh"
    assert app.quiet(0.2) == b""
    close_all(app, board)


def test_slow_application_slows_only_its_board(hub):
    pa, da = tcp_device(MAC_A)
    pb, db = tcp_device(MAC_B)
    h = hub([da, db])
    slow = TcpApp(pa)
    slow.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    fast = TcpApp(pb)
    a = TcpBoard(h.port, MAC_A)
    b = TcpBoard(h.port, MAC_B)
    h.wait_device(MAC_B, "both online", lambda d: d["online"])
    # Board A sends far more than its application reads.
    a.sock.setblocking(False)
    sent_a = 0
    chunk = a.head + b"a" * 4000
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            sent_a += a.sock.send(chunk)
        except BlockingIOError:
            break
    assert time.monotonic() < deadline, "the hub kept reading a board whose application is behind"
    # Board B's bytes still go through at once.
    b.send_frame(b"b" * 1000)
    assert fast.recv_exact(1000) == b"b" * 1000
    st = h.status()
    assert os.path.exists("/proc/%d" % h.pid)
    # Whatever board A sent is delivered whole once its application reads.
    assert h.device(MAC_A)["dropped_up"] == 0
    close_all(slow, fast, a, b)


def test_slow_board_slows_only_its_application(hub):
    pa, da = tcp_device(MAC_A, "baud:10000000", "gap:0")
    pb, db = tcp_device(MAC_B, "baud:10000000", "gap:0")
    h = hub([da, db])
    a = TcpBoard(h.port, MAC_A)
    a.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    b = TcpBoard(h.port, MAC_B)
    app_a = TcpApp(pa)
    app_b = TcpApp(pb)
    h.wait_device(MAC_B, "both online", lambda d: d["online"] and d["app_connected"])
    # Board A reads nothing: its application ends up unread, nothing dropped.
    app_a.sock.setblocking(False)
    sent = 0
    stalled_at = None
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            sent += app_a.sock.send(b"a" * 65536)
            stalled_at = None
        except BlockingIOError:
            if stalled_at is None:
                stalled_at = time.monotonic()
            elif time.monotonic() - stalled_at > 1:
                break
            time.sleep(0.05)
    assert stalled_at is not None, "the hub kept reading an application whose board is behind"
    assert h.device(MAC_A)["dropped_down"] == 0
    app_b.send(b"b" * 5000)
    assert b.recv_payload(5000) == b"b" * 5000
    # Board A reads now: everything arrives, in order, nothing lost.
    got = a.recv_payload(sent, timeout=30)
    assert got == b"a" * sent
    close_all(a, b, app_a, app_b)


def test_board_links_have_keepalive(hub):
    _, dev = tcp_device(MAC_A)
    h = hub([dev])
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    board_port = board.sock.getsockname()[1]
    # /proc/net/tcp: the hub's end of the link, its timer 2 (keepalive).
    with open("/proc/net/tcp") as f:
        rows = [l.split() for l in f.read().splitlines()[1:]]
    ours = [r for r in rows if int(r[1].split(":")[1], 16) == h.port
            and int(r[2].split(":")[1], 16) == board_port]
    assert len(ours) == 1
    assert ours[0][5].split(":")[0] == "02"
    board.close()


# ---- the pty: endpoint ----

def test_pty_opened_and_closed_100_times_without_spinning(hub, tmp_path):
    path = str(tmp_path / "ptys" / "deeper" / "board")
    h = hub(["%s pty:%s" % (MAC_A, path)])
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    cpu0 = cpu_seconds(h.pid)
    wall0 = time.monotonic()
    for i in range(100):
        app = PtyApp(path)
        if i % 10 == 0:
            h.wait_device(MAC_A, "attached", lambda d: d["app_connected"])
            board.send_frame(b"ping%02d" % i)
            assert app.recv_exact(6) == b"ping%02d" % i
            app.send(b"pong")
            assert board.recv_payload(4 * (i // 10 + 1))[-4:] == b"pong"
        app.close()
    h.wait_device(MAC_A, "detached", lambda d: not d["app_connected"])
    time.sleep(1)
    cpu = cpu_seconds(h.pid) - cpu0
    wall = time.monotonic() - wall0
    # A master left watched while nobody has the slave open fires for ever:
    # that would be most of the elapsed time.
    assert cpu < 0.25 * wall, "linkhub used %.2f s CPU in %.2f s" % (cpu, wall)
    # (An open right after a close may be seen as no change at all.)
    assert "application attached to pty:" in h.stderr()
    assert "application detached from pty:" in h.stderr()
    close_all(board)


# ---- UDP boards ----

def test_udp_board_heartbeat_data_offline(hub):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev], extra=["--udp-timeout", "2"])
    app = TcpApp(app_port)
    board = UdpBoard(h.port, MAC_A)
    board.send()
    h.wait_device(MAC_A, "online over udp", lambda d: d["online"] and d["transport"] == "udp")
    board.send(b"up")
    assert app.recv_exact(2) == b"up"
    big = os.urandom(3000)
    app.send(big)
    got = b""
    while len(got) < len(big):
        dgram = board.recv()
        assert len(dgram) <= 1452
        got += dgram
    assert got == big
    # The board reconnects from another port: replies follow it.
    board2 = UdpBoard(h.port, MAC_A)
    board2.send(b"moved")
    assert app.recv_exact(5) == b"moved"
    app.send(b"to the new port")
    assert board2.recv() == b"to the new port"
    assert h.device(MAC_A)["peer"] == "127.0.0.1:%d" % board2.sock.getsockname()[1]
    t0 = time.monotonic()
    h.wait_device(MAC_A, "offline after the silence", lambda d: not d["online"], timeout=10)
    assert time.monotonic() - t0 >= 1.5
    close_all(app, board, board2)


def test_hostile_datagrams(hub):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev])
    app = TcpApp(app_port)
    good = UdpBoard(h.port, MAC_A)
    bad = UdpBoard(h.port, MAC_A)
    for size in (0, 27):
        bad.send_raw(b"k" * size)
    bad.send_raw(b"x" * 65507)
    bad.send_raw(b"kovlaX" + UUID_BYTES + bytes(6) + b"payload")
    h.wait_log(r"datagram of 0 bytes")
    wait_for(lambda: h.refused().get("127.0.0.1", 0) >= 4, what="4 refusals of the peer")
    # A well-formed datagram of the largest size is line bytes.
    big = os.urandom(65507 - HEAD_LEN)
    good.send(big)
    assert app.recv_exact(len(big)) == big
    good.send(b"after")
    assert app.recv_exact(5) == b"after"
    close_all(app, good, bad)


# ---- scale and hostile input on TCP ----

def test_wrong_magic_and_flood_leave_other_boards_alone(hub):
    app_port, dev = tcp_device(MAC_A, "gap:0")
    h = hub([dev])
    app = TcpApp(app_port)
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    wrong = socket.create_connection(("127.0.0.1", h.port))
    wrong.sendall(b"GET / HTTP/1.0\r\n\r\n" + b"z" * 100)
    flood = [socket.create_connection(("127.0.0.1", h.port)) for _ in range(200)]
    for s in flood[:100]:
        s.sendall(os.urandom(HEAD_LEN))
    for i in range(50):
        board.send_frame(b"%03d" % i)
    want = b"".join(b"%03d" % i for i in range(50))
    assert app.recv_exact(len(want)) == want
    wrong.settimeout(5)
    assert wrong.recv(10) == b""
    h.wait_log(r"refused 127\.0\.0\.1 from 127\.0\.0\.1:\d+: no link header")
    for s in flood:
        s.close()
    close_all(app, board, wrong)


def test_descriptor_exhaustion_on_accept_does_not_spin(hub):
    _, dev = tcp_device(MAC_A)

    h = hub([dev], prefix=["prlimit", "--nofile=32:32", "--"])
    socks = []
    for _ in range(60):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", h.port))
        socks.append(s)
    h.wait_log(r"accept failed: .*connection shed")
    cpu0 = cpu_seconds(h.pid)
    time.sleep(1.5)
    cpu = cpu_seconds(h.pid) - cpu0
    assert cpu < 0.5, "linkhub used %.2f s CPU in 1.5 s out of descriptors" % cpu
    for s in socks:
        s.close()
    # It serves again once descriptors are free.
    time.sleep(0.3)
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "a board online after the shortage", lambda d: d["online"])
    assert h.status()["accept_shed"] > 0
    board.close()
    h.wait_device(MAC_A, "offline", lambda d: not d["online"])


def test_soft_descriptor_limit_raised_to_the_hard_one(hub):
    _, dev = tcp_device(MAC_A)
    h = hub([dev], prefix=["prlimit", "--nofile=64:4096", "--"])
    with open("/proc/%d/limits" % h.pid) as f:
        row = [l for l in f if l.startswith("Max open files")][0].split()
    assert row[3:5] == ["4096", "4096"]


# ---- the status document and start-up ----

def test_status_document_fields(hub, tmp_path):
    app_port, dev = tcp_device(MAC_A)
    h = hub([dev, "%s pty:%s" % (MAC_B, str(tmp_path / "b"))])
    board = TcpBoard(h.port, MAC_A)
    h.wait_device(MAC_A, "the board online", lambda d: d["online"])
    st = h.status()
    assert set(st) >= {"devices", "refused"}
    a, b = st["devices"]
    for d in (a, b):
        assert set(d) >= {"group", "mac", "online", "transport", "peer", "since", "last_seen",
                          "bytes_up", "bytes_down", "dropped_up", "dropped_down",
                          "app_connected"}
    assert a["mac"] == MAC_A and a["group"] == UUID and a["online"] is True
    assert a["transport"] == "tcp"
    assert a["peer"] == "127.0.0.1:%d" % board.sock.getsockname()[1]
    assert abs(a["since"] - time.time()) < 60 and a["last_seen"] >= a["since"]
    assert a["app_connected"] is False and a["tcp"] == "127.0.0.1:%d" % app_port
    assert b["online"] is False and b["transport"] is None and b["peer"] is None
    assert b["group"] is None and b["last_seen"] is None
    assert st["refused"] == []
    board.close()


def test_start_up_faults_end_with_255(tmp_path):
    base = ["-f", str(tmp_path / "none.cfg"), "--listen", "127.0.0.1:%d" % free_port(),
            "--status", str(tmp_path / "s.sock")]
    r = run("linkhub", *base, "--device", MAC_A + " tcp:127.0.0.1:%d" % free_port())
    assert r.returncode == 255
    assert b"ERR" in r.stderr and b"group" in r.stderr
    for bad in ["02:00:00:00:00 tcp:127.0.0.1:1", MAC_A, MAC_A + " pty:/x speed:9600"]:
        r = run("linkhub", *base, "--group", UUID, "--device", bad)
        assert r.returncode == 255, bad
        assert b"ERR" in r.stderr
    port = free_port()
    r = run("linkhub", *base, "--group", UUID, "--device", MAC_A + " tcp:127.0.0.1:%d" % port,
            "--device", MAC_A + " tcp:127.0.0.1:%d" % free_port())
    assert r.returncode == 255 and b"listed twice" in r.stderr


def test_devices_from_the_configuration_file(daemon, tmp_path):
    cfg = tmp_path / "linkhub.cfg"
    port = free_port()
    cfg.write_text('group = "%s"\ndevice = "%s tcp:127.0.0.1:%d baud:9600"\n'
                   % (UUID, MAC_A, port))
    status = str(tmp_path / "s.sock")
    d = daemon("linkhub", "-f", str(cfg), "--listen", "127.0.0.1:0", "--status", status,
               "--debug", "7")
    d.wait_log(r"listening on .* for 1 devices")
    app = TcpApp(port)
    d.wait_log(r"application attached to tcp:127\.0\.0\.1:%d" % port)
    app.close()
