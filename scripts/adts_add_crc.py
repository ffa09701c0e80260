#!/usr/bin/env python3
"""Rewrites an ADTS stream so every frame carries a CRC (protection_absent = 0).

usage: adts_add_crc.py IN.aac OUT.aac

ffmpeg's ADTS muxer has no switch for the error-check word, so the CRC-protected test stream is
made from an unprotected one: each header gets protection_absent = 0, aac_frame_length grows by
the two CRC bytes inserted after the 7-byte header, and the raw frame follows unchanged.

The CRC is CRC-16 (polynomial 0x8005, initial value 0xFFFF, MSB first). The standard protects
the header and only the leading, error-sensitive bits of each channel element, which takes a
bitstream parse of the raw block to find; this tool covers the header and the whole raw block
instead. Decoders that do not check the word (ffmpeg) play the file; it is meant for exercising
the CRC framing, not for testing CRC verification. Frames that already carry a CRC, or hold more
than one raw data block, are copied as they are.
"""
import sys


def crc16(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def rewrite(src: bytes) -> bytes:
    out = bytearray()
    pos = 0
    while pos + 7 <= len(src):
        if src[pos] != 0xFF or (src[pos + 1] & 0xF0) != 0xF0:
            raise SystemExit(f"no ADTS sync at offset {pos}")
        hdr = bytearray(src[pos:pos + 7])
        length = ((hdr[3] & 3) << 11) | (hdr[4] << 3) | (hdr[5] >> 5)
        if length < 7 or pos + length > len(src):
            raise SystemExit(f"bad or truncated frame at offset {pos}")
        protection_absent = hdr[1] & 1
        blocks = hdr[6] & 3
        if not protection_absent or blocks != 0:
            out += src[pos:pos + length]
            pos += length
            continue
        raw = src[pos + 7:pos + length]
        new_length = length + 2
        if new_length >= 1 << 13:
            raise SystemExit(f"frame at offset {pos} too long for a CRC")
        hdr[1] &= 0xFE
        hdr[3] = (hdr[3] & 0xFC) | ((new_length >> 11) & 3)
        hdr[4] = (new_length >> 3) & 0xFF
        hdr[5] = ((new_length & 7) << 5) | (hdr[5] & 0x1F)
        crc = crc16(bytes(hdr) + raw)
        out += hdr + bytes([crc >> 8, crc & 0xFF]) + raw
        pos += length
    if pos != len(src):
        raise SystemExit(f"{len(src) - pos} trailing bytes")
    return bytes(out)


def main() -> None:
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    with open(sys.argv[2], "wb") as f:
        f.write(rewrite(data))


if __name__ == "__main__":
    main()
