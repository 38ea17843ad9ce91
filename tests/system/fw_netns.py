"""Network namespaces for the relay tests.

Topology (all of it inside namespaces the test creates):

    device ns                               remote ns
    fwd0 10.200.0.2/24  <--veth-->  fwr0 10.200.0.1/24
    fwd1 10.200.1.2/24  <--veth-->  fwr1 10.200.1.1/24
                                    lo   198.18.100.1/32 (REMOTE)

The device reaches REMOTE through either interface (a /32 route per
interface, different metrics), so a socket bound to fwd0 or fwd1 with
SO_BINDTODEVICE leaves through that interface.  tools/netns.sh builds the
same topology by hand.

Test sockets are made inside a namespace from this process (setns on the
calling thread, then back), so clients and servers need no subprocesses.
"""
import contextlib
import ctypes
import json
import os
import signal
import socket
import subprocess
import tempfile

import pytest

from conftest import MAGIC, UUID_BYTES, require_netns

REMOTE = "198.18.100.1"
DEV_IFS = ("fwd0", "fwd1")
DEV_ADDRS = ("10.200.0.2", "10.200.1.2")
PEER_IFS = ("fwr0", "fwr1")
PEER_ADDRS = ("10.200.0.1", "10.200.1.1")

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def sh(*args, check=True):
    r = subprocess.run(list(args), capture_output=True, text=True)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), r.stderr.strip()))
    return r


def ipn(ns, *args, check=True):
    return sh("ip", "-n", ns, *args, check=check)


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e))


@contextlib.contextmanager
def inside(ns):
    """Run the body with this thread in namespace ns (sockets stay there)."""
    home = os.open("/proc/self/task/%d/ns/net" % _libc.gettid(), os.O_RDONLY)
    target = os.open("/run/netns/" + ns, os.O_RDONLY)
    try:
        _setns(target)
        try:
            yield
        finally:
            _setns(home)
    finally:
        os.close(target)
        os.close(home)


def sock_in(ns, kind, bind=None, timeout=5.0):
    """A socket of `kind` (SOCK_STREAM/SOCK_DGRAM) created inside ns."""
    with inside(ns):
        s = socket.socket(socket.AF_INET, kind)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if bind is not None:
            s.bind(bind)
    s.settimeout(timeout)
    return s


def connect_in(ns, addr, timeout=5.0):
    with inside(ns):
        s = socket.create_connection(addr, timeout=timeout)
    return s


class Topology:
    """The two namespaces and their links; delete() removes everything."""

    def __init__(self, tag):
        self.dev = "fwdev%s" % tag
        self.rem = "fwrem%s" % tag

    def create(self):
        sh("ip", "netns", "add", self.dev)
        sh("ip", "netns", "add", self.rem)
        for ns in (self.dev, self.rem):
            ipn(ns, "link", "set", "lo", "up")
            sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0")
            sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.conf.default.rp_filter=0")
        ipn(self.rem, "addr", "add", REMOTE + "/32", "dev", "lo")
        for i in range(2):
            self.link(i, route=False)
        for i in range(2):
            self.route(i)
        return self

    def link(self, i, route=True):
        """The veth pair of device interface i with its addresses (again
        after `ip link del`), and its route."""
        ipn(self.dev, "link", "add", DEV_IFS[i], "type", "veth", "peer", "name",
            PEER_IFS[i], "netns", self.rem)
        ipn(self.dev, "addr", "add", DEV_ADDRS[i] + "/24", "dev", DEV_IFS[i])
        ipn(self.rem, "addr", "add", PEER_ADDRS[i] + "/24", "dev", PEER_IFS[i])
        ipn(self.dev, "link", "set", DEV_IFS[i], "up")
        ipn(self.rem, "link", "set", PEER_IFS[i], "up")
        if route:
            self.route(i)

    def route(self, i):
        """The route to REMOTE through device interface i (again after a flush)."""
        ipn(self.dev, "route", "replace", REMOTE + "/32", "via", PEER_ADDRS[i], "dev",
            DEV_IFS[i], "metric", str(10 * (i + 1)))

    def delete(self):
        for ns in (self.dev, self.rem):
            sh("ip", "netns", "del", ns, check=False)

    def header(self):
        """The link header the relays send with --nic fwd0."""
        out = ipn(self.dev, "-j", "link", "show", "fwd0").stdout
        mac = json.loads(out)[0]["address"].replace(":", "")
        return MAGIC + UUID_BYTES + bytes.fromhex(mac)

    def prefix(self):
        """Command prefix that runs a program in the device namespace."""
        return ["ip", "netns", "exec", self.dev]


@pytest.fixture
def topo(request):
    """A fresh topology for one test (namespace names unique to the run)."""
    require_netns()
    t = Topology("%d%s" % (os.getpid(), request.node.module.__name__[5:6]))
    t.delete()
    t.create()
    try:
        yield t
    finally:
        t.delete()


def peer_of(addr):
    """Which device interface (0 or 1) a peer address seen by REMOTE is."""
    return DEV_ADDRS.index(addr[0])


def ipn_batch(ns, lines):
    """The `ip` commands `lines` in one `ip -batch` inside ns."""
    with tempfile.NamedTemporaryFile("w", suffix=".ip", delete=False) as f:
        f.write("\n".join(lines) + "\n")
    try:
        ipn(ns, "-batch", f.name)
    finally:
        os.unlink(f.name)


def notification_burst(topo, pid, count, last):
    """Overruns the monitor of process `pid`: it is stopped while `count`
    addresses come and go on the device's loopback, followed by the `ip`
    commands `last`, all in one `ip -batch`; then it goes on."""
    lines = ["address add 10.99.%d.%d/32 dev lo" % (k // 250, k % 250 + 1) for k in range(count)]
    with tempfile.NamedTemporaryFile("w", suffix=".ip", delete=False) as f:
        f.write("\n".join(lines + last) + "\n")
    os.kill(pid, signal.SIGSTOP)
    try:
        ipn(topo.dev, "-batch", f.name)
    finally:
        os.kill(pid, signal.SIGCONT)
        os.unlink(f.name)
