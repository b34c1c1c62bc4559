#!/usr/bin/python3
"""Simulated update server: answers the updater's HTTP GET requests from a fixture directory.

It listens on 127.0.0.1 only and prints its URL (http://127.0.0.1:PORT<path>) as the first
line of standard output, so the updater's -u can point at it.

Requests are GET <path>?key=value&...; the reply is plain text whose first line is "ok"
(see --ok-line) followed by the lines of the answer:

  op=hi                         ok
  op=qu&sn=SERIAL               ok, latest build, firmware name
  op=builds&sn=SERIAL           ok, one "build;version" entry per line
  op=trel&sn=SERIAL&bld=BUILD   ok, the firmware file in base64 on one line
  op=fix&fp=W0%20W1%20W2%20W3   ok, serial number, build
  op=ent_jwt&sn=SERIAL          ok, token

A request the fixtures cannot answer gets the first line "error" and a reason.

Fixture layout (SERIAL is eight upper-case hexadecimal digits):

  <fixtures>/fingerprints.txt     one chip per line: W0 W1 W2 W3 SERIAL BUILD
                                  (words and serial as sent, BUILD sent as it stands)
  <fixtures>/SERIAL/latest.txt    line 1: latest build, line 2: firmware name
  <fixtures>/SERIAL/builds.txt    build-list entries, each line sent as it stands
  <fixtures>/SERIAL/BUILD.trel    firmware file, any bytes, sent base64-encoded
  <fixtures>/SERIAL/token.txt     first line: the token

Blank lines and lines starting with "#" in the .txt files are ignored.
"""

import argparse
import base64
import http.server
import os
import re
import sys
import threading
import time
import urllib.parse

FAULTS = {
    "status500": "answer every request with HTTP 500",
    "redirect301": "answer every request with HTTP 301 to the same URL",
    "empty-body": "answer with HTTP 200 and an empty body",
    "crlf": "end the reply lines with CR LF",
    "truncated-base64": "cut the last character off the firmware's base64 text",
    "bad-base64": "put a character outside the base64 alphabet into the firmware text",
    "stall": "accept the request, then send nothing for --stall-seconds",
    "oversize": "answer the firmware request with --oversize-bytes of base64 text, sent in pieces; "
                "the log then gets a line '# oversize sent N of M bytes'",
    "drop": "send the headers and half of the body, then close the connection",
    "no-reply": "accept the request, then close the connection without a reply",
    "long-length": "announce a Content-Length 1000 bytes longer than the body, send the body and close",
    "short-length": "announce a Content-Length 3 bytes shorter than the body, then send the whole body",
    "drip": "send the headers, then the body one byte every --drip-seconds",
}

OVERSIZE_PIECE = 1 << 20

SERIAL_PATTERN = re.compile(r"^[0-9A-F]{8}$")
BUILD_PATTERN = re.compile(r"^[0-9]{1,10}$")


def fixture_lines(path):
    try:
        with open(path, "r", encoding="utf-8", newline="\n") as f:
            lines = [line.rstrip("\n") for line in f]
    except OSError:
        return None
    return [line for line in lines if line.strip() and not line.startswith("#")]


class Answer:
    def __init__(self, lines, ok=True):
        self.lines = lines
        self.ok = ok


def refuse(reason):
    return Answer([reason], ok=False)


