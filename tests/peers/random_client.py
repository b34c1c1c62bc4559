#!/usr/bin/python3
"""A randomized client of the link server, written apart from the library it tests.

It knows the link server's frames (one packet in wire form per reply frame, batches of
streamed samples back to back) and the module's messages, and nothing of the server's
code. It keeps to its own index TAG of the module's command 0x12 (values of many hosts
at once) and tags its echo requests, so every reply names the client that asked:

  get        [0x12, 0x40|O, 0x20|TAG]            -> [0x12, O, TAG, value]
  set        [0x12, 0x80|O, 0x20|TAG, value]     -> [0x12, 0xC0|O, TAG]
  bytes set  chunks [0x12, 0x85, 0x20|TAG, ..., seq|more] -> [0x12, 0xC5, TAG]
  bytes get  [0x12, 0x45, 0x20|TAG]              -> chunks [0x12, 0x05, TAG, ..., seq|more]
  echo       [0x17, 0xEC, TAG, n >> 8, n & 0xFF] -> the same
  stream     [0x5D, 0x81|0x82, 0x20, ADDR, 0x10, O, 0] -> [0x5D, 0xC1|0xC2, 0x00] or an error

A stream answer names nothing, so each stream request is followed by an echo (a fence):
the server runs a client's requests in order and the module answers in order, so the
stream answer, if any comes, arrives before the fence's echo. A fence waits behind every
request of the client ahead of it (a big burst, late replies), so it is overdue only after
a while in which none of those was answered, late answers to timed-out requests included;
then another fence follows, and ten such silent waits in a row are a failure.

It checks every frame it gets: no frame is empty; a frame is one reply to one of its own
requests, or a batch of streamed samples while it wants at least one value (an enable
sent and not refused, not yet disabled). Violations are printed as "fail ..." lines.

  random_client.py --port P --address A --tag T --seed S --seconds D [options]
    --host IP        the server's address (default 127.0.0.1)
    --ops SPEC       weights, e.g. get=30,set=20,bytes-set=8,bytes-get=8,echo=12,burst=4,stream=18
    --streams LIST   options of command 0x10 it may stream (default 1,2,3,6,7)
    --big-burst N    once, early in the run, queue N gets back to back
    --hold FILE      only enable the --streams values, write FILE once they are held, then
                     keep reading for --seconds or until killed (a subscriber whose network
                     is then cut)

Output, one line each, flushed: "want 10.OO.00 T" when it starts wanting a stream value
and "end 10.OO.00 T" when it stops (T: CLOCK_MONOTONIC seconds), "fail REASON", and at
the end "stat NAME N" lines and "done".
"""
import argparse
import collections
import random
import sys
import time

import zmq

SCRATCH = 0x12
ECHO = 0x17
STREAM = 0x5D
SAMPLED = 0x10
SAMPLED_OPTIONS = {1, 2, 3, 6, 7, 8}
ECHO_MARK = 0xEC
WIDTH = {1: 1, 2: 2, 3: 4}
REPLY_WAIT = 8.0
FENCE_WAIT = 4.0
SILENT_FENCE_WAITS = 10
MAX_OUTSTANDING = 12
STALL = 30.0
MAX_FAILS = 40


def now():
    return time.monotonic()


def key_text(option):
    return "%02X.%02X.00" % (SAMPLED, option)


