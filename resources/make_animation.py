#!/usr/bin/env python3
"""Writes the installer's progress animation, resources/Install.avi.

An uncompressed 8-bit AVI (one video stream, a small palette, an index), the
form the Windows animation control plays without a codec: a computer on the
left, a phone on the right and a train of blocks running from one to the
other. Run it again after changing the picture:

    python3 resources/make_animation.py resources/Install.avi
"""
import struct
import sys

WIDTH, HEIGHT, FRAMES, FPS = 96, 32, 8, 8

# Index 0 is the background: the control takes the first pixel's colour as
# the transparent one.
PALETTE = [
    (0xFF, 0xFF, 0xFF),  # background
    (0x50, 0x50, 0x50),  # outlines
    (0x1E, 0x78, 0xD2),  # screens
    (0x2D, 0xB4, 0x32),  # blocks on their way
]


def frame(number):
    pixels = [[0] * WIDTH for _ in range(HEIGHT)]

    def box(x0, y0, x1, y1, colour, fill=None):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                edge = y in (y0, y1) or x in (x0, x1)
                if edge:
                    pixels[y][x] = colour
                elif fill is not None:
                    pixels[y][x] = fill

    # Computer: a screen on a foot.
    box(2, 6, 25, 21, 1, 2)
    box(11, 22, 16, 24, 1, 1)
    box(6, 25, 21, 26, 1, 1)
    # Phone: a tall body with a screen.
    box(76, 3, 91, 28, 1)
    box(78, 6, 89, 23, 1, 2)
    box(82, 25, 85, 26, 1, 1)
    # Three blocks 15 pixels apart, 5 pixels on in each frame.
    for k in range(3):
        x = 30 + (number * 5 + k * 15) % 40
        box(x, 13, x + 3, 16, 3, 3)
    # A DIB stores its rows from the bottom up.
    return bytes(v for row in reversed(pixels) for v in row)


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, fourcc, body):
    return kind + struct.pack("<I", len(body) + 4) + fourcc + body


def main(path):
    frame_size = WIDTH * HEIGHT
    frames = [frame(i) for i in range(FRAMES)]
    avih = struct.pack("<14I", 1000000 // FPS, frame_size * FPS, 0, 0x10, FRAMES, 0, 1, frame_size,
                       WIDTH, HEIGHT, 0, 0, 0, 0)
    strh = (b"vids" + b"DIB " +
            struct.pack("<IHHIIIIIIiI", 0, 0, 0, 0, 1, FPS, 0, FRAMES, frame_size, -1, 0) +
            struct.pack("<4h", 0, 0, WIDTH, HEIGHT))
    palette = b"".join(struct.pack("<4B", b, g, r, 0) for r, g, b in PALETTE)
    strf = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, frame_size, 0, 0,
                       len(PALETTE), len(PALETTE)) + palette
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) +
                     riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", strf)))
    movi_body = b""
    index = b""
    for data in frames:
        # Offsets count from the "movi" type code.
        index += b"00db" + struct.pack("<III", 0x10, 4 + len(movi_body), len(data))
        movi_body += chunk(b"00db", data)
    movi = riff_list(b"LIST", b"movi", movi_body)
    avi = riff_list(b"RIFF", b"AVI ", hdrl + movi + chunk(b"idx1", index))
    with open(path, "wb") as out:
        out.write(avi)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Install.avi")
