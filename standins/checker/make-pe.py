#!/usr/bin/env python3
"""Write a small 64-bit Windows console executable to OUT.

The image only has to be something the signing tools accept as a real PE:
headers, a .text section whose entry point returns 0, and an .rdata section
with some text so the file is a few KB. Output is byte-for-byte reproducible.
"""

import struct
import sys

FILE_ALIGN = 0x200
SECT_ALIGN = 0x1000
IMAGE_BASE = 0x140000000
PE_OFFSET = 0x80
NUM_DIRS = 16  # the full table, so the security directory slot exists

# xor eax, eax ; ret
CODE = b"\x31\xc0\xc3"


def align(n, a):
    return (n + a - 1) // a * a


def rdata_text():
    lines = ["TandrelUD installer (test image)", ""]
    for i in range(1, 61):
        lines.append(f"line {i:02d}: this image exists only to carry a signature.")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def section(name, vsize, va, raw_size, raw_ptr, characteristics):
    return struct.pack("<8sIIIIIIHHI", name, vsize, va, raw_size, raw_ptr,
                       0, 0, 0, 0, characteristics)


def build():
    text = CODE
    rdata = rdata_text()

    num_sections = 2
    opt_size = 112 + 8 * NUM_DIRS
    headers_len = PE_OFFSET + 4 + 20 + opt_size + 40 * num_sections
    size_of_headers = align(headers_len, FILE_ALIGN)

    text_va = SECT_ALIGN
    text_raw = align(len(text), FILE_ALIGN)
    text_ptr = size_of_headers
    rdata_va = text_va + align(len(text), SECT_ALIGN)
    rdata_raw = align(len(rdata), FILE_ALIGN)
    rdata_ptr = text_ptr + text_raw
    size_of_image = rdata_va + align(len(rdata), SECT_ALIGN)

    # DOS header: only e_magic and e_lfanew matter to a modern loader.
    dos = bytearray(PE_OFFSET)
    struct.pack_into("<2sHHHHHHHHHHHHH", dos, 0, b"MZ",
                     0x90, 3, 0, 4, 0, 0xFFFF, 0, 0xB8, 0, 0, 0, 0x40, 0)
    struct.pack_into("<I", dos, 0x3C, PE_OFFSET)
    stub = (b"\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21"
            b"This program cannot be run in DOS mode.\r\r\n$")
    dos[0x40:0x40 + len(stub)] = stub

    coff = struct.pack("<HHIIIHH",
                       0x8664,        # x64
                       num_sections,
                       0,             # timestamp: fixed for reproducible output
                       0, 0,
                       opt_size,
                       0x0022)        # executable, large address aware

    opt = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII",
                      0x20B,          # PE32+
                      14, 0,
                      text_raw,       # SizeOfCode
                      rdata_raw,      # SizeOfInitializedData
                      0,
                      text_va,        # entry point
                      text_va,        # BaseOfCode
                      IMAGE_BASE,
                      SECT_ALIGN, FILE_ALIGN,
                      6, 0, 0, 0, 6, 0,
                      0,
                      size_of_image,
                      size_of_headers,
                      0,              # checksum: the signer recomputes it
                      3,              # console subsystem
                      0x8160,         # dynamic base, high-entropy VA, NX, TS aware
                      0x100000, 0x1000, 0x100000, 0x1000,
                      0,
                      NUM_DIRS)
    opt += bytes(8 * NUM_DIRS)
    assert len(opt) == opt_size

    sections = (section(b".text", len(text), text_va, text_raw, text_ptr, 0x60000020)
                + section(b".rdata", len(rdata), rdata_va, rdata_raw, rdata_ptr, 0x40000040))

    headers = bytes(dos) + b"PE\0\0" + coff + opt + sections
    assert len(headers) == headers_len
    out = headers.ljust(size_of_headers, b"\0")
    out += text.ljust(text_raw, b"\0")
    out += rdata.ljust(rdata_raw, b"\0")
    return out


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-pe.py OUT\n")
        return 2
    with open(sys.argv[1], "wb") as f:
        f.write(build())
    return 0


if __name__ == "__main__":
    sys.exit(main())
