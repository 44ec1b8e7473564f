#!/usr/bin/env python3
"""Checks a picture made by avqdump --plot: the SVG parses (an <svg> root with
paths), rsvg-convert renders it, and the PNG, decoded here with zlib alone,
holds more than a few colours and a pixel close to each colour named.

Usage: check_plot.py SVG PNG [#rrggbb ...]; exit status 1 with the reason on
standard error when something does not hold."""
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib

SVG_NS = "{http://www.w3.org/2000/svg}"


def fail(why):
    sys.stderr.write("check_plot: " + why + "\n")
    sys.exit(1)


def png_pixels(path):
    """Returns (width, height, set of (r, g, b)) of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if data[:8] != b"\x89PNG\r\n\x1a\n" or header is None:
        fail(path + ": not a PNG file")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        fail("PNG of depth %d, colour type %d, interlace %d: not decoded here"
             % (depth, colour, interlace))
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    prev, colours = bytearray(stride), set()
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride if kind else 0):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 4:  # Paeth: the neighbour nearest to a + b - c
                p = a + b - c
                b = min((abs(p - a), 0, a), (abs(p - b), 1, b), (abs(p - c), 2, c))[2]
            line[i] = (line[i] + (a, b, (a + b) // 2, b)[kind - 1]) & 0xFF
        colours.update(tuple(line[x:x + 3]) for x in range(0, stride, bpp))
        prev = line
    return width, height, colours


def main():
    if len(sys.argv) < 3:
        fail("usage: check_plot.py SVG PNG [#rrggbb ...]")
    svg, png, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
    try:
        root = ET.parse(svg).getroot()
    except ET.ParseError as e:
        fail(svg + ": not well-formed XML: " + str(e))
    if root.tag != SVG_NS + "svg":
        fail(svg + ": the root element is " + root.tag)
    if len(root.findall(".//" + SVG_NS + "path")) < 3:
        fail(svg + ": fewer than three paths")
    run = subprocess.run(["rsvg-convert", "-o", png, svg], capture_output=True, text=True)
    if run.returncode != 0:
        fail("rsvg-convert failed (%d): %s" % (run.returncode, run.stderr))
    width, height, colours = png_pixels(png)
    if (width, height) != (int(root.get("width")), int(root.get("height"))):
        fail("PNG of %dx%d for an SVG of %sx%s" % (width, height, root.get("width"),
                                                   root.get("height")))
    if len(colours) <= 4:
        fail("the rendering is blank: %d colours" % len(colours))
    for w in wanted:
        rgb = tuple(int(w[k:k + 2], 16) for k in (1, 3, 5))
        if not any(max(abs(p - q) for p, q in zip(rgb, c)) <= 12 for c in colours):
            fail("no pixel of the colour " + w)
    print("%s: %dx%d, %d colours" % (png, width, height, len(colours)))


main()
