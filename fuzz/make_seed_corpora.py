#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_receive, fuzz_registry, fuzz_profile and
fuzz_hex and fuzz_program_format into corpus/<name>/ (the parser's come from make_parser_corpus.py).

Each seed follows the input layout described at the top of its target's
source file. Run it again after changing a layout; it replaces the folders.
"""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def write(folder, seeds):
    out = os.path.join(HERE, "corpus", folder)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes(data))


# --- fuzz_receive -------------------------------------------------------------

IDLE, QUERY, FIRMWARE, REMOTE_ERROR, SEND_DATA, SEND, PROGRAM, MAP = range(8)
PROTOCOL1, SPY, AUTO_ECHO, NO_ACK, ECHO_CHECK, LINE_ECHO, NESTED, RESPONSE = (1 << i for i in range(8))


def header(call, options, asked, local=1, length=0, timeout=80, mode=0, msg_type=0, then=IDLE):
    return [call | (mode << 3) | (msg_type << 5), options, asked, local, length, timeout, then]


def raw(*data):
    out = []
    data = list(data)
    while data:
        chunk, data = data[:32], data[32:]
        out += [((len(chunk) - 1) << 3) | 0] + chunk
    return out


def wait_write():
    return [1]


def pause(step):
    return [(step << 3) | 1]


def frame(dest, src, control, data):
    return [2, dest, src, control] + list(data)


def ack():
    return [3]


def echo(damaged=False):
    return [(1 << 3 | 4) if damaged else 4]


def short(dest, src, control):
    return [5, dest, src, control]


def line_error():
    return [6]


def hang_up():
    return [(31 << 3) | 6]


def answer(msg_type, data):
    return [(msg_type << 3) | 7] + list(data)


IDENTITY = [0x01, 0xA2, 0xB3, 5, 2, 7]

receive = {
    "query_echo_ack_answer": header(QUERY, ECHO_CHECK | LINE_ECHO, 5) + wait_write() + ack() + answer(1, [9, 8, 7, 6, 5, 4]),
    "query_manual_echo": header(QUERY, ECHO_CHECK, 5) + wait_write() + echo() + ack() + answer(1, [1, 2, 3, 4, 5, 6]),
    "query_damaged_echo_retry": header(QUERY, ECHO_CHECK, 5) + wait_write() + echo(True) + wait_write() + echo() + ack()
    + answer(1, [1, 2, 3, 4, 5, 6]),
    "query_p1": header(QUERY, PROTOCOL1 | LINE_ECHO, 9, local=3) + wait_write() + ack() + answer(1, [0, 0, 0, 0, 0, 1]),
    "query_anyone": header(QUERY, LINE_ECHO, 0x80) + wait_write() + ack() + frame(1, 44, 0xC1, [5, 5, 5, 5, 5, 5]),
    "query_wrong_station": header(QUERY, LINE_ECHO, 5) + wait_write() + ack() + frame(1, 6, 0xC1, [1, 1, 1, 1, 1, 1])
    + wait_write() + ack() + answer(1, [2, 2, 2, 2, 2, 2]),
    "query_then_firmware": header(QUERY, ECHO_CHECK | LINE_ECHO, 5, then=FIRMWARE) + wait_write() + ack()
    + answer(1, [9, 8, 7, 6, 5, 4]) + wait_write() + ack() + answer(1, IDENTITY),
    "send_then_query_stale_answer": header(SEND_DATA, LINE_ECHO, 5, length=6, msg_type=2, then=QUERY) + wait_write()
    + ack() + answer(1, [1, 1, 1, 1, 1, 1]) + wait_write() + ack() + answer(1, [2, 2, 2, 2, 2, 2]),
    "query_no_answer": header(QUERY, LINE_ECHO, 5, timeout=5) + wait_write() + ack(),
    "query_hang_up": header(QUERY, LINE_ECHO, 5) + wait_write() + ack() + hang_up(),
    "firmware": header(FIRMWARE, LINE_ECHO, 12) + wait_write() + ack() + answer(1, IDENTITY),
    "firmware_local": header(FIRMWARE, LINE_ECHO, 1) + frame(1, 12, 0xC1, IDENTITY),
    "remote_error": header(REMOTE_ERROR, ECHO_CHECK | LINE_ECHO, 7) + wait_write() + ack() + answer(1, [0, 1, 0, 0x20, 3, 17]),
    "send_data_two_frames": header(SEND_DATA, LINE_ECHO, 5, length=12, msg_type=2) + wait_write() + ack() + wait_write() + ack(),
    "send_data_busy_noise": header(SEND_DATA, ECHO_CHECK, 5, length=6, msg_type=2) + raw(0xFE, 0x55, 0x00) + wait_write()
    + echo() + pause(10) + ack(),
    "send_data_unacked": header(SEND_DATA, LINE_ECHO, 5, length=6, mode=1, msg_type=3) + wait_write(),
    "send_data_response": header(SEND_DATA, LINE_ECHO | RESPONSE, 5, length=242, mode=2, msg_type=2) + wait_write() + ack()
    + answer(2, [0, 0, 0, 0, 0, 242]),
    "send_alternating": header(SEND, LINE_ECHO, 5, mode=2, msg_type=2) + wait_write() + ack() + pause(3) + ack(),
    "idle_unsolicited": header(IDLE, AUTO_ECHO | LINE_ECHO, 0) + frame(1, 20, 0xC0, [1, 2, 3, 4, 5, 6]) + pause(5)
    + frame(1, 20, 0xC2, [6, 5, 4, 3, 2, 1]) + wait_write() + ack(),
    "idle_spy_others": header(IDLE, SPY, 0) + frame(30, 20, 0xC2, [1, 2, 3, 4, 5, 6]) + frame(0, 20, 0x5A, [7, 7, 7, 0, 0, 0]),
    "idle_resets_and_errors": header(IDLE, 0, 0) + short(1, 20, 0x1E) + short(1, 20, 0x3F) + line_error()
    + raw(0xFE, 0x01, 0x14) + pause(2) + raw(0x10, 0x00) + frame(1, 20, 0xC4, [0] * 6),
    "idle_nested_reply": header(IDLE, NESTED | AUTO_ECHO | LINE_ECHO, 0) + frame(1, 20, 0xC2, [1, 0, 0, 0, 0, 0]) + wait_write()
    + ack() + answer(1, [3, 3, 3, 3, 3, 3]) + frame(1, 21, 0xC2, [0, 1, 0, 0, 0, 0]) + wait_write() + ack(),
    # The target identifies as S01A2B3, product 5, version 2.7; the version
    # high number above 0 makes the body go in alternating mode, each frame
    # answered with code 244.
    "program_direct": header(PROGRAM, ECHO_CHECK | LINE_ECHO, 9, length=7) + wait_write() + ack() + answer(1, IDENTITY)
    + wait_write() + ack() + wait_write() + ack() + answer(2, [0, 0, 0, 0, 0, 244]) + wait_write() + ack()
    + answer(2, [0, 0, 0, 0, 0, 244]),
    "program_wrong_serial": header(PROGRAM, LINE_ECHO, 9, length=3) + wait_write() + ack() + answer(1, [1, 2, 3, 5, 2, 7]),
    "map_two_devices": header(MAP, LINE_ECHO, 0, timeout=2) + wait_write() + wait_write() + answer(1, IDENTITY)
    + wait_write() + wait_write() + wait_write() + answer(1, [0, 0, 1, 7, 1, 0]),
    "idle_nested_raw": header(IDLE, NESTED | ECHO_CHECK | LINE_ECHO, 0) + frame(1, 20, 0xC2, [2, 0, 0, 0, 0, 0])
    + frame(1, 21, 0xC2, [3, 0, 0, 0, 0, 0]) + pause(4) + frame(1, 22, 0xC2, [3, 0, 0, 0, 0, 0]),
    "idle_no_ack_p1": header(IDLE, PROTOCOL1 | NO_ACK, 0) + frame(1, 20, 0x22, [9]) + raw(*range(0xF0, 0x100)),
}

# --- fuzz_registry ------------------------------------------------------------

SETTINGS_KEY = "Software\\Velmora\\Orlindo"


def reg_seed(flags, capacity, data, name, text, name_candidate=None):
    name_byte = (0x80 | name_candidate) if name_candidate is not None else len(name)
    name_bytes = b"" if name_candidate is not None else name.encode()
    return bytes([flags, capacity, len(data), name_byte]) + bytes(data) + name_bytes + text.encode("latin-1")


EXPORT = (
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\" + SETTINGS_KEY + "]\r\n"
    "\"bps\"=dword:00004b00\r\n"
    "\"Port\"=hex:01,00,00,00\r\n"
    "\"x\"=\"te\\\"x\\\\t\"\r\n"
    "\"y\"=hex(5):00,00,4b,00\r\n"
    "\"long\"=hex(7):41,00,42,00,\\\r\n"
    "  43,00,00\r\n"
    "@=\"default\"\r\n"
)
TYPE_SZ, TYPE_BINARY, TYPE_DWORD, TYPE_MULTI = 1 << 1, 3 << 1, 4 << 1, 6 << 1

registry = {
    "export_set_dword": reg_seed(TYPE_DWORD | (2 << 4), 255, [0, 0x4B, 0, 0], "bps", EXPORT),
    "export_set_string_file": reg_seed(1 | TYPE_SZ | (2 << 4), 255, list(b"a\"b\\c\0"), "Name", EXPORT),
    "export_small_capacity": reg_seed(TYPE_BINARY | (2 << 4), 2, list(range(40)), "", EXPORT, name_candidate=3),
    "regedit4_multi": reg_seed(TYPE_MULTI | (3 << 4), 255, list(b"A\0B\0\0"), "m",
                               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=hex(2):41,00\n[HKEY_CURRENT_USER\\X]\n\"v\"=dword:1\n"),
    "malformed_kept": reg_seed(TYPE_DWORD | (2 << 4), 255, [1, 0, 0, 0], "a",
                               "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:xyz\n\"b\"=hex:01,\\\n\"c\"=\"unterminated\n"
                               "; comment\n\x01\x02 garbage\n\"good\"=dword:00000001\n"),
    "descendant_only": reg_seed(1 | TYPE_SZ | (3 << 4), 255, list(b"v\0"), "new",
                                "\xef\xbb\xbf[HKEY_LOCAL_MACHINE\\Software\\Deep\\Er]\r\n\r\n[hkey_local_machine\\\\software\\\\deep]\n"),
    "empty": reg_seed(TYPE_DWORD, 255, [1, 2, 3, 4], "n", ""),
}

# --- fuzz_profile -------------------------------------------------------------


def profile_seed(size, section, key, text):
    return bytes([size, len(section), len(key)]) + section.encode() + key.encode() + text.encode("latin-1")


DEVICE_IDS = "; product names\r\n[DeviceIDs]\r\n5 = \"Valve controller\"\r\n7=Pump\r\n\r\n[Other]\r\n5=no\r\n"

profile = {
    "device_ids": profile_seed(255, "DeviceIDs", "5", DEVICE_IDS),
    "device_ids_short_buffer": profile_seed(4, "deviceids", "7", DEVICE_IDS),
    "missing_key": profile_seed(255, "DeviceIDs", "9", DEVICE_IDS),
    "repeated_sections": profile_seed(64, "A", "k", "[A]\nx=1\n[B]\nk=2\n[ a ]\nk = 'quoted' \n[A]\nk=late\n"),
    "unterminated_section": profile_seed(32, "S", "k", "[S\nk=1\n[S]]\nk=2\n;k=3\n"),
    "zero_size": profile_seed(0, "S", "k", "[S]\nk=v\n"),
}

# --- fuzz_hex -------------------------------------------------------------------


def record(rtype, offset, data):
    body = [len(data), offset >> 8, offset & 0xFF, rtype] + list(data)
    return ":" + "".join("%02X" % b for b in body + [(-sum(body)) & 0xFF]) + "\n"


EOF = record(1, 0, [])

hex_seeds = {
    "plain": record(0, 0, range(16)) + record(0, 16, range(16, 32)) + EOF,
    "gap_and_start": record(0, 0x40, [1, 2, 3]) + record(5, 0, [0, 0, 1, 0]) + EOF,
    "segment": record(2, 0, [0x01, 0x00]) + record(0, 0x10, [0xAA] * 8) + record(3, 0, [0, 0, 0, 0]) + EOF,
    "linear": record(4, 0, [0, 0]) + record(0, 0xFFF0, [0x55] * 4) + EOF,
    "crlf_blank_lines": "\r\n  " + record(0, 0, [7, 8]).replace("\n", "\r\n") + "\r\n" + EOF.replace("\n", "\r\n"),
    "overlap_same": record(0, 0, [1, 2, 3, 4]) + record(0, 2, [3, 4, 5]) + EOF,
    "overlap_other": record(0, 0, [1, 2, 3, 4]) + record(0, 2, [9]) + EOF,
    "no_end": record(0, 0, [1]),
    "after_end": EOF + record(0, 0, [1]),
    "bad_checksum": ":0100000001FF\n" + EOF,
    "too_large": record(4, 0, [0, 1]) + record(0, 0, [1]) + EOF,
}

# --- fuzz_program_format -------------------------------------------------------
# Byte 0: the name (prog, prog.hex, prog.bin, notes.txt, PROG.IHX); byte 1:
# the format asked (auto, hex, bin); then the content.

PLAIN = hex_seeds["plain"].encode()
BOM = b"\xef\xbb\xbf"
format_seeds = {
    "hex_unnamed": bytes([0, 0]) + PLAIN,
    "hex_with_mark": bytes([1, 0]) + BOM + PLAIN,
    "mark_unnamed": bytes([0, 0]) + BOM + PLAIN,
    "binary_by_name": bytes([2, 0]) + bytes(range(256)),
    "binary_asked": bytes([0, 2]) + b":\x00\x01\x02",
    "hex_asked_on_bin": bytes([2, 1]) + PLAIN,
    "text_not_hex": bytes([3, 0]) + b"hello\nworld\n",
    "colon_and_nul": bytes([0, 0]) + b":\x00",
    "upper_case_ihx": bytes([4, 0]) + PLAIN.replace(b"\n", b"\r\n"),
}

if __name__ == "__main__":
    write("receive", {k: bytes(v) for k, v in receive.items()})
    write("registry", registry)
    write("profile", profile)
    write("hex", {k: v.encode() for k, v in hex_seeds.items()})
    write("format", format_seeds)
