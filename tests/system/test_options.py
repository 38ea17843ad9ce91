"""Command line and configuration files of the five programs."""
import os

import pytest

from conftest import run

HELP_LINES = {
    "streamhop": [
        '  -h, --help            Print help and exit',
        '  -V, --version         Print version and exit',
        "  -f, --config=STRING   config files  (default=`/etc/streamhop.cfg')",
        '      --outdev=STRING   outdev',
        "      --port=STRING     listen local tcpport  (default=`9999')",
        "      --dstip=STRING    remote tcpserver  (default=`192.168.10.118')",
        "      --dstport=STRING  dest port  (default=`10000')",
        "      --nic=STRING      default net interface  (default=`eth0')",
        "      --uuid=STRING     tranport group  (default=`')",
        '      --daemon          daemon mode  (default=off)',
        "  -d, --debug=INT       debug level  (default=`4')",
    ],
    "serstream": [
        '  -h, --help              Print help and exit',
        '  -V, --version           Print version and exit',
        "  -f, --config=STRING     config files  (default=`/etc/serstream.cfg')",
        "      --dev=STRING        serial  (default=`/dev/ttyS0')",
        "      --speed=INT         speed set  (default=`115200')",
        "      --stop=INT          stop bit (1,2)  (default=`1')",
        "      --parity=STRING     parity (O,E,N)  (default=`N')",
        "      --data=INT          data bits (5,6,7,8)  (default=`8')",
        "      --vmin=INT          server vmin  (default=`1')",
        "      --vtime=INT         server vtime  (default=`1')",
        "      --nic=STRING        nic mac address  (default=`eth0')",
        "      --uuid=STRING       tranport group  (default=`')",
        "      --alivetimer=INT    link's  alivetimer  (default=`10')",
        "      --tcpserver=STRING  tcp server addr  (default=`127.0.0.1')",
        "      --tcpport=STRING    tcp server port  (default=`10000')",
        '      --daemon            daemon mode  (default=off)',
        "  -d, --debug=INT         debug level  (default=`4')",
    ],
    "dgramhop": [
        '  -h, --help           Print help and exit',
        '  -V, --version        Print version and exit',
        "  -c, --config=STRING  config files  (default=`/etc/dgramhop.cfg')",
        '      --outdev=STRING  outdev',
        "      --port=INT       listen port  (default=`6000')",
        '      --dstip=STRING   dest ip',
        '      --dstport=INT    dest port',
        "      --nic=STRING     nic mac address  (default=`eth0')",
        "      --uuid=STRING    tranport group  (default=`')",
        "  -d, --debug=INT      debug level  (default=`4')",
        '      --daemon         daemon mode  (default=off)',
    ],
    "streamhop-cli": [
        '  -h, --help              Print help and exit',
        '  -V, --version           Print version and exit',
        "  -f, --config=STRING     config files  (default=`/etc/streamhop-cli.cfg')",
        "      --nic=STRING        nic mac address  (default=`eth0')",
        "      --uuid=STRING       tranport group  (default=`')",
        "      --localip=STRING    local ip  (default=`127.0.0.1')",
        "      --localport=STRING  local port  (default=`9999')",
        "      --dstip=STRING      tcp server addr  (default=`192.168.10.254')",
        "      --dstport=STRING    tcp server port  (default=`10000')",
        '      --daemon            daemon mode  (default=off)',
        "  -d, --debug=INT         debug level  (default=`4')",
    ],
    "serdgram": [
        '  -h, --help              Print help and exit',
        '  -V, --version           Print version and exit',
        "  -f, --config=STRING     config files  (default=`/etc/serdgram.cfg')",
        "      --dev=STRING        serial  (default=`/dev/ttyS0')",
        "      --speed=INT         speed set  (default=`115200')",
        "      --stop=INT          stop bit (1,2)  (default=`1')",
        "      --parity=STRING     parity (O,E,N)  (default=`N')",
        "      --data=INT          data bits (5,6,7,8)  (default=`8')",
        "      --vmin=INT          server vmin  (default=`1')",
        "      --vtime=INT         server vtime  (default=`1')",
        "      --nic=STRING        nic mac address  (default=`eth0')",
        "      --uuid=STRING       tranport group  (default=`')",
        "      --udpserver=STRING  udp server addr  (default=`127.0.0.1')",
        "      --udpport=STRING    udp server port  (default=`10000')",
        "      --heartbeat=INT     udp heartbeat  (default=`30')",
        '      --daemon            daemon mode  (default=off)',
        "  -d, --debug=INT         debug level  (default=`4')",
    ],
}

