#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Each seed is a small, meaningful scenario in the input layout its target
decodes; rerun after changing a layout."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def le16(v):
    return struct.pack("<H", v & 0xFFFF)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# ---- controller bytes
def packet(x, y):
    b = [0x40 | (x >> 6), x & 0x3F, y >> 6, y & 0x3F]
    return b + [sum(b) & 0x3F]


RELEASE = packet(0, 0)


def tap(x, y, samples=3):
    return sum((packet(x, y) for _ in range(samples)), []) + RELEASE


def drag(x0, y0, x1, y1, steps):
    out = []
    for i in range(steps + 1):
        out += packet(x0 + (x1 - x0) * i // steps, y0 + (y1 - y0) * i // steps)
    return out + RELEASE


def calibration(invert_x, invert_y, sxi, sxf, ox, syi, syf, oy):
    return bytes([invert_x, invert_y]) + le16(sxi) + le16(sxf) + le32(ox) + le16(syi) + le16(syf) + le32(oy)


def filt(current, prev_input, prev_output):
    return le16(current) + le16(prev_input) + le32(prev_output)


def monitor(*six):
    return b"".join(le32(v) for v in six)


def read_pump(name, flags, ltrb, buttons, beep, stream, pacing=0, cal=None, fil=None, mon=None, tone=None):
    data = bytes([flags, ltrb, buttons, beep])
    if flags & 0x01:
        data += cal
    if flags & 0x02:
        data += fil
    if flags & 0x04:
        data += mon
    if flags & 0x08:
        data += tone
    write("read_pump", name, data + bytes([pacing]) + bytes(stream))


session = tap(0x800, 0x400) + drag(0x100, 0x100, 0xF00, 0xE00, 6) + tap(0xFFF, 0xFFF, 2)
read_pump("touch_session", 0x00, 1, 1, 0, session)
read_pump("touch_session_clicks_in_bursts", 0x19, 1, 1, 1, session, pacing=0x34,
          cal=calibration(0, 0, 1, 0x8000, -100, 1, 0, 50), tone=le16(1193) + le32(30))
read_pump("controller_responses", 0x00, 1, 1, 0,
          [0xC1, 0x81, 0x82, 0x83, 0x84, 0xC2, 0x83, 0xC2, 0x85, 0xC3, 0x81, 0xC1, 0x85, 0xC1, 0x86]
          + packet(0xABC, 0x123) + [0xC1, 0x90] + packet(0x10, 0x20))
read_pump("corrupt_stream", 0x00, 1, 1, 0,
          [0x6A, 0x3C, 0x04, 0x23, 0x0E, 0x05, 0x6A, 0x3C, 0x60, 0x00, 0x10, 0x00, 0x30, 0x80, 0x40, 0xC0]
          + packet(0x123, 0x456) + RELEASE)
read_pump("extreme_settings", 0x0F, 0, 7, 1, tap(0x7FF, 0x001) + drag(0, 0xFFF, 0xFFF, 0, 4), pacing=0x9F,
          cal=calibration(1, 1, 0xFFFF, 0xFFFF, 0x7FFFFFFF, 0xFFFF, 0xFFFF, -0x80000000),
          fil=filt(0xFFFF, 0xFFFF, 0xFFFFFFFF),
          mon=monitor(-0x80000000, 0x7FFFFFFF, 0x7FFFFFFF, -1, 0, -1), tone=le16(0) + le32(0xFFFFFFFF))
read_pump("monitor_map_zero_divisors", 0x06, 1, 2, 0, session,
          fil=filt(0x4000, 0x4000, 0x8000), mon=monitor(-1024, 0, 1280, 1024, 0, 0))

# ---- control requests: [target, code choice, input length, output length, input]
CODES = ["set_port", "open_port", "close_port", "set_calibration", "reset_calibration", "set_filter",
         "set_beep_enable", "set_beep_tone", "set_button_mode", "get_controller_info", "get_driver_info",
         "set_range", "set_multi_monitor", "clear_multi_monitor", "set_ltrb"]
MINIMUM_INPUT = [4, 9, 0, 18, 0, 8, 1, 6, 1, 0, 0, 16, 24, 0, 1]
MINIMUM_OUTPUT = [0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 0, 0, 0, 0]


def request(target, code, data, out):
    return bytes([target, code]) + le16(len(data)) + le16(out) + bytes(data)


def minimum_input(code):
    if CODES[code] == "set_port":
        return b"COM1"
    if CODES[code] == "open_port":
        return bytes([4]) + b"COM2" + le32(9600)
    return bytes((0x11 * (i + 1)) & 0xFF for i in range(MINIMUM_INPUT[code]))


for target, label in ((0, "control_device"), (1, "fdo_handle"), (2, "fdo_irp")):
    write("control_requests", "minimum_lengths_" + label,
          b"".join(request(target, c, minimum_input(c), MINIMUM_OUTPUT[c]) for c in range(15)))
write("control_requests", "one_short_of_minimum",
      b"".join(request(0, c, minimum_input(c)[:-1], max(MINIMUM_OUTPUT[c] - 1, 0))
               for c in range(15) if MINIMUM_INPUT[c] or MINIMUM_OUTPUT[c]))
write("control_requests", "ports",
      request(0, 0, b"COM1", 0) + request(1, 1, bytes([4]) + b"com3" + le32(4800), 0) + request(0, 2, b"", 0)
      + request(0, 0, b"C" * 257, 0) + request(2, 1, bytes([200]) + b"COM1", 0) + request(0, 1, b"", 0)
      + request(0, 0, b"COM9", 0))
write("control_requests", "other_codes_and_large_buffers",
      request(0, 10, b"", 4096)
      + bytes([0, 0x85, 0]) + le16(1) + le16(8) + b"\x00"          # the code after a touch code
      + bytes([2, 0xF0]) + le32(0x001A2000) + le16(4) + le16(4) + b"\x01\x02\x03\x04"
      + bytes([0, 0xF5]) + le32(0x00220003) + le16(0) + le16(16)
      + bytes([1, 9]) + le16(4096) + le16(4096) + b"\xFF" * 16)  # 4096 declared, the rest read as zeros

# ---- registry: [flags, per value: kind, length, data]
DWORD, BINARY, SZ, EXPAND_SZ, MULTI_SZ, NONE = 1, 2, 3, 4, 5, 6


def value(kind, data):
    return bytes([kind]) + le16(len(data)) + bytes(data)


def utf16(text, nul=True):
    return text.encode("utf-16-le") + (b"\0\0" if nul else b"")


def registry(name, flags, values):
    write("registry", name, bytes([flags]) + b"".join(values))


TYPICAL = [
    value(BINARY, calibration(0, 0, 1, 0x1000, -20, 1, 0x0800, 10)),
    value(BINARY, bytes([1]) + le16(1193) + le32(40)),
    value(SZ, utf16("COM1")),
    value(DWORD, le32(9600)),
    value(BINARY, filt(0x8000, 0x4000, 0x4000)),
    value(DWORD, le32(0)),
    value(DWORD, le32(0)), value(DWORD, le32(0)), value(DWORD, le32(1024)), value(DWORD, le32(768)),
    value(DWORD, le32(1024)), value(DWORD, le32(768)),
    value(DWORD, le32(1)),
    value(DWORD, le32(1)),
]
registry("typical", 0x00, TYPICAL)
registry("typical_lower_case_names_stopping_reading", 0x09, TYPICAL)
registry("no_parameters_key", 0x02, [])
registry("empty_parameters_key_path_without_nul_room", 0x04, [bytes([0])] * 14)
registry("wrong_types_and_lengths", 0x01, [
    value(BINARY, bytes(range(30))),
    value(DWORD, le32(1)),
    value(SZ, utf16("C" * 256)),
    value(SZ, utf16("19200")),
    value(BINARY, bytes(12)),
    value(EXPAND_SZ, utf16("%x%")),
    value(BINARY, le32(5) + le32(6)),
    value(MULTI_SZ, utf16("a") + utf16("")),
    value(NONE, le32(7)),
    value(DWORD, b""),
    value(BINARY, b"\x01\x02"),
    bytes([8]) + le32(11) + le16(4) + le32(0x80000000),  # a type of its own
    value(DWORD, le32(0x1FF)),
    value(SZ, utf16("")),
])

# ---- SERIALCOMM: [count, per value: name kind.., type, data kind..], then requests
def serial_value(index, com, type_choice=0, case=0):
    return bytes([0, index, type_choice, 0, com, case])


def com_request(open_port, com, case=0):
    return bytes([1 if open_port else 0, com, case])


write("serialcomm", "com1_to_com4",
      bytes([4]) + b"".join(serial_value(i, i + 1) for i in range(4))
      + com_request(False, 1) + com_request(True, 2) + com_request(False, 3, 0xFF) + com_request(True, 4, 0x05)
      + com_request(False, 5))
write("serialcomm", "duplicates_and_com10",
      bytes([4]) + serial_value(2, 3) + serial_value(3, 3) + serial_value(0, 10) + serial_value(1, 1)
      + com_request(False, 3) + com_request(True, 10) + com_request(False, 1) + com_request(True, 11))
write("serialcomm", "odd_names_and_data",
      bytes([6])
      + bytes([0, 1, 6, 2]) + le16(1) + b"X"      # one byte of data: matches any name
      + bytes([2, 0, 0, 7, 0])                    # \Device\pelvon, REG_SZ, COM7
      + bytes([3, 0, 0, 8, 0])                    # the PDO, COM8
      + bytes([4, 0, 0, 1, 0])                    # empty name, COM1
      + bytes([6]) + le16(260) + bytes([0, 0, 2, 0])  # name too long, COM2
      + bytes([0, 2, 0, 3]) + le16(300)           # 300 characters of data
      + com_request(True, 7) + com_request(False, 8) + com_request(False, 1) + com_request(True, 2)
      + bytes([0x10, 4]) + b"WXYZ")
write("serialcomm", "types_and_case",
      bytes([4])
      + bytes([1, 0, 0x55, 3, 4, 1, 0x0F, 2, 0])  # multi-string COM1 + COM2, name in mixed case
      + bytes([0, 1, 4, 0, 3, 0xAA])              # expandable string
      + bytes([0, 2, 5, 1, 3, 0])                 # binary COM3 without its NUL
      + bytes([0, 3, 7, 0, 4, 0])                 # no-value type
      + com_request(False, 2) + com_request(True, 1, 0xFF) + com_request(False, 3) + com_request(True, 4))

# ---- text front ends: the files touchsim reads, as they are
def text(target, name, content):
    write(target, name, content.encode("latin-1") if isinstance(content, str) else content)


HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "..", "samples", "settings.reg"), "rb") as f:
    text("regfile", "bundled_settings", f.read())