class Fixtures:
    def __init__(self, root):
        self.root = root

    def device_file(self, serial, name):
        return os.path.join(self.root, serial, name)

    def answer(self, query):
        op = query.get("op", "")
        if op == "hi":
            return Answer([])
        if op == "fix":
            return self.recovery_info(query.get("fp", ""))
        serial = query.get("sn", "")
        if not SERIAL_PATTERN.match(serial):
            return refuse("bad serial number")
        if op == "qu":
            latest = fixture_lines(self.device_file(serial, "latest.txt"))
            return Answer(latest[:2]) if latest else refuse("unknown device")
        if op == "builds":
            builds = fixture_lines(self.device_file(serial, "builds.txt"))
            return Answer(builds) if builds is not None else refuse("unknown device")
        if op == "trel":
            return self.firmware(serial, query.get("bld", ""))
        if op == "ent_jwt":
            token = fixture_lines(self.device_file(serial, "token.txt"))
            return Answer(token[:1]) if token else refuse("no token")
        return refuse("unknown request")

    def firmware(self, serial, build):
        if not BUILD_PATTERN.match(build):
            return refuse("bad build")
        try:
            with open(self.device_file(serial, build + ".trel"), "rb") as f:
                data = f.read()
        except OSError:
            return refuse("no such build")
        answer = Answer([base64.b64encode(data).decode("ascii")])
        answer.firmware = True
        return answer

    def recovery_info(self, fingerprint):
        words = fingerprint.split(" ")
        for line in fixture_lines(os.path.join(self.root, "fingerprints.txt")) or []:
            fields = line.split()
            if len(fields) == 6 and fields[:4] == words:
                return Answer(fields[4:6])
        return refuse("unknown fingerprint")


def spoil_firmware(text, faults):
    if "truncated-base64" in faults and text:
        text = text[:-1]
    if "bad-base64" in faults and text:
        middle = len(text) // 2
        text = text[:middle] + "*" + text[middle + 1:]
    return text


class Gate:
    """Holds requests until `count` of them wait, then lets them all go at once (or each one
    after `timeout` seconds alone); then the next `count` gather."""

    def __init__(self, count, timeout):
        self.count = count
        self.timeout = timeout
        self.condition = threading.Condition()
        self.waiting = 0
        self.generation = 0

    def wait(self):
        with self.condition:
            generation = self.generation
            self.waiting += 1
            if self.waiting >= self.count:
                self.generation += 1
                self.waiting = 0
                self.condition.notify_all()
                return True
            deadline = time.monotonic() + self.timeout
            while generation == self.generation:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    self.waiting -= 1
                    return False
                self.condition.wait(remaining)
            return True


