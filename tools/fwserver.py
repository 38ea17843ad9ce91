#!/usr/bin/env python3
"""Reference server for the serial bridges (serstream over TCP, serdgram
over UDP).

Prints every message a device sends, with its 28-byte LinkHeader decoded
(magic, UUID, MAC) and its payload, and can send data back to the device:
each line typed on standard input (or given with --reply, after every data
message) goes to the device, behind a 28-byte header over TCP (serstream
drops the first 28 bytes of each chunk) and as a whole datagram over UDP
(serdgram writes the whole datagram to its line).

    tools/fwserver.py tcp --port 10000          # for serstream
    tools/fwserver.py udp --port 10000          # for serdgram
"""
import argparse
import select
import socket
import sys
import time

HEAD_LEN = 28
MAGIC = b"kovlat"


def decode_head(head):
    magic, uuid, mac = head[:6], head[6:22].hex(), head[22:28]
    return "magic=%s uuid=%s-%s-%s-%s-%s mac=%s" % (
        magic.decode("ascii", "replace"), uuid[:8], uuid[8:12], uuid[12:16], uuid[16:20],
        uuid[20:], ":".join("%02x" % b for b in mac))


def show_payload(data):
    text = data.decode("ascii", "backslashreplace")
    return "%d bytes %r" % (len(data), text)


def log(*parts):
    print(time.strftime("%H:%M:%S"), *parts, flush=True)


def reply_header():
    """What goes in front of data sent to a serstream: it is dropped unread,
    so any 28 bytes do; this server sends the magic and zeros."""
    return MAGIC + bytes(HEAD_LEN - len(MAGIC))


class TcpDevice:
    """One connected serstream.  The stream has no frame marks: a frame is
    the device's header (learnt from its registration) and the bytes up to
    the next header.  A frame cut across two reads shows as "more"."""

    def __init__(self, sock, peer):
        self.sock, self.peer = sock, peer
        self.head = None
        self.pending = b""

    def feed(self, data):
        out = []
        if self.head is None:
            self.pending += data
            if len(self.pending) < HEAD_LEN:
                return out
            self.head = self.pending[:HEAD_LEN]
            data, self.pending = self.pending, b""
        pos = 0
        while pos < len(data):
            if data.startswith(self.head, pos):
                nxt = data.find(self.head, pos + HEAD_LEN)
                end = len(data) if nxt < 0 else nxt
                out.append(("frame", data[pos + HEAD_LEN:end]))
            else:
                nxt = data.find(self.head, pos)
                end = len(data) if nxt < 0 else nxt
                out.append(("more", data[pos:end]))
            pos = end
        return out


def serve_tcp(args):
    lst = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind((args.host, args.port))
    lst.listen(4)
    log("listening on tcp %s:%d" % (args.host, lst.getsockname()[1]))
    devices = {}
    stdin_open = not args.no_stdin
    deadline = time.monotonic() + args.timeout if args.timeout else None
    while deadline is None or time.monotonic() < deadline:
        rl = [lst] + list(devices) + ([sys.stdin] if stdin_open else [])
        r, _, _ = select.select(rl, [], [], 0.2)
        for s in r:
            if s is lst:
                c, peer = lst.accept()
                devices[c] = TcpDevice(c, "%s:%d" % peer)
                log(devices[c].peer, "connected")
            elif s is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    stdin_open = False
                    continue
                for c, dev in devices.items():
                    c.sendall(reply_header() + line.encode())
                    log(dev.peer, "sent", show_payload(line.encode()), "behind a header")
            else:
                dev = devices[s]
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    log(dev.peer, "closed")
                    s.close()
                    del devices[s]
                    continue
                for kind, body in dev.feed(data):
                    if kind == "more":
                        log(dev.peer, "more payload", show_payload(body))
                    elif not body:
                        log(dev.peer, "header alone (registration)", decode_head(dev.head))
                    else:
                        log(dev.peer, "frame", decode_head(dev.head), "payload", show_payload(body))
                        if args.reply:
                            s.sendall(reply_header() + args.reply.encode())
                            log(dev.peer, "sent", show_payload(args.reply.encode()),
                                "behind a header")
    for c in devices:
        c.close()
    lst.close()


def serve_udp(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, args.port))
    log("listening on udp %s:%d" % (args.host, sock.getsockname()[1]))
    peer = None
    stdin_open = not args.no_stdin
    deadline = time.monotonic() + args.timeout if args.timeout else None
    while deadline is None or time.monotonic() < deadline:
        rl = [sock] + ([sys.stdin] if stdin_open else [])
        r, _, _ = select.select(rl, [], [], 0.2)
        for s in r:
            if s is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    stdin_open = False
                elif peer is None:
                    log("no device has sent anything yet; dropped", show_payload(line.encode()))
                else:
                    sock.sendto(line.encode(), peer)
                    log("%s:%d" % peer, "sent datagram", show_payload(line.encode()))
                continue
            data, peer = sock.recvfrom(65536)
            who = "%s:%d" % peer
            if len(data) < HEAD_LEN:
                log(who, "short datagram:", show_payload(data))
            elif len(data) == HEAD_LEN:
                log(who, "heartbeat", decode_head(data))
            else:
                log(who, "data", decode_head(data[:HEAD_LEN]), "payload",
                    show_payload(data[HEAD_LEN:]))
                if args.reply:
                    sock.sendto(args.reply.encode(), peer)
                    log(who, "sent datagram", show_payload(args.reply.encode()))
    sock.close()


def main():
    p = argparse.ArgumentParser(
        description="Reference server for serstream (tcp) and serdgram (udp): prints each "
        "message's LinkHeader and payload, sends standard-input lines back.")
    p.add_argument("mode", choices=["tcp", "udp"])
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=10000, help="port (default 10000)")
    p.add_argument("--reply", help="text to send back after every data message")
    p.add_argument("--no-stdin", action="store_true", help="do not read lines to send from stdin")
    p.add_argument("--timeout", type=float, default=0, help="stop after this many seconds")
    args = p.parse_args()
    try:
        (serve_tcp if args.mode == "tcp" else serve_udp)(args)
    except (KeyboardInterrupt, BrokenPipeError):
        pass


if __name__ == "__main__":
    main()
