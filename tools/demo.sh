#!/usr/bin/env bash
# The serial bridges end to end on one machine, no hardware, loopback only:
# a pty pair stands for the serial line, tools/fwserver.py for the server,
# a stand-in linegate.sh prints its argument.  Bytes written into the line
# show up at the server with their decoded header, and the server's answer
# shows up on the line.
#
#   sudo tools/demo.sh        # serstream over TCP
#   sudo tools/demo.sh udp    # serdgram over UDP
#   sudo tools/demo.sh hub    # both, on two lines, dialling linkhub; the demo
#                             # talks to each line through linkhub's tcp: and
#                             # pty: endpoints
#
# The hub demo runs the three daemons in a network namespace of its own
# (fwdemo-hub<pid>, loopback only), where the two ends of a veth pair give
# the two boards their MAC addresses; it needs root.
# As root it installs what it needs on Debian (like tools/test.sh); it
# builds into build-demo/ (no tests: no test dependencies) and cleans up
# after itself.
set -euo pipefail
cd "$(dirname "$0")/.."
MODE=${1:-tcp}
case "$MODE" in
    tcp) PROGS=(serstream) ;;
    udp) PROGS=(serdgram) ;;
    hub) PROGS=(serstream serdgram linkhub) ;;
    *) echo "usage: $0 [tcp|udp|hub]" >&2; exit 2 ;;
esac
PROG=${PROGS[0]}

DEB_PACKAGES=(g++ cmake make libev-dev python3 socat iproute2)
missing=()
for p in "${DEB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "== installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
        exit 1
    fi
fi

echo "== building ${PROGS[*]} into build-demo/"
cmake -S . -B build-demo -DFW_TESTS=OFF >/dev/null
for p in "${PROGS[@]}"; do cmake --build build-demo -j "$(nproc)" --target "$p" >/dev/null; done

WORK=$(mktemp -d /tmp/fwdemo.XXXXXX)
NAME=ttyFWdemo$$          # unique tty name: its lock is /var/run/$NAME.pid
PIDS=()
NS=
cleanup() {
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[$i]}" 2>/dev/null || true; sleep 0.1; done
    wait 2>/dev/null || true
    [ -z "$NS" ] || ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
    rm -f "/var/run/$NAME.pid" "/var/run/${NAME}a.pid" "/var/run/${NAME}b.pid"
}
trap cleanup EXIT

# The line-direction script the bridges run around each write to the line.
mkdir "$WORK/bin"
printf '#!/bin/sh\necho "         linegate.sh $1"\n' > "$WORK/bin/linegate.sh"
chmod +x "$WORK/bin/linegate.sh"

# A serial line: the bridge opens DEV, this script is the far end FAR.
serial_line() {  # DEV FAR
    socat pty,raw,echo=0,link="$1" pty,raw,echo=0,link="$2" &
    PIDS+=($!)
    for _ in $(seq 50); do [ -e "$1" ] && [ -e "$2" ] && break; sleep 0.1; done
}

