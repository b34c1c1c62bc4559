#!/usr/bin/python3
"""An independent ZeroMQ peer of the link server protocol, for tests.

Each frame between a link client and a link server carries one packet in wire form
(address, data size, data bytes); the server may also send batches of streamed samples,
packets back to back. This peer knows only that and the module's value exchange, and
shares nothing with the library it tests.

  zmq_peer.py share PORT ADDR ROUNDS      two DEALER clients: one writes multi-chunk byte
                                          strings while the other reads a byte, interleaved
  zmq_peer.py stream PORT ADDR            streaming to two clients; one disables
  zmq_peer.py vanish PORT ADDR            a client enables streaming, takes a batch and leaves
  zmq_peer.py pools PORT ADDR             a write left open lets other requests pass, and
                                          a new first chunk starts the write again
  zmq_peer.py flush PORT ADDR             prints "sent" after a request the module answers
                                          late; the next request gets its own reply only
  zmq_peer.py exchange PORT REQ REPLY     one request, exactly one reply, nothing else
  zmq_peer.py late PORT ADDR OPT_A OPT_B  client A reads option OPT_A, then client B reads
                                          OPT_B; prints every frame each got ("A hex")
  zmq_peer.py shared-stream PORT ADDR     two clients stream the same value; one disables,
                                          the other keeps it; a pattern disable of a third
                                          ends only its own stream
  zmq_peer.py absent PORT ADDR ABSENT N   client A queues N reads to an absent module; client
                                          B's reads meanwhile are each answered within 4.5 s
  zmq_peer.py age PORT ADDR N              client A opens a two-chunk write, client B sends N
                                          reads and takes their answers, then A sends the
                                          last chunk; prints "ack" or "no ack"
  zmq_peer.py burst PORT ADDR N           sends N reads without reading, prints "sent", waits
  zmq_peer.py enables PORT ADDR N         sends N stream enables of distinct values without
                                          reading, prints "sent", waits
  zmq_peer.py flood PORT ADDR SECONDS K   K clients send reads as fast as they can
  zmq_peer.py loss PORT ADDR FILE         a client served once (then FILE is written) sees
                                          its connection closed by the server within 20 s
  zmq_peer.py router                      a ROUTER playing a link server for one client:
                                          answers its first frame, leaves after its second
  zmq_peer.py unanswered PORT ADDR ABSENT a read of an absent module brings no frame at all
                                          (an empty one neither); a read of ADDR then its reply
  zmq_peer.py queue PORT ADDR N           queues N reads back to back, then counts the answers:
                                          prints "answers A replies R refusals F"
  zmq_peer.py leavers PORT ADDR ABSENT N  N clients queue reads of absent modules (ABSENT,
                                          ABSENT + 2, ...) and leave; then a new client's
                                          read is answered within 4.5 s
  zmq_peer.py heavy-leavers PORT ADDR N   N clients one after another, each with 64 stream
                                          enables and 8 open writes of 100 chunks, leave;
                                          then a new client's read is answered
  zmq_peer.py late-chunks PORT ADDR       client A reads the module name (several chunks),
                                          client B reads a value 2.2 s later; prints every
                                          frame each got ("A hex")
  zmq_peer.py refused-enable PORT ADDR    client A's enable is refused by the module, client
                                          B's accepted: A never gets a batch, B does until its
                                          disable is acknowledged
  zmq_peer.py cut-off PORT HOST ADDR      a subscriber at HOST; prints "streaming" once batches
                                          come, then stops reading and waits to be cut off
  zmq_peer.py unanswered-enable PORT ADDR disable|leave SECONDS
                                          a client's stream enable gets no answer within
                                          SECONDS; it then disables (and takes the
                                          acknowledgement) or leaves
  zmq_peer.py handover PORT ADDR ABSENT   client A streams a value; while a read of ABSENT
                                          holds the module, client B enables the same value
                                          and A leaves: B keeps getting samples of it
  zmq_peer.py stranger PORT FRAME SECONDS another local program: connects a DEALER to
                                          127.0.0.1:PORT, prints "sent" once it has sent
                                          FRAME (hex), then counts what reaches it for
                                          SECONDS: prints "took N"
  zmq_peer.py lost-disable PORT ADDR disable|leave
                                          a client's stream enable is accepted; then it
                                          disables twice, the first one unanswered, taking
                                          the second's acknowledgement, or it leaves

Prints "ok" and exits 0 on success; prints the reason and exits 1 otherwise.
"""
import sys
import time

