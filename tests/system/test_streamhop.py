"""streamhop against real interfaces: the device namespace with two veth
links, the remote TCP server in the remote namespace (see fw_netns)."""
import os
import re
import random
import select
import signal
import socket
import threading
import time

import pytest

from conftest import UUID, wait_for
import fw_netns as N
from fw_netns import topo  # noqa: F401 (fixture)

PORT = 7200
DSTPORT = 9200


class Conn:
    def __init__(self, sock, peer):
        self.sock, self.peer = sock, peer
        self.iface = N.peer_of(peer)
        self.data = bytearray()
        self.eof = False
        self.paused = False  # the server does not read it (a stalled uplink)


class RemoteServer:
    """A TCP server in the remote namespace that records what each
    connection receives; served by a thread."""

    def __init__(self, ns, port):
        self.lsock = N.sock_in(ns, socket.SOCK_STREAM, bind=(N.REMOTE, port))
        # Small windows: a connection that is not read stalls soon.
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        self.lsock.listen(16)
        self.lsock.setblocking(False)
        self.conns = []
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            with self.lock:
                live = [c for c in self.conns if not c.eof and not c.paused]
            r, _, _ = select.select([self.lsock] + [c.sock for c in live], [], [], 0.05)
            for s in r:
                if s is self.lsock:
                    try:
                        cs, peer = self.lsock.accept()
                    except BlockingIOError:
                        continue
                    with self.lock:
                        self.conns.append(Conn(cs, peer))
                    continue
                c = next(c for c in live if c.sock is s)
                try:
                    chunk = s.recv(65536)
                except OSError:
                    chunk = b""
                with self.lock:
                    if chunk:
                        c.data += chunk
                    else:
                        c.eof = True

    def open_conns(self):
        with self.lock:
            return [c for c in self.conns if not c.eof]

    def wait_conns(self, ifaces, timeout=10):
        """The open connection of each interface in `ifaces`, once all exist."""
        def ready():
            by_if = {c.iface: c for c in self.open_conns()}
            return by_if if all(i in by_if for i in ifaces) else None
        return wait_for(ready, timeout, what="connections over %s" % (ifaces,))

    def wait_new(self, iface, old, timeout=20):
        """An open connection over `iface` made after `old`."""
        def ready():
            return next((c for c in self.open_conns() if c.iface == iface and c is not old
                         and self.conns.index(c) > self.conns.index(old)), None)
        return wait_for(ready, timeout, what="a new connection over %d" % iface)

    def close(self):
        self.stopping = True
        self.thread.join()
        for c in self.conns:
            c.sock.close()
        self.lsock.close()


@pytest.fixture
def server(topo):
    s = RemoteServer(topo.rem, DSTPORT)
    yield s
    s.close()


def start(daemon, topo, tmp_path, *outdevs):
    args = ["--config", str(tmp_path / "none.cfg"), "--port", str(PORT),
            "--dstip", N.REMOTE, "--dstport", str(DSTPORT), "--nic", "fwd0",
            "--uuid", UUID, "-d", "7"]
    for o in outdevs:
        args += ["--outdev", o]
    return daemon("streamhop", *args, prefix=topo.prefix())


def local_client(topo):
    def attempt():
        try:
            return N.connect_in(topo.dev, ("127.0.0.1", PORT))
        except OSError:
            return None
    return wait_for(attempt, 10, interval=0.05, what="streamhop listening")


def wait_data(conn, size, timeout=5):
    wait_for(lambda: len(conn.data) >= size, timeout, what="%d bytes" % size)
    return bytes(conn.data)


def pieces(stream, head):
    """Split header-led messages; every message must start with the header."""
    assert stream.startswith(head)
    return stream.split(head)[1:]


def serving(daemon, topo, server, tmp_path):
    """streamhop over fwd0 and fwd1, serving a client that has sent "a":
    (daemon, connections by interface, header, client, descriptor count)."""
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    conns = server.wait_conns([0, 1])
    head = topo.header()
    cli = local_client(topo)
    cli.sendall(b"a")
    for i in (0, 1):
        wait_data(conns[i], 29)
    return d, conns, head, cli, d.fd_count()


