"""dgramhop against real interfaces: a device namespace with two veth links
to a remote namespace that plays the endpoint (see fw_netns)."""
import os
import socket
import time

import pytest

from conftest import UUID, run, wait_for
import fw_netns as N
from fw_netns import topo  # noqa: F401 (fixture)

PORT = 7100
DSTPORT = 9100


def start(daemon, topo, tmp_path, *outdevs):
    args = ["--config", str(tmp_path / "none.cfg"), "--port", str(PORT),
            "--dstip", N.REMOTE, "--dstport", str(DSTPORT), "--nic", "fwd0",
            "--uuid", UUID, "-d", "7"]
    for o in outdevs:
        args += ["--outdev", o]
    d = daemon("dgramhop", *args, prefix=topo.prefix())
    d.wait_log(r"create sock: \d+ for %s" % outdevs[-1])
    d.wait_log(r"nlmsg_type: 3,16")
    return d


def endpoint(topo):
    return N.sock_in(topo.rem, socket.SOCK_DGRAM, bind=(N.REMOTE, DSTPORT))


def client(topo):
    return N.sock_in(topo.dev, socket.SOCK_DGRAM, bind=("127.0.0.1", 0))


def receive_per_interface(srv, count=2):
    """{interface index: (payload, source address)} of `count` datagrams."""
    got = {}
    for _ in range(count):
        data, addr = srv.recvfrom(20000)
        got[N.peer_of(addr)] = (data, addr)
    return got


def nothing_more(sock, wait=0.4):
    sock.settimeout(wait)
    try:
        data = sock.recv(20000)
    except socket.timeout:
        return True
    finally:
        sock.settimeout(5.0)
    raise AssertionError("unexpected datagram %r" % data)


def relaying(daemon, topo, tmp_path):
    """dgramhop over fwd0 and fwd1 that has relayed "1": (endpoint, daemon,
    client, what the endpoint got by interface, descriptor count)."""
    srv = endpoint(topo)
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    c = client(topo)
    c.sendto(b"1", ("127.0.0.1", PORT))
    first = receive_per_interface(srv)
    return srv, d, c, first, d.fd_count()


