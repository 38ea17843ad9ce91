"""linkhub's /metrics, scraped by a real Prometheus and read back through
Prometheus' own query API."""
import urllib.error
import urllib.request

import pytest

from conftest import wait_for
from fw_hub import start_serstream
from fw_hub_mqtt import MAC, MqttHub as Hub
from fw_mqtt import Broker, Prometheus, free_port
from fw_serial import line  # noqa: F401 (fixture)

pytestmark = pytest.mark.hub


def scrape(port, path="/metrics"):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5) as r:
        return r.headers.get("Content-Type"), r.read().decode()


def sample(text, name, **labels):
    """The value of the sample `name{labels}` (labels in the hub's order)."""
    want = name + ("{" + ",".join('%s="%s"' % kv for kv in labels.items()) + "}" if labels else "")
    for l in text.splitlines():
        if l.startswith(want + " "):
            return float(l.rsplit(" ", 1)[1])
    return None


def test_prometheus_sees_the_boards_online_gauge(daemon, tmp_path, line):
    broker = Broker()
    port = free_port()
    prom = None
    try:
        hub = Hub(daemon, tmp_path, broker.addr, "hub-m", args=("--metrics", "127.0.0.1:%d" % port))
        hub.wait_connected()
        ctype, text = scrape(port)
        assert ctype.startswith("text/plain; version=0.0.4")
        assert sample(text, "linkhub_device_online", mac=MAC) == 0
        assert sample(text, "linkhub_mqtt_connected", broker=broker.addr, id="hub-m") == 1
        with pytest.raises(urllib.error.HTTPError) as e:
            scrape(port, "/")
        assert e.value.code == 404

        prom = Prometheus(["127.0.0.1:%d" % port])
        board = start_serstream(daemon, line, hub.port)
        hub.wait_online()
        line.write(b"0123456789")
        q = 'linkhub_device_online{mac="%s"}' % MAC

        def value(expr):
            r = prom.query(expr)
            return float(r[0]["value"][1]) if r else None
        # Prometheus may take a while to start on a loaded machine.
        wait_for(lambda: value(q) == 1, 60, interval=0.5, what="Prometheus reporting online")
        # No application on tcp:, but the bridge published them: up, none dropped.
        up = '{mac="%s",direction="up"}' % MAC
        wait_for(lambda: value("linkhub_device_bytes_total%s" % up) == 10,
                 30, interval=0.5, what="the up bytes in Prometheus")
        assert value("linkhub_device_dropped_bytes_total%s" % up) == 0
        assert value('linkhub_device_mqtt_messages_total{mac="%s",direction="up"}' % MAC) >= 1
        assert value("linkhub_mqtt_connected") == 1

        board.stop()
        hub.wait_online(False)
        wait_for(lambda: value(q) == 0, 30, interval=0.5, what="Prometheus reporting offline")
        assert value('linkhub_device_link_ups_total{mac="%s"}' % MAC) == 1
    finally:
        if prom:
            prom.close()
        broker.close()