def client_gets(cli, expected, timeout=5):
    cli.settimeout(timeout)
    got = b""
    while len(got) < len(expected):
        chunk = cli.recv(4096)
        if not chunk:
            break
        got += chunk
    return got


def nothing_for(cli, wait=0.4):
    cli.settimeout(wait)
    try:
        data = cli.recv(4096)
    except socket.timeout:
        return True
    raise AssertionError("unexpected %r" % data)


@pytest.mark.netns
def test_relay_over_each_interface_replies_and_teardown(daemon, topo, server, tmp_path):
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    conns = server.wait_conns([0, 1])
    head = topo.header()
    cli = local_client(topo)

    cli.sendall(b"abc")
    for i in (0, 1):
        assert wait_data(conns[i], 31) == head + b"abc"

    big = os.urandom(3000)
    cli.sendall(big)
    for i in (0, 1):
        wait_for(lambda: sum(len(p) for p in pieces(bytes(conns[i].data), head)) >= 3003,
                 5, what="3000 bytes relayed")
        parts = pieces(bytes(conns[i].data), head)
        assert parts[0] == b"abc"
        assert b"".join(parts[1:]) == big
        assert all(1 <= len(p) <= 1400 for p in parts[1:]) and len(parts) >= 4

    # Replies come from the interface listed last; its first 28 bytes go.
    conns[1].sock.sendall(os.urandom(28) + b"hello")
    assert client_gets(cli, b"hello") == b"hello"
    conns[1].sock.sendall(bytes(28) + b"hel\0lo")
    assert client_gets(cli, b"hel") == b"hel"

    # What arrives on the other connection is read and dropped, not queued.
    conns[0].sock.sendall(b"z" * 200000)
    d.wait_log(r"dropped \d+ bytes")

    def queued():
        out = N.sh("ip", "netns", "exec", topo.dev, "ss", "-Htn", "src",
                   N.DEV_ADDRS[0]).stdout.split()
        return out and out[1] == "0"
    wait_for(queued, 5, what="fwd0's receive queue drained")
    nothing_for(cli)

    # The server closing remote_fd ends the cycle: client and fwd0 closed too.
    t0 = time.monotonic()
    conns[1].sock.shutdown(socket.SHUT_RDWR)
    cli.settimeout(5)
    assert cli.recv(100) == b""
    wait_for(lambda: conns[0].eof, 5, what="fwd0 connection closed")

    # About a second later: listening again, with fresh remote connections.
    again = local_client(topo)
    assert time.monotonic() - t0 >= 0.9
    fresh = server.wait_conns([0, 1])
    assert fresh[0] is not conns[0] and fresh[1] is not conns[1]
    again.sendall(b"x")
    for i in (0, 1):
        assert wait_data(fresh[i], 29) == head + b"x"
    again.close()


@pytest.mark.netns
def test_an_interface_keeps_its_path_until_its_last_address_goes_and_regains_it(
        daemon, topo, server, tmp_path):
    N.ipn(topo.dev, "addr", "add", "10.200.1.3/24", "dev", "fwd1")
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)

    # A secondary address goes: fwd1 still has one, its connection stays.
    N.ipn(topo.dev, "addr", "del", "10.200.1.3/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.3\n")
    d.wait_log(r"fwd1 keeps an IPv4 address")
    cli.sendall(b"b")
    for i in (0, 1):
        assert pieces(wait_data(conns[i], 58), head) == [b"a", b"b"]
    assert not conns[1].eof and d.fd_count() == fds

    # Its last address goes (with the route through it): fwd1's connection
    # is closed, replies move to fwd0, and fwd0 keeps carrying every chunk.
    N.ipn(topo.dev, "addr", "del", "10.200.1.2/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.2\n")
    assert d.fd_count() == fds - 1
    cli.sendall(b"c")
    wait_data(conns[0], 87)
    conns[0].sock.sendall(bytes(28) + b"via0")
    assert client_gets(cli, b"via0") == b"via0"
    assert len(conns[1].data) == 58

    # Back again: a fresh connection over fwd1 that carries chunks; replies
    # stay on fwd0, which works, and what fwd1 gets is read and dropped.
    N.ipn(topo.dev, "addr", "add", "10.200.1.2/24", "dev", "fwd1")
    topo.route(1)
    d.wait_out(r"fwd1 is add 10\.200\.1\.2\n")
    # The old connection may still look open to the server: its FIN left
    # after fwd1 had lost its address and route.
    new1 = server.wait_new(1, conns[1])
    wait_for(lambda: d.fd_count() == fds, 5, what="fwd1's socket back")
    cli.sendall(b"d")
    assert wait_data(new1, 29) == head + b"d"
    assert pieces(wait_data(conns[0], 116), head) == [b"a", b"b", b"c", b"d"]
    new1.sock.sendall(bytes(28) + b"via1")
    d.wait_log(r"dropped 32 bytes")
    conns[0].sock.sendall(bytes(28) + b"still0")
    assert client_gets(cli, b"still0") == b"still0"
    assert d.alive()