import zmq

CTX = zmq.Context.instance()
EXCHANGE = 0x10


def fail(reason):
    print("fail: " + reason, flush=True)
    sys.exit(1)


def dealer(port, linger_ms=0):
    sock = CTX.socket(zmq.DEALER)
    sock.setsockopt(zmq.LINGER, linger_ms)
    sock.connect("tcp://127.0.0.1:%d" % port)
    return sock


def wire(address, data):
    return bytes([address, len(data)]) + bytes(data)


def recv(sock, timeout_ms=3000):
    if sock.poll(timeout_ms, zmq.POLLIN):
        return sock.recv()
    return None


def expect(sock, wanted, what):
    got = recv(sock)
    if got != wanted:
        fail("%s: wanted %s, got %s" % (what, wanted.hex(), got.hex() if got is not None else "nothing"))


def expect_among_samples(sock, wanted, what, seconds=3):
    """A reply to a stream request: batches of a value others already stream may come
    before it, as they would on a direct link."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        got = recv(sock, 200)
        if got == wanted:
            return
        if got:
            samples(got)
    fail("%s: wanted %s within %d s" % (what, wanted.hex(), seconds))


def expect_silence(sock, what, ms=300):
    got = recv(sock, ms)
    if got is not None:
        fail("%s: unexpected frame %s" % (what, got.hex()))


def chunks(option, index, payload):
    """A byte-string write: chunks of 24 bytes, sequence numbers and continue bits."""
    pieces = [payload[i:i + 24] for i in range(0, len(payload), 24)]
    out = []
    for seq, piece in enumerate(pieces):
        more = 0x80 if seq + 1 < len(pieces) else 0
        out.append([EXCHANGE, 0x80 | option, index] + list(piece) + [seq | more])
    return out


def share(port, address, rounds):
    writer, reader = dealer(port), dealer(port)
    byte_get = wire(address, [EXCHANGE, 0x41, 0x00])
    byte_reply = wire(address, [EXCHANGE, 0x01, 0x00, 0x11])
    ack = wire(address, [EXCHANGE, 0xC5, 0x00])
    for r in range(rounds):
        payload = bytes((i * 13 + r) & 0xFF for i in range(60))
        parts = chunks(5, 0, payload)
        for part in parts:
            writer.send(wire(address, part))
            reader.send(byte_get)
        for n in range(len(parts)):
            expect(reader, byte_reply, "round %d read %d" % (r, n))
        expect(writer, ack, "round %d write acknowledgement" % r)
        writer.send(wire(address, [EXCHANGE, 0x45, 0x20]))
        read_back = b""
        for seq in range(len(parts)):
            frame = recv(writer)
            if frame is None or len(frame) < 6 or frame[0] != address or frame[1] != len(frame) - 2:
                fail("round %d read-back chunk %d: %s" % (r, seq, frame.hex() if frame else "nothing"))
            if frame[2:5] != bytes([EXCHANGE, 0x05, 0x00]) or frame[-1] & 0x7F != seq:
                fail("round %d read-back chunk %d header: %s" % (r, seq, frame.hex()))
            read_back += frame[5:-1]
        if read_back != payload:
            fail("round %d: wrote %s, read back %s" % (r, payload.hex(), read_back.hex()))
        expect_silence(reader, "round %d reader" % r, 0)
        expect_silence(writer, "round %d writer" % r, 0)
    print("ok", flush=True)


def samples(frame):
    """Splits a frame into packets; every one must be a streamed sample."""
    out, i = [], 0
    while i < len(frame):
        if i + 2 > len(frame) or i + 2 + frame[i + 1] > len(frame):
            fail("batch does not split into packets: " + frame.hex())
        data = frame[i + 2:i + 2 + frame[i + 1]]
        if len(data) < 5 or not data[2] & 0x40:
            fail("not a streamed sample in a batch: " + frame[i:i + 2 + len(data)].hex())
        out.append((frame[i], bytes(data)))
        i += 2 + len(data)
    return out


def collect(sock, seconds):
    frames, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        got = recv(sock, 50)
        if got is not None:
            frames.append(got)
    return frames


def stream(port, address):
    keep, leave = dealer(port), dealer(port)
    # keep streams option 1, leave option 2: separate values of command 0x10, index 0.
    keep.send(wire(address, [0x5D, 0x81, 0x20, address, EXCHANGE, 1, 0]))
    expect_among_samples(keep, wire(address, [0x5D, 0xC1, 0x00]), "enable of the keeping client")
    leave.send(wire(address, [0x5D, 0x81, 0x20, address, EXCHANGE, 2, 0]))
    expect_among_samples(leave, wire(address, [0x5D, 0xC1, 0x00]), "enable of the leaving client")
    got_keep, got_leave = collect(keep, 2.5), collect(leave, 0.2)
    for name, frames in (("keeping", got_keep), ("leaving", got_leave)):
        if not frames:
            fail("the %s client got no batch" % name)
        if max(len(samples(f)) for f in frames) < 2:
            fail("the %s client got no batch of several samples" % name)
    # Every client gets every batch: both values appear in both.
    options = {d[1] for f in got_keep for _, d in samples(f)}
    if options != {1, 2}:
        fail("the keeping client saw options %s" % sorted(options))
    leave.send(wire(address, [0x5D, 0x82, 0x20, address, EXCHANGE, 2, 0]))
    # The disable's acknowledgement may follow batches already on their way.
    deadline = time.monotonic() + 3
    while True:
        frame = recv(leave, 200)
        if frame == wire(address, [0x5D, 0xC2, 0x00]):
            break
        if frame is None and time.monotonic() > deadline:
            fail("no acknowledgement of the disable")
    collect(leave, 0.3)
    late = collect(leave, 2.0)
    if late:
        fail("the client that disabled streaming still got %d batches" % len(late))
    collect(keep, 0.3)
    kept = collect(keep, 2.0)
    if not kept or any(d[1] != 1 for f in kept for _, d in samples(f)):
        fail("the keeping client lost its stream after the other disabled")
    keep.send(wire(address, [0x5D, 0x82, 0x20, address, EXCHANGE, 1, 0]))
    print("ok", flush=True)


def vanish(port, address):
    sock = dealer(port)
    sock.send(wire(address, [0x5D, 0x81, 0x20, address, EXCHANGE, 3, 0]))
    expect(sock, wire(address, [0x5D, 0xC1, 0x00]), "enable")
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        frame = recv(sock, 200)
        if frame is not None and samples(frame):
            sock.close()
            print("ok", flush=True)
            return
    fail("no batch")


def pools(port, address):
    sock = dealer(port)
    first = chunks(5, 0, bytes(range(60)))
    sock.send(wire(address, first[0]))
    # A read of another value passes while the write is open.
    sock.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    expect(sock, wire(address, [EXCHANGE, 0x01, 0x00, 0x11]), "read while a write is open")
    # The client begins the write again with other bytes and completes it.
    payload = bytes((200 - i) & 0xFF for i in range(50))
    for part in chunks(5, 0, payload):
        sock.send(wire(address, part))
    expect(sock, wire(address, [EXCHANGE, 0xC5, 0x00]), "acknowledgement of the restarted write")
    expect_silence(sock, "after the acknowledgement")
    sock.send(wire(address, [EXCHANGE, 0x45, 0x20]))
    read_back = b""
    while True:
        frame = recv(sock)
        if frame is None:
            fail("read-back cut short after %d bytes" % len(read_back))
        read_back += frame[5:-1]
        if not frame[-1] & 0x80:
            break
    if read_back != payload:
        fail("wrote %s, read back %s" % (payload.hex(), read_back.hex()))
    print("ok", flush=True)


def flush(port, address):
    sock = dealer(port)
    sock.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    print("sent", flush=True)
    time.sleep(1.2)
    sock.send(wire(address, [EXCHANGE, 0x42, 0x00]))
    expect(sock, wire(address, [EXCHANGE, 0x02, 0x00, 0x22, 0x33]), "reply after the flush")
    expect_silence(sock, "after the reply", 1000)
    print("ok", flush=True)


def exchange(port, request, reply):
    sock = dealer(port)
    sock.send(bytes.fromhex(request))
    expect(sock, bytes.fromhex(reply), "reply")
    expect_silence(sock, "after the reply", 500)
    print("ok", flush=True)


def print_frames(socks, seconds):
    """Every frame each client gets, empty ones too ("A " and nothing after it)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for name, sock in socks:
            frame = recv(sock, 20)
            if frame is not None:
                print("%s %s" % (name, frame.hex()), flush=True)
    print("done", flush=True)


