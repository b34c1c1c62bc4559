#!/usr/bin/python3
"""Writes TREL firmware files from parameters.

A TREL file is the magic "trel", a big-endian 16-bit format version, then one zlib
stream. Inflated, the stream holds a big-endian 32-bit block count, the blocks back to
back and a big-endian 32-bit checksum word. A block is one byte (type in bits 0-4,
flags in bits 5-7), a big-endian 32-bit data length and the data.

Block types written by the options below:
  0 loader          load address (BE32) + image
  1 firmware        load address (BE32) + image (little-endian words inside)
  2 serial offsets  address of the serial-number word, address of the USB
                    serial-number string descriptor's first character (BE32 each)
  4 info            build, version, serial (hex), model: 16 bytes each, space padded
  5 recovery start  address (BE32) at which the recovery loader starts

Blocks are written in the order their options appear on the command line. Options that
break the format on purpose (--block-count, --claim-length, --checksum, --payload,
--zlib-data, --truncate, --magic, --version) let tests produce damaged files.

DATA arguments are hexadecimal bytes ("DEADBEEF", spaces ignored), @PATH for the bytes
of a file, or zeros=N for N zero bytes. A trailing :FLAGS (a decimal number 0-7) after
DATA sets the block's flags.
"""

import argparse
import struct
import sys
import zlib

BLOCK_LOADER = 0
BLOCK_FIRMWARE = 1
BLOCK_SERIAL_OFFSETS = 2
BLOCK_INFO = 4
BLOCK_RECOVERY_START = 5

INFO_FIELD = 16


def parse_int(text):
    return int(text, 0)


def parse_data(text):
    if text.startswith("@"):
        with open(text[1:], "rb") as source:
            return source.read()
    if text.startswith("zeros="):
        return bytes(parse_int(text[len("zeros="):]))
    cleaned = text.replace(" ", "")
    return bytes.fromhex(cleaned)


def parse_key(text):
    words = [parse_int(w if w.lower().startswith("0x") else "0x" + w) for w in text.split(",")]
    if len(words) != 4 or any(w < 0 or w > 0xFFFFFFFF for w in words):
        raise argparse.ArgumentTypeError("a key is four 32-bit hexadecimal words separated by commas")
    return words


def scramble(image, key_words):
    """The inverse of the chip-keyed unscrambling: the module side decodes each byte as
    b ^ key[k] ^ previous decoded byte, so encoding chains on the previous plain byte."""
    key = b"".join(struct.pack(">I", w) for w in key_words)
    out = bytearray(len(image))
    previous = 0
    for i, plain in enumerate(image):
        out[i] = plain ^ key[i % 16] ^ previous
        previous = plain
    return bytes(out)


def info_field(text):
    raw = text.encode("ascii")
    if len(raw) > INFO_FIELD:
        raise SystemExit("info field longer than 16 characters: %r" % text)
    return raw.ljust(INFO_FIELD, b" ")


class BlockAction(argparse.Action):
    """Keeps every block option in one list, so blocks follow command-line order."""

    def __call__(self, parser, namespace, values, option_string=None):
        blocks = getattr(namespace, "blocks", None) or []
        blocks.append((self.dest, values))
        namespace.blocks = blocks


def split_block(text, what):
    """FIRST:DATA[:FLAGS] -> (FIRST, DATA, flags); a path after @ may itself hold colons."""
    if ":" not in text:
        raise SystemExit("bad %s: %r" % (what, text))
    first, rest = text.split(":", 1)
    flags = 0
    if ":" in rest:
        head, tail = rest.rsplit(":", 1)
        if tail.isdigit():
            rest, flags = head, int(tail)
    return first, rest, flags


def image_block(kind, text, key):
    """ADDR:DATA[:FLAGS] -> (type, flags, data) with the load address in front."""
    address, data, flags = split_block(text, "block")
    image = parse_data(data)
    if kind == BLOCK_FIRMWARE and key is not None:
        image = scramble(image, key)
    return kind, flags, [struct.pack(">I", parse_int(address)), image]


def build_block(dest, values, key):
    if dest == "loader_block":
        return image_block(BLOCK_LOADER, values, key)
    if dest == "firmware_block":
        return image_block(BLOCK_FIRMWARE, values, key)
    if dest == "serial_offsets":
        serial, descriptor = values.split(":", 1) if ":" in values else (values, "0")
        return BLOCK_SERIAL_OFFSETS, 0, [struct.pack(">II", parse_int(serial), parse_int(descriptor))]
    if dest == "info":
        return BLOCK_INFO, 0, [info_field(v) for v in values]
    if dest == "recovery_start":
        return BLOCK_RECOVERY_START, 0, [struct.pack(">I", parse_int(values))]
    if dest == "raw_block":
        kind, data, flags = split_block(values, "raw block")
        return parse_int(kind), flags, [parse_data(data)]
    raise AssertionError(dest)