def make_handler(settings):
    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "UpdateServerSim/1.0"

        def log_message(self, format, *args):
            pass

        def record(self):
            self.record_line(self.path)

        def record_line(self, line):
            if settings.log_path:
                with settings.log_lock, open(settings.log_path, "a", encoding="utf-8") as log:
                    log.write(line + "\n")

        def reply(self, status, body, headers=(), faults=frozenset(), gate=None):
            data = body.encode("utf-8")
            announced = len(data)
            if "long-length" in faults:
                announced += 1000
            if "short-length" in faults:
                announced = max(0, announced - 3)
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(announced))
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
            try:
                if "drop" in faults:
                    self.wfile.write(data[:len(data) // 2])
                elif "drip" in faults:
                    for index in range(len(data)):
                        self.wfile.write(data[index:index + 1])
                        time.sleep(settings.drip_seconds)
                elif gate:
                    # All but the last byte, so every held client takes its last byte at once.
                    self.wfile.write(data[:-1])
                    together = gate.wait()
                    self.record_line("# firmware reply released %s" % ("together" if together else "alone"))
                    self.wfile.write(data[-1:])
                else:
                    self.wfile.write(data)
            except (BrokenPipeError, ConnectionResetError):
                pass
            if faults & {"drop", "long-length", "short-length", "drip"}:
                self.close_connection = True

        def send_oversize(self, size):
            # Never held in memory: the client is to give up long before the end.
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(3 + size + 1))
            self.end_headers()
            piece = b"A" * OVERSIZE_PIECE
            sent = 0
            try:
                self.wfile.write(b"ok\n")
                while sent < size:
                    count = min(size - sent, OVERSIZE_PIECE)
                    self.wfile.write(piece[:count])
                    sent += count
                self.wfile.write(b"\n")
            except (BrokenPipeError, ConnectionResetError):
                pass
            # How far the client read before it gave up, for tests that bound it.
            self.record_line("# oversize sent %d of %d bytes" % (sent, size))

        def do_GET(self):
            self.record()
            faults = settings.faults_for(self.path)
            if "stall" in faults:
                time.sleep(settings.stall_seconds)
                return
            if "no-reply" in faults:
                self.close_connection = True
                return
            if "status500" in faults:
                self.reply(500, "internal error\n")
                return
            if "redirect301" in faults:
                self.reply(301, "moved\n", [("Location", self.path)])
                return
            path, _, raw_query = self.path.partition("?")
            if path != settings.path:
                self.reply(404, "not found\n")
                return
            if "empty-body" in faults:
                self.reply(200, "")
                return
            query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
            if "oversize" in faults and query.get("op") == "trel":
                self.send_oversize(settings.oversize_bytes)
                return
            answer = settings.fixtures.answer(query)
            lines = list(answer.lines)
            if getattr(answer, "firmware", False):
                lines[0] = spoil_firmware(lines[0], faults)
            gate = settings.firmware_gate if query.get("op") == "trel" else None
            first = settings.ok_line if answer.ok else "error"
            end = "\r\n" if "crlf" in faults else "\n"
            self.reply(200, "".join(line + end for line in [first] + lines), faults=faults, gate=gate)

    return Handler


class Settings:
    def __init__(self, args):
        self.fixtures = Fixtures(args.fixtures)
        self.path = args.path
        self.log_path = args.log
        self.log_lock = threading.Lock()
        self.faults = set(args.fault or [])
        self.fault_op = args.fault_op
        self.ok_line = args.ok_line
        self.stall_seconds = args.stall_seconds
        self.oversize_bytes = args.oversize_bytes
        self.drip_seconds = args.drip_seconds
        self.firmware_gate = Gate(args.hold_firmware, args.hold_seconds) if args.hold_firmware > 1 else None

    def faults_for(self, target):
        if self.fault_op is None:
            return self.faults
        query = dict(urllib.parse.parse_qsl(target.partition("?")[2], keep_blank_values=True))
        return self.faults if query.get("op") == self.fault_op else set()


def parse_arguments():
    fault_help = "; ".join("%s: %s" % item for item in FAULTS.items())
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fixtures", required=True, help="fixture directory (layout above)")
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--path", default="/cgi/u", help="URL path that is served (default /cgi/u)")
    parser.add_argument("--log", help="append every request target (path and query) to this file")
    parser.add_argument("--fault", action="append", choices=sorted(FAULTS),
                        help="misbehave, may be given more than once: " + fault_help)
    parser.add_argument("--fault-op", help="apply the faults only to requests with this op")
    parser.add_argument("--ok-line", default="ok",
                        help='first line of an accepted reply (default "ok")')
    parser.add_argument("--stall-seconds", type=float, default=600.0,
                        help="how long the stall fault keeps a request waiting (default 600)")
    parser.add_argument("--oversize-bytes", type=int, default=200 * 1000 * 1000,
                        help="length of the base64 text that the oversize fault sends (default 200000000)")
    parser.add_argument("--drip-seconds", type=float, default=1.0,
                        help="pause between the bytes that the drip fault sends (default 1)")
    parser.add_argument("--hold-firmware", type=int, default=0, metavar="N",
                        help="hold the last byte of every firmware reply until N firmware requests wait, "
                             "then send it to all of them together (downloads whose replies end at once); "
                             "the log gets '# firmware reply released together' for each")
    parser.add_argument("--hold-seconds", type=float, default=30.0,
                        help="longest a held firmware reply waits for the others (default 30); it then "
                             "goes out alone and the log says 'alone'")
    return parser.parse_args()


def main():
    args = parse_arguments()
    settings = Settings(args)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(settings))
    server.daemon_threads = True
    host, port = server.server_address[:2]
    print("http://%s:%d%s" % (host, port, args.path), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