def late(port, address, option_a, option_b):
    a, b = dealer(port), dealer(port)
    a.send(wire(address, [EXCHANGE, 0x40 | option_a, 0x00]))
    time.sleep(0.3)
    b.send(wire(address, [EXCHANGE, 0x40 | option_b, 0x00]))
    print_frames((("A", a), ("B", b)), 9)


def late_chunks(port, address):
    a, b = dealer(port), dealer(port)
    # System entity (command 3), option 32: the module name, a byte string.
    a.send(wire(address, [0x03, 0x40 | 32, 0x20]))
    time.sleep(2.2)
    b.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    print_frames((("A", a), ("B", b)), 6)


def unanswered(port, address, missing):
    sock = dealer(port)
    sock.send(wire(missing, [EXCHANGE, 0x41, 0x00]))
    # The server gives up on it after 2 s; nothing at all reaches the client.
    got = recv(sock, 5000)
    if got is not None:
        fail("a frame for an unanswered read: '%s'" % got.hex())
    sock.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    expect(sock, wire(address, [EXCHANGE, 0x01, 0x00, 0x11]), "the read after it")
    print("ok", flush=True)


def refusal(request):
    """The error reply a module gives to a value request, with aErrBusy (5)."""
    option = request[3]
    reply_option = (option & 0x3F) | 0xC0 if option & 0x80 else option & 0x3F
    return wire(request[0], [request[2], reply_option, 0x80 | (request[4] & 0x1F), 5])


