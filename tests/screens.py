"""Screenshots of the virtual screen as PNG files, from `xwd` without any imaging package."""
import os
import struct
import subprocess
import zlib


def _png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")


def screenshot(path, window="root"):
    """Saves the screen (or one X window id) as a PNG; returns the path, or None without a display."""
    if not os.environ.get("DISPLAY"):
        return None
    args = ["xwd", "-silent", "-root"] if window == "root" else ["xwd", "-silent", "-id", str(window)]
    dump = subprocess.run(args, capture_output=True, timeout=20, check=True).stdout
    fields = struct.unpack(">25I", dump[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
    if bits_per_pixel != 32:
        raise ValueError(f"unsupported screen depth: {bits_per_pixel} bits per pixel")
    start = header_size + ncolors * 12
    rows = []
    for y in range(height):
        line = dump[start + y * bytes_per_line: start + y * bytes_per_line + width * 4]
        # 32-bit pixels: B, G, R, pad in LSB-first order.
        if byte_order == 0:
            rgb = bytes(b for i in range(0, len(line), 4) for b in (line[i + 2], line[i + 1], line[i]))
        else:
            rgb = bytes(b for i in range(0, len(line), 4) for b in (line[i + 1], line[i + 2], line[i + 3]))
        rows.append(rgb)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as out:
        out.write(_png(width, height, rows))
    return path
