"""What ships around the programs: manual pages that agree with --help,
sample configurations the programs accept, the `cmake --install` tree and
the systemd units."""
import os
import re
import stat
import subprocess

import pytest

from conftest import run
from fw_hub import read_status
from fw_serial import free_port
from fw_dist import (BOARD_PROGRAMS, DIST, HUB_PROGRAMS, PROGRAMS, build_dir, built_programs,
                     help_table, host_checks_only, require_built, require_tool, unit_name)

MAN_PAGES = ["man/%s.8" % p for p in PROGRAMS] + ["man/farwire.cfg.5", "man/farwire.7"]
UUID = "00112233-4455-6677-8899-aabbccddeeff"


# --- manual pages ---------------------------------------------------------

def man_table(prog):
    """The OPTIONS list of a section 8 page as (short, long, kind, default).

    An entry is `.It Fl x , Fl Fl name Ns = Ns Ar KIND` (short letter and
    argument optional); its text says "Default:" followed by a `.Ql value .`
    line, "Default: empty.", "Default: off." or "No default.".
    """
    with open(os.path.join(DIST, "man", prog + ".8")) as f:
        text = f.read()
    options = text[text.index(".Sh OPTIONS"):]
    options = options[:options.index("\n.El\n")]
    rows = []
    for item in options.split("\n.It ")[1:]:
        head, _, body = item.partition("\n")
        m = re.match(r"^(?:Fl (\w) , )?Fl Fl ([a-z-]+)(?: Ns = Ns Ar (STRING|INT))?$", head)
        assert m, "%s.8: option entry not understood: .It %s" % (prog, head)
        short, name, kind = m.groups()
        d = re.search(r"Default:\n\.Ql (.*) \.\n|Default: (empty|off)\.|No default\.", body + "\n")
        if d is None:
            assert kind is None and name in ("help", "version"), \
                "%s.8: --%s says nothing about its default" % (prog, name)
            default = None
        elif d.group(1) is not None:
            default = d.group(1)
        elif d.group(2) is not None:
            default = "" if d.group(2) == "empty" else "off"
        else:
            default = None
        rows.append((short, name, kind, default))
    return rows


@pytest.mark.parametrize("prog", PROGRAMS)
def test_man_page_options_match_help(prog):
    require_built(prog)
    assert man_table(prog) == help_table(prog)


def test_man_pages_lint_clean():
    host_checks_only()
    mandoc = require_tool("mandoc", "mandoc")
    for page in MAN_PAGES:
        r = subprocess.run([mandoc, "-T", "lint", "-W", "warning", os.path.join(DIST, page)],
                           capture_output=True, text=True)
        assert (r.returncode, r.stdout + r.stderr) == (0, ""), page


# --- sample configurations ------------------------------------------------

def sample_path(prog):
    return os.path.join(DIST, "conf", prog + ".cfg")


def sample_options(prog):
    """The commented-out option lines of a sample: [(name, value or None)]."""
    rows = []
    with open(sample_path(prog)) as f:
        for line in f:
            m = re.match(r"^#([a-z][a-z-]*)(?: (.*))?$", line.rstrip("\n"))
            if m:
                value = m.group(2)
                if value == '= ""':
                    value = ""
                rows.append((m.group(1), value))
    return rows


@pytest.mark.parametrize("prog", PROGRAMS)
def test_sample_lists_every_option_with_its_default(prog):
    require_built(prog)
    # In help order; a flag has no value, an option without a default shows
    # an example value.
    expected = [(name, None if default == "off" else default)
                for _, name, _, default in help_table(prog) if name not in ("help", "version")]
    got = [(name, None if dict(expected).get(name) is None else value)
           for name, value in sample_options(prog)]
    assert got == expected
    # Every option line has a comment line above it that says what it does.
    with open(sample_path(prog)) as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        if re.match(r"^#[a-z]", line):
            assert lines[i - 1].startswith("# "), "%s: no explanation above %r" % (prog, line)