@pytest.mark.netns
def test_datagrams_leave_once_per_interface_and_replies_reach_the_last_sender(
        daemon, topo, tmp_path):
    srv = endpoint(topo)
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    a, b = client(topo), client(topo)
    head = topo.header()

    a.sendto(b"abc", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert sorted(got) == [0, 1]
    assert all(data == head + b"abc" for data, _ in got.values())

    # Replies are read from the interface listed last (fwd1) only.
    srv.sendto(b"ignored", got[0][1])
    srv.sendto(b"x" * 600, got[1][1])
    data, addr = a.recvfrom(2000)
    assert data == b"x" * 512 and addr == ("127.0.0.1", PORT)
    nothing_more(a)

    # An empty datagram is the header alone; its sender becomes the one answered.
    b.sendto(b"", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert all(data == head for data, _ in got.values())
    srv.sendto(b"to b", got[1][1])
    assert b.recvfrom(100)[0] == b"to b"
    nothing_more(a)

    big = os.urandom(16500)
    a.sendto(big, ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert all(data == head + big[:16000] for data, _ in got.values())
    assert d.alive()


@pytest.mark.netns
def test_address_changes_close_and_reopen_the_entry_and_replies_follow(
        daemon, topo, tmp_path):
    srv, d, c, first, fds = relaying(daemon, topo, tmp_path)

    # A further address re-opens fwd1's socket: a new source port.
    N.ipn(topo.dev, "addr", "add", "10.200.1.3/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is add 10\.200\.1\.3\n")
    c.sendto(b"2", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert got[1][0].endswith(b"2") and got[1][1] != first[1][1]
    assert got[0][1] == first[0][1]
    srv.sendto(b"after add", got[1][1])
    assert c.recvfrom(100)[0] == b"after add"
    assert d.fd_count() == fds

    # Removing it leaves fwd1 with its first address: the entry stays.
    N.ipn(topo.dev, "addr", "del", "10.200.1.3/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.3\n")
    d.wait_log(r"fwd1 keeps an IPv4 address")
    c.sendto(b"3", ("127.0.0.1", PORT))
    kept = receive_per_interface(srv)
    assert sorted(kept) == [0, 1] and kept[1][1] == got[1][1]
    assert d.fd_count() == fds

    # Its last address goes: the entry closes, one datagram only, via fwd0.
    N.ipn(topo.dev, "addr", "del", "10.200.1.2/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.2\n")
    c.sendto(b"4", ("127.0.0.1", PORT))
    got = receive_per_interface(srv, 1)
    assert list(got) == [0]
    nothing_more(srv)
    assert d.fd_count() == fds - 1

    # Back again: both interfaces carry it and the reply watcher follows.
    N.ipn(topo.dev, "addr", "add", "10.200.1.2/24", "dev", "fwd1")
    topo.route(1)
    d.wait_out(r"fwd1 is add 10\.200\.1\.2\n")
    c.sendto(b"5", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert sorted(got) == [0, 1]
    srv.sendto(b"back", got[1][1])
    assert c.recvfrom(100)[0] == b"back"
    assert d.fd_count() == fds
    assert d.alive()


@pytest.mark.netns
def test_an_interface_that_is_not_configured_leaves_the_table_alone(daemon, topo, tmp_path):
    srv = endpoint(topo)
    d = start(daemon, topo, tmp_path, "fwd0")
    c = client(topo)
    c.sendto(b"1", ("127.0.0.1", PORT))
    before = receive_per_interface(srv, 1)

    N.ipn(topo.dev, "addr", "add", "10.200.1.3/24", "dev", "fwd1")
    d.wait_log(r"rtm_newaddr\(\): DEBUG: eth: fwd1 not hit fwd0")
    c.sendto(b"2", ("127.0.0.1", PORT))
    after = receive_per_interface(srv, 1)
    assert list(after) == [0] and after[0][1] == before[0][1]
    nothing_more(srv)
    assert "is add" not in d.stdout()


@pytest.mark.parametrize("missing", ["dstip", "dstport"])
def test_a_missing_destination_ends_start_up(tmp_path, missing):
    args = {"dstip": "127.0.0.1", "dstport": "9"}
    del args[missing]
    words = ["--config", str(tmp_path / "none.cfg"), "--outdev", "lo", "--uuid", UUID]
    for k, v in args.items():
        words += ["--" + k, v]
    r = run("dgramhop", *words)
    assert r.returncode == 255
    assert ("ERR: please fill %s parament" % missing) in r.stderr.decode()


@pytest.mark.netns
def test_a_path_that_cannot_take_a_datagram_loses_it_alone(daemon, topo, tmp_path):
    srv = endpoint(topo)
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    c = client(topo)
    c.sendto(b"first", ("127.0.0.1", PORT))
    receive_per_interface(srv)
    fds = d.fd_count()

    # fwd1 lets almost nothing out: what its socket sends stays charged to
    # it in the queue, and the socket fills up.
    r = N.sh("tc", "-n", topo.dev, "qdisc", "add", "dev", "fwd1", "root", "tbf", "rate", "8kbit",
             "burst", "1600", "limit", "10000000", check=False)
    if r.returncode != 0:
        pytest.skip("no tbf queueing discipline here: " + r.stderr.strip())
    filler = b"." * 8000
    over1 = 0
    for k in range(400):
        c.sendto(b"%05d" % k + filler, ("127.0.0.1", PORT))
        # Every datagram still leaves through fwd0, in order.
        while True:
            data, addr = srv.recvfrom(20000)
            if N.peer_of(addr) == 0:
                assert data[28:33] == b"%05d" % k
                break
            over1 += 1
        if "fwd1 is full" in d.stderr():
            break
    d.wait_log(r"DEBUG: fwd1 is full: datagram dropped there")
    assert k < 399 and over1 < k
    assert "sendto failed" not in d.stderr()

    # Once fwd1 lets its queue go, it carries datagrams again.
    N.sh("tc", "-n", topo.dev, "qdisc", "del", "dev", "fwd1", "root")
    c.sendto(b"after", ("127.0.0.1", PORT))
    got = {}
    while len(got) < 2:
        data, addr = srv.recvfrom(20000)
        if data.endswith(b"after"):
            got[N.peer_of(addr)] = data
    assert d.fd_count() == fds
    assert d.alive()


@pytest.mark.netns
def test_lost_address_notifications_are_made_up_by_asking_the_kernel(daemon, topo, tmp_path):
    srv = endpoint(topo)
    d = start(daemon, topo, tmp_path, "fwd0", "fwd1")
    c = client(topo)
    c.sendto(b"1", ("127.0.0.1", PORT))
    receive_per_interface(srv)
    fds = d.fd_count()
    N.ipn(topo.dev, "addr", "del", "10.200.1.2/24", "dev", "fwd1")
    d.wait_out(r"fwd1 is del 10\.200\.1\.2\n")
    assert d.fd_count() == fds - 1

    # fwd1's address comes back at the end of a burst the monitor cannot
    # keep up with: that notification is lost, the kernel is asked instead.
    N.notification_burst(topo, d.pid, 3000, [
        "address add 10.200.1.2/24 dev fwd1",
        "route replace %s/32 via %s dev fwd1 metric 20" % (N.REMOTE, N.PEER_ADDRS[1])])
    d.wait_log(r"WARNING: address notifications lost")
    wait_for(lambda: d.fd_count() == fds, 5, what="fwd1's socket back")
    c.sendto(b"2", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert sorted(got) == [0, 1]
    srv.sendto(b"back", got[1][1])
    assert c.recvfrom(100)[0] == b"back"
    assert d.stderr().count("address notifications lost") == 1
    assert "fwd1 is add" not in d.stdout()


@pytest.mark.netns
def test_an_uplink_deleted_under_traffic_closes_at_once_and_one_of_its_name_is_used_again(
        daemon, topo, tmp_path):
    srv, d, c, first, fds = relaying(daemon, topo, tmp_path)

    # fwd1 goes while datagrams flow: its entry closes and fwd0 carries on.
    N.ipn(topo.dev, "link", "del", "fwd1")
    for k in range(200):
        c.sendto(b"t%d" % k, ("127.0.0.1", PORT))
        if d.fd_count() == fds - 1:
            break
        time.sleep(0.02)
    wait_for(lambda: d.fd_count() == fds - 1, 5, what="fwd1's entry closed")
    while True:  # what was sent meanwhile, then only fwd0
        srv.settimeout(0.5)
        try:
            data, addr = srv.recvfrom(20000)
        except socket.timeout:
            break
        assert N.peer_of(addr) == 0
    srv.settimeout(5.0)
    c.sendto(b"2", ("127.0.0.1", PORT))
    got = receive_per_interface(srv, 1)
    assert list(got) == [0] and got[0][0].endswith(b"2")
    nothing_more(srv)

    # A new interface of that name with an address is used again, replies too.
    N.Topology.link(topo, 1)
    d.wait_out(r"fwd1 is add 10\.200\.1\.2\n")
    c.sendto(b"3", ("127.0.0.1", PORT))
    got = receive_per_interface(srv)
    assert sorted(got) == [0, 1] and got[1][0].endswith(b"3")
    srv.sendto(b"back", got[1][1])
    assert c.recvfrom(100)[0] == b"back"
    assert d.fd_count() == fds
    assert first[0][1] == got[0][1]
    assert d.alive()
