#!/usr/bin/python3
"""Link-server discovery peer: plays either side of the local multicast probe and of
the UDP beacon exchange, with plain sockets, so each side of the library can be tested
against a party that shares none of its code.

It runs only where the visible network interfaces are loopback and the test veth pair
(nsrun0, nsrun1), as inside tools/netns/netns-run.

Modes (each prints "ready" on standard output when its sockets are set up, then one
line per event, and ends after --seconds at the latest):

  answer-probe  hold probe port 9850+OFFSET and answer every 4-byte probe with an answer
                sent to 224.0.0.7 port 9950+OFFSET
  probe         send one probe to port 9850+OFFSET and print the answer heard on
                9950+OFFSET within --wait seconds ("answer <ms> <hex>") or "none"
  answer-beacon listen on UDP 8585; on hearing a searcher's "Corvalith2-Discovery",
                broadcast --junk 20-byte beacons of another text, then the answer every
                100 ms for 2 s
  search-beacon broadcast "Corvalith2-Discovery" every 100 ms and print every other
                datagram heard on 8585 ("beacon <source> <hex>")

The answer is 128 bytes: type, serial, three zero words, model, IPv4 address, port,
each a little-endian 32-bit word (the address as its four bytes in network order), then
96 bytes of --fill. --size cuts or pads it to that many bytes.
"""
import argparse
import socket
import struct
import sys
import time

GROUP = "224.0.0.7"
PROBE_PORT = 9850
ANSWER_PORT = 9950
MAGIC = struct.pack("<I", 0xABCDDCBA)
BEACON_PORT = 8585
BEACON_TEXT = b"Corvalith2-Discovery"
ALLOWED_INTERFACES = {"lo", "nsrun0", "nsrun1"}


def refuse_outside_test_namespace():
    foreign = sorted(name for _, name in socket.if_nameindex() if name not in ALLOWED_INTERFACES)
    if foreign:
        sys.exit("discovery_peer: refusing to run: foreign network interface visible: " + " ".join(foreign))


def say(*words):
    print(*words, flush=True)


def answer_bytes(args):
    body = struct.pack("<6I", args.type, args.serial, 0, 0, 0, args.model)
    body += socket.inet_aton(args.ip) + struct.pack("<I", args.port)
    body += bytes([args.fill]) * 96
    size = len(body) if args.size is None else args.size
    return (body + bytes(max(0, size - len(body))))[:size]


def multicast_socket(port=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    if port is not None:
        sock.bind(("", port))  # no SO_REUSEADDR: the port is held exclusively
    membership = socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1")
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    return sock


def beacon_socket():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("", BEACON_PORT))
    return sock


def answer_probe(args):
    receiver = multicast_socket(PROBE_PORT + args.offset)
    sender = multicast_socket()
    answer = answer_bytes(args)
    say("ready")
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        receiver.settimeout(max(0.01, end - time.monotonic()))
        try:
            data = receiver.recv(64)
        except socket.timeout:
            break
        if data != MAGIC:
            say("other", data.hex())
            continue
        sender.sendto(answer, (GROUP, ANSWER_PORT + args.offset))
        say("answered")


def probe(args):
    receiver = multicast_socket(ANSWER_PORT + args.offset)
    sender = multicast_socket()
    say("ready")
    start = time.monotonic()
    sender.sendto(MAGIC, (GROUP, PROBE_PORT + args.offset))
    receiver.settimeout(args.wait)
    try:
        data = receiver.recv(512)
    except socket.timeout:
        say("none")
        return
    say("answer", int((time.monotonic() - start) * 1000), data.hex())


def answer_beacon(args):
    sock = beacon_socket()
    answer = answer_bytes(args)
    target = (args.broadcast, BEACON_PORT)
    say("ready")
    end = time.monotonic() + args.seconds
    publish_until = 0.0
    next_publish = 0.0
    while time.monotonic() < end:
        now = time.monotonic()
        if now < publish_until and now >= next_publish:
            sock.sendto(answer, target)
            next_publish = now + 0.1
        wait = min(end, next_publish if now < publish_until else end) - now
        sock.settimeout(max(0.01, wait))
        try:
            data = sock.recv(512)
        except socket.timeout:
            continue
        if data.startswith(BEACON_TEXT) and len(data) == len(BEACON_TEXT) and publish_until == 0.0:
            say("heard")
            for _ in range(args.junk):
                sock.sendto(b"Xorvalith2-Discovery", target)
            publish_until = time.monotonic() + 2.0
            next_publish = time.monotonic() + args.delay


def search_beacon(args):
    sock = beacon_socket()
    target = (args.broadcast, BEACON_PORT)
    say("ready")
    end = time.monotonic() + args.seconds
    next_publish = 0.0
    while time.monotonic() < end:
        now = time.monotonic()
        if now >= next_publish and now < end - args.quiet:
            sock.sendto(BEACON_TEXT, target)
            next_publish = now + 0.1
        sock.settimeout(max(0.01, min(next_publish, end) - now))
        try:
            data, source = sock.recvfrom(512)
        except socket.timeout:
            continue
        if data != BEACON_TEXT:
            say("beacon", "%.3f" % (time.monotonic() - (end - args.seconds)), source[0], data.hex())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["answer-probe", "probe", "answer-beacon", "search-beacon"])
    parser.add_argument("--offset", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=10.0, help="the longest the peer runs")
    parser.add_argument("--wait", type=float, default=1.0, help="probe: how long to wait for the answer")
    parser.add_argument("--type", type=int, default=4)
    parser.add_argument("--serial", type=lambda text: int(text, 0), default=0x1234ABCD)
    parser.add_argument("--model", type=int, default=17)
    parser.add_argument("--ip", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=40000)
    parser.add_argument("--fill", type=int, default=0)
    parser.add_argument("--size", type=int)
    parser.add_argument("--broadcast", default="198.18.0.255")
    parser.add_argument("--junk", type=int, default=0, help="answer-beacon: other beacons sent before answering")
    parser.add_argument("--delay", type=float, default=0.0, help="answer-beacon: seconds between hearing and answering")
    parser.add_argument("--quiet", type=float, default=0.0, help="search-beacon: stop publishing this long before the end")
    args = parser.parse_args()
    refuse_outside_test_namespace()
    {"answer-probe": answer_probe, "probe": probe, "answer-beacon": answer_beacon, "search-beacon": search_beacon}[
        args.mode
    ](args)


if __name__ == "__main__":
    main()