PROGRAMS = sorted(HELP_LINES)


def expected_help(prog):
    return ("%s 1.0.0\n\nUsage: %s [OPTIONS]...\n\n" % (prog, prog)
            + "".join(line + "\n" for line in HELP_LINES[prog])).encode()


@pytest.mark.parametrize("prog", PROGRAMS)
def test_help_and_version_are_exact(prog):
    for flag in ("--help", "-h", "--hel"):
        r = run(prog, flag)
        assert r.returncode == 0
        assert r.stdout == expected_help(prog)
        assert r.stderr == b""
    for flag in ("--version", "-V"):
        r = run(prog, flag)
        assert (r.returncode, r.stdout, r.stderr) == (0, ("%s 1.0.0\n" % prog).encode(), b"")


@pytest.mark.parametrize("prog", PROGRAMS)
def test_config_letter(prog, tmp_path):
    cfg = tmp_path / "x.cfg"
    cfg.write_text("help\n")
    good, bad = ("-c", "-f") if prog == "dgramhop" else ("-f", "-c")
    r = run(prog, good, str(cfg))
    assert (r.returncode, r.stdout) == (0, expected_help(prog))
    r = run(prog, bad, str(cfg))
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr  # the scanner's own complaint


@pytest.mark.parametrize("prog", PROGRAMS)
def test_short_help_inside_config_file(prog, tmp_path):
    cfg = tmp_path / "h.cfg"
    cfg.write_text("# asks for help\n  h\n")
    r = run(prog, "-c" if prog == "dgramhop" else "-f", str(cfg))
    assert (r.returncode, r.stdout) == (0, expected_help(prog))


@pytest.mark.parametrize("args,status,message", [
    (["--debug=7x"], 1, "serstream: invalid numeric value: 7x\n"),
    (["--speed=9600x"], 1, "serstream: invalid numeric value: 9600x\n"),
    (["--daemon", "--daemon"], 1, "serstream: `--daemon' option given more than once\n"),
    (["-d", "1", "-d2"], 1, "serstream: `--debug' (`-d') option given more than once\n"),
    (["--nosuch"], 1, None),
    (["--dev"], 1, None),
    (["--daemon=yes"], 1, None),
])
def test_command_line_failures(args, status, message):
    r = run("serstream", *args)
    assert r.returncode == status
    assert r.stdout == b""
    if message is None:
        assert r.stderr
    else:
        assert r.stderr.decode().endswith(message)


def config_failure(prog, tmp_path, text, *extra):
    cfg = tmp_path / "bad.cfg"
    cfg.write_text(text)
    r = run(prog, "-f", str(cfg), *extra)
    return r, str(cfg)


def test_config_file_failures(tmp_path):
    r, path = config_failure("streamhop", tmp_path, "port 1\nport 2\n")
    assert r.returncode == 1
    assert r.stderr.decode() == (
        "streamhop: `--port' option given more than once in configuration file %s\n" % path)

    r, path = config_failure("streamhop", tmp_path, "uuid a b\n")
    assert (r.returncode, r.stderr.decode()) == (
        1, "streamhop:%s:1: malformed string in configuration file\n" % path)

    r, path = config_failure("streamhop", tmp_path, "uuid 'x\n")
    assert (r.returncode, r.stderr.decode()) == (
        1, "streamhop:%s:1: unterminated string in configuration file\n" % path)

    r, path = config_failure("streamhop", tmp_path, "debug 0\nuuid " + "u" * 2043 + "\n")
    assert (r.returncode, r.stderr.decode()) == (
        1, "streamhop:%s:2: Line too long in configuration file\n" % path)

    r, path = config_failure("streamhop", tmp_path, "include /nonexistent/fw-inner.cfg\n")
    assert (r.returncode, r.stderr.decode()) == (
        1, "streamhop: Error opening configuration file '/nonexistent/fw-inner.cfg'\n")

    r, path = config_failure("serdgram", tmp_path, "speed fast\n")
    assert (r.returncode, r.stderr.decode()) == (1, "serdgram: invalid numeric value: fast\n")