def queue(port, address, count):
    sock = dealer(port)
    get = wire(address, [EXCHANGE, 0x41, 0x00])
    for _ in range(count):
        sock.send(get)
    replies = refusals = 0
    while replies + refusals < count:
        frame = recv(sock, 10000)
        if frame is None:
            break
        if frame == wire(address, [EXCHANGE, 0x01, 0x00, 0x11]):
            replies += 1
        elif frame == refusal(get):
            refusals += 1
        else:
            fail("not an answer to a read: '%s'" % frame.hex())
    expect_silence(sock, "after the last answer", 500)
    print("answers %d replies %d refusals %d" % (replies + refusals, replies, refusals), flush=True)


def fresh_read(port, address, wait_ms, what):
    """A new client reads the module's value 0x11; fails naming `what` unless the answer
    comes within wait_ms. Returns the seconds it took."""
    fresh = dealer(port)
    asked = time.monotonic()
    fresh.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    got = recv(fresh, wait_ms)
    if got != wire(address, [EXCHANGE, 0x01, 0x00, 0x11]):
        fail("%s: %s" % (what, got.hex() if got is not None else "nothing within %g s" % (wait_ms / 1000)))
    return time.monotonic() - asked


def leavers(port, address, missing, count):
    for n in range(count):
        # Connected first, so the reads leave before the connection closes; the server
        # is not asked anything before them, so no client waits for another's turn.
        sock = CTX.socket(zmq.DEALER)
        sock.setsockopt(zmq.LINGER, 2000)
        monitor = sock.get_monitor_socket(zmq.EVENT_HANDSHAKE_SUCCEEDED)
        sock.connect("tcp://127.0.0.1:%d" % port)
        if not monitor.poll(5000, zmq.POLLIN):
            fail("leaving client %d never connected" % n)
        sock.disable_monitor()
        monitor.close()
        # An address of its own: no read waits for another's late reply.
        for _ in range(3):
            sock.send(wire(missing + 2 * n, [EXCHANGE, 0x41, 0x00]))
        sock.close()
    print("left", file=sys.stderr, flush=True)
    took = fresh_read(port, address, 4500, "the new client's read")
    print("ok answered after %.2f s" % took, file=sys.stderr, flush=True)
    print("ok", flush=True)