@pytest.mark.netns
def test_an_interface_whose_remaining_address_has_another_label_keeps_its_path(
        daemon, topo, server, tmp_path):
    # An address in a subnet of its own, under a label other than the
    # interface's name.
    N.ipn(topo.dev, "addr", "add", "10.9.9.9/24", "dev", "fwd1", "label", "fwd1:0")
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)

    # The address under the interface's own name goes: the labelled one is
    # left, so fwd1's entry stays open and fwd0 keeps carrying chunks.
    N.ipn(topo.dev, "addr", "del", "10.200.1.2/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.2\n")
    d.wait_log(r"fwd1 keeps an IPv4 address")
    assert d.fd_count() == fds
    cli.sendall(b"b")
    assert pieces(wait_data(conns[0], 58), head) == [b"a", b"b"]

    # The labelled address goes too: now fwd1 has none and its entry closes.
    N.ipn(topo.dev, "addr", "del", "10.9.9.9/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.9\.9\.9\n")
    wait_for(lambda: d.fd_count() == fds - 1, 5, what="fwd1's socket closed")
    assert d.alive()


@pytest.mark.netns
def test_descriptors_stay_flat_over_many_cycles(daemon, topo, tmp_path):
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    # No server yet: each cycle fails its first connection and starts again.
    d.wait_log(r"goto recreate", count=2)
    server = RemoteServer(topo.rem, DSTPORT)
    try:
        counts = []
        for cycle in range(21):
            conns = server.wait_conns([0, 1])
            cli = local_client(topo)
            cli.sendall(b"%d" % cycle)
            for i in (0, 1):
                wait_data(conns[i], 29)
            counts.append(d.fd_count())
            cli.close()
            for i in (0, 1):
                wait_for(lambda: conns[i].eof, 5, what="cycle's connections closed")
        assert len(set(counts)) == 1, counts
    finally:
        server.close()


class Sender:
    """Sends `data` to the local client socket from a thread, until done or
    stopped; `sent` is how far it got."""

    def __init__(self, cli, data):
        self.cli, self.data, self.sent, self.stopping = cli, data, 0, False
        self.error = None
        self.cli.settimeout(30)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            while not self.stopping and self.sent < len(self.data):
                self.sent += self.cli.send(self.data[self.sent:self.sent + 65536])
        except OSError as e:
            self.error = e

    def stop(self):
        self.stopping = True
        self.thread.join(30)
        assert self.error is None, self.error
        return self.data[:self.sent]


def payload(conn, head):
    return b"".join(pieces(bytes(conn.data), head))


@pytest.mark.netns
@pytest.mark.parametrize("how", ["peer link down", "gateway gone"])
def test_an_uplink_unreachable_at_start_is_skipped_and_used_again_once_reachable(
        daemon, topo, server, tmp_path, how):
    # Either way fwd1's SYNs go nowhere and the connect bound ends each
    # attempt; the device sees no address change.
    if how == "peer link down":
        N.ipn(topo.rem, "link", "set", "fwr1", "down")
    else:
        N.ipn(topo.rem, "addr", "del", N.PEER_ADDRS[1] + "/24", "dev", "fwr1")
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    conns = server.wait_conns([0])
    d.wait_log(r"connect on fwd1 failed: .*sdrfd\[1\] closed, retry in 1 s")
    head = topo.header()
    cli = local_client(topo)
    cli.sendall(b"abc")
    assert wait_data(conns[0], 31) == head + b"abc"
    conns[0].sock.sendall(bytes(28) + b"via0")
    assert client_gets(cli, b"via0") == b"via0"
    fds = d.fd_count()

    # Reachable again without any address event: back within the back-off.
    if how == "peer link down":
        N.ipn(topo.rem, "link", "set", "fwr1", "up")
    else:
        N.ipn(topo.rem, "addr", "add", N.PEER_ADDRS[1] + "/24", "dev", "fwr1")
    new1 = server.wait_conns([1], timeout=20)[1]
    wait_for(lambda: d.fd_count() == fds + 1, 5, what="fwd1 connected")
    cli.sendall(b"x")
    assert wait_data(new1, 29) == head + b"x"
    assert pieces(wait_data(conns[0], 60), head) == [b"abc", b"x"]
    assert "is add" not in d.stdout()
    assert d.alive()


