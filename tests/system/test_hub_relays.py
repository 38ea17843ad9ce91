"""linkhub as the server side of streamhop and dgramhop: the real relays
in the device namespace with two uplinks, linkhub and a recording backend
in the remote namespace; every byte and datagram reaches the backend once."""
import hashlib
import time

import pytest

import fw_netns as N
import fw_relays as R
from conftest import wait_for
from fw_netns import topo  # noqa: F401 (fixture)

pytestmark = [pytest.mark.hub, pytest.mark.netns]

# The transfer of the stream tests; smaller under the sanitizer build.
BIG = (10 if R.sanitized() else 50) * 1000 * 1000


@pytest.fixture
def backend(topo):
    b = R.TcpBackend(topo.rem)
    yield b
    b.close()


@pytest.fixture
def hub(daemon, topo, tmp_path):
    return R.LinkHub(daemon, topo, tmp_path)


def wait_paths(hub, n, timeout=20):
    wait_for(lambda: R.paths_open(hub) == n, timeout, what="%d paths open" % n)


def transfer(cli, backend, data, timeout, hook=None, pause=0.0, piece=65536):
    """Sends data, closes the client, waits for the backend to have it all
    (or for the time to run out)."""
    s = R.Sender(cli, data, piece=piece, pause=pause, hook=hook)
    s.join(timeout)
    cli.close()
    wait_for(lambda: backend.conns and all(c["eof"] for c in backend.conns), timeout,
             what="the backend connection closed")


def test_streamhop_two_healthy_paths_deliver_the_stream_once(daemon, topo, backend, hub,
                                                             tmp_path):
    R.start_streamhop(daemon, topo, tmp_path)
    cli = R.local_client(topo)
    data = R.pattern(BIG)
    t0 = time.monotonic()
    transfer(cli, backend, data, 300)
    took = time.monotonic() - t0
    assert len(backend.conns) == 1, "one backend connection per session"
    c = backend.conns[0]
    assert c["n"] == len(data)
    assert c["sha"].hexdigest() == hashlib.sha256(data).hexdigest()
    relay = hub.relay()
    assert relay["duplicates_dropped"] > 0
    assert relay["ambiguous_failovers"] == 0
    print("%d bytes in %.1f s" % (len(data), took))