def heavy_leavers(port, address, count):
    started = time.monotonic()
    for n in range(count):
        sock = dealer(port, 2000)
        for v in range(64):
            sock.send(stream_request(address, 0x81, 0x11 + v, 1, 0))
        for w in range(8):
            # The first 100 chunks of a write of 101: the write stays open.
            for part in chunks(w + 1, 0, bytes(24 * 101))[:100]:
                sock.send(wire(address, part))
        sock.close()
    print("%d clients in %.1f s" % (count, time.monotonic() - started), file=sys.stderr, flush=True)
    took = fresh_read(port, address, 60000, "a new client's read")
    print("a new client's read answered after %.2f s" % took, file=sys.stderr, flush=True)
    print("ok", flush=True)


def refused_enable(port, address):
    a, b = dealer(port), dealer(port)
    enable = stream_request(address, 0x81, EXCHANGE, 1, 0)
    a.send(enable)
    expect(a, wire(address, [0x5D, 0xC1, 0x80, 29]), "the module's refusal of the enable")
    b.send(enable)
    expect_among_samples(b, wire(address, [0x5D, 0xC1, 0x00]), "the accepted enable")
    if not any(samples(f) for f in collect(b, 1.5)):
        fail("the subscribed client got no batch")
    got = collect(a, 0.5)
    if got:
        fail("the client whose enable was refused got %d batches" % len(got))
    b.send(stream_request(address, 0x82, EXCHANGE, 1, 0))
    deadline = time.monotonic() + 3
    while recv(b, 200) != wire(address, [0x5D, 0xC2, 0x00]):
        if time.monotonic() > deadline:
            fail("no acknowledgement of the disable")
    collect(b, 0.5)
    late = collect(a, 1.0) + collect(b, 1.0)
    if late:
        fail("%d batches after the only subscriber disabled" % len(late))
    print("ok", flush=True)


def expect_disabled(sock, address, seconds, what):
    deadline = time.monotonic() + seconds
    while recv(sock, 200) != wire(address, [0x5D, 0xC2, 0x00]):
        if time.monotonic() > deadline:
            fail("no acknowledgement of " + what)


def unanswered_enable(port, address, then, seconds):
    sock = dealer(port)
    sock.send(stream_request(address, 0x81, EXCHANGE, 1, 0))
    got = collect(sock, seconds)
    if got:
        fail("the unanswered enable brought %s" % got[0].hex())
    if then == "leave":
        sock.close()
    else:
        sock.send(stream_request(address, 0x82, EXCHANGE, 1, 0))
        expect_disabled(sock, address, 6, "the disable")
    print("ok", flush=True)