@pytest.mark.netns
def test_a_stalled_uplink_is_closed_while_the_client_and_the_other_keep_flowing(
        daemon, topo, server, tmp_path):
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)

    # fwd1's server stops reading: that path falls behind and is closed;
    # the client and fwd0 keep flowing.
    old1 = conns[1]
    old1.paused = True
    sender = Sender(cli, random.Random(1).randbytes(48 << 20))
    d.wait_log(r"fwd1 falls more than 1048576 bytes behind", timeout=20)
    new1 = server.wait_new(1, old1)
    sent = b"a" + sender.stop()
    cli.sendall(b"tail")
    sent += b"tail"
    wait_for(lambda: len(payload(conns[0], head)) >= len(sent), 20, what="all of it over fwd0")
    assert payload(conns[0], head) == sent
    wait_for(lambda: payload(new1, head).endswith(b"tail"), 10, what="the tail over fwd1")
    assert sent.endswith(payload(new1, head))
    assert bytes(new1.data).startswith(head)

    # What the stalled connection got is whole frames as far as it goes.
    old1.paused = False
    wait_for(lambda: old1.eof, 20, what="the stalled connection read to its end")
    assert bytes(conns[0].data).startswith(bytes(old1.data))
    assert d.fd_count() == fds
    assert "fwd0 falls" not in d.stderr() and "on fwd0 failed" not in d.stderr()
    assert d.alive()


@pytest.mark.netns
def test_a_single_stalled_path_slows_the_client_and_loses_nothing(
        daemon, topo, server, tmp_path):
    d = start(daemon, topo, tmp_path, "fwd0")
    conn = server.wait_conns([0])[0]
    head = topo.header()
    cli = local_client(topo)
    conn.paused = True
    data = random.Random(2).randbytes(24 << 20)
    sender = Sender(cli, data)
    d.wait_log(r"stop reading the client", timeout=20)
    conn.paused = False
    wait_for(lambda: sender.sent == len(data), 30, what="the client's data taken")
    sender.stop()
    wait_for(lambda: len(payload(conn, head)) >= len(data), 20, what="all of it relayed")
    assert payload(conn, head) == data
    assert all(len(p) <= 1400 for p in pieces(bytes(conn.data), head))
    assert "behind" not in d.stderr()
    cli.sendall(b"still here")
    wait_for(lambda: payload(conn, head).endswith(b"still here"), 5, what="more after it")


@pytest.mark.netns
def test_lost_address_notifications_are_made_up_by_asking_the_kernel(
        daemon, topo, server, tmp_path):
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)
    N.ipn(topo.dev, "addr", "del", "10.200.1.2/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.2\n")

    # fwd1's address comes back at the end of a burst the monitor cannot
    # keep up with: that notification is lost.
    N.notification_burst(topo, d.pid, 3000, [
        "address add 10.200.1.2/24 dev fwd1",
        "route replace %s/32 via %s dev fwd1 metric 20" % (N.REMOTE, N.PEER_ADDRS[1])])
    d.wait_log(r"WARNING: address notifications lost")
    new1 = server.wait_new(1, conns[1], timeout=10)
    cli.sendall(b"b")
    assert wait_data(new1, 29) == head + b"b"
    assert pieces(wait_data(conns[0], 58), head) == [b"a", b"b"]
    assert d.stderr().count("address notifications lost") == 1
    assert "fwd1 is add" not in d.stdout()
    wait_for(lambda: d.fd_count() == fds, 5, what="descriptors back to before")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))