if [ "$MODE" = hub ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "the hub demo makes a network namespace: run it as root" >&2
        exit 1
    fi
    UUID=00112233-4455-6677-8899-aabbccddeeff
    NS=fwdemo-hub$$
    ip netns add "$NS"
    ip -n "$NS" link set lo up
    # The boards' MAC addresses, for their link headers (the pair stays down).
    ip -n "$NS" link add fwboard1 address 02:00:00:00:00:01 type veth \
        peer name fwboard2 address 02:00:00:00:00:02
    IN=(ip netns exec "$NS")
    serial_line "$WORK/${NAME}a" "$WORK/line1"
    serial_line "$WORK/${NAME}b" "$WORK/line2"

    cat > "$WORK/linkhub.cfg" <<CFG
listen 127.0.0.1:10000
group $UUID
device = "02:00:00:00:00:01 tcp:127.0.0.1:20001 pty:$WORK/board1 baud:115200"
device = "02:00:00:00:00:02 tcp:127.0.0.1:20002 pty:$WORK/board2 baud:115200"
status $WORK/status.sock
debug 6
CFG
    echo "== linkhub, in namespace $NS:"
    sed 's/^/     /' "$WORK/linkhub.cfg"
    "${IN[@]}" build-demo/bin/linkhub --config "$WORK/linkhub.cfg" &
    PIDS+=($!)
    for _ in $(seq 50); do [ -S "$WORK/status.sock" ] && break; sleep 0.1; done
    echo "== serstream --nic fwboard1 (02:00:00:00:00:01) on line 1, serdgram --nic fwboard2 (02:00:00:00:00:02) on line 2"
    PATH="$WORK/bin:$PATH" "${IN[@]}" build-demo/bin/serstream --config "$WORK/none.cfg" \
        --dev "$WORK/${NAME}a" --tcpserver 127.0.0.1 --tcpport 10000 --nic fwboard1 --uuid "$UUID" &
    PIDS+=($!)
    PATH="$WORK/bin:$PATH" "${IN[@]}" build-demo/bin/serdgram --config "$WORK/none.cfg" \
        --dev "$WORK/${NAME}b" --udpserver 127.0.0.1 --udpport 10000 --heartbeat 2 --nic fwboard2 \
        --uuid "$UUID" &
    PIDS+=($!)
    # The application side: through each board's tcp: endpoint, then its
    # pty: endpoint; the far end of each line answers.
    "${IN[@]}" python3 -u - "$WORK" <<'PY'
import json, os, select, socket, sys, time, tty

work = sys.argv[1]


def status():
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(os.path.join(work, "status.sock"))
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return json.loads(data)
            data += chunk


def read_for(fd, want, timeout=5.0):
    """Read from fd until `want` came (or the time is up)."""
    got = b""
    end = time.monotonic() + timeout
    while want not in got and time.monotonic() < end:
        if select.select([fd], [], [], 0.1)[0]:
            got += os.read(fd, 4096) if isinstance(fd, int) else fd.recv(4096)
    return got


deadline = time.monotonic() + 15
while True:
    try:
        doc = status()
        if all(d["online"] for d in doc["devices"]):
            break
    except (OSError, ValueError):
        pass
    if time.monotonic() > deadline:
        sys.exit("== the boards did not come online")
    time.sleep(0.2)
print("== both boards online: " + ", ".join("%s over %s from %s" % (d["mac"], d["transport"], d["peer"])
                                           for d in doc["devices"]))
def wait_attached(n, attached=True):
    """Until linkhub has (or no longer has) an application on board n."""
    end = time.monotonic() + 5
    while status()["devices"][n - 1]["app_connected"] != attached and time.monotonic() < end:
        time.sleep(0.05)


def exchange(n, line, endpoint, write, reader):
    """Application -> line, then line -> application; whether both came."""
    msg = b"hello line %d, from %s" % (n, endpoint.encode())
    print("== board %d, %s -> line: %r" % (n, endpoint, msg.decode()))
    write(msg)
    got = read_for(line, msg)
    print("   line %d received: %r" % (n, got.decode(errors="replace")))
    answer = b"line %d answers the %s application" % (n, endpoint.split(":")[0].encode() + b":")
    print("== board %d, line -> %s: %r" % (n, endpoint, answer.decode()))
    os.write(line, answer)
    back = read_for(reader, answer)
    print("   %s received: %r" % (endpoint, back.decode(errors="replace")))
    return msg in got and answer in back


ok = True
for n, (bridge, port) in enumerate((("serstream", 20001), ("serdgram", 20002)), 1):
    print("== board %d: %s" % (n, bridge))
    line = os.open(os.path.join(work, "line%d" % n), os.O_RDWR | os.O_NOCTTY)
    tty.setraw(line)
    app = socket.create_connection(("127.0.0.1", port))
    wait_attached(n)
    ok = exchange(n, line, "tcp:127.0.0.1:%d" % port, app.sendall, app) and ok
    app.close()
    wait_attached(n, False)
    path = os.path.join(work, "board%d" % n)
    print("   %s -> %s" % (path, os.readlink(path)))
    pty = os.open(path, os.O_RDWR | os.O_NOCTTY)
    wait_attached(n)
    ok = exchange(n, line, "pty:" + path, lambda m: os.write(pty, m), pty) and ok
    os.close(pty)
    os.close(line)
print("== linkhub's status document:")
for d in status()["devices"]:
    print("   " + json.dumps(d, sort_keys=True))
if not ok:
    sys.exit("== some bytes did not cross")
print("== bytes crossed both ways, through both endpoints of both boards")
PY
    exit $?
fi

# The serial line: the bridge opens one end, this script is the far end.
serial_line "$WORK/$NAME" "$WORK/line"

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkfifo "$WORK/to-server"
exec 3<>"$WORK/to-server"
python3 -u tools/fwserver.py "$MODE" --host 127.0.0.1 --port "$PORT" <&3 &
PIDS+=($!)
sleep 0.5

UUID=00112233-4455-6677-8899-aabbccddeeff
if [ "$MODE" = tcp ]; then
    NET=(--tcpserver 127.0.0.1 --tcpport "$PORT")
else
    NET=(--udpserver 127.0.0.1 --udpport "$PORT" --heartbeat 2)
fi
echo "== $PROG --dev $WORK/$NAME ${NET[*]} --nic lo --uuid $UUID"
PATH="$WORK/bin:$PATH" build-demo/bin/"$PROG" --config "$WORK/none.cfg" --dev "$WORK/$NAME" \
    "${NET[@]}" --nic lo --uuid "$UUID" --debug 4 &
PIDS+=($!)
sleep 1.5

# What the line receives from the bridge.
timeout 8 cat "$WORK/line" > "$WORK/line.out" &
PIDS+=($!)

echo "== line -> server: writing 'hello from the serial line'"
printf 'hello from the serial line' > "$WORK/line"
sleep 1.5
echo "== server -> line: sending 'hello from the server'"
echo 'hello from the server' >&3
sleep 1.5
echo "== line -> server: writing 'second message'"
printf 'second message' > "$WORK/line"
sleep 1.5
echo "== the serial line received: $(cat "$WORK/line.out" | tr -d '\r' | tr '\n' ' ')"
if grep -q 'hello from the server' "$WORK/line.out"; then
    echo "== bytes crossed both ways"
else
    echo "== the server's bytes did not reach the line" >&2
    exit 1
fi
