#!/usr/bin/env python3
"""Writes the seed inputs of the two fuzz targets into seeds/read and
seeds/write. An input is the file's bytes, a control block and one byte
holding the control block's length (see fuzz_support.h); the helpers below
spell the control block out, so each seed says what it asks."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

SAMPLE = (b"; top comment\r\n[First]\r\nString=noot # trailing comment\r\nVal=1\r\n"
          b"[Second]\r\nVal = 2\r\n#comment=3\r\nString = mies\r\nColon: colon value\r\n"
          b"Quoted=\"a \\\"quoted\\\" word\"\r\n[Empty]\r\n[Third]\r\nK=v")
FILES = {
    "sample": SAMPLE,
    "lf": SAMPLE.replace(b"\r\n", b"\n"),
    "duplicates": b"[S]\r\nK=1\r\nK=2\r\n[T]\r\nA=1\r\n[s]\r\nK=3\r\nN=4\r\n",
    "open_bracket": b"[S]\r\nA=1\r\n[x\r\nK=1\r\n[T]\r\nK=2\r\n",
    "nameless": b"Top=0\r\nOther = 1\r\n[A]\r\nB=2\r\n",
    "long_lines": b"[S]\r\nK=" + b"v" * 600 + b"\r\n;" + b"c" * 520 + b"=[T]\r\nA=" + b"x" * 509 + b"[U]\r\nB=1\r\n",
    "long_key": b"[S]\r\n" + b"k" * 600 + b"=v\r\nZ=1\r\n",
    "nul_bytes": b"[S]\r\nA=1\0junk\r\nB\0=2\r\n[T\0]\r\nC=3",
    "empty_header": b"Top=1\r\n[]\r\nK=2\r\n[ S ]\r\nK=3\r\n",
    "bom": b"\xef\xbb\xbf[First]\r\nK=1\r\n",
    "seventeen": b"[S]\r\n" + b"".join(b"k%02d=%s\r\n" % (i, b"x" * 24) for i in range(17)) + b"\r\n",
    "empty": b"",
    "comments_only": b"; a\r\n# b\r\n[A]\r\n[B]\r\n",
    # Saved by Windows editors: UTF-8 with a byte-order mark before a
    # nameless section, and UTF-16 ("Unicode"), which is never written.
    "utf8_nameless": b"\xef\xbb\xbfTop=0\nOther=1\n[A]\nB=2\n",
    "utf16": b"\xff\xfe" + "[First]\r\nK=1\r\n[Second]\r\nK=2\r\n".encode("utf-16-le"),
}


def name_from_file(index, flip=False):
    return bytes([3 | (0x40 if flip else 0), index])


def name_text(text):
    if len(text) > 40:
        return bytes([2 | 0x80]) + struct.pack(">H", len(text)) + text
    return bytes([2, len(text)]) + text


ABSENT, EMPTY = bytes([0]), bytes([1])


def finish(file_bytes, control):
    assert len(control) < 256
    return file_bytes + control + bytes([len(control)])


def read_control(variant):
    # gets, getl, getf, getbool, getsection, getkey, browse; sizes 1..3,
    # 0 (argument error) and a large one.
    sizes = [1, 2, 3, 0, 255, 210][variant % 6:] + [1, 2, 3, 0, 255, 210][:variant % 6]
    c = b""
    c += bytes([0]) + name_from_file(variant % 3) + name_from_file(variant % 2, True) + ABSENT + bytes([sizes[0]])
    c += bytes([1]) + name_from_file(0) + name_from_file(1) + struct.pack(">i", -7)
    c += bytes([2]) + ABSENT + name_text(b"Top") + struct.pack(">f", 2.5)
    c += bytes([3]) + name_from_file(1, True) + name_from_file(0) + struct.pack(">i", 7)
    c += bytes([4, variant % 4, sizes[1]])
    c += bytes([5]) + name_from_file(variant % 3) + bytes([variant % 3, sizes[2]])
    c += bytes([6, 2])
    c += bytes([0]) + EMPTY + name_text(b"other") + name_text(b"fallback value") + bytes([sizes[3]])
    return c


def text_value(text):
    if len(text) > 24:
        return bytes([1]) + struct.pack(">H", len(text)) + text
    return bytes([0, len(text)]) + text


def write_controls():
    # operation: 0 puts, 1 putl, 2 putf, 3 delete key, 4 delete section
    yield "set_existing", bytes([0]) + name_from_file(0) + name_from_file(0, True) + text_value(b"2") + bytes(8)
    yield "set_longer", bytes([0]) + name_from_file(1) + name_from_file(1) + text_value(b"a;b \"q\" ") + bytes(8)
    yield "set_new_key", bytes([0]) + name_from_file(0) + name_text(b"NewKey") + text_value(b"v") + bytes(8)
    yield "set_new_section", bytes([0]) + name_text(b"Added") + name_text(b"K") + text_value(b"v") + bytes(8)
    yield "set_nameless", bytes([0]) + ABSENT + name_text(b"Top") + text_value(b"  lead") + bytes(8)
    yield "set_long_value", bytes([0]) + name_from_file(0) + name_from_file(0) + text_value(b"w" * 200) + bytes(8)
    yield "set_line_break", bytes([0]) + name_from_file(0) + name_text(b"K") + text_value(b"a\r\n[Evil]") + bytes(8)
    yield "set_comment_key", bytes([0]) + name_from_file(1) + name_text(b"#comment") + text_value(b"4") + bytes(8)
    yield "putl_min", bytes([1]) + name_from_file(0) + name_from_file(1) + struct.pack(">i", -2**31) + bytes(4)
    yield "putf", bytes([2]) + name_from_file(1) + name_text(b"Ratio") + bytes(4) + struct.pack(">f", 1.5)
    yield "delete_key", bytes([3]) + name_from_file(0) + name_from_file(0)
    yield "delete_missing_key", bytes([3]) + name_from_file(0) + name_text(b"nope")
    yield "delete_section", bytes([4]) + name_from_file(0)
    yield "delete_second_section", bytes([4]) + name_from_file(1, True)
    yield "delete_nameless", bytes([4]) + EMPTY


def main():
    for kind in ("read", "write"):
        os.makedirs(os.path.join(HERE, kind), exist_ok=True)
    for i, (name, data) in enumerate(sorted(FILES.items())):
        with open(os.path.join(HERE, "read", name), "wb") as out:
            out.write(finish(data, read_control(i)))
        for control_name, control in write_controls():
            with open(os.path.join(HERE, "write", name + "-" + control_name), "wb") as out:
                out.write(finish(data, control))


if __name__ == "__main__":
    main()
