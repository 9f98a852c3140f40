#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_parser into corpus/parser/.

Each seed is the five mode bytes fuzz_parser.cpp reads, the echo bytes when
they are not part of the stream, then the received stream: valid frames of
both checksum variants, echoes, raw sends and link resets.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "parser")


def step(byte, acc):
    return (((acc << 1) | (acc >> 7)) + byte) & 0xFF


def checksum(protocol, body):
    if protocol == 1:
        return sum(body) & 0xFF
    acc = 0x17
    for b in body:
        acc = step(b, acc)
    return acc


def data_frame(protocol, dest, src, control, data):
    body = [dest, src, control] + list(data)
    return bytes([0xFE] + body + [checksum(protocol, body)])


def short_frame(protocol, dest, src, control):
    if protocol == 1:
        control &= 0x7F
        if (dest + src + control) & 1:
            control |= 0x80
        return bytes([0xFE, dest, src, control])
    return bytes([0xFE, dest, src, control, checksum(2, [dest, src, control])])


def ack(protocol, received_src, received_dest):
    return short_frame(protocol, received_src, received_dest, 0x10)


def mode(protocol, echo_pending=False, raw=False, echo_in_stream=False, echo_len=0):
    return ((1 if protocol == 1 else 0) | (2 if echo_pending else 0) | (4 if raw else 0)
            | (8 if echo_in_stream else 0) | (echo_len << 4))


def seed(mode_byte, last_dest=0, echo_start=0, chunk_seed=7, flags=0, body=b""):
    return bytes([mode_byte, last_dest, echo_start, chunk_seed, flags]) + body


def main():
    os.makedirs(OUT, exist_ok=True)
    d = bytes([1, 2, 3, 4, 5, 6])
    to5_p1 = data_frame(1, 5, 1, 0xC1, d)
    to5_p2 = data_frame(2, 5, 1, 0xC1, d)
    from5_p2 = data_frame(2, 1, 5, 0xC1, bytes([9, 8, 7, 6, 5, 4]))
    raw = bytes([0x01, 0x02, 0x03, 0x04])
    seeds = {
        "data_p1": seed(mode(1), body=to5_p1),
        "data_p2": seed(mode(2), body=to5_p2 + from5_p2),
        "checksum_only_frames_p1": seed(mode(1), body=data_frame(1, 5, 1, 0xC2, d)
                                        + data_frame(1, 5, 1, 0x2A, bytes([7, 0, 0, 0, 0, 0]))),
        "ack_p1": seed(mode(1), last_dest=5, flags=0x01, body=to5_p1 + ack(1, 1, 5)),
        "ack_p2": seed(mode(2), last_dest=5, flags=0x01, body=ack(2, 1, 5) + ack(2, 5, 1)),
        "echo_then_ack_p2": seed(mode(2, True, False, True, 11), last_dest=5, flags=0x03,
                                 body=to5_p2 + ack(2, 1, 5) + from5_p2),
        "echo_then_ack_p1": seed(mode(1, True, False, True, 11), last_dest=5, flags=0x03,
                                 body=to5_p1 + ack(1, 1, 5)),
        "echo_differs_p2": seed(mode(2, True, False, False, 11), body=to5_p2
                                + to5_p2[:6] + b"\x00" + to5_p2[7:]),
        "raw_then_ack": seed(mode(2, True, True, True, 4), last_dest=5, flags=0x02,
                             body=raw + ack(2, 1, 5)),
        "raw_frame_after_leftover": seed(mode(2, True, True, False, 11), echo_start=4,
                                         body=to5_p2 + from5_p2[:4] + to5_p2 + ack(2, 1, 5)),
        "reset_type7_code1": seed(mode(2), last_dest=5, flags=0xFF,
                                  body=short_frame(2, 1, 5, 0x27) + from5_p2),
        "type6_short_p1": seed(mode(1), last_dest=5,
                               body=short_frame(1, 5, 1, 0x1E | (3 << 5)) + to5_p1),
        "noise_between_p2": seed(mode(2), chunk_seed=99,
                                 body=b"\xfe\xfe\x85" + to5_p2 + b"\x13\xfe" + from5_p2
                                 + to5_p2[:5] + from5_p2),
    }
    for name, content in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