# Overrides that let a program read its whole configuration and then stop at
# the link header (an interface that does not exist), before any serial port,
# lock file or socket is touched.
OVERRIDES = {
    "serstream": ["--dev", "/nonexistent/tty/none"],
    "serdgram": ["--dev", "/nonexistent/tty/none"],
    "streamhop": [],
    "dgramhop": ["--dstip", "127.0.0.1", "--dstport", "9"],
    "streamhop-cli": [],
}


def run_with_config(prog, path):
    r = run(prog, "--config=" + path, "--nic", "fwnonic0", "--uuid", UUID, *OVERRIDES[prog])
    err = r.stderr.decode("utf-8", "replace")
    # Past the parser (which ends with status 1), at the link header.
    assert r.returncode == 255, err
    assert "extinfo_nicmac: fwnonic0 failed" in err, err


def uncommented_sample(prog):
    """The sample with every option line uncommented (daemon left out: it
    would detach)."""
    with open(sample_path(prog)) as f:
        text = re.sub(r"(?m)^#([a-z])", r"\1", f.read())
    return text.replace("\ndaemon\n", "\n")


@pytest.mark.parametrize("prog", BOARD_PROGRAMS)
def test_sample_is_accepted_as_it_stands(prog):
    run_with_config(prog, sample_path(prog))


@pytest.mark.parametrize("prog", BOARD_PROGRAMS)
def test_sample_with_every_line_uncommented_is_accepted(prog, tmp_path):
    # Every value as written is one the program takes.
    path = tmp_path / (prog + ".cfg")
    path.write_text(uncommented_sample(prog))
    run_with_config(prog, str(path))


def test_linkhub_sample_as_it_stands_asks_for_a_group():
    # Everything commented out: past the parser (status 1) to the one
    # option without which the hub cannot run.
    require_built("linkhub")
    r = run("linkhub", "--config=" + sample_path("linkhub"))
    err = r.stderr.decode("utf-8", "replace")
    assert r.returncode == 255, err
    assert re.search(r"ERR.*group", err), err


def test_linkhub_sample_with_every_line_uncommented_runs(daemon, tmp_path):
    # Every value as written is one linkhub takes: it starts and serves the
    # sample's devices.  Only what would touch the system is moved: the
    # board port, the status socket and the log level (command line, which
    # wins), the pty links (into the test's folder) and the tcp: ports
    # (free ones).
    require_built("linkhub")
    text = uncommented_sample("linkhub")
    macs = re.findall(r'(?m)^device = "([0-9a-f:]{17}) ', text)
    assert macs, "the sample has no device line"
    text = text.replace("pty:/run/linkhub/", "pty:%s/" % tmp_path)
    text = re.sub(r"tcp:127\.0\.0\.1:\d+", lambda m: "tcp:127.0.0.1:%d" % free_port(), text)
    cfg = tmp_path / "linkhub.cfg"
    cfg.write_text(text)
    status = str(tmp_path / "status.sock")
    hub = daemon("linkhub", "--config=" + str(cfg), "--listen", "127.0.0.1:0",
                 "--status", status, "--debug", "6")
    hub.wait_log(r"listening on 127\.0\.0\.1:\d+")
    doc = read_status(status)
    assert sorted(d["mac"] for d in doc["devices"]) == sorted(macs)
    assert not any(d["online"] for d in doc["devices"])
    # The manual names every member of the document and of a device.
    documented = status_members()
    assert sorted((set(doc) | set(doc["devices"][0])) - documented) == []


def status_members():
    """The members linkhub(8)'s Status subsection names: `.Li name` words
    (a list entry may name several: `.It Li a , b`)."""
    with open(os.path.join(DIST, "man", "linkhub.8")) as f:
        text = f.read()
    section = text[text.index(".Ss Status\n"):]
    section = section[:section.index("\n.Sh ")]
    names = set()
    for line in section.splitlines():
        if line.startswith((".Li ", ".It Li ")):
            names.update(w for w in line.split()[1:] if re.match(r"^[a-z_]+$", w) and w != "Li")
    return names


# --- cmake --install ------------------------------------------------------

def install(dest, prefix):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if dest:
        env["DESTDIR"] = dest
    r = subprocess.run(["cmake", "--install", build_dir(), "--prefix", prefix],
                       capture_output=True, text=True, env=env)
    assert r.returncode == 0, r.stdout + r.stderr