@pytest.mark.netns
def test_a_client_that_does_not_read_slows_only_its_own_replies(daemon, topo, server, tmp_path):
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    conns = server.wait_conns([0, 1])
    head = topo.header()
    with N.inside(topo.dev):
        cli = socket.socket()
        cli.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    wait_for(lambda: cli.connect_ex(("127.0.0.1", PORT)) == 0, 10, interval=0.05,
             what="streamhop listening")
    cli.sendall(b"a")
    for i in (0, 1):
        wait_data(conns[i], 29)
    rss = rss_kib(d.pid)

    # The server floods replies on the reply connection (fwd1, listed last)
    # while the client reads nothing, until the relay stops reading them.
    flood = bytearray()
    flooding = threading.Event()

    def flood_replies(rnd=random.Random(3)):
        conns[1].sock.settimeout(120)
        while not flooding.is_set():
            chunk = bytes(rnd.randrange(1, 256) for _ in range(65536))
            conns[1].sock.sendall(chunk)
            flood.extend(chunk)
    server_thread = threading.Thread(target=flood_replies, daemon=True)
    server_thread.start()
    d.wait_log(r"stop reading replies", timeout=30)

    # The relay goes on: the client's bytes reach both paths, a path the
    # server drops comes back after its back-off timer, the monitor is read.
    cli.sendall(b"up")
    for i in (0, 1):
        assert pieces(wait_data(conns[i], 58), head) == [b"a", b"up"]
    conns[0].sock.shutdown(socket.SHUT_RDWR)
    new0 = server.wait_new(0, conns[0])
    cli.sendall(b"again")
    assert wait_data(new0, 33) == head + b"again"
    N.ipn(topo.dev, "addr", "add", "10.99.0.1/32", "dev", "lo")
    d.wait_log(r"eth: lo not hit fwd1")
    assert server_thread.is_alive() and rss_kib(d.pid) - rss < 1024

    # Once the client reads, it gets every reply byte in order: each read of
    # the relay less its first 28 bytes.
    flooding.set()
    got = bytearray()
    cli.settimeout(0.5)
    rx = re.compile(r"reply of (\d+) bytes: \d+ to local client")
    deadline = time.monotonic() + 60
    while True:
        try:
            got += cli.recv(65536)
            continue
        except socket.timeout:
            pass
        reads = [int(n) for n in rx.findall(d.stderr())]
        if not server_thread.is_alive() and sum(reads) == len(flood):
            break
        assert time.monotonic() < deadline, "replies not all relayed"
    want, off = bytearray(), 0
    for n in reads:
        want += flood[off + 28:off + n]
        off += n
    assert got == want
    assert d.alive()


@pytest.mark.netns
def test_a_dead_uplink_with_data_in_flight_fails_within_the_bound_beside_a_server_that_stops_reading(
        daemon, topo, server, tmp_path):
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)
    # fwd0's server stops reading: with what fits in the kernels sent, its
    # window is shut, and the window probes are answered.
    conns[0].paused = True
    bulk = random.Random(4).randbytes(900 << 10)
    cli.sendall(bulk)
    sent = b"a" + bulk
    wait_for(lambda: len(payload(conns[1], head)) == len(sent), 20, what="the bulk over fwd1")

    def window_shut():  # bytes wait to be sent, none are in flight
        out = N.sh("ip", "netns", "exec", topo.dev, "ss", "-Htin", "src", N.DEV_ADDRS[0]).stdout
        m = re.search(r"notsent:(\d+)", out)
        return m and int(m[1]) > 0 and "unacked:" not in out
    wait_for(window_shut, 10, what="fwd0's window shut")

    # fwd1's far side goes down while a trickle is in flight: fwd1 fails
    # within about half a minute; fwd0, shut all that time, stays.
    N.ipn(topo.rem, "link", "set", "fwr1", "down")
    t0 = time.monotonic()
    rx = re.compile(r"fwd1: nothing acknowledged for \d+ ms.*\n.*send on fwd1 failed")
    k = 0
    while not rx.search(d.stderr()):
        assert time.monotonic() - t0 < 50, "fwd1 not failed"
        piece = b"%02d" % k + b"t" * 48
        cli.sendall(piece)
        sent += piece
        k += 1
        time.sleep(0.5)
    failed_after = time.monotonic() - t0
    assert failed_after > 20 and window_shut()
    assert "on fwd0 failed" not in d.stderr() and "fwd0 falls" not in d.stderr()

    # The replies moved to fwd0.
    conns[0].sock.sendall(bytes(28) + b"moved")
    assert client_gets(cli, b"moved") == b"moved"

    # The link comes back: so does fwd1; fwd0 delivers all of it once read.
    N.ipn(topo.rem, "link", "set", "fwr1", "up")
    new1 = server.wait_new(1, conns[1], timeout=20)
    cli.sendall(b"tail")
    sent += b"tail"
    assert wait_data(new1, 32) == head + b"tail"
    conns[0].paused = False
    wait_for(lambda: len(payload(conns[0], head)) >= len(sent), 20, what="all of it over fwd0")
    assert payload(conns[0], head) == sent
    wait_for(lambda: d.fd_count() == fds, 5, what="descriptors back to before")
    print("fwd1 failed %.1f s after its link went down" % failed_after)


