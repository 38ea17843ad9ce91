"""The OpenWrt init script, run for real: OpenWrt's rc.common, functions.sh
and procd.sh with the real uci and jshn (the test bed of ../shared/openwrt),
which prints the message procd would receive."""
import fcntl
import hashlib
import json
import os
import re
import socket
import subprocess
import textwrap

import pytest

from conftest import ROOT, UUID, Daemon, run, wait_for
from fw_dist import help_table, host_checks_only, require_tool

INIT = os.path.join(ROOT, "openwrt", "farwire", "files", "farwire.init")
UCI_DEFAULT = os.path.join(ROOT, "openwrt", "farwire", "files", "farwire.config")


def find_testbed():
    candidates = [os.environ.get("FW_OPENWRT_TESTBED", ""),
                  os.path.join(ROOT, "..", "shared", "openwrt"),
                  os.path.join(ROOT, "..", "..", "shared", "openwrt")]
    for c in candidates:
        if c and os.path.exists(os.path.join(c, "run-init.sh")):
            return os.path.abspath(c)
    if os.environ.get("FW_REQUIRE_TOOLS") == "1":
        pytest.fail("OpenWrt test bed not found (set FW_OPENWRT_TESTBED)")
    pytest.skip("OpenWrt test bed not found (set FW_OPENWRT_TESTBED)")