def tree(top):
    out = []
    for d, _, files in os.walk(top):
        out += [os.path.relpath(os.path.join(d, f), top) for f in files]
    return sorted(out)


def test_install_tree_layout(tmp_path):
    dest = str(tmp_path / "dest")
    install(dest, "/usr")
    progs = built_programs()
    expected = sorted(
        ["usr/sbin/%s" % p for p in progs]
        + ["usr/share/man/man8/%s.8" % p for p in progs]
        + ["usr/share/man/man5/farwire.cfg.5", "usr/share/man/man7/farwire.7"]
        + ["usr/share/doc/farwire/examples/%s.cfg" % p for p in progs]
        + ["usr/share/doc/farwire/README.md", "usr/share/doc/farwire/deploy.md"]
        + ["usr/lib/systemd/system/%s" % unit_name(p) for p in progs])
    assert tree(dest) == expected
    for p in progs:
        mode = os.stat(os.path.join(dest, "usr/sbin", p)).st_mode
        assert mode & stat.S_IXUSR and mode & stat.S_IXOTH
        with open(os.path.join(dest, "usr/lib/systemd/system", unit_name(p))) as f:
            unit = f.read()
        # The unit names the installed program and its configuration: one
        # per instance of a board daemon, the default file for the hub.
        config = "/etc/%s.cfg" % p if p in HUB_PROGRAMS else "/etc/farwire/%s/%%i.cfg" % p
        assert "\nExecStart=/usr/sbin/%s --config=%s\n" % (p, config) in unit
    for page in ["man/%s.8" % p for p in progs] + MAN_PAGES[len(PROGRAMS):]:
        with open(os.path.join(DIST, page), "rb") as a, \
                open(os.path.join(dest, "usr/share", page.replace("man/", "man/man%s/" % page[-1])),
                     "rb") as b:
            assert a.read() == b.read()


def test_systemd_units_verify_clean(tmp_path):
    analyze = require_tool("systemd-analyze", "systemd")
    # Installed under a prefix of its own, so that each unit's ExecStart
    # names a program that exists, as verify wants.
    prefix = str(tmp_path / "usr")
    install(None, prefix)
    unitdir = os.path.join(prefix, "lib/systemd/system")
    for p in built_programs():
        unit = os.path.join(unitdir, unit_name(p))
        r = subprocess.run([analyze, "verify", "--man=no", unit], capture_output=True, text=True)
        assert (r.returncode, r.stdout + r.stderr) == (0, ""), unit


@pytest.mark.parametrize("prog", PROGRAMS)
def test_systemd_unit_runs_in_foreground_and_restarts(prog):
    with open(os.path.join(DIST, "systemd", unit_name(prog) + ".in")) as f:
        unit = f.read()
    assert "--daemon" not in unit
    assert "\nType=exec\n" in unit and "\nRestart=always\n" in unit
    assert "\nRestartSec=5\n" in unit and "\nStartLimitIntervalSec=0\n" in unit
    relay = prog in ("streamhop", "dgramhop")
    assert ("CAP_NET_RAW" in unit) == relay
    assert ("\nReadWritePaths=/run\n" in unit) == prog.startswith("ser")


def test_linkhub_unit_gives_the_status_socket_its_directory():
    # A dynamic user owns nothing on disk but its RuntimeDirectory: the
    # default status socket must lie in it, and the ports to open are named.
    require_built("linkhub")
    with open(os.path.join(DIST, "systemd", "linkhub.service.in")) as f:
        unit = f.read()
    assert "\nDynamicUser=yes\n" in unit
    runtime = re.search(r"(?m)^RuntimeDirectory=(\S+)$", unit).group(1)
    status = [d for _, name, _, d in help_table("linkhub") if name == "status"][0]
    assert os.path.dirname(status) == "/run/" + runtime
    listen = [d for _, name, _, d in help_table("linkhub") if name == "listen"][0]
    port = listen.rsplit(":", 1)[-1]
    assert re.search(r"--listen port \(default %s\) over TCP" % port, unit.replace("\n# ", " "))