def test_config_file_that_includes_itself(tmp_path):
    cfg = tmp_path / "loop.cfg"
    cfg.write_text("include %s\n" % cfg)
    r = run("streamhop-cli", "-f", str(cfg))
    assert r.returncode == 1
    assert ("configuration file '%s' is included more than" % cfg) in r.stderr.decode()


def test_command_line_value_wins_over_file(tmp_path):
    # The file's value is not even looked at when the command line gave one.
    cfg = tmp_path / "d.cfg"
    cfg.write_text("debug 7x\n")
    assert run("serdgram", "-f", str(cfg)).returncode == 1
    # --dev without "tty" ends the program right after option parsing (255).
    r = run("serdgram", "-f", str(cfg), "-d", "4", "--dev", "/dev/serial0")
    assert r.returncode != 1
    assert b"invalid numeric value" not in r.stderr
    cfg.write_text("include %s\n" % (tmp_path / "missing.cfg"))
    assert run("serdgram", "-f", str(cfg)).returncode == 1


def test_missing_config_file_is_skipped():
    r = run("streamhop-cli", "-f", "/nonexistent/streamhop-cli.cfg", "--version")
    assert (r.returncode, r.stdout) == (0, b"streamhop-cli 1.0.0\n")


def config_flag(prog):
    return "-c" if prog == "dgramhop" else "-f"


def bad_config(kind, tmp_path):
    """A path of the given kind; the NUL line is the second of its file."""
    if kind == "zero":
        return "/dev/zero"
    if kind == "directory":
        d = tmp_path / "cfgdir"
        d.mkdir()
        return str(d)
    if kind == "fifo":
        p = tmp_path / "cfgfifo"
        os.mkfifo(str(p))
        return str(p)
    p = tmp_path / "nul.cfg"
    p.write_bytes(b"debug 4\nuuid ab\0cd\n")
    return str(p)


def refusal(prog, kind, path):
    if kind == "nul":
        return "%s:%s:2: NUL byte in configuration file\n" % (prog, path)
    return "%s: configuration file '%s' is not a regular file\n" % (prog, path)


# /dev/zero (or a FIFO) used to be read for ever, a directory read as an
# empty file and a NUL byte to cut its line short, in all five programs.
@pytest.mark.parametrize("kind", ["zero", "directory", "fifo", "nul"])
@pytest.mark.parametrize("prog", PROGRAMS)
def test_config_that_cannot_be_read_as_lines_ends_at_once(prog, kind, tmp_path):
    path = bad_config(kind, tmp_path)
    r = run(prog, config_flag(prog), path, timeout=10)
    assert (r.returncode, r.stderr.decode()) == (1, refusal(prog, kind, path))
    outer = tmp_path / "outer.cfg"
    outer.write_text("debug 4\ninclude %s\n" % path)
    r = run(prog, config_flag(prog), str(outer), timeout=10)
    assert (r.returncode, r.stderr.decode()) == (1, refusal(prog, kind, path))


PORT_OPTIONS = [("serstream", "tcpport"), ("serdgram", "udpport"), ("streamhop", "port"),
                ("streamhop", "dstport"), ("dgramhop", "port"), ("dgramhop", "dstport"),
                ("streamhop-cli", "localport"), ("streamhop-cli", "dstport")]


# 99999 used to be wrapped to 34463 by the resolver (70000 to 4464 by the
# integer options): the program then talked on a port nobody asked for.
@pytest.mark.parametrize("prog,option", PORT_OPTIONS)
def test_out_of_range_port_is_refused(prog, option, tmp_path):
    missing = str(tmp_path / "none.cfg")
    for value in ("0", "65536", "99999", "-1"):
        r = run(prog, config_flag(prog), missing, "--" + option, value)
        assert r.returncode == 255, (value, r)
        assert r.stderr.decode() == "%s: `--%s' port out of range (1 to 65535): %s\n" % (
            prog, option, value)
    cfg = tmp_path / "port.cfg"
    cfg.write_text("%s 70000\n" % option)
    r = run(prog, config_flag(prog), str(cfg))
    assert r.returncode == 255
    assert ("`--%s' port out of range" % option) in r.stderr.decode()
