#!/usr/bin/env bash
# A device with two outgoing interfaces, and a remote endpoint, in two network
# namespaces on this machine (needs root and iproute2):
#
#   fwdemo-dev                                fwdemo-rem
#   fwd0 10.200.0.2/24  <--veth-->  fwr0 10.200.0.1/24
#   fwd1 10.200.1.2/24  <--veth-->  fwr1 10.200.1.1/24
#                                   lo   198.18.100.1/32   (the remote side)
#
# The device routes 198.18.100.1 through both interfaces, so a socket bound
# to either one (SO_BINDTODEVICE) reaches it.  No traffic leaves the machine.
#
#   tools/netns.sh up          build the topology
#   tools/netns.sh down        remove it
#   tools/netns.sh demo        up, relay through dgramhop and streamhop, down
#
# BIN names the directory with the programs (default: build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."

DEV=fwdemo-dev
REM=fwdemo-rem
REMOTE=198.18.100.1
BIN=${BIN:-build/bin}
UUID=00112233-4455-6677-8899-aabbccddeeff

up() {
    ip netns add $DEV
    ip netns add $REM
    for ns in $DEV $REM; do
        ip -n $ns link set lo up
        ip netns exec $ns sysctl -qw net.ipv4.conf.all.rp_filter=0
        ip netns exec $ns sysctl -qw net.ipv4.conf.default.rp_filter=0
    done
    ip -n $REM addr add $REMOTE/32 dev lo
    for i in 0 1; do
        ip -n $DEV link add fwd$i type veth peer name fwr$i netns $REM
        ip -n $DEV addr add 10.200.$i.2/24 dev fwd$i
        ip -n $REM addr add 10.200.$i.1/24 dev fwr$i
        ip -n $DEV link set fwd$i up
        ip -n $REM link set fwr$i up
        ip -n $DEV route add $REMOTE/32 via 10.200.$i.1 dev fwd$i metric $((10 * (i + 1)))
    done
    echo "up: $DEV (fwd0, fwd1) -> $REM ($REMOTE)"
}

down() {
    ip netns del $DEV 2>/dev/null || true
    ip netns del $REM 2>/dev/null || true
    echo "down"
}

# The remote side: prints what arrives, with the interface it came through
# (its source address), and answers with a 28-byte header and a text.
remote_udp() {
    ip netns exec $REM python3 -u -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 9100))
for _ in range(2):
    data, peer = s.recvfrom(20000)
    print("remote: %d bytes from %s:%d (header %s, payload %r)" % (len(data), peer[0], peer[1], data[:28].hex(), data[28:]))
    s.sendto(b"reply via " + peer[0].encode(), peer)
' $REMOTE
}

remote_tcp() {
    ip netns exec $REM python3 -u -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 9200))
s.listen(4)
conns = [s.accept() for _ in range(2)]
for c, peer in conns:
    c.settimeout(3)
    data = c.recv(4096)
    print("remote: %d bytes from %s:%d (payload %r)" % (len(data), peer[0], peer[1], data[28:]))
c, peer = conns[-1]
c.sendall(bytes(28) + b"reply via " + peer[0].encode() + b"\n")
c.recv(1)
' $REMOTE
}

demo() {
    down >/dev/null
    up
    trap 'kill $(jobs -p) 2>/dev/null || true; down' EXIT
    common=(--config /nonexistent --dstip $REMOTE --nic fwd0 --uuid $UUID --outdev fwd0 --outdev fwd1)

    echo "== dgramhop: local UDP port 7100 -> $REMOTE:9100 over fwd0 and fwd1"
    remote_udp &
    srv=$!
    sleep 0.5
    ip netns exec $DEV "$BIN/dgramhop" "${common[@]}" --port 7100 --dstport 9100 &
    hop=$!
    sleep 0.5
    ip netns exec $DEV python3 -c '
import socket
c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
c.settimeout(3)
c.sendto(b"hello", ("127.0.0.1", 7100))
print("local client got: %r" % c.recv(512))
'
    wait $srv || true
    kill $hop; wait $hop 2>/dev/null || true

    echo "== streamhop: local TCP port 7200 -> $REMOTE:9200 over fwd0 and fwd1"
    remote_tcp &
    srv=$!
    sleep 0.5
    ip netns exec $DEV "$BIN/streamhop" "${common[@]}" --port 7200 --dstport 9200 &
    hop=$!
    sleep 0.5
    ip netns exec $DEV python3 -c '
import socket
c = socket.create_connection(("127.0.0.1", 7200), timeout=3)
c.sendall(b"abc")
print("local client got: %r" % c.recv(512))
'
    kill $hop; wait $hop 2>/dev/null || true
    wait $srv 2>/dev/null || true
}

case "${1:-}" in
up) up ;;
down) down ;;
demo) demo ;;
*) echo "usage: $0 up|down|demo" >&2; exit 2 ;;
esac
