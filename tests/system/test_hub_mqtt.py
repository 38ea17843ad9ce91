"""linkhub's MQTT bridge with a real mosquitto and real boards (serstream,
serdgram) on ptys: the up, down and state topics, the hub's will, a board
that moves between two hubs, a broker that goes away, and brokers that
refuse the hub."""
import os
import signal
import socket
import time

import pytest

from conftest import UUID, run, wait_for
from fw_hub import cpu_seconds, start_serdgram, start_serstream
from fw_hub_mqtt import MAC, MqttHub as Hub
from fw_mqtt import Broker, Client, make_certs, state_of
from fw_serial import SerialLine, line  # noqa: F401 (fixture)

pytestmark = pytest.mark.hub

PREFIX = "farwire"


def topic(leaf, prefix=PREFIX):
    return "%s/%s/%s/%s" % (prefix, UUID, MAC, leaf)


@pytest.fixture
def broker():
    b = Broker()
    yield b
    b.close()


@pytest.fixture
def watch(broker):
    """A subscriber to every topic under the prefix."""
    clients = []

    def make(prefix=PREFIX):
        c = Client(broker.port)
        c.subscribe(prefix + "/#")
        clients.append(c)
        return c
    yield make
    for c in clients:
        c.close()


def up_bytes(client):
    return b"".join(m.payload for m in client.on(topic("up")))


def retained_state(broker):
    """The state topic's retained message, as a new subscriber gets it."""
    c = Client(broker.port)
    try:
        c.subscribe(topic("state"))
        m = c.wait_on(topic("state"), what="the retained state")
        assert m.retain
        return state_of(m)
    finally:
        c.close()


def test_line_bytes_up_down_to_the_line_state_and_will(daemon, tmp_path, broker, watch, line):
    w = watch()
    hub = Hub(daemon, tmp_path, broker.addr, "hub-a")
    w.wait_on(PREFIX + "/hubs/hub-a", lambda m: m.payload == b"online", what="the hub online")
    board = start_serstream(daemon, line, hub.port)
    hub.wait_online()
    st = state_of(w.wait_on(topic("state"), lambda m: state_of(m)["online"]))
    assert st["hub"] == "hub-a"
    assert st["peer"].startswith("127.0.0.1:")
    assert st["since"] == hub.board()["since"]

    # Line bytes arrive on up as they were, in order, without a header.
    sent = bytes(range(256)) + b"kovlat" + b"\x00" * 10
    line.write(sent)
    wait_for(lambda: len(up_bytes(w)) >= len(sent), 10, what="the line bytes on up")
    assert up_bytes(w) == sent

    # down reaches the line byte-exact, QoS 1 and QoS 0, nothing in front.
    pub = Client(broker.port)
    cmd = b"\x00\x01\x02kovlat\xff\r\n"
    pub.publish(topic("down"), cmd, qos=1)
    assert line.read(len(cmd)) == cmd
    pub.publish(topic("down"), b"second", qos=0)
    assert line.read(6) == b"second"
    assert not line.pending(0.3)

    # The state is retained for a late subscriber, and follows the board.
    assert retained_state(broker)["online"] is True
    board.stop()
    hub.wait_online(False)
    off = state_of(w.wait_on(topic("state"), lambda m: not state_of(m)["online"]))
    assert off["hub"] == "hub-a"
    assert retained_state(broker)["online"] is False

    # down while the board is offline: dropped and counted, not written late.
    pub.publish(topic("down"), b"too late", qos=1)
    wait_for(lambda: hub.board()["mqtt"]["down_dropped"] >= 1, 10, what="the drop counted")
    board = start_serstream(daemon, line, hub.port)
    hub.wait_online()
    w.wait_on(topic("state"), lambda m: state_of(m)["online"] and state_of(m)["since"] >= off["since"]
              and m is not None, what="online again")
    assert not line.pending(0.5)
    pub.close()

    # SIGKILL: the broker publishes the hub's will; the state stays as the
    # hub left it (the will says the hub is gone).
    os.kill(hub.pid, signal.SIGKILL)
    hub.d.proc.wait()
    w.wait_on(PREFIX + "/hubs/hub-a", lambda m: m.payload == b"offline", what="the will")
    c = Client(broker.port)
    c.subscribe(PREFIX + "/hubs/hub-a")
    assert c.wait_on(PREFIX + "/hubs/hub-a").payload == b"offline"
    c.close()
    board.stop()

    # Started again with the board away, the hub marks its device offline.
    hub2 = Hub(daemon, tmp_path, broker.addr, "hub-a")
    hub2.wait_connected()
    wait_for(lambda: retained_state(broker)["online"] is False, 20, what="marked offline")
    assert retained_state(broker)["hub"] == "hub-a"