@pytest.mark.netns
def test_an_uplink_deleted_under_traffic_closes_at_once_and_one_of_its_name_is_used_again(
        daemon, topo, server, tmp_path):
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)
    sent = b"a"
    N.ipn(topo.dev, "link", "del", "fwd1")
    t0 = time.monotonic()
    while d.fd_count() != fds - 1:  # a trickle meanwhile
        assert time.monotonic() - t0 < 5, "fwd1's entry not closed"
        piece = b"t" * 100
        cli.sendall(piece)
        sent += piece
        time.sleep(0.02)
    wait_for(lambda: len(payload(conns[0], head)) >= len(sent), 20, what="all of it over fwd0")
    assert payload(conns[0], head) == sent
    # Replies moved to fwd0.
    conns[0].sock.sendall(bytes(28) + b"via0")
    assert client_gets(cli, b"via0") == b"via0"

    # A new interface of that name with an address is used again.
    topo.link(1)
    d.wait_out(r"fwd1 is add 10\.200\.1\.2\n")
    new1 = server.wait_new(1, conns[1])
    cli.sendall(b"x")
    assert wait_data(new1, 29) == head + b"x"
    wait_for(lambda: d.fd_count() == fds, 5, what="descriptors back to before")


@pytest.mark.netns
def test_an_address_dump_interrupted_by_changes_does_not_close_an_interface_that_keeps_one(
        daemon, topo, server, tmp_path):
    # fwd1's own address comes after many others, which then all go in one
    # burst: each removal makes the monitor ask the kernel for the present
    # addresses while the burst changes them.
    extra = ["10.77.%d.%d" % (k // 250, k % 250 + 1) for k in range(500)]
    batch = ["address del %s/24 dev fwd1" % N.DEV_ADDRS[1]]
    batch += ["address add %s/32 dev fwd1" % a for a in extra]
    batch += ["address add %s/24 dev fwd1" % N.DEV_ADDRS[1]]
    N.ipn_batch(topo.dev, batch)
    topo.route(1)
    d, conns, head, cli, fds = serving(daemon, topo, server, tmp_path)
    N.ipn_batch(topo.dev, ["address del %s/32 dev fwd1" % a for a in extra])
    # Two marks on the loopback read after the burst: once the second is,
    # everything before it has been handled (a mark lost in an overrun of
    # the monitor is followed by another).
    marks, seen = 0, lambda: d.stderr().count("eth: lo not hit fwd1")
    for k in range(1, 60):
        before = seen()
        N.ipn(topo.dev, "addr", "add", "10.99.0.%d/32" % k, "dev", "lo")
        try:
            wait_for(lambda: seen() > before, 5, what="the mark read")
        except AssertionError:
            continue
        marks += 1
        if marks == 2:
            break
    cli.sendall(b"b")
    assert pieces(wait_data(conns[1], 58), head) == [b"a", b"b"]
    assert d.fd_count() == fds and not conns[1].eof
    print("dumps asked again: %d" % d.stderr().count("address dump interrupted"))
