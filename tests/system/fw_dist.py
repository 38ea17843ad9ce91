"""Helpers for the tests of what ships around the programs: their --help read
back as a table, the build directory, and host tools the checks need."""
import os
import re
import shutil

import pytest

from conftest import BIN, ROOT, WRAP, run

# The board daemons (built for every target), then the server side, which is
# built for the host only.
BOARD_PROGRAMS = ["serstream", "serdgram", "streamhop", "dgramhop", "streamhop-cli"]
HUB_PROGRAMS = ["linkhub"]
PROGRAMS = BOARD_PROGRAMS + HUB_PROGRAMS
DIST = os.path.join(ROOT, "dist")


def built_programs():
    """The programs of PROGRAMS the build under test made: all of them on the
    host; a target build (under FW_WRAP) has no linkhub."""
    return [p for p in PROGRAMS if not (WRAP and p in HUB_PROGRAMS and not is_built(p))]


def is_built(prog):
    return os.path.exists(os.path.join(BIN, prog))


def require_built(prog):
    """Skip a check of a host-only program in a target build that lacks it;
    on the host its absence is a failure, reported by the check itself."""
    if prog not in built_programs():
        pytest.skip("%s is built for the host only" % prog)


def unit_name(prog):
    """The systemd unit of a program: a template per board daemon (one
    instance per configuration), one unit for the hub."""
    return prog + (".service" if prog in HUB_PROGRAMS else "@.service")

HELP_RX = re.compile(r"^  (?:-(\w), |    )--([a-z-]+)(?:=(STRING|INT))?\s+.*?"
                     r"(?:  \(default=(?:`([^']*)'|(off))\))?$")


def help_table(prog):
    """--help as a list of (short, long, kind, default) in help order; kind is
    STRING, INT or None, default the text, "off" for a flag, None when the
    option has none."""
    r = run(prog, "--help")
    assert r.returncode == 0
    rows = []
    for line in r.stdout.decode().splitlines()[4:]:
        m = HELP_RX.match(line)
        assert m, "help line not understood: %r" % line
        short, name, kind, default, off = m.groups()
        rows.append((short, name, kind, off if off else default))
    return rows


def build_dir():
    """The CMake build directory the programs under test come from."""
    d = os.path.dirname(os.path.abspath(BIN))
    if not os.path.exists(os.path.join(d, "CMakeCache.txt")):
        pytest.skip("FW_BIN is not inside a CMake build directory")
    return d


def cache_value(name):
    with open(os.path.join(build_dir(), "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def host_checks_only():
    """Checks that do not depend on the build run once, on the normal native
    build: not again on the sanitizer build nor under an emulator."""
    if WRAP:
        pytest.skip("host-side packaging check: runs on the native build")
    if cache_value("FW_SANITIZE").upper() in ("ON", "1", "TRUE", "YES"):
        pytest.skip("host-side packaging check: runs on the normal build")


def require_tool(name, package):
    """The path of a host tool; skip without it (fail with FW_REQUIRE_TOOLS=1,
    as in CI, where tools/test.sh installs it)."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("FW_REQUIRE_TOOLS") == "1":
            pytest.fail("%s missing (Debian package %s)" % (name, package))
        pytest.skip("needs %s (Debian package %s)" % (name, package))
    return path
