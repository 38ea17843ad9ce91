"""linkhub as the server side of streamhop and dgramhop: the real relays
in the device namespace with two uplinks, linkhub and a recording backend
in the remote namespace (fw_relays); every byte and datagram reaches the
backend once."""
import collections
import hashlib
import re
import socket
import time

import pytest

import fw_netns as N
import fw_relays as R
from conftest import UUID, wait_for
from fw_netns import topo  # noqa: F401 (fixture)

pytestmark = [pytest.mark.hub, pytest.mark.netns]

# The transfer of the stream tests; smaller under the sanitizer build,
# which is several times slower.
BIG = (10 if R.sanitized() else 50) * 1000 * 1000
# Paced transfers take about this long, so that links can go and come.
PACED_SECONDS = 12.0


@pytest.fixture
def backend(topo):
    b = R.TcpBackend(topo.rem)
    yield b
    b.close()


@pytest.fixture
def hub(daemon, topo, tmp_path):
    return R.LinkHub(daemon, topo, tmp_path)


@pytest.fixture
def proxied(topo):
    """proxied(i): path i through a proxy namespace the test controls."""
    made = []

    def make(i):
        ns = R.make_proxy_ns(topo, i)
        p = R.Proxy(ns)
        made.append((ns, p))
        return p

    yield make
    for ns, p in made:
        p.close()
        N.sh("ip", "netns", "del", ns, check=False)


def wait_paths(hub, n, timeout=20):
    wait_for(lambda: R.paths_open(hub) == n, timeout, what="%d paths open" % n)


def placed(hub, peer_ip):
    """The hub's lines placing a path from peer_ip: [(frame, behind)]."""
    rx = r"path %s:\d+ placed at frame (\d+), (\d+) behind" % re.escape(peer_ip)
    return [(int(a), int(b)) for a, b in re.findall(rx, hub.stderr())]


def finish(sender, cli, backend, timeout=120, exact=True):
    """The client has sent all, the backend has it (streamhop drops what its
    queues hold when its client closes), then the client closes and so does
    the session.  exact=False: until the backend gets nothing more."""
    sender.join(timeout)
    if exact:
        wait_for(lambda: backend.total() >= len(sender.data), timeout,
                 what="the backend has all %d bytes" % len(sender.data))
    else:
        last = [-1]

        def settled():
            now, last[0] = backend.total(), backend.total()
            time.sleep(3)
            return backend.total() == now
        wait_for(settled, timeout, interval=0, what="the backend got nothing more")
    cli.close()
    wait_for(lambda: backend.conns and all(c["eof"] for c in backend.conns), 60,
             what="the backend connection closed")


def assert_exact(backend, data):
    assert len(backend.conns) == 1, "one backend connection per session"
    c = backend.conns[0]
    assert c["n"] == len(data), "bytes: sent %d, delivered %d" % (len(data), c["n"])
    assert c["sha"].hexdigest() == hashlib.sha256(data).hexdigest()


def paced(cli, data):
    piece = 65536
    return R.Sender(cli, data, piece=piece, pause=PACED_SECONDS * piece / len(data))


def each_uplink_placed(hub):
    for ip in N.DEV_ADDRS:
        wait_for(lambda: placed(hub, ip), 30, what="the path from %s placed" % ip)


def down_and_up(topo, hub, sender, i, until):
    """Uplink i down until the client has sent `until` of its data, then up;
    returns once the relay's new path over it is placed."""
    before = len(placed(hub, N.DEV_ADDRS[i]))
    link(topo, i, "down")
    wait_for(lambda: sender.sent > until * len(sender.data), 60)
    link(topo, i, "up")
    wait_for(lambda: len(placed(hub, N.DEV_ADDRS[i])) > before, 60,
             what="fwd%d's path placed again" % i)


def link(topo, i, state):
    N.ipn(topo.dev, "link", "set", N.DEV_IFS[i], state)
    if state == "up":
        topo.route(i)