def handover(port, address, missing):
    a, b, slow = dealer(port), dealer(port), dealer(port)
    enable = stream_request(address, 0x81, EXCHANGE, 1, 0)
    a.send(enable)
    expect_among_samples(a, wire(address, [0x5D, 0xC1, 0x00]), "the first subscriber's enable")
    # The server waits 2 s for the absent module: B's enable and A's leaving are both
    # known to it before anything more reaches the module.
    slow.send(wire(missing, [EXCHANGE, 0x41, 0x00]))
    time.sleep(0.3)
    b.send(enable)
    time.sleep(0.3)
    a.close()
    expect_among_samples(b, wire(address, [0x5D, 0xC1, 0x00]), "the second subscriber's enable", 8)
    collect(b, 1.0)
    if 1 not in options_seen(collect(b, 2.0)):
        fail("the second subscriber's value stopped streaming when the first left")
    b.send(stream_request(address, 0x82, EXCHANGE, 1, 0))
    expect_disabled(b, address, 6, "the second subscriber's disable")
    print("ok", flush=True)


def stranger(port, frame, seconds):
    sock = dealer(port)
    # ZeroMQ connects in the background; the send waits for the connection.
    sock.send(bytes.fromhex(frame))
    print("sent", flush=True)
    print("took %d" % len(collect(sock, seconds)), flush=True)


def lost_disable(port, address, then):
    sock = dealer(port)
    sock.send(stream_request(address, 0x81, EXCHANGE, 1, 0))
    expect_among_samples(sock, wire(address, [0x5D, 0xC1, 0x00]), "the accepted enable")
    if then == "leave":
        sock.close()
        print("ok", flush=True)
        return
    disable = stream_request(address, 0x82, EXCHANGE, 1, 0)
    sock.send(disable)
    end = time.monotonic() + 3
    while time.monotonic() < end:
        got = recv(sock, 100)
        # A batch's first packet is a sample: 5 data bytes or more, the stream flag set.
        if got is not None and (len(got) < 7 or not got[4] & 0x40):
            fail("the lost disable brought %s" % got.hex())
    sock.send(disable)
    expect_disabled(sock, address, 6, "the second disable")
    print("ok", flush=True)


def cut_off(port, host, address):
    sock = CTX.socket(zmq.DEALER)
    sock.setsockopt(zmq.LINGER, 0)
    sock.connect("tcp://%s:%d" % (host, port))
    sock.send(stream_request(address, 0x81, EXCHANGE, 1, 0))
    # Until the test has made this client's network, ZeroMQ tries to connect again.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        frame = recv(sock, 200)
        if frame is not None and len(frame) > 6 and samples(frame):
            print("streaming", flush=True)
            time.sleep(120)
            return
    fail("no batch")


def stream_request(address, kind, command, option, index):
    return wire(address, [0x5D, kind, 0x20, address, command, option, index])


def options_seen(frames):
    return {d[1] for f in frames for _, d in samples(f)}


def shared_stream(port, address):
    keep, leave, pattern = dealer(port), dealer(port), dealer(port)
    for name, sock, option in (("keeping", keep, 1), ("leaving", leave, 1), ("pattern", pattern, 2)):
        sock.send(stream_request(address, 0x81, EXCHANGE, option, 0))
        expect_among_samples(sock, wire(address, [0x5D, 0xC1, 0x00]), "enable of the %s client" % name)
    if 1 not in options_seen(collect(keep, 2.0)):
        fail("the keeping client got no samples")
    leave.send(stream_request(address, 0x82, EXCHANGE, 1, 0))
    pattern.send(stream_request(address, 0x82, EXCHANGE, 0xFF, 0xFF))
    for name, sock in (("leaving", leave), ("pattern", pattern)):
        deadline = time.monotonic() + 3
        while recv(sock, 200) != wire(address, [0x5D, 0xC2, 0x00]):
            if time.monotonic() > deadline:
                fail("no acknowledgement of the %s client's disable" % name)
    for sock in (keep, leave, pattern):
        collect(sock, 0.3)
    kept = collect(keep, 2.0)
    if options_seen(kept) != {1}:
        fail("the keeping client saw options %s after the others disabled" % sorted(options_seen(kept)))
    for name, sock in (("leaving", leave), ("pattern", pattern)):
        late = collect(sock, 0.5)
        if late:
            fail("the %s client still got %d batches after its disable" % (name, len(late)))
    keep.send(stream_request(address, 0x82, EXCHANGE, 1, 0))
    deadline = time.monotonic() + 3
    while recv(keep, 200) != wire(address, [0x5D, 0xC2, 0x00]):
        if time.monotonic() > deadline:
            fail("no acknowledgement of the keeping client's disable")
    print("ok", flush=True)