@pytest.fixture(scope="module")
def testbed():
    """(test bed folder, built prefix): uci and jshn built once into a cache
    folder outside the clone, keyed on the test bed's build script and
    sources."""
    host_checks_only()
    require_tool("busybox", "busybox")
    tb = find_testbed()
    key = hashlib.sha256()
    with open(os.path.join(tb, "build.sh"), "rb") as f:
        key.update(f.read())
    for name in sorted(os.listdir(os.path.join(tb, "src"))):
        key.update(name.encode())
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    prefix = os.path.join(cache, "openwrt-testbed-" + key.hexdigest()[:16])
    os.makedirs(cache, exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        r = subprocess.run(["sh", os.path.join(tb, "build.sh"), prefix],
                           capture_output=True, text=True)
    if r.returncode != 0:
        if os.environ.get("FW_REQUIRE_TOOLS") == "1":
            pytest.fail("building the OpenWrt test bed failed:\n" + r.stdout + r.stderr)
        pytest.skip("cannot build the OpenWrt test bed: " + (r.stderr.strip() or r.stdout.strip()))
    return tb, prefix


def run_init(testbed, tmp_path, uci_text, action="start", name="sb"):
    """Runs the init script on a UCI file; returns (messages, stderr,
    sandbox root). --calls prints each ubus call whole."""
    tb, prefix = testbed
    cfgdir = tmp_path / ("config-" + name)
    cfgdir.mkdir()
    (cfgdir / "farwire").write_text(textwrap.dedent(uci_text))
    root = tmp_path / name
    r = subprocess.run(["sh", os.path.join(tb, "run-init.sh"), "--prefix", prefix,
                        "--sandbox", str(root), "--calls", INIT, str(cfgdir), action],
                       capture_output=True, text=True, env={"PATH": os.environ["PATH"]})
    assert r.returncode == 0, r.stderr
    calls = [line.split(" ", 3) for line in r.stdout.splitlines()]
    err = "".join(line for line in r.stderr.splitlines(True)
                  if not line.startswith("run-init.sh: sandbox kept at "))
    return calls, err, root


def service_set(calls):
    """The one `service set` message of a start."""
    assert [c[:3] for c in calls] == [["ubus", "call", "service"]] and calls[0][3].startswith("set ")
    return json.loads(calls[0][3][4:])


SEVERAL = """\
    config serstream 'line1'
    \toption dev '/dev/ttyS1'
    \toption speed '9600'
    \toption parity 'E'
    \toption tcpserver 'gw.example.net'
    \toption uuid '00112233-4455-6677-8899-aabbccddeeff'
    \toption nic 'br-lan'

    config dgramhop 'off'
    \toption enabled '0'
    \tlist outdev 'wan'
    \toption dstip '203.0.113.9'

    config streamhop 'hop'
    \tlist outdev 'wan'
    \tlist outdev 'wwan,0'
    \toption dstip '203.0.113.5'
    \toption dstport '10001'
    \toption uuid 'a b # c'
    \toption enabled '1'

    config streamhop-cli 'cli'
    \toption localport '9999'
    \toption dstip "it's.example.net"

    config serdgram
    \toption dev '/dev/ttyUSB0'
    \toption heartbeat '10'
    \toption enabled 'yes'

    config dgramhop 'relay'
    \tlist outdev 'wan'
    \toption port '6001'
    \toption dstip '127.0.0.1'
    \toption dstport '9'
    \toption debug '7'
"""

HEAD = "# %s instance '%s', written by /etc/init.d/farwire from /etc/config/farwire\n"
FILES = {
    "line1": HEAD % ("serstream", "line1") + textwrap.dedent("""\
        dev = "/dev/ttyS1"
        speed = "9600"
        parity = "E"
        nic = "br-lan"
        uuid = "00112233-4455-6677-8899-aabbccddeeff"
        tcpserver = "gw.example.net"
        """),
    "hop": HEAD % ("streamhop", "hop") + textwrap.dedent("""\
        outdev = "wan"
        outdev = "wwan\\,0"
        dstip = "203.0.113.5"
        dstport = "10001"
        uuid = "a b # c"
        """),
    "cli": HEAD % ("streamhop-cli", "cli") + textwrap.dedent("""\
        localport = "9999"
        dstip = "it's.example.net"
        """),
    "cfg05fa3a": HEAD % ("serdgram", "cfg05fa3a") + textwrap.dedent("""\
        dev = "/dev/ttyUSB0"
        heartbeat = "10"
        """),
    "relay": HEAD % ("dgramhop", "relay") + textwrap.dedent("""\
        outdev = "wan"
        port = "6001"
        dstip = "127.0.0.1"
        dstport = "9"
        debug = "7"
        """),
}
PROGRAM = {"line1": "serstream", "hop": "streamhop", "cli": "streamhop-cli",
           "cfg05fa3a": "serdgram", "relay": "dgramhop"}


@pytest.fixture(scope="module")
def several(testbed, tmp_path_factory):
    return run_init(testbed, tmp_path_factory.mktemp("owrt"), SEVERAL)


def test_each_enabled_section_is_one_instance_in_file_order(several):
    calls, err, _ = several
    msg = service_set(calls)
    assert msg["name"] == "farwire"
    assert msg["script"] == "/etc/init.d/farwire"
    # The disabled section is absent; an anonymous one gets uci's name.
    assert list(msg["instances"]) == ["line1", "hop", "cli", "cfg05fa3a", "relay"]
    assert err == ""


def test_instance_command_lines_respawn_and_log(several):
    msg = service_set(several[0])
    for name, inst in msg["instances"].items():
        cfg = "/var/etc/farwire/%s.cfg" % name
        assert inst["command"] == ["/usr/sbin/" + PROGRAM[name], "--config", cfg]
        # Restarted when its file changes, respawned 5 s after every exit
        # without giving up, standard output and error in the system log.
        assert inst["file"] == [cfg]
        assert inst["respawn"] == ["3600", "5", "0"]
        assert inst["stdout"] is True and inst["stderr"] is True
        assert set(inst) == {"command", "file", "respawn", "stdout", "stderr"}


def test_generated_configuration_files(several):
    _, _, root = several
    d = root / "var" / "etc" / "farwire"
    assert sorted(os.listdir(d)) == sorted(n + ".cfg" for n in FILES)
    for name, text in FILES.items():
        assert (d / (name + ".cfg")).read_text() == text, name


def test_uci_commit_reloads_the_service(several):
    msg = service_set(several[0])
    assert msg["triggers"] == [["config.change",
                                ["if", ["eq", "package", "farwire"],
                                 ["run_script", "/etc/init.d/farwire", "reload"]],
                                1000]]


def free_tcp_port():
    """A port nothing listens on (port options refuse 0)."""
    s = socket.socket()
    s.bind(("", 0))
    port = s.getsockname()[1]
    s.close()
    return str(port)


def test_value_with_blanks_and_hash_reaches_the_program(several, tmp_path):
    # The generated file read by the program itself: the link header code
    # quotes the --uuid text it got when the text is not a UUID.
    _, _, root = several
    cfg = str(root / "var" / "etc" / "farwire" / "hop.cfg")
    r = run("streamhop", "--config", cfg, "--nic", "lo", "--port", free_tcp_port())
    assert r.returncode == 255
    assert "ERR: a b # c 2process failed" in r.stderr.decode()


def test_list_values_reach_the_program(several, tmp_path):
    # Two --outdev values from the two list entries: the comma inside
    # "wwan,0" does not split it.
    _, _, root = several
    cfg = str(root / "var" / "etc" / "farwire" / "hop.cfg")
    d = Daemon("streamhop", ["--config", cfg, "--nic", "lo", "--uuid", UUID, "--port", free_tcp_port(),
                             "--dstip", "127.0.0.1", "-d", "7"], tmp_path)
    try:
        d.wait_log(r"DEBUG: given outdev 2\n")
    finally:
        d.stop()


def test_changed_option_changes_only_that_file(testbed, tmp_path):
    _, _, before = run_init(testbed, tmp_path, SEVERAL, name="before")
    calls, _, after = run_init(testbed, tmp_path, SEVERAL.replace("'9600'", "'19200'"),
                               name="after")
    d0, d1 = before / "var/etc/farwire", after / "var/etc/farwire"
    changed = [n for n in sorted(os.listdir(d0))
               if (d0 / n).read_text() != (d1 / n).read_text()]
    assert changed == ["line1.cfg"]
    assert 'speed = "19200"\n' in (d1 / "line1.cfg").read_text()


def test_reload_sends_the_service_again_and_stop_deletes_it(testbed, tmp_path):
    calls, _, _ = run_init(testbed, tmp_path, SEVERAL, action="reload", name="reload")
    assert list(service_set(calls)["instances"]) == ["line1", "hop", "cli", "cfg05fa3a", "relay"]
    calls, _, _ = run_init(testbed, tmp_path, SEVERAL, action="stop", name="stop")
    assert calls == [["ubus", "call", "service", 'delete { "name": "farwire" }']]


def test_disabled_section_file_is_removed(testbed, tmp_path):
    calls, _, root = run_init(testbed, tmp_path, """\
        config serstream 'a'
        \toption enabled '0'
        \toption dev '/dev/ttyS1'
        """)
    assert service_set(calls).get("instances", {}) == {}
    assert os.listdir(root / "var/etc/farwire") == []


def test_unusable_values_and_options_are_reported(testbed, tmp_path):
    calls, err, root = run_init(testbed, tmp_path, """\
        config serstream 'both'
        \toption dev '/dev/ttyS1'
        \toption tcpserver "a'b\\"c"

        config serdgram 'odd'
        \toption dev '/dev/ttyS2'
        \toption daemon '1'
        \toption colour 'blue'

        config mystery 'm'
        \toption dev '/dev/ttyS3'
        """)
    assert list(service_set(calls)["instances"]) == ["odd"]
    assert "both: option tcpserver: a value with both quotes" in err
    assert "both: not started" in err
    assert "odd: option daemon is not one serdgram takes here, ignored" in err
    assert "odd: option colour is not one serdgram takes here, ignored" in err
    assert "section m: unknown type mystery, skipped" in err
    assert (root / "var/etc/farwire/odd.cfg").read_text() == \
        HEAD % ("serdgram", "odd") + 'dev = "/dev/ttyS2"\n'


def test_init_script_option_lists_follow_help():
    # Everything in --help but help, version, config and daemon.
    with open(INIT) as f:
        text = f.read()
    for prog in ("serstream", "serdgram", "streamhop", "dgramhop", "streamhop-cli"):
        m = re.search(r'^FARWIRE_OPTS_%s="([^"]*)"$' % prog.replace("-", "_"), text, re.M)
        names = [n for _, n, _, _ in help_table(prog)
                 if n not in ("help", "version", "config", "daemon")]
        assert m.group(1).split() == names, prog


def test_shipped_uci_file_starts_nothing(testbed, tmp_path):
    with open(UCI_DEFAULT) as f:
        calls, err, _ = run_init(testbed, tmp_path, f.read())
    assert service_set(calls).get("instances", {}) == {}
    assert err == ""


def test_package_makefile_copies_what_the_build_needs(tmp_path):
    # The Makefile cannot be built here; what it copies into the build folder
    # must at least configure with the package's options.
    host_checks_only()
    with open(os.path.join(ROOT, "openwrt", "farwire", "Makefile")) as f:
        text = f.read()
    prepare = text[text.index("define Build/Prepare"):]
    prepare = prepare[:prepare.index("endef")]
    copied = re.findall(r"\$\(FARWIRE_SRC\)/(\S+)", prepare)
    src = tmp_path / "src"
    src.mkdir()
    for name in copied:
        subprocess.run(["cp", "-R", os.path.join(ROOT, name), str(src / name)], check=True)
    options = re.search(r"^CMAKE_OPTIONS \+= (.*)$", text, re.M).group(1).split()
    r = subprocess.run(["cmake", "-S", str(src), "-B", str(tmp_path / "build")] + options,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    # What `cmake --install` takes from the source tree is copied too.
    with open(os.path.join(ROOT, "cmake", "install.cmake")) as f:
        for name in re.findall(r"\$\{PROJECT_SOURCE_DIR\}/([\w.-]+)", f.read()):
            assert name in copied, name
    for p in ("serstream", "serdgram", "streamhop", "dgramhop", "streamhop-cli"):
        assert "$(PKG_INSTALL_DIR)/usr/sbin/%s " % p in text.replace("\\\n", " ")


def test_shell_and_format_characters_pass_literally(testbed, tmp_path):
    # The file format has no escapes: a backslash, $, % and backquotes are
    # written as they are, and nothing of them reaches a shell or printf.
    _, _, root = run_init(testbed, tmp_path, r"""
        config streamhop-cli 'odd'
        	option dstip 'a\b$c%d`e` %s\n'
        """)
    assert (root / "var/etc/farwire/odd.cfg").read_text() == \
        HEAD % ("streamhop-cli", "odd") + r'dstip = "a\b$c%d`e` %s\n"' + "\n"
