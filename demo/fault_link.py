#!/usr/bin/env python3
"""A faulty link for the demo: forwards UDP datagrams from one address to
another and damages a share of them on the way, the way a real network
(or a bad relay) can.

    fault_link.py --listen ADDR:PORT --forward ADDR:PORT --fault KIND
                  [--rate P] [--seed S] [--seconds T]

KIND: drop, duplicate, reorder (held back and sent after the next one),
truncate (cut short at a random point), flip-length (one bit of the last
four bytes, the metadata trailer's length, flipped), flip-document (one
byte inside the document the trailer's length points at, made invalid
UTF-8, so that no reader can take it for a document). It ends after T
seconds (120), after 30 s without a datagram, or on SIGTERM, and prints
what it did.
"""

import argparse
import random
import select
import signal
import socket
import struct
import sys
import time


def address(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", type=address, required=True)
    parser.add_argument("--forward", type=address, required=True)
    parser.add_argument("--fault", required=True,
                        choices=["drop", "duplicate", "reorder", "truncate",
                                 "flip-length", "flip-document"])
    parser.add_argument("--rate", type=float, default=0.1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=120.0)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    counts = {"received": 0, "forwarded": 0, "damaged": 0}
    running = [True]

    def stop(*_):
        running[0] = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    inbound = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    inbound.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    inbound.bind(args.listen)
    outbound = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def send(data):
        outbound.sendto(data, args.forward)
        counts["forwarded"] += 1

    held = None
    deadline = time.monotonic() + args.seconds
    last_datagram = time.monotonic()
    while running[0] and time.monotonic() < deadline:
        try:
            ready, _, _ = select.select([inbound], [], [], 0.2)
        except InterruptedError:
            continue
        if not ready:
            # A datagram held back goes out once the stream pauses.
            if held is not None:
                send(held)
                held = None
            if time.monotonic() - last_datagram > 30:
                break
            continue
        data, _ = inbound.recvfrom(1 << 17)
        last_datagram = time.monotonic()
        counts["received"] += 1
        if rng.random() >= args.rate or len(data) < 2:
            send(data)
            if held is not None:
                send(held)
                held = None
            continue
        counts["damaged"] += 1
        if args.fault == "drop":
            pass
        elif args.fault == "duplicate":
            send(data)
            send(data)
        elif args.fault == "reorder":
            if held is not None:
                send(held)
            held = data
        elif args.fault == "truncate":
            send(data[:rng.randrange(1, len(data))])
        elif args.fault == "flip-length":
            damaged = bytearray(data)
            bit = rng.randrange(32)
            damaged[len(data) - 4 + bit // 8] ^= 1 << (bit % 8)
            send(bytes(damaged))
        elif args.fault == "flip-document":
            (length,) = struct.unpack("<I", data[-4:])
            damaged = bytearray(data)
            if 0 < length <= len(data) - 4:
                damaged[len(data) - 4 - length + rng.randrange(length)] ^= 0x80
            send(bytes(damaged))
    if held is not None:
        send(held)
    print("received %(received)d datagrams, damaged %(damaged)d, "
          "forwarded %(forwarded)d" % counts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