def test_streamhop_two_healthy_paths_deliver_the_stream_once(daemon, topo, backend, hub,
                                                             tmp_path):
    R.start_streamhop(daemon, topo, tmp_path)
    cli = R.local_client(topo)
    data = R.pattern(BIG)
    t0 = time.monotonic()
    s = R.Sender(cli, data)
    each_uplink_placed(hub)
    finish(s, cli, backend)
    print("%d bytes in %.1f s" % (len(data), time.monotonic() - t0))
    assert_exact(backend, data)
    relay = hub.relay()
    assert relay["duplicates_dropped"] > 0, "both paths carried the stream"
    assert relay["ambiguous_failovers"] == 0
    assert hub.device()["group"] == UUID
    # The session ended with its paths; the next one gets a backend of its own.
    wait_paths(hub, 0)
    cli = R.local_client(topo)
    cli.sendall(b"second session\n")
    wait_for(lambda: len(backend.conns) == 2, 20, what="a second backend connection")
    cli.close()


def test_streamhop_an_uplink_down_and_up_again_loses_nothing_and_rejoins(daemon, topo, backend,
                                                                         hub, tmp_path):
    R.start_streamhop(daemon, topo, tmp_path)
    cli = R.local_client(topo)
    data = R.pattern(BIG, seed=2)
    s = paced(cli, data)
    wait_for(lambda: s.sent > 0.2 * len(data), 60)
    each_uplink_placed(hub)
    # The relay connects fwd0 again: a new path, placed in the stream ...
    down_and_up(topo, hub, s, 0, 0.45)
    # ... and used: the other uplink goes too, the rejoined path carries on.
    link(topo, 1, "down")
    wait_for(lambda: s.sent > 0.9 * len(data), 60)
    link(topo, 1, "up")
    finish(s, cli, backend)
    assert_exact(backend, data)


def test_streamhop_a_path_held_back_joins_behind_is_placed_and_carries_on(daemon, topo, backend,
                                                                         proxied, hub, tmp_path):
    proxy = proxied(1)
    proxy.hold = True
    R.start_streamhop(daemon, topo, tmp_path)
    cli = R.local_client(topo)
    data = R.pattern(BIG, seed=3)
    s = paced(cli, data)
    # Held within the history (a few MB), then forwarded late.
    wait_for(lambda: s.sent > min(3e6, 0.25 * len(data)), 60)
    assert proxy.waiting() > 0
    proxy.hold = False
    got = wait_for(lambda: placed(hub, R.PROXY_LINK[0]), 30, what="the held path placed")
    assert got[0][1] > 0, "placed behind the head"
    # The direct uplink goes: the held path, placed, carries the stream.
    down_and_up(topo, hub, s, 0, 0.55)
    # Then the proxy stops forwarding: that path's loss costs nothing.
    proxy.stop()
    finish(s, cli, backend)
    assert_exact(backend, data)