def test_serdgram_board_mqtt_alone_qos0_prefix_of_two_levels(daemon, tmp_path, broker, watch,
                                                            line):
    prefix = "site7/farwire"
    w = watch(prefix)
    # The bridge instead of the other endpoints: mqtt alone on the device.
    hub = Hub(daemon, tmp_path, broker.addr, "hub-u", prefix=prefix, app=False,
              extra=["mqtt-qos 0"])
    hub.wait_connected()
    start_serdgram(daemon, line, hub.port)
    hub.wait_online()
    w.wait_on(topic("state", prefix), lambda m: state_of(m)["online"])
    line.write(b"over udp")
    wait_for(lambda: b"".join(m.payload for m in w.on(topic("up", prefix))) == b"over udp", 10,
             what="the datagram's bytes on up")
    assert all(m.qos == 0 for m in w.on(topic("up", prefix)))
    # The bridge took them: up, not dropped, with no other endpoint.
    wait_for(lambda: hub.board()["bytes_up"] == 8, 10, what="bytes_up of the mqtt-only device")
    assert hub.board()["dropped_up"] == 0
    w.wait_on(prefix + "/hubs/hub-u", lambda m: m.payload == b"online")
    pub = Client(broker.port)
    cmd = b"\x01\x02 to the line"
    pub.publish(topic("down", prefix), cmd, qos=1)
    assert line.read(len(cmd)) == cmd
    # The default prefix's topic is not the device's.
    pub.publish(topic("down"), b"elsewhere", qos=1)
    assert not line.pending(0.3)
    pub.close()


@pytest.mark.parametrize("words, why", [
    (["--mqtt", "127.0.0.1"], "not HOST:PORT"),
    (["--mqtt-qos", "2"], "mqtt-qos 2: 0 or 1"),
    (["--mqtt-id", "a/b"], "mqtt-id 'a/b'"),
    (["--mqtt-prefix", "a/#"], "mqtt-prefix 'a/#'"),
    (["--mqtt-password-file", "/nonexistent/pw", "--mqtt-user", "u"], "mqtt-password-file"),
    (["--mqtt-cafile", "/nonexistent/ca.pem"], "mqtt-cafile"),
    (["--metrics", "localhost:9105"], "metrics localhost:9105: not IP:PORT"),
])
def test_bad_bridge_or_metrics_option_ends_start_up(tmp_path, words, why):
    args = ["-f", os.path.join(str(tmp_path), "none.cfg"), "--listen", "127.0.0.1:0",
            "--group", UUID, "--device", "%s mqtt" % MAC,
            "--status", os.path.join(str(tmp_path), "s.sock")]
    if words[0] != "--mqtt":
        args += ["--mqtt", "127.0.0.1:1"]
    r = run("linkhub", *(args + words))
    assert r.returncode == 255
    err = r.stderr.decode()
    assert any("ERR: " in l and why in l for l in err.splitlines()), err


def test_board_moves_to_a_second_hub_and_keeps_its_topics(daemon, tmp_path, broker, watch):
    """The guide's set-up: two hubs, one broker, one prefix; the board's
    first link ends late, after it is up on the second hub."""
    w = watch()
    first = Hub(daemon, tmp_path, broker.addr, "hub-1")
    second = Hub(daemon, tmp_path, broker.addr, "hub-2")
    first.wait_connected()
    second.wait_connected()
    old_line, new_line = SerialLine(), SerialLine()
    try:
        old = start_serstream(daemon, old_line, first.port)
        first.wait_online()
        w.wait_on(topic("state"), lambda m: state_of(m)["hub"] == "hub-1" and state_of(m)["online"])
        old_line.write(b"from the first")
        wait_for(lambda: up_bytes(w) == b"from the first", 10, what="up through hub-1")

        # The board comes up on the second hub while its old link still stands.
        start_serstream(daemon, new_line, second.port)
        second.wait_online()
        st = state_of(w.wait_on(topic("state"), lambda m: state_of(m)["hub"] == "hub-2"))
        assert st["online"] is True
        wait_for(lambda: first.board()["mqtt"]["state_hub"] == "hub-2", 10,
                 what="hub-1 sees hub-2's state")

        # The old link ends late: hub-1 leaves hub-2's state alone.
        old.stop()
        first.wait_online(False)
        marker = Client(broker.port)
        marker.publish(PREFIX + "/marker", b"x", qos=1)
        w.wait_on(PREFIX + "/marker")
        time.sleep(0.3)  # a wrong offline from hub-1 would have reached the broker by now
        marker.close()
        st = retained_state(broker)
        assert st["hub"] == "hub-2" and st["online"] is True, st
        # Not even for a moment: no state from hub-1 once hub-2 had the board.
        states = [state_of(m) for m in w.on(topic("state"))]
        after = states[[s["hub"] for s in states].index("hub-2"):]
        assert all(s["hub"] == "hub-2" for s in after), after

        # The same topics carry the board's line through the second hub.
        new_line.write(b" then the second")
        wait_for(lambda: up_bytes(w) == b"from the first then the second", 10,
                 what="up through hub-2")
        pub = Client(broker.port)
        pub.publish(topic("down"), b"to the board", qos=1)
        assert new_line.read(12) == b"to the board"
        wait_for(lambda: first.board()["mqtt"]["down_dropped"] >= 1, 10,
                 what="hub-1 drops what it cannot deliver")
        assert not old_line.pending(0.2)
        pub.close()
    finally:
        old_line.close()
        new_line.close()