def block_header(kind, flags, pieces, claimed_length=None):
    if not 0 <= kind <= 31 or not 0 <= flags <= 7:
        raise SystemExit("block type must be 0-31 and flags 0-7")
    length = sum(len(piece) for piece in pieces) if claimed_length is None else claimed_length
    return bytes([kind | (flags << 5)]) + struct.pack(">I", length)


def build_payload(args):
    """The inflated payload as a list of pieces: a payload of the largest size is never
    copied whole, which keeps the builder quick on a loaded machine."""
    if args.payload is not None:
        return [parse_data(args.payload)]
    blocks = [build_block(dest, values, args.scramble_key) for dest, values in (args.blocks or [])]
    claims = dict(args.claim_length or [])
    encoded = []
    for index, (kind, flags, pieces) in enumerate(blocks):
        encoded.append(block_header(kind, flags, pieces, claims.get(index)))
        encoded.extend(pieces)
    count = len(blocks) if args.block_count is None else args.block_count
    checksum = 0
    for piece in encoded:
        checksum = zlib.crc32(piece, checksum)
    if args.checksum is not None:
        checksum = args.checksum
    body = [struct.pack(">I", count)] + encoded
    if not args.no_checksum:
        body.append(struct.pack(">I", checksum & 0xFFFFFFFF))
    return body


def compress(pieces, level):
    compressor = zlib.compressobj(level)
    return b"".join([compressor.compress(piece) for piece in pieces] + [compressor.flush()])


def build_file(args):
    magic = args.magic.encode("latin-1")
    if len(magic) != 4:
        raise SystemExit("the magic is four characters")
    header = magic + struct.pack(">H", args.version)
    if args.zlib_data is not None:
        stream = parse_data(args.zlib_data)
    else:
        stream = compress(build_payload(args), args.level)
    content = header + stream
    if args.truncate is not None:
        content = content[:args.truncate]
    return content


def claim(text):
    index, length = text.split("=", 1)
    return parse_int(index), parse_int(length)


def make_parser():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: trel_builder.py --out 1234.trel --info 1234 1.2.3 DEADDEAD Quillet "
               "--serial-offsets 0x1000:0x1100 --firmware-block 0:@image.bin")
    parser.set_defaults(blocks=None)
    parser.add_argument("--out", help="file to write (required unless --scramble-hex)")
    parser.add_argument("--magic", default="trel", help="the four magic characters (default trel)")
    parser.add_argument("--version", type=parse_int, default=0x0101, help="16-bit format version (default 0x0101)")
    parser.add_argument("--loader-block", action=BlockAction, metavar="ADDR:DATA[:FLAGS]", help="type 0 block")
    parser.add_argument("--firmware-block", action=BlockAction, metavar="ADDR:DATA[:FLAGS]", help="type 1 block")
    parser.add_argument("--serial-offsets", action=BlockAction, metavar="SERIAL_ADDR:DESCRIPTOR_ADDR",
                        help="type 2 block; 0 means none")
    parser.add_argument("--info", action=BlockAction, nargs=4, metavar=("BUILD", "VERSION", "SERIAL", "MODEL"),
                        help="type 4 block of four space-padded 16-character fields")
    parser.add_argument("--recovery-start", action=BlockAction, metavar="ADDR", help="type 5 block")
    parser.add_argument("--raw-block", action=BlockAction, metavar="TYPE:DATA[:FLAGS]",
                        help="a block of any type with exactly these data bytes")
    parser.add_argument("--scramble-key", type=parse_key, metavar="W0,W1,W2,W3",
                        help="scramble every firmware image with this chip key (hex words)")
    parser.add_argument("--block-count", type=parse_int, help="count word to write instead of the real count")
    parser.add_argument("--claim-length", type=claim, action="append", metavar="INDEX=LENGTH",
                        help="write LENGTH as the length of block INDEX (0-based), whatever its data")
    parser.add_argument("--checksum", type=parse_int, help="checksum word (default CRC-32 of the block bytes)")
    parser.add_argument("--no-checksum", action="store_true", help="leave the checksum word out")
    parser.add_argument("--payload", metavar="DATA", help="inflated payload to compress instead of the blocks")
    parser.add_argument("--zlib-data", metavar="DATA", help="bytes to write after the header instead of zlib")
    parser.add_argument("--level", type=int, default=9, help="zlib compression level (default 9)")
    parser.add_argument("--truncate", type=parse_int, metavar="N", help="cut the written file to N bytes")
    parser.add_argument("--scramble-hex", metavar="DATA",
                        help="print DATA scrambled with --scramble-key as hex and write no file")
    return parser


def main(argv):
    parser = make_parser()
    args = parser.parse_args(argv)
    if args.scramble_hex is not None:
        if args.scramble_key is None:
            parser.error("--scramble-hex needs --scramble-key")
        print(scramble(parse_data(args.scramble_hex), args.scramble_key).hex().upper())
        return 0
    if not args.out:
        parser.error("--out is required")
    content = build_file(args)
    with open(args.out, "wb") as target:
        target.write(content)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