def absent(port, address, missing, count):
    a, b = dealer(port), dealer(port)
    for _ in range(count):
        a.send(wire(missing, [EXCHANGE, 0x41, 0x00]))
    time.sleep(0.2)
    get = wire(address, [EXCHANGE, 0x41, 0x00])
    longest = 0.0
    for n in range(5):
        started = time.monotonic()
        b.send(get)
        got = recv(b, 4500)
        if got != wire(address, [EXCHANGE, 0x01, 0x00, 0x11]):
            fail("read %d of the other client: %s" % (n, got.hex() if got is not None else "nothing within 4.5 s"))
        longest = max(longest, time.monotonic() - started)
    print("ok longest %.2f s" % longest, file=sys.stderr, flush=True)
    print("ok", flush=True)


def age(port, address, count):
    a, b = dealer(port), dealer(port)
    first, last = chunks(5, 0, bytes(range(30)))
    a.send(wire(address, first))
    # The server takes A's frames in order: the answer to the address query (no value
    # packet, so it ages nothing) shows the write is open before B begins, however late
    # A's connection came up.
    a.send(wire(0xAD, []))
    expect(a, wire(address, []), "address query after the first chunk")
    get = wire(address, [EXCHANGE, 0x41, 0x00])
    for _ in range(count):
        b.send(get)
    # Every read is answered, by the module or by the server's refusal once B's queue is
    # full; when all are, the server has taken every one of them. Only then does A's
    # last chunk follow.
    answered = 0
    while answered < count:
        frame = recv(b, 10000)
        if frame is None:
            fail("B's reads: %d of %d answered" % (answered, count))
        answered += 1
    a.send(wire(address, last))
    frame = recv(a, 5000)
    print("ack" if frame == wire(address, [EXCHANGE, 0xC5, 0x00]) else "no ack", flush=True)


def burst(port, address, count):
    sock = dealer(port)
    for _ in range(count):
        sock.send(wire(address, [EXCHANGE, 0x41, 0x00]))
    print("sent", flush=True)
    time.sleep(60)


def enables(port, address, count):
    sock = dealer(port)
    for n in range(count):
        sock.send(stream_request(address, 0x81, 0x11 + (n >> 16) % 0x80, (n >> 8) & 0xFF, n & 0x3F))
    print("sent", flush=True)
    time.sleep(60)


def flood(port, address, seconds, clients):
    socks = [dealer(port) for _ in range(clients)]
    get = wire(address, [EXCHANGE, 0x41, 0x00])
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for sock in socks:
            for _ in range(100):
                try:
                    sock.send(get, zmq.NOBLOCK)
                    sent += 1
                except zmq.Again:
                    break
            while sock.poll(0, zmq.POLLIN):
                sock.recv()
    print("sent %d" % sent, file=sys.stderr, flush=True)
    print("ok", flush=True)


def loss(port, address, ready_file):
    sock = CTX.socket(zmq.DEALER)
    sock.setsockopt(zmq.LINGER, 0)
    monitor = sock.get_monitor_socket(zmq.EVENT_DISCONNECTED)
    sock.connect("tcp://127.0.0.1:%d" % port)
    # The address query: the module answers with an empty packet from its address.
    sock.send(wire(0xAD, []))
    expect(sock, wire(address, []), "address query while served")
    with open(ready_file, "w") as ready:
        ready.write("served\n")
    if not monitor.poll(20000, zmq.POLLIN):
        fail("the connection stayed open")
    monitor.recv_multipart()
    print("ok", flush=True)