with open(os.path.join(HERE, "..", "packaging", "pelvon-parameters.reg"), "rb") as f:
    text("regfile", "every_parameter", f.read())
text("regfile", "edits_and_value_kinds",
     "\ufeff".encode("utf-8").decode("latin-1") +
     "Windows Registry Editor Version 5.00\r\n\r\n"
     "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\pelvon\\Parameters]\r\n"
     "\"PortName\"=\"C:\\\\x \\\"y\\\"\"\r\n@=\"default\"\r\n\"Ports\"=hex(7):41,00,00,00,00,00\r\n"
     "\"Long\"=hex:01,02,\\\r\n  03,04,\\\r\n  05\r\n\"Empty\"=hex:\r\n\"Gone\"=-\r\n"
     "; a comment\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\pelvon]\r\n"
     "[HKCU\\Software\\x]\r\n\"A\"=dword:0000ffff\r\n")
text("regfile", "bad_utf8_name", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\xff\"=dword:1\n")

text("byte_script", "touch_faults_commands",
     "6A 3C 04 23 0D # a touch\n+20ms 40 00 00 00 00\n!0x00000102 !!0xC000009A\n"
     "[ctl click off] +1ms [ctl  buttons \"right]\" ]6A\n+5ms\n")
text("byte_script", "one_long_line", " ".join("%02X" % b for b in (tap(0x800, 0x400) * 20)) + " +86400000ms")
text("byte_script", "errors", "6A 3\n[ctl click off\n!0x1FFFFFFFF\n+99999999999ms\n[ctlx]\n")

with open(os.path.join(HERE, "..", "samples", "session.gesture"), "rb") as f:
    text("gesture", "bundled_session", f.read())
text("gesture", "every_command",
     "every 20\ntap 2048 1024 40\nwait 5\nbytes !0x0 6A [ctl click off] !!0xC0000120\n"
     "drag 0 0 4095 4095 7\nhold 10 10 100\nrelease\n# comment\n")
text("gesture", "limits", "every 1\nhold 5 5 4294967295\ndrag 0 0 1 1 4294967295\nwait 86400000\n")