class Client:
    def __init__(self, args):
        self.args = args
        self.tag = args.tag
        self.address = args.address
        self.rng = random.Random(args.seed)
        self.sock = zmq.Context.instance().socket(zmq.DEALER)
        self.sock.setsockopt(zmq.LINGER, 0)
        self.sock.connect("tcp://%s:%d" % (args.host, args.port))
        self.stats = {name: 0 for name in (
            "sent-scratch", "sent-echo", "sent-stream", "refused-scratch", "frames", "batches", "replies",
            "timeouts", "own-late", "stray-stream-answers", "unsent", "fails", "enables-refused",
            "enables-held", "enables-unanswered")}
        self.outstanding = []  # dicts: kind, option, echo, deadline, seq
        self.expired = collections.deque(maxlen=4096)  # timed out, a late answer still places them
        # Sequence numbers of the requests the server may still hold, oldest first: the
        # server runs one client's requests in order, so an answer to one means every
        # earlier one has run. Pacing by these keeps the module's work bounded however
        # late its replies are; waiting replies alone would let the server's queue grow.
        self.sent_seq = 0
        self.in_server = collections.deque()
        self.progress_at = now()
        self.written = {1: {0}, 2: {0}, 3: {0}}
        self.written_bytes = {b""}
        self.ever_sent = set()
        self.echo_next = 0
        self.echoes_sent = set()
        self.assembly = None
        self.state = {}  # stream option -> pending|held|uncertain|releasing
        self.op = None  # the stream request waiting for its fence
        self.last_end_at = None  # the stream value it last stopped wanting, why, and when
        self.refused = set()  # stream values whose enable was refused, not wanted since

    # --- output -----------------------------------------------------------------
    def say(self, line):
        print(line, flush=True)

    def fail(self, reason):
        self.stats["fails"] += 1
        if self.stats["fails"] <= MAX_FAILS:
            self.say("fail client %d: %s" % (self.tag, reason))

    def wants(self):
        return sum(1 for s in self.state.values() if s)

    def set_state(self, option, new, why=""):
        old = self.state.get(option)
        if old and not new:
            self.last_end_at = (option, why, now())
        if new:
            self.refused.discard(option)
        elif why == "refused":
            self.refused.add(option)
        if not old and new:
            self.say("want %s %.3f" % (key_text(option), now()))
        if old and not new:
            self.say("end %s %.3f" % (key_text(option), now()))
        self.state[option] = new

    # --- sending ----------------------------------------------------------------
    def send(self, data, counter):
        frame = bytes([self.address, len(data)]) + bytes(data)
        try:
            self.sock.send(frame, zmq.NOBLOCK)
        except zmq.Again:
            self.stats["unsent"] += 1
            return False
        self.stats[counter] += 1
        return True

    def sent(self):
        """Counts a request the server now holds; returns its sequence number."""
        if not self.in_server:
            self.progress_at = now()
        seq = self.sent_seq
        self.sent_seq += 1
        self.in_server.append(seq)
        return seq

    def retire(self, seq):
        if self.op and seq < self.op["fence_seq"]:
            # A request ahead of the fence was answered: the fence is not overdue while
            # the requests in front of it are still being worked through.
            self.op["fenced"] = now()
            self.op["silent"] = 0
        while self.in_server and self.in_server[0] <= seq:
            self.in_server.popleft()
        self.progress_at = now()

    def busy(self):
        """The server holds as many of its requests as it may queue; requests that no
        answer has followed for a long while are no longer counted."""
        if self.in_server and now() - self.progress_at > STALL:
            self.in_server.clear()
        return len(self.in_server) >= MAX_OUTSTANDING

    def expect(self, kind, option=None, echo=None):
        self.ever_sent.add((kind, option))
        self.outstanding.append({"kind": kind, "option": option, "echo": echo, "deadline": now() + REPLY_WAIT,
                                 "seq": self.sent()})

    def get(self, option):
        if self.send([SCRATCH, 0x40 | option, 0x20 | self.tag], "sent-scratch"):
            self.expect("get", option)

    def set(self, option):
        value = self.rng.randrange(1 << (8 * WIDTH[option]))
        self.written[option].add(value)
        if self.send([SCRATCH, 0x80 | option, 0x20 | self.tag] + list(value.to_bytes(WIDTH[option], "big")),
                     "sent-scratch"):
            self.expect("set", option)

    def bytes_set(self):
        length = self.rng.choice([self.rng.randint(1, 24), self.rng.randint(25, 110), self.rng.randint(25, 110)])
        text = bytes([self.tag, self.rng.randrange(256)] + [self.rng.randrange(256) for _ in range(length - 2)])
        text = text[:length]
        self.written_bytes.add(text)
        pieces = [text[i:i + 24] for i in range(0, len(text), 24)]
        frames = []
        for seq, piece in enumerate(pieces):
            more = 0x80 if seq + 1 < len(pieces) else 0
            frames.append([SCRATCH, 0x85, 0x20 | self.tag] + list(piece) + [seq | more])
        for data in frames:
            frame = bytes([self.address, len(data)]) + bytes(data)
            try:
                self.sock.send(frame, zmq.NOBLOCK)
            except zmq.Again:
                # A write cut short would stay open at the server: finish it blocking.
                self.sock.send(frame)
        self.stats["sent-scratch"] += 1
        self.expect("set", 5)

    def bytes_get(self):
        if self.send([SCRATCH, 0x45, 0x20 | self.tag], "sent-scratch"):
            self.expect("bytes-get", 5)

    def echo(self):
        n = self.echo_next
        self.echo_next += 1
        if self.send([ECHO, ECHO_MARK, self.tag, (n >> 8) & 0xFF, n & 0xFF], "sent-echo"):
            self.echoes_sent.add(n)
            self.expect("echo", echo=n)
            return n
        return None

    def stream_request(self, option, enable):
        if self.op:
            return
        kind = 0x81 if enable else 0x82
        if not self.send([STREAM, kind, 0x20, self.address, SAMPLED, option, 0], "sent-stream"):
            return
        self.ever_sent.add(("stream", kind | 0x40))
        self.sent()
        self.set_state(option, "pending" if enable else "releasing")
        self.op = {"option": option, "enable": enable, "answer": None, "fences": set(), "fenced": 0.0, "count": 0,
                   "silent": 0, "fence_seq": 0}
        self.fence()

    def fence(self):
        n = self.echo()
        if n is None:
            return
        self.op["fences"].add(n)
        self.op["fenced"] = now()
        self.op["fence_seq"] = self.sent_seq - 1
        self.op["count"] += 1

    # --- receiving --------------------------------------------------------------
    def poll(self, seconds):
        end = now() + seconds
        while True:
            left = end - now()
            if self.sock.poll(max(0, int(left * 1000)), zmq.POLLIN):
                while self.sock.poll(0, zmq.POLLIN):
                    self.frame(self.sock.recv())
            if now() >= end:
                break
        self.expire()

    def expire(self):
        t = now()
        kept = []
        for request in self.outstanding:
            if request["deadline"] <= t:
                self.stats["timeouts"] += 1
                self.expired.append(request)
            else:
                kept.append(request)
        self.outstanding = kept
        if self.op and t - self.op["fenced"] > FENCE_WAIT:
            self.op["silent"] += 1
            if self.op["silent"] >= SILENT_FENCE_WAITS:
                ahead = sum(1 for seq in self.in_server if seq < self.op["fence_seq"])
                self.fail("no echo of %d fences after a stream request, nothing ahead of them answered for %.0f s"
                          " (%d requests ahead)" % (self.op["count"], SILENT_FENCE_WAITS * FENCE_WAIT, ahead))
                self.resolve(None)
            else:
                self.fence()

    def frame(self, frame):
        self.stats["frames"] += 1
        if not frame:
            self.fail("empty frame")
            return
        packets, i = [], 0
        while i < len(frame):
            if i + 2 > len(frame) or i + 2 + frame[i + 1] > len(frame) or frame[i + 1] > 28:
                self.fail("frame does not split into packets: " + frame.hex())
                return
            packets.append((frame[i], bytes(frame[i + 2:i + 2 + frame[i + 1]])))
            i += 2 + frame[i + 1]
        samples = [p for p in packets if len(p[1]) > 4 and p[1][1] < 64 and p[1][2] & 0x40]
        if samples:
            if len(samples) != len(packets):
                self.fail("a frame mixes samples and replies: " + frame.hex())
            self.batch(samples, frame)
        elif len(packets) != 1:
            self.fail("several replies in one frame: " + frame.hex())
        else:
            self.reply(packets[0][0], packets[0][1])

    def batch(self, samples, frame):
        self.stats["batches"] += 1
        if not self.wants():
            last = "none"
            if self.last_end_at:
                option, why, at = self.last_end_at
                last = "%s %s %.1f s before" % (key_text(option), why, now() - at)
            refused = " ".join(key_text(o) for o in sorted(self.refused)) or "none"
            self.fail("a batch while it wants no stream value (the last it wanted: %s; refused: %s): %s"
                      % (last, refused, frame[:40].hex()))
        for address, data in samples:
            if address != self.address or data[0] != SAMPLED or data[1] not in SAMPLED_OPTIONS or data[2] != 0x40:
                self.fail("a sample of no value the module streams: " + data.hex())

    def take(self, kind, option=None, echo=None):
        """The oldest outstanding request this reply answers; older ones of its kind never
        will be (the module answers in order)."""
        for n, request in enumerate(self.outstanding):
            if request["kind"] == kind and request["option"] == option and request["echo"] == echo:
                self.retire(request["seq"])
                self.outstanding = [r for m, r in enumerate(self.outstanding)
                                    if m > n or r["kind"] != kind or r["option"] != option]
                return True
        return False

    def take_expired(self, kind, option, echo):
        """A late answer to a request that timed out: the oldest such request it answers."""
        for n, request in enumerate(self.expired):
            if request["kind"] == kind and request["option"] == option and request["echo"] == echo:
                self.retire(request["seq"])
                kept = [r for m, r in enumerate(self.expired) if m > n or r["kind"] != kind or r["option"] != option]
                self.expired.clear()
                self.expired.extend(kept)
                return True
        return False

    def answered(self, kind, option, data, echo=None):
        if self.take(kind, option, echo):
            self.stats["replies"] += 1
        elif self.take_expired(kind, option, echo):
            self.stats["own-late"] += 1
        elif (kind, option) in self.ever_sent or (kind == "echo" and echo in self.echoes_sent):
            self.stats["own-late"] += 1
        else:
            self.fail("a reply to nothing it asked: " + data.hex())

    def reply(self, address, data):
        if address != self.address:
            self.fail("a reply from address %d: %s" % (address, data.hex()))
            return
        if len(data) < 3:
            self.fail("a reply too short to name its request: " + data.hex())
            return
        if data[0] == SCRATCH:
            self.scratch(data)
        elif data[0] == ECHO:
            n = (data[3] << 8 | data[4]) if len(data) == 5 else -1
            if len(data) != 5 or data[1] != ECHO_MARK or data[2] != self.tag or n not in self.echoes_sent:
                self.fail("an echo it never sent: " + data.hex())
                return
            self.answered("echo", None, data, n)
            if self.op and n in self.op["fences"]:
                self.resolve(self.op["answer"])
        elif data[0] == STREAM:
            self.stream_answer(data)
        else:
            self.fail("a reply to nothing it asked: " + data.hex())

    def scratch(self, data):
        index = data[2] & 0x1F
        if index != self.tag:
            self.fail("another client's reply (index %d): %s" % (index, data.hex()))
            return
        option = data[1] & 0x3F
        if data[2] & 0x80:
            self.stats["refused-scratch"] += 1
            for kind in ("get", "set", "bytes-get"):
                if self.take(kind, option):
                    return
            return
        if data[1] & 0xC0 == 0xC0:
            if len(data) != 3:
                self.fail("an acknowledgement of the wrong length: " + data.hex())
            self.answered("set", option, data)
        elif option == 5:
            self.chunk(data)
        elif option in WIDTH:
            if len(data) != 3 + WIDTH[option]:
                self.fail("a value of the wrong length: " + data.hex())
                return
            value = int.from_bytes(data[3:], "big")
            if value not in self.written[option]:
                self.fail("a value it never wrote: " + data.hex())
            self.answered("get", option, data)
        else:
            self.fail("a reply to nothing it asked: " + data.hex())

    def chunk(self, data):
        if len(data) < 4:
            self.fail("a byte-string chunk without its sequence byte: " + data.hex())
            return
        seq, more = data[-1] & 0x7F, data[-1] & 0x80
        if seq == 0:
            if self.assembly is not None:
                self.fail("a byte-string reply cut short: %d chunks" % self.assembly[0])
            self.assembly = [0, b""]
        elif self.assembly is None or seq != self.assembly[0] + 1:
            self.fail("a byte-string chunk out of sequence: " + data.hex())
            self.assembly = None
            return
        self.assembly = [seq, self.assembly[1] + data[3:-1]]
        if not more:
            text = self.assembly[1]
            self.assembly = None
            if text not in self.written_bytes:
                self.fail("a byte string it never wrote: " + text.hex())
            self.answered("bytes-get", 5, data)

    def stream_answer(self, data):
        kind = data[1]
        if self.op and kind == (0xC1 if self.op["enable"] else 0xC2):
            # A stray late answer may come first; the last one before the fence is this one's.
            self.op["answer"] = data
        elif ("stream", kind) in self.ever_sent:
            self.stats["stray-stream-answers"] += 1
        else:
            self.fail("a stream answer to nothing it asked: " + data.hex())

    def resolve(self, answer):
        op, self.op = self.op, None
        option = op["option"]
        accepted = answer is not None and len(answer) == 3 and answer[2] == 0
        if op["enable"]:
            if answer is None:
                self.stats["enables-unanswered"] += 1
                self.set_state(option, "uncertain")
            elif accepted:
                self.stats["enables-held"] += 1
                self.set_state(option, "held")
            else:
                self.stats["enables-refused"] += 1
                self.set_state(option, None, "refused")
        elif accepted:
            self.set_state(option, None, "disabled")
        else:
            self.set_state(option, "uncertain")

    # --- the run ----------------------------------------------------------------
    def random_op(self, weights):
        names = list(weights)
        kind = self.rng.choices(names, [weights[n] for n in names])[0]
        if kind == "get":
            self.get(self.rng.choice([1, 2, 3]))
        elif kind == "set":
            self.set(self.rng.choice([1, 2, 3]))
        elif kind == "bytes-set":
            self.bytes_set()
        elif kind == "bytes-get":
            self.bytes_get()
        elif kind == "echo":
            self.echo()
        elif kind == "burst":
            for _ in range(self.rng.randint(5, 40)):
                self.get(self.rng.choice([1, 2, 3]))
        elif kind == "stream" and self.args.streams:
            option = self.rng.choice(self.args.streams)
            self.stream_request(option, self.state.get(option) in (None,))

    def run(self):
        weights = parse_weights(self.args.ops)
        start = now()
        end = start + self.args.seconds
        burst_at = start + self.rng.uniform(0.1, 0.5) * self.args.seconds if self.args.big_burst else None
        while now() < end:
            if burst_at is not None and now() >= burst_at:
                burst_at = None
                for _ in range(self.args.big_burst):
                    self.get(self.rng.choice([1, 2, 3]))
            elif len(self.outstanding) < MAX_OUTSTANDING and not self.busy():
                self.random_op(weights)
            self.poll(self.rng.uniform(0, 0.03))
        self.drain()

    def settle_op(self, limit):
        deadline = now() + limit
        while self.op and now() < deadline:
            self.poll(0.05)

    def drain(self):
        """Gives back every stream value it may hold, then proves with a last echo that the
        server ran all its requests."""
        self.settle_op(60)
        for option in sorted(self.state):
            for _ in range(8):
                if not self.state.get(option):
                    break
                self.stream_request(option, False)
                self.settle_op(60)
            if self.state.get(option):
                self.fail("stream value %s never given back" % key_text(option))
        proved = False
        for _ in range(8):
            n = self.echo()
            deadline = now() + FENCE_WAIT
            while n is not None and now() < deadline and n in self.echoes_pending():
                self.poll(0.05)
            if n is not None and n not in self.echoes_pending():
                proved = True
                break
        if not proved:
            self.fail("its last echo was never answered")
        self.poll(0.3)
        for name in sorted(self.stats):
            self.say("stat %s %d" % (name, self.stats[name]))
        self.say("done")

    def echoes_pending(self):
        return {r["echo"] for r in self.outstanding if r["kind"] == "echo"}

    def hold(self, ready_file):
        end = now() + self.args.seconds
        for option in self.args.streams:
            for _ in range(8):
                if self.state.get(option) == "held":
                    break
                self.stream_request(option, True)
                self.settle_op(60)
        with open(ready_file, "w") as ready:
            ready.write("held\n")
        while now() < end:
            self.poll(0.2)


def parse_weights(spec):
    weights = {}
    for item in spec.split(","):
        name, _, value = item.partition("=")
        weights[name] = float(value)
    return weights


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--address", type=lambda t: int(t, 0), required=True)
    parser.add_argument("--tag", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--ops", default="get=30,set=20,bytes-set=8,bytes-get=8,echo=12,burst=4,stream=18")
    parser.add_argument("--streams", default="1,2,3,6,7",
                        type=lambda t: [int(o, 0) for o in t.split(",") if o])
    parser.add_argument("--big-burst", type=int, default=0)
    parser.add_argument("--hold")
    args = parser.parse_args()
    if not 0 <= args.tag < 32:
        parser.error("--tag must be 0-31")
    client = Client(args)
    if args.hold:
        client.hold(args.hold)
    else:
        client.run()


if __name__ == "__main__":
    main()