def router():
    sock = CTX.socket(zmq.ROUTER)
    sock.setsockopt(zmq.LINGER, 0)
    port = sock.bind_to_random_port("tcp://127.0.0.1")
    print("port %d" % port, flush=True)
    if not sock.poll(10000, zmq.POLLIN):
        fail("no frame from the client")
    parts = sock.recv_multipart()
    if len(parts) != 2:
        fail("the client sent %d frames in one message" % (len(parts) - 1))
    identity, frame = parts
    print("got " + frame.hex(), flush=True)
    # An empty frame, a full 30-byte packet and a heartbeat, as separate frames.
    full = wire(0x02, [0x10, 0x01, 0x00] + list(range(25)))
    for payload in (b"", full, wire(0x02, [0x00, 0x00])):
        sock.send_multipart([identity, payload])
    print("sent", flush=True)
    # Stays until the client's next frame, then goes away without a word.
    if not sock.poll(10000, zmq.POLLIN):
        fail("no second frame from the client")
    print("got " + sock.recv_multipart()[1].hex(), flush=True)
    sock.close()


def main(argv):
    if len(argv) < 2:
        fail(__doc__)
    kind = argv[1]
    if kind == "share":
        share(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "stream":
        stream(int(argv[2]), int(argv[3], 0))
    elif kind == "vanish":
        vanish(int(argv[2]), int(argv[3], 0))
    elif kind == "pools":
        pools(int(argv[2]), int(argv[3], 0))
    elif kind == "flush":
        flush(int(argv[2]), int(argv[3], 0))
    elif kind == "exchange":
        exchange(int(argv[2]), argv[3], argv[4])
    elif kind == "late":
        late(int(argv[2]), int(argv[3], 0), int(argv[4], 0), int(argv[5], 0))
    elif kind == "shared-stream":
        shared_stream(int(argv[2]), int(argv[3], 0))
    elif kind == "absent":
        absent(int(argv[2]), int(argv[3], 0), int(argv[4], 0), int(argv[5]))
    elif kind == "age":
        age(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "burst":
        burst(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "enables":
        enables(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "flood":
        flood(int(argv[2]), int(argv[3], 0), float(argv[4]), int(argv[5]))
    elif kind == "loss":
        loss(int(argv[2]), int(argv[3], 0), argv[4])
    elif kind == "router":
        router()
    elif kind == "unanswered":
        unanswered(int(argv[2]), int(argv[3], 0), int(argv[4], 0))
    elif kind == "queue":
        queue(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "leavers":
        leavers(int(argv[2]), int(argv[3], 0), int(argv[4], 0), int(argv[5]))
    elif kind == "heavy-leavers":
        heavy_leavers(int(argv[2]), int(argv[3], 0), int(argv[4]))
    elif kind == "late-chunks":
        late_chunks(int(argv[2]), int(argv[3], 0))
    elif kind == "refused-enable":
        refused_enable(int(argv[2]), int(argv[3], 0))
    elif kind == "unanswered-enable":
        unanswered_enable(int(argv[2]), int(argv[3], 0), argv[4], float(argv[5]))
    elif kind == "handover":
        handover(int(argv[2]), int(argv[3], 0), int(argv[4], 0))
    elif kind == "stranger":
        stranger(int(argv[2]), argv[3], float(argv[4]))
    elif kind == "lost-disable":
        lost_disable(int(argv[2]), int(argv[3], 0), argv[4])
    elif kind == "cut-off":
        cut_off(int(argv[2]), argv[3], int(argv[4], 0))
    else:
        fail("unknown scenario " + kind)


if __name__ == "__main__":
    main(sys.argv)
