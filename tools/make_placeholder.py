#!/usr/bin/env python3
"""Builds resources/placeholder.png, the picture the camera shows while no host streams.

ImageMagick (the real one at /usr/bin/convert) only rasterises the text into an
8-bit coverage mask; the background texture, the compositing and the PNG file
itself (IHDR, sRGB, gAMA, pHYs, IDAT, IEND) are written here, so the chunks are
exactly ours and every run gives the same bytes. Not part of the build: run it
by hand after changing the artwork and commit the PNG.

    python3 tools/make_placeholder.py [output.png]
"""

import os
import random
import struct
import subprocess
import sys
import zlib

WIDTH, HEIGHT = 1280, 720
TEXT = "Veltrano application is not open or cannot access webcam"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
CONVERT = "/usr/bin/convert"  # the first convert on PATH may be a stand-in
POINT_SIZE = 28.5
# Top-left of the unmirrored text's drawing box; tuned so the mirrored text's
# white pixels land in rows 351..379, columns 214..1040.
TEXT_X, TEXT_Y = 239, 346
BACKGROUND_MEAN = 123
BACKGROUND_MIN, BACKGROUND_MAX = 121, 125
TEXTURE_SEED = 20240517
TEXTURE_CELL = 24  # pixels per cell of the coarse value-noise grid
# A text pixel counts as white from this grey value up (background is 121..125).
# The camera's tests use the same rule on luma: grey 190 is Y 179, grey 189 is Y 178.
WHITE_THRESHOLD = 190
WORD_GAP = 9  # blank columns (at least) that separate two words; letters stand closer


def render_text_mask(mirror):
    """Text coverage, one byte per pixel (0 background .. 255 full white)."""
    command = [CONVERT, "-size", f"{WIDTH}x{HEIGHT}", "xc:black",
               "-font", FONT, "-pointsize", str(POINT_SIZE), "-fill", "white",
               "-gravity", "NorthWest", "-annotate", f"+{TEXT_X}+{TEXT_Y}", TEXT]
    if mirror:
        command.append("-flop")
    command += ["-depth", "8", "gray:-"]
    mask = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
    if len(mask) != WIDTH * HEIGHT:
        sys.exit(f"unexpected mask size {len(mask)}")
    return mask


def background_texture():
    """A faint mottle: bilinear value noise on a coarse grid, rounded and kept in 121..125."""
    rng = random.Random(TEXTURE_SEED)
    cols = WIDTH // TEXTURE_CELL + 2
    rows = HEIGHT // TEXTURE_CELL + 2
    grid = [[rng.uniform(-2.2, 2.2) for _ in range(cols)] for _ in range(rows)]
    fine = [rng.uniform(-0.6, 0.6) for _ in range(WIDTH * HEIGHT)]
    out = bytearray(WIDTH * HEIGHT)
    for y in range(HEIGHT):
        gy, fy = divmod(y, TEXTURE_CELL)
        ty = fy / TEXTURE_CELL
        top, bottom = grid[gy], grid[gy + 1]
        row = y * WIDTH
        for x in range(WIDTH):
            gx, fx = divmod(x, TEXTURE_CELL)
            tx = fx / TEXTURE_CELL
            upper = top[gx] + (top[gx + 1] - top[gx]) * tx
            lower = bottom[gx] + (bottom[gx + 1] - bottom[gx]) * tx
            value = BACKGROUND_MEAN + upper + (lower - upper) * ty + fine[row + x]
            out[row + x] = min(BACKGROUND_MAX, max(BACKGROUND_MIN, int(round(value))))
    return out


def white_columns(grey):
    """Rows and columns holding at least one white pixel of the grey image."""
    rows = [y for y in range(HEIGHT)
            if max(grey[y * WIDTH:(y + 1) * WIDTH]) >= WHITE_THRESHOLD]
    cols = [x for x in range(WIDTH)
            if any(grey[y * WIDTH + x] >= WHITE_THRESHOLD for y in rows)]
    return rows, cols


def bounding_box(grey):
    """(top, bottom, left, right) of the white pixels."""
    rows, cols = white_columns(grey)
    return rows[0], rows[-1], cols[0], cols[-1]


