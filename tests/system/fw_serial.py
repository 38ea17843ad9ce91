"""Test helpers for the serial bridges: a pty as the serial line, a recording
linegate.sh, and loopback TCP/UDP servers."""
import os
import random
import select
import shlex
import shutil
import socket
import stat
import subprocess
import struct
import tempfile
import threading
import time

import pytest

import conftest
from conftest import MAGIC, UUID_BYTES, wait_for

HEAD_LEN = 28

LINEGATE = """#!/bin/sh
echo "$1" >> "$FW_LINEGATE_LOG"
if [ -n "$FW_LINEGATE_FDS" ]; then
    for f in /proc/$$/fd/*; do echo "$1 $f $(readlink "$f")"; done >> "$FW_LINEGATE_FDS"
fi
if [ "$1" = in ] && [ -n "$FW_LINEGATE_HOLD" ]; then
    i=0
    while [ ! -e "$FW_LINEGATE_HOLD" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
fi
"""


# Preloaded into a daemon to make the kernel look like it takes sends in
# pieces: FW_CUTS="10,0,27" lets the first send/sendmsg take 10 bytes, the
# second fail with EAGAIN, the third take 27; -2 fails with EPERM, -1 and
# calls past the list pass through.
CUTSEND_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

static int next_cut(void)
{
    static int used;
    const char *p = getenv("FW_CUTS");
    for (int i = 0; p && *p; i++) {
        if (i == used) {
            used++;
            return atoi(p);
        }
        p = strchr(p, ',');
        if (p) p++;
    }
    return -1;
}

ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
    static ssize_t (*real)(int, const struct msghdr *, int);
    if (!real) real = (ssize_t (*)(int, const struct msghdr *, int))dlsym(RTLD_NEXT, "sendmsg");
    int cut = next_cut();
    if (cut == 0) { errno = EAGAIN; return -1; }
    if (cut == -2) { errno = EPERM; return -1; }
    if (cut < 0) return real(fd, msg, flags);
    struct iovec iov[8];
    struct msghdr m = *msg;
    size_t left = cut, n = 0;
    for (size_t i = 0; i < msg->msg_iovlen && i < 8 && left; i++, n++) {
        iov[i] = msg->msg_iov[i];
        if (iov[i].iov_len > left) iov[i].iov_len = left;
        left -= iov[i].iov_len;
    }
    m.msg_iov = iov;
    m.msg_iovlen = n;
    return real(fd, &m, flags);
}

ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    static ssize_t (*real)(int, const void *, size_t, int);
    if (!real) real = (ssize_t (*)(int, const void *, size_t, int))dlsym(RTLD_NEXT, "send");
    int cut = next_cut();
    if (cut == 0) { errno = EAGAIN; return -1; }
    if (cut > 0 && (size_t)cut < len) len = cut;
    return real(fd, buf, len, flags);
}
"""


def build_cutsend(directory):
    """Compile the send-cutting preload library for whatever runs the
    programs (the target's compiler, FW_TARGET_CC, under an emulator);
    None when there is no compiler for it.  A static build cannot take a
    preloaded library: the test skips there (it runs on the dynamic one)."""
    if conftest.is_static("serstream"):
        pytest.skip("a preloaded library cannot reach a static program: runs on the dynamic build")
    if conftest.WRAP:
        cc = shlex.split(os.environ.get("FW_TARGET_CC", ""))
    else:
        cc = [shutil.which("cc") or shutil.which("gcc") or ""]
    if not cc or not cc[0]:
        return None
    src = os.path.join(directory, "cutsend.c")
    lib = os.path.join(directory, "cutsend.so")
    with open(src, "w") as f:
        f.write(CUTSEND_C)
    r = subprocess.run(cc + ["-shared", "-fPIC", "-O1", "-o", lib, src, "-ldl"],
                       capture_output=True)
    return lib if r.returncode == 0 else None


def lo_mac():
    with open("/sys/class/net/lo/address") as f:
        return bytes.fromhex(f.read().strip().replace(":", ""))


def expected_head():
    return MAGIC + UUID_BYTES + lo_mac()


class SerialLine:
    """A pty pair: the daemon opens the slave through a link named ttyFW<n>
    in a directory whose path holds no "tty"; the test is the far end."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="fwser")
        self.master, self.slave = os.openpty()
        self.name = "ttyFW%d" % random.randrange(10 ** 8)
        self.dev = os.path.join(self.dir, self.name)
        os.symlink(os.ttyname(self.slave), self.dev)
        self.lock = "/var/run/%s.pid" % self.name
        self.bindir = os.path.join(self.dir, "bin")
        os.mkdir(self.bindir)
        self.script = os.path.join(self.bindir, "linegate.sh")
        self.install_script()
        self.gate_log = os.path.join(self.dir, "linegate.log")
        self.gate_fds = os.path.join(self.dir, "linegate.fds")
        self.hold = os.path.join(self.dir, "hold")

    def install_script(self):
        tmp = self.script + ".new"
        with open(tmp, "w") as f:
            f.write(LINEGATE)
        os.chmod(tmp, stat.S_IRWXU)
        os.rename(tmp, self.script)

    def remove_script(self):
        os.unlink(self.script)

    def env(self, hold=False, fds=False):
        e = {"PATH": self.bindir + os.pathsep + os.environ.get("PATH", ""),
             "FW_LINEGATE_LOG": self.gate_log}
        if hold:
            e["FW_LINEGATE_HOLD"] = self.hold
        if fds:
            e["FW_LINEGATE_FDS"] = self.gate_fds
        return e

    def gate_descriptors(self):
        """(direction, fd path, link target) of each descriptor the script
        had open, as it listed them."""
        try:
            with open(self.gate_fds) as f:
                return [tuple(l.split(" ", 2)) for l in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def bridge_descriptors_in_script(self):
        """Descriptors the script had open that belong to the bridge: a
        socket, the port, the lock file, the event loop's (the emulator of
        a cross build has such descriptors of its own)."""
        tty = os.path.realpath(self.dev)

        def bridge(target):
            return (target.startswith("socket:") or target == tty or target == self.lock
                    or (not conftest.WRAP and target.startswith("anon_inode:")))
        return [d for d in self.gate_descriptors() if len(d) == 3 and bridge(d[2])]

    def gate_calls(self):
        try:
            with open(self.gate_log) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def release_hold(self):
        open(self.hold, "w").close()

    def write(self, data):
        os.write(self.master, data)

    def write_all(self, data):
        """Blocking write of all of data (a full line waits for the reader)."""
        view = memoryview(data)
        while view:
            n = os.write(self.master, view[:4096])
            view = view[n:]

    def read(self, count, timeout=5.0):
        """Read exactly count bytes from the line (fails on timeout)."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("line gave %d of %d bytes: %r" % (len(out), count, out))
            r, _, _ = select.select([self.master], [], [], left)
            if r:
                out += os.read(self.master, count - len(out))
        return out

    def pending(self, timeout=0.0):
        r, _, _ = select.select([self.master], [], [], timeout)
        return bool(r)

    def hang_up(self):
        """The adapter disappears: both pty ends go away on our side."""
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self.slave = -1

    def close(self):
        self.hang_up()
        shutil.rmtree(self.dir, ignore_errors=True)
        try:
            os.unlink(self.lock)
        except FileNotFoundError:
            pass


class TcpServer:
    """Loopback TCP server; each accepted connection is kept with the bytes
    it has received so far."""

    def __init__(self, port=0, rcvbuf=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            # Inherited by accepted sockets: the sender meets a full window soon.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.read_size = 65536
        self.read_delay = 0.0
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.conns = []  # [socket, bytearray]
        self.lock = threading.Lock()
        self.stopped = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopped:
            with self.lock:
                live = [c for c in self.conns if c[0].fileno() >= 0]
            rl = [self.sock] + [c[0] for c in live]
            try:
                r, _, _ = select.select(rl, [], [], 0.05)
            except (OSError, ValueError):
                continue
            for s in r:
                if s is self.sock:
                    try:
                        c, _ = self.sock.accept()
                    except OSError:
                        continue
                    with self.lock:
                        self.conns.append([c, bytearray()])
                    continue
                try:
                    data = s.recv(self.read_size)
                except OSError:
                    data = b""
                if self.read_delay:
                    time.sleep(self.read_delay)
                with self.lock:
                    for c in self.conns:
                        if c[0] is s:
                            if data:
                                c[1] += data
                            else:
                                c[0].close()

    def count(self):
        with self.lock:
            return len(self.conns)

    def received(self, i=-1):
        with self.lock:
            return bytes(self.conns[i][1])

    def wait_conn(self, n=1, timeout=10.0):
        wait_for(lambda: self.count() >= n, timeout, what="connection %d" % n)

    def wait_bytes(self, count, i=-1, timeout=10.0):
        wait_for(lambda: self.count() and len(self.received(i)) >= count, timeout,
                 what="%d bytes at the server" % count)
        return self.received(i)

    def send(self, data, i=-1):
        with self.lock:
            s = self.conns[i][0]
        s.sendall(data)

    def drop(self, i=-1):
        with self.lock:
            s = self.conns[i][0]
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()

    def reset(self, i=-1):
        """Close with a reset (SO_LINGER 0) instead of an orderly end."""
        with self.lock:
            s = self.conns[i][0]
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()

    def close(self):
        self.stopped = True
        self.thread.join(2)
        self.sock.close()
        with self.lock:
            for c in self.conns:
                c[0].close()


class UdpServer:
    """Loopback UDP server collecting datagrams with their arrival times."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.port = self.sock.getsockname()[1]
        self.grams = []  # (time, bytes, peer)
        self.lock = threading.Lock()
        self.stopped = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopped:
            r, _, _ = select.select([self.sock], [], [], 0.05)
            if r:
                try:
                    data, peer = self.sock.recvfrom(65536)
                except OSError:
                    continue
                with self.lock:
                    self.grams.append((time.monotonic(), data, peer))

    def datagrams(self):
        with self.lock:
            return list(self.grams)

    def wait_count(self, n, timeout=10.0):
        wait_for(lambda: len(self.datagrams()) >= n, timeout, what="%d datagrams" % n)
        return self.datagrams()

    def send(self, data):
        peer = self.datagrams()[-1][2]
        self.sock.sendto(data, peer)

    def close(self):
        self.stopped = True
        self.thread.join(2)
        self.sock.close()


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port nothing listens on (for refused connections)."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


@pytest.fixture
def line():
    """A fresh serial line for one test (import it into the test module)."""
    ln = SerialLine()
    yield ln
    ln.close()