def test_broker_away_for_ten_seconds(daemon, tmp_path, broker, line):
    hub = Hub(daemon, tmp_path, broker.addr, "hub-o")
    hub.wait_connected()
    start_serstream(daemon, line, hub.port)
    hub.wait_online()
    app = socket.create_connection(("127.0.0.1", hub.app_port), timeout=10)
    wait_for(lambda: hub.board()["app_connected"], 10, what="the application attached")
    fds = len(os.listdir("/proc/%d/fd" % hub.pid))

    broker.stop()
    wait_for(lambda: not hub.mqtt()["connected"], 20, what="the bridge noticing")
    dropped0 = hub.mqtt()["dropped"]
    t0 = time.monotonic()
    # The tcp endpoint works meanwhile, both ways.
    line.write(b"while the broker is away")
    got = b""
    while len(got) < 24:
        got += app.recv(100)
    assert got == b"while the broker is away"
    app.sendall(b"app to line")
    assert line.read(11) == b"app to line"
    wait_for(lambda: hub.mqtt()["dropped"] > dropped0, 10, what="the up message counted")
    assert hub.board()["mqtt"]["up_dropped"] >= 1
    time.sleep(max(0.0, 10.0 - (time.monotonic() - t0)))

    broker.start()
    w = Client(broker.port)
    w.subscribe(PREFIX + "/#")
    # Back by itself (the back-off has reached 8 s by now).
    wait_for(lambda: hub.mqtt()["connected"], 40, what="the bridge back")
    w.wait_on(PREFIX + "/hubs/hub-o", lambda m: m.payload == b"online")
    w.wait_on(topic("state"), lambda m: state_of(m)["online"])
    line.write(b"after")
    wait_for(lambda: up_bytes(w) == b"after", 10, what="up after the return")
    # Nothing of the outage came late.
    assert b"away" not in up_bytes(w)
    got = b""
    while len(got) < 5:
        got += app.recv(100)
    assert got == b"after"
    assert len(os.listdir("/proc/%d/fd" % hub.pid)) == fds
    w.close()
    app.close()


def refusing_hub(daemon, tmp_path, name, broker_addr, extra):
    hub = Hub(daemon, tmp_path, broker_addr, name, extra=extra)
    hub.d.wait_log(r"ERR: broker .* refused", timeout=20)
    return hub


def test_refused_by_the_broker_says_why_and_does_not_spin(daemon, tmp_path):
    """A wrong password and a certificate from another CA: one ERR line per
    attempt, paced by the back-off, and next to no CPU time."""
    users = Broker(users={"hub": "right"})
    tls = Broker(tls=True)
    try:
        wrong_pw = os.path.join(str(tmp_path), "wrong.pw")
        with open(wrong_pw, "w") as f:
            f.write("wrong\n")
        other_ca, _, _ = make_certs(str(tmp_path), "other")
        a = refusing_hub(daemon, tmp_path, "hub-pw", users.addr,
                         ["mqtt-user hub", "mqtt-password-file %s" % wrong_pw])
        b = refusing_hub(daemon, tmp_path, "hub-ca", "127.0.0.1:%d" % tls.tls_port,
                         ["mqtt-cafile %s" % other_ca])
        cpu = [cpu_seconds(a.pid), cpu_seconds(b.pid)]
        fds = [a.fd_count(), b.fd_count()]
        time.sleep(10)
        used = [cpu_seconds(a.pid) - cpu[0], cpu_seconds(b.pid) - cpu[1]]
        # Each attempt's client is gone with it (one may be under way now).
        for hub, n in zip((a, b), fds):
            wait_for(lambda: hub.fd_count() <= n, 10, what="%s's descriptors back" % hub.id)
        for hub, why in ((a, "not authori[sz]ed"), (b, "certificate verify failed")):
            errs = [l for l in hub.d.stderr().splitlines() if "ERR: broker" in l]
            assert 2 <= len(errs) <= 6, errs
            assert all(hub.id in l for l in errs)
            assert any(__import__("re").search(why, l) for l in errs), errs
            assert not hub.mqtt()["connected"]
        assert max(used) < 0.5, used

        # The right password and the right CA are taken.
        right_pw = os.path.join(str(tmp_path), "right.pw")
        with open(right_pw, "w") as f:
            f.write("right\n")
        good = Hub(daemon, tmp_path, users.addr, "hub-ok",
                   extra=["mqtt-user hub", "mqtt-password-file %s" % right_pw])
        good.wait_connected()
        good_tls = Hub(daemon, tmp_path, "127.0.0.1:%d" % tls.tls_port, "hub-tls",
                       extra=["mqtt-cafile %s" % tls.ca])
        good_tls.wait_connected()
    finally:
        users.close()
        tls.close()
