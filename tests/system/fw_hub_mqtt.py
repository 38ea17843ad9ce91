"""linkhub for the MQTT and metrics tests: a hub started from a
configuration file like the guide's (docs/hub.md), one board device with
the endpoint token mqtt, and its view of the bridge."""
import os
import re

import fw_hub
from conftest import UUID, wait_for

# The boards run with --nic lo: every board of a test has lo's MAC.
MAC = fw_hub.lo_mac_text()


def hub_config(path, status, broker, hub_id, prefix="farwire", app_port=None, extra=()):
    """A hub's configuration file as the guide writes it."""
    endpoints = "mqtt" if app_port is None else "tcp:127.0.0.1:%d mqtt" % app_port
    lines = ["listen 127.0.0.1:0",
             "group %s" % UUID,
             'device "%s %s"' % (MAC, endpoints),
             "status %s" % status,
             "mqtt %s" % broker,
             "mqtt-prefix %s" % prefix,
             "mqtt-id %s" % hub_id]
    lines += list(extra)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


class MqttHub(fw_hub.Hub):
    """A running linkhub bridged to `broker` as `hub_id`; app=True gives the
    device a tcp: endpoint beside mqtt (self.app_port), app=False mqtt only."""

    def __init__(self, daemon, tmp_path, broker, hub_id, prefix="farwire", app=True,
                 extra=(), args=()):
        self.id = hub_id
        self.dir = str(tmp_path)
        self.app_port = fw_hub.free_port() if app else None
        self.status_path = os.path.join(self.dir, "%s.sock" % hub_id)
        self.config = hub_config(os.path.join(self.dir, "%s.cfg" % hub_id), self.status_path,
                                 broker, hub_id, prefix, self.app_port, extra)
        self.d = daemon("linkhub", "-f", self.config, "--debug", "7", *args)
        self.d.wait_log(r"listening on 127\.0\.0\.1:(\d+)", timeout=20)
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", self.d.stderr()).group(1))
        self.pid = self.d.pid

    def board(self):
        return self.device(MAC)

    def mqtt(self):
        return self.status()["mqtt"]

    def wait_connected(self, timeout=20):
        wait_for(lambda: self.mqtt()["connected"], timeout, what="%s at the broker" % self.id)

    def wait_online(self, online=True, timeout=20):
        wait_for(lambda: self.board()["online"] == online, timeout,
                 what="board %s at %s" % ("online" if online else "offline", self.id))