def word_spans(grey):
    """Column ranges of the words: runs of white columns split by WORD_GAP blank columns."""
    _, cols = white_columns(grey)
    spans = [[cols[0], cols[0]]]
    for x in cols[1:]:
        if x - spans[-1][1] > WORD_GAP:
            spans.append([x, x])
        else:
            spans[-1][1] = x
    return [tuple(span) for span in spans]


def compose(background, mask):
    """White text over the background, one grey byte per pixel."""
    return bytes((g * (255 - a) + 255 * a + 127) // 255 for g, a in zip(background, mask))


def to_rgba(grey):
    pixels = bytearray(WIDTH * HEIGHT * 4)
    pixels[0::4] = grey
    pixels[1::4] = grey
    pixels[2::4] = grey
    pixels[3::4] = b"\xff" * (WIDTH * HEIGHT)
    return pixels


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(rgba):
    stride = WIDTH * 4
    raw = bytearray()
    for y in range(HEIGHT):
        row = rgba[y * stride:(y + 1) * stride]
        # Filter type 1 (Sub): each byte minus the same channel of the pixel to its left.
        sub = bytes((row[i] - (row[i - 4] if i >= 4 else 0)) & 0xFF for i in range(stride))
        raw += b"\x01" + sub
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0))
            + chunk(b"sRGB", b"\x00")  # perceptual rendering intent
            + chunk(b"gAMA", struct.pack(">I", 45455))  # 1/2.2, as sRGB readers expect
            + chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1))  # 72 dpi
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def decode_png(data):
    """Independent read-back: chunk list and the unfiltered RGBA bytes."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "signature"
    pos, kinds, idat = 8, [], b""
    header = None
    while pos < len(data):
        length, = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, f"crc of {kind}"
        kinds.append(kind.decode())
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    width, height = header[0], header[1]
    stride = width * 4
    out = bytearray(width * height * 4)
    previous = bytearray(stride)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for i in range(stride):
            left = row[i - 4] if i >= 4 else 0
            up = previous[i]
            if kind == 1:
                row[i] = (row[i] + left) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + up) & 0xFF
            else:
                assert kind == 0, f"filter {kind}"
        out[y * stride:(y + 1) * stride] = row
        previous = row
    return kinds, header, out


def check(path, expected_box):
    with open(path, "rb") as f:
        kinds, header, rgba = decode_png(f.read())
    assert kinds == ["IHDR", "sRGB", "gAMA", "pHYs", "IDAT", "IEND"], kinds
    assert header == (WIDTH, HEIGHT, 8, 6, 0, 0, 0), header
    assert all(rgba[i + 3] == 255 for i in range(0, len(rgba), 4)), "not opaque"
    assert all(rgba[i] == rgba[i + 1] == rgba[i + 2] for i in range(0, len(rgba), 4)), "not grey"
    top, bottom, left, right = expected_box
    background = [rgba[4 * (y * WIDTH + x)] for y in range(HEIGHT) for x in range(WIDTH)
                  if not (top - 2 <= y <= bottom + 2 and left - 2 <= x <= right + 2)]
    mean = sum(background) / len(background)
    print(f"background: min {min(background)} max {max(background)} mean {mean:.3f} "
          f"({len(background)} pixels)")
    assert min(background) >= BACKGROUND_MIN and max(background) <= BACKGROUND_MAX
    white = sum(1 for i in range(0, len(rgba), 4) if rgba[i] == 255)
    print(f"pure white pixels: {white}; chunks: {' '.join(kinds)}")


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources", "placeholder.png")
    background = background_texture()
    plain = compose(background, render_text_mask(mirror=False))
    grey = compose(background, render_text_mask(mirror=True))
    print("unmirrored text box rows %d..%d, columns %d..%d" % bounding_box(plain))
    print("unmirrored word spans:", word_spans(plain))
    box = bounding_box(grey)
    print("text box rows %d..%d, columns %d..%d" % box)
    print("word spans:", word_spans(grey))
    png = encode_png(to_rgba(grey))
    with open(path, "wb") as f:
        f.write(png)
    print(f"wrote {path}: {len(png)} bytes")
    check(path, box)


if __name__ == "__main__":
    main()
