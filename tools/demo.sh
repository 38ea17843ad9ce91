#!/usr/bin/env bash
# The serial bridges end to end on one machine, no hardware, loopback only:
# a pty pair stands for the serial line, tools/fwserver.py for the server,
# a stand-in linegate.sh prints its argument.  Bytes written into the line
# show up at the server with their decoded header, and the server's answer
# shows up on the line.
#
#   sudo tools/demo.sh        # serstream over TCP
#   sudo tools/demo.sh udp    # serdgram over UDP
#
# As root it installs what it needs on Debian (like tools/test.sh); it
# builds into build-demo/ (no tests: no test dependencies) and cleans up
# after itself.
set -euo pipefail
cd "$(dirname "$0")/.."
MODE=${1:-tcp}
case "$MODE" in tcp) PROG=serstream ;; udp) PROG=serdgram ;; *) echo "usage: $0 [tcp|udp]" >&2; exit 2 ;; esac

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

echo "== building $PROG into build-demo/"
cmake -S . -B build-demo -DFW_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" --target "$PROG" >/dev/null

WORK=$(mktemp -d /tmp/fwdemo.XXXXXX)
NAME=ttyFWdemo$$          # unique tty name: its lock is /var/run/$NAME.pid
PIDS=()
cleanup() {
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[$i]}" 2>/dev/null || true; sleep 0.1; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
    rm -f "/var/run/$NAME.pid"
}
trap cleanup EXIT

# The serial line: the bridge opens one end, this script is the far end.
socat pty,raw,echo=0,link="$WORK/$NAME" pty,raw,echo=0,link="$WORK/line" &
PIDS+=($!)
for _ in $(seq 50); do [ -e "$WORK/$NAME" ] && [ -e "$WORK/line" ] && break; sleep 0.1; done

# The line-direction script the bridge runs around each write to the line.
mkdir "$WORK/bin"
printf '#!/bin/sh\necho "         linegate.sh $1"\n' > "$WORK/bin/linegate.sh"
chmod +x "$WORK/bin/linegate.sh"

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
