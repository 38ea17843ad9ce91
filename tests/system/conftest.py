"""Shared fixtures for the system tests: they run the real binaries.

FW_BIN names the directory holding the five programs (default: build/bin).
FW_WRAP is an optional command prefix, for instance an emulator for a
cross-built target ("qemu-mips-static -cpu 24Kc -L <target root>").
FW_TARGET_CC is the target's C compiler under FW_WRAP (for helpers built for the
target); strerror() and errno_value() give the target C library's error texts
and numbers.
"""
import errno
import os
import re
import shlex
import signal
import subprocess
import tempfile
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("FW_BIN", os.path.join(ROOT, "build", "bin"))
WRAP = shlex.split(os.environ.get("FW_WRAP", ""))

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                     "runtime error:", "SUMMARY: UndefinedBehaviorSanitizer")

# A UUID text the link header accepts.
UUID = "00112233-4455-6677-8899-aabbccddeeff"
UUID_BYTES = bytes.fromhex("00112233445566778899aabbccddeeff")
MAGIC = b"kovlat"


def program(name):
    """The command line prefix that runs program `name`."""
    return WRAP + [os.path.join(BIN, name)]


def run(name, *args, timeout=20, **kw):
    """Run a program to completion; returns the CompletedProcess."""
    r = subprocess.run(program(name) + list(args), capture_output=True,
                       timeout=timeout, **kw)
    assert_no_sanitizer_report(r.stderr.decode("utf-8", "replace"))
    return r


def assert_no_sanitizer_report(text):
    for marker in SANITIZER_MARKERS:
        assert marker not in text, "sanitizer report:\n" + text


def is_static(name):
    """Whether program `name` is linked statically (no program interpreter):
    nothing can be preloaded into it."""
    import struct
    with open(os.path.join(BIN, name), "rb") as f:
        elf = f.read(64)
        if elf[:4] != b"\x7fELF":
            return False
        end = "<" if elf[5] == 1 else ">"
        if elf[4] == 1:  # 32-bit
            phoff, = struct.unpack_from(end + "I", elf, 28)
            phentsize, phnum = struct.unpack_from(end + "HH", elf, 42)
        else:
            phoff, = struct.unpack_from(end + "Q", elf, 32)
            phentsize, phnum = struct.unpack_from(end + "HH", elf, 54)
        for i in range(phnum):
            f.seek(phoff + i * phentsize)
            p_type, = struct.unpack(end + "I", f.read(4))
            if p_type == 3:  # PT_INTERP
                return False
    return True


_errors = None


def _target_errors():
    """{errno name: (number, text)} as the C library of the programs under
    test has them: the host's for a native build; under FW_WRAP, a helper
    built with FW_TARGET_CC runs on the target's C library."""
    global _errors
    if _errors is not None:
        return _errors
    names = sorted(set(errno.errorcode.values()))
    if not WRAP:
        _errors = {n: (getattr(errno, n), os.strerror(getattr(errno, n))) for n in names}
        return _errors
    cc = shlex.split(os.environ.get("FW_TARGET_CC", ""))
    if not cc:
        pytest.fail("FW_TARGET_CC is needed under FW_WRAP for the target's error texts")
    d = tempfile.mkdtemp(prefix="fwerr")
    src, exe = os.path.join(d, "errtext.c"), os.path.join(d, "errtext")
    with open(src, "w") as f:
        f.write("#include <errno.h>\n#include <stdio.h>\n#include <string.h>\n"
                "static void p(const char *n, int e) { printf(\"%s %d %s\\n\", n, e, strerror(e)); }\n"
                "int main(void) {\n")
        for n in names:
            f.write("#ifdef %s\np(\"%s\", %s);\n#endif\n" % (n, n, n))
        f.write("return 0;\n}\n")
    r = subprocess.run(cc + ["-o", exe, src], capture_output=True)
    assert r.returncode == 0, "cannot build the error text helper:\n" + r.stderr.decode()
    out = subprocess.run(WRAP + [exe], capture_output=True, check=True).stdout.decode()
    _errors = {}
    for line in out.splitlines():
        name, number, text = line.split(" ", 2)
        _errors[name] = (int(number), text)
    return _errors


def strerror(name):
    """The C library's text for errno `name` ("EIO") as the programs under
    test print it: glibc and musl word many differently ("Input/output
    error", "I/O error"), so a test never spells one out."""
    return _target_errors()[name][1]


def errno_value(name):
    """The number of errno `name` on the programs' target (ECONNREFUSED is
    111 on x86_64, 146 on MIPS)."""
    return _target_errors()[name][0]


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Poll predicate() until it is truthy; fail after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Daemon:
    """A program running in the foreground, its stderr collected in a file."""

    def __init__(self, name, args, tmp_path, env=None, cwd=None, prefix=()):
        self.name = name
        self.err_path = os.path.join(str(tmp_path), "%s.%d.stderr" % (name, id(self)))
        self.out_path = self.err_path.replace(".stderr", ".stdout")
        self._err = open(self.err_path, "wb")
        self._out = open(self.out_path, "wb")
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        self.proc = subprocess.Popen(list(prefix) + program(name) + list(args),
                                     stdout=self._out, stderr=self._err,
                                     stdin=subprocess.DEVNULL, env=full_env, cwd=cwd)

    @property
    def pid(self):
        return self.proc.pid

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, pattern, timeout=10.0, count=1):
        """Wait until `pattern` (a regex) occurs `count` times in stderr."""
        rx = re.compile(pattern)
        return wait_for(lambda: len(rx.findall(self.stderr())) >= count, timeout,
                        what="%r x%d in %s stderr" % (pattern, count, self.name))

    def wait_out(self, pattern, timeout=10.0, count=1):
        rx = re.compile(pattern)
        return wait_for(lambda: len(rx.findall(self.stdout())) >= count, timeout,
                        what="%r x%d in %s stdout" % (pattern, count, self.name))

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.target_pid()))

    def target_pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=10.0):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._err.close()
        self._out.close()
        assert_no_sanitizer_report(self.stderr())


@pytest.fixture
def daemon(tmp_path):
    """Factory: daemon(name, *args, env=..., cwd=...) starts a program."""
    started = []

    def start(name, *args, **kw):
        d = Daemon(name, args, tmp_path, **kw)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()


def _netns_problem():
    """Why network namespaces cannot be made here, or None when they can."""
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    if WRAP:
        return "namespace tests run on the native build only"
    import shutil
    if shutil.which("ip") is None:
        return "needs iproute2 (ip)"
    probe = "fwprobe%d" % os.getpid()
    r = subprocess.run(["ip", "netns", "add", probe], capture_output=True)
    if r.returncode != 0:
        return "cannot create a network namespace: " + r.stderr.decode().strip()
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return None


def require_netns():
    """Skip (or, with FW_REQUIRE_NETNS=1 as in CI, fail) without namespaces."""
    problem = _netns_problem()
    if problem:
        if os.environ.get("FW_REQUIRE_NETNS") == "1":
            pytest.fail("namespace test could not run: " + problem)
        pytest.skip(problem)
