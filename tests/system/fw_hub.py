"""Starting linkhub and its boards for the MQTT and metrics tests: a hub
from a configuration file like the guide's (docs/hub.md), serstream and
serdgram boards on ptys, and the hub's status document."""
import json
import os
import socket

from conftest import UUID, wait_for
from fw_mqtt import free_port
from fw_serial import lo_mac

# The boards run with --nic lo: every board of a test has lo's MAC.
MAC = ":".join("%02x" % b for b in lo_mac())


def hub_config(path, listen_port, status, broker, hub_id, prefix="farwire", app_port=None,
               extra=()):
    """A configuration file as the guide writes one for each hub."""
    endpoints = "mqtt" if app_port is None else "tcp:127.0.0.1:%d mqtt" % app_port
    lines = ["listen 127.0.0.1:%d" % listen_port,
             "group %s" % UUID,
             "device \"%s %s\"" % (MAC, endpoints),
             "status %s" % status,
             "mqtt %s" % broker,
             "mqtt-prefix %s" % prefix,
             "mqtt-id %s" % hub_id]
    lines += list(extra)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


class Hub:
    """A running linkhub with its board port, status socket and (optional)
    application port."""

    def __init__(self, daemon, tmp_path, broker, hub_id, prefix="farwire", app=False,
                 extra=(), args=()):
        self.id = hub_id
        self.port = free_port()
        self.app_port = free_port() if app else None
        self.status = os.path.join(str(tmp_path), "%s.sock" % hub_id)
        self.config = hub_config(os.path.join(str(tmp_path), "%s.cfg" % hub_id), self.port,
                                 self.status, broker, hub_id, prefix, self.app_port, extra)
        self.d = daemon("linkhub", "-f", self.config, "--debug", "7", *args)
        self.d.wait_log(r"listening on", timeout=20)

    @property
    def pid(self):
        return self.d.pid

    def document(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect(self.status)
        out = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
        s.close()
        return json.loads(out.decode())

    def device(self):
        return [d for d in self.document()["devices"] if d["mac"] == MAC][0]

    def mqtt(self):
        return self.document()["mqtt"]

    def wait_connected(self, timeout=20):
        wait_for(lambda: self.mqtt()["connected"], timeout, what="%s at the broker" % self.id)

    def wait_online(self, online=True, timeout=20):
        wait_for(lambda: self.device()["online"] == online, timeout,
                 what="board %s at %s" % ("online" if online else "offline", self.id))


def serstream_args(line, port):
    return ["--dev", line.dev, "--nic", "lo", "--uuid", UUID, "--tcpserver", "127.0.0.1",
            "--tcpport", str(port), "-f", os.path.join(line.dir, "none.cfg"), "--debug", "4"]


def serdgram_args(line, port):
    return ["--dev", line.dev, "--nic", "lo", "--uuid", UUID, "--udpserver", "127.0.0.1",
            "--udpport", str(port), "-f", os.path.join(line.dir, "none.cfg"),
            "--heartbeat", "1", "--debug", "4"]