def test_streamhop_repeated_content_at_a_failover_is_warned_counted_and_never_doubled(
        daemon, topo, tmp_path):
    backend = R.TcpBackend(topo.rem, keep=True)
    try:
        hub = R.LinkHub(daemon, topo, tmp_path)
        R.start_streamhop(daemon, topo, tmp_path)
        cli = R.local_client(topo)
        msg = (b"the same message, again and again, " * 3)[:99] + b"\n"
        data = msg * 10000
        # 1400-byte writes: every frame is the same 14 messages.
        s = R.Sender(cli, data, piece=1400, pause=0.012)
        each_uplink_placed(hub)
        # fwd1 loses its address and gets it back: the relay connects it
        # anew, the path joins late, and its frames fit everywhere in the
        # history.
        joins = lambda: len(re.findall(r"path %s:\d+ joins" % N.DEV_ADDRS[1], hub.stderr()))
        before = joins()
        wait_for(lambda: s.sent > 0.2 * len(data), 30)
        N.ipn(topo.dev, "addr", "del", N.DEV_ADDRS[1] + "/24", "dev", "fwd1")
        N.ipn(topo.dev, "addr", "add", N.DEV_ADDRS[1] + "/24", "dev", "fwd1")
        topo.route(1)
        wait_for(lambda: joins() > before, 30, what="fwd1's path back")
        at = s.sent
        wait_for(lambda: s.sent > min(len(data) - 100000, at + 100000), 30)
        # Then fwd0's uplink goes: only the late path is left.
        link(topo, 0, "down")
        finish(s, cli, backend, timeout=60, exact=False)
        text = hub.stderr()
        warnings = re.findall(r"WARNING: .*place is ambiguous after a failover", text)
        assert len(warnings) == 1, text[-3000:]
        assert hub.relay()["ambiguous_failovers"] == 1
        got = bytes(backend.conns[0]["data"])
        assert len(got) <= len(data), "delivered twice"
        assert len(got) % 100 == 0 and got == msg * (len(got) // 100)
        print("delivered %d of %d messages" % (len(got) // 100, 10000))
    finally:
        backend.close()


def test_streamhop_a_stalled_backend_slows_the_relay_without_queueing(daemon, topo, backend,
                                                                      hub, tmp_path):
    R.start_streamhop(daemon, topo, tmp_path)
    cli = R.local_client(topo)
    # More than every buffer on the way holds, whatever the build.
    data = R.pattern(50 * 1000 * 1000, seed=5)
    cli.sendall(data[:1000])
    wait_for(lambda: backend.total() == 1000, 20, what="the first bytes")
    dirty = R.private_dirty_kb(hub.d.pid)
    backend.paused = True
    s = R.Sender(cli, data[1000:])
    # The client is slowed down: what it got rid of stays within what the
    # kernels and the relay's queues hold.
    def stalled():
        before = s.sent
        time.sleep(1.0)
        return s.sent == before
    wait_for(stalled, 60, interval=0, what="the client slowed to a stop")
    assert s.sent < len(data) - 1000
    grown = R.private_dirty_kb(hub.d.pid) - dirty
    assert grown < 16 * 1024, "the hub grew by %d kB" % grown
    backend.paused = False
    finish(s, cli, backend)
    assert_exact(backend, data)


def test_sessions_and_refused_backends_leave_no_descriptor_behind(daemon, topo, tmp_path):
    hub = R.LinkHub(daemon, topo, tmp_path)
    base = hub.d.fd_count()
    for cycle in range(6):
        backend = R.TcpBackend(topo.rem) if cycle % 3 != 2 else None
        relay = R.start_streamhop(daemon, topo, tmp_path)
        try:
            cli = R.local_client(topo)
            cli.sendall(b"cycle %d\n" % cycle)
            if backend:
                wait_for(lambda: backend.total() > 0, 20, what="the backend reached")
            else:
                # Nobody listens: the session ends, its paths are closed.
                wait_for(lambda: hub.stderr().count("session ends: no backend") > cycle // 3,
                         20, what="the session without a backend ended")
            cli.close()
        finally:
            relay.stop()
            if backend:
                backend.close()
        wait_for(lambda: R.paths_open(hub) == 0, 30, what="the paths closed")
        # Back to what the hub had before any relay came (links the core
        # still holds for their header go within its 10 s).
        wait_for(lambda: hub.d.fd_count() == base, 15,
                 what="cycle %d: %d descriptors as at first" % (cycle, base))


def dgram_client(topo):
    return N.sock_in(topo.dev, socket.SOCK_DGRAM, bind=("127.0.0.1", 0))


def rcvbuf_errors(topo):
    """Datagrams the kernel dropped for a full receive buffer, in both
    namespaces so far."""
    total = 0
    for ns in (topo.dev, topo.rem):
        out = N.sh("ip", "netns", "exec", ns, "nstat", "-az", "UdpRcvbufErrors").stdout
        for line in out.splitlines():
            if line.startswith("UdpRcvbufErrors"):
                total += int(line.split()[1])
    return total


def test_dgramhop_each_datagram_once_though_a_path_loses_a_third(daemon, topo, proxied, tmp_path):
    ub = R.UdpBackend(topo.rem)
    try:
        proxy = proxied(1)
        proxy.drop_every = 3
        hub = R.LinkHub(daemon, topo, tmp_path)
        d = R.start_dgramhop(daemon, topo, tmp_path)
        d.wait_log(r"dgramhop: listen port")
        cli = dgram_client(topo)
        overflows = rcvbuf_errors(topo)
        n = 100000
        want = collections.Counter()
        for i in range(n):
            payload = b"datagram %06d" % i
            copies = 2 if i % 1000 == 0 else 1  # the same payload twice, on purpose
            for _ in range(copies):
                cli.sendto(payload, ("127.0.0.1", R.LOCAL_PORT))
                want[payload] += 1
            if i % 25 == 24:
                # At most a few dozen in flight, whatever the pace of the
                # programs (the sanitizer build is slower): no buffer on the
                # way overflows, so only the proxy loses datagrams.
                sent = sum(want.values())
                wait_for(lambda: len(ub.got) >= sent - 50, 30, interval=0.0005,
                         what="the backend near %d datagrams" % sent)
        total = sum(want.values())
        try:
            # A receive buffer that overflowed (the kernel counts it) loses
            # what only one path carried: UDP's loss, not the merge's.
            wait_for(lambda: len(ub.got) >= total - (rcvbuf_errors(topo) - overflows), 60,
                     what="%d datagrams" % total)
        finally:
            print("backend got %d of %d; proxy forwarded %d, dropped %d; %s" % (
                len(ub.got), total, proxy.forwarded, proxy.dropped, hub.device()))
            for ns in (topo.dev, topo.rem):
                print(ns, N.sh("ip", "netns", "exec", ns, "nstat", "-az", "UdpRcvbufErrors",
                               "UdpSndbufErrors", "UdpInErrors").stdout)
        time.sleep(0.5)
        got = collections.Counter(ub.got)
        lost = rcvbuf_errors(topo) - overflows
        # Nothing twice, nothing beyond what was sent; the same payload sent
        # twice arrives twice; missing only as many as the kernel dropped.
        assert not got - want
        assert sum((want - got).values()) <= lost
        assert sum(1 for p, c in got.items() if want[p] == 2 and c == 2) >= n // 1000 - lost
        assert proxy.dropped > n // 4
        relay = hub.relay("datagram")
        assert relay["datagrams_delivered"] == len(ub.got)
        assert relay["paths_open"] == 2
        assert hub.device()["group"] == UUID
        cli.close()
    finally:
        ub.close()


def test_replies_reach_the_local_client_once_each(daemon, topo, tmp_path):
    """Both paths healthy.  streamhop: every reply frame goes on both paths,
    the relay takes those of its reply path; dgramhop: every reply goes on
    both paths, whichever delivered the request, and the relay passes on the
    one on the socket it reads."""
    backend = R.TcpBackend(topo.rem, reply=True)
    ub = R.UdpBackend(topo.rem)
    try:
        hub = R.LinkHub(daemon, topo, tmp_path)
        R.start_streamhop(daemon, topo, tmp_path)
        cli = R.local_client(topo)
        got = b""
        want = b""
        for i in range(40):
            cli.sendall(b"req %d\n" % i)
            want += b"ack req %d\n" % i
            deadline = time.monotonic() + 10
            while len(got) < len(want) and time.monotonic() < deadline:
                cli.settimeout(deadline - time.monotonic())
                got += cli.recv(4096)
        cli.settimeout(0.5)
        with pytest.raises(socket.timeout):
            got += cli.recv(4096)
        assert got == want
        cli.close()

        R.start_dgramhop(daemon, topo, tmp_path).wait_log(r"dgramhop: listen port")
        u = dgram_client(topo)
        u.settimeout(5)
        for i in range(40):
            u.sendto(b"req %d" % i, ("127.0.0.1", R.LOCAL_PORT))
            assert u.recv(512) == b"ack req %d" % i
            # Exactly once: no second copy follows before the next request.
            u.settimeout(0.1)
            with pytest.raises(socket.timeout):
                u.recv(512)
            u.settimeout(5)
        u.settimeout(0.5)
        with pytest.raises(socket.timeout):
            u.recv(512)
        relay = hub.relay("datagram")
        assert relay["paths_open"] == 2
        assert relay["datagrams_delivered"] == 40
        u.close()
    finally:
        backend.close()
        ub.close()
