#!/usr/bin/env python3
"""The picture and icon generator, judged by the files it writes: their
headers are read here independently of the generator, the way the resource
compiler and the window system read them."""
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "images" / "make_images.py"
CYAN = (0, 255, 255)


def generate(program, out, preview=None):
    command = [sys.executable, str(SCRIPT), "--program", program, "--out", str(out)]
    if preview:
        command += ["--preview", str(preview)]
    return subprocess.run(command, capture_output=True, timeout=120)


def luminance(colour):
    def linear(c):
        c /= 255.0
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = colour
    return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b)


def contrast(a, b):
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


class Bitmap:
    def __init__(self, data):
        magic, file_size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
        (self.header_size, self.width, self.height, self.planes, self.bits,
         self.compression, self.image_size) = struct.unpack_from("<IiiHHII", data, 14)
        self.magic, self.file_size, self.offset, self.data = magic, file_size, offset, data

    def pixel(self, x, y):
        """(r, g, b) at x, y counted from the top: the rows are stored bottom-up."""
        at = self.offset + ((self.height - 1 - y) * self.width + x) * 4
        b, g, r = self.data[at:at + 3]
        return r, g, b


class Icon:
    def __init__(self, data):
        self.reserved, self.kind, self.count = struct.unpack_from("<HHH", data, 0)
        (self.entry_width, self.entry_height, self.colour_count, _, self.entry_planes,
         self.entry_bits, self.bytes_in_res, self.image_offset) = struct.unpack_from(
            "<BBBBHHII", data, 6)
        at = self.image_offset
        (self.header_size, self.width, self.double_height, _, self.bits, self.compression,
         _, _, _, self.colours_used, _) = struct.unpack_from("<IiiHHIIiiII", data, at)
        palette_size = self.colours_used or (1 << self.bits)
        self.palette = [tuple(data[at + 40 + i * 4 + 2 - c] for c in range(3))
                        for i in range(palette_size)]
        self.pixels_at = at + 40 + palette_size * 4
        self.mask_at = self.pixels_at + 64 * 64
        self.data = data

    def transparent(self, x, y):
        row = 63 - y
        return bool(self.data[self.mask_at + row * 8 + x // 8] & (0x80 >> (x % 8)))

    def colour(self, x, y):
        return self.palette[self.data[self.pixels_at + (63 - y) * 64 + x]]


FOLDER = None
FILES = {}


def setUpModule():
    # Drawing takes seconds, so each program's files are made once for all tests.
    global FOLDER
    FOLDER = tempfile.TemporaryDirectory()
    for program in ("server", "client", "pcname"):
        out = pathlib.Path(FOLDER.name) / program
        result = generate(program, out, out / "preview.png")
        if result.returncode != 0:
            raise AssertionError(result.stderr.decode(errors="replace"))
        FILES[program] = {path.name: path.read_bytes() for path in out.iterdir()}


def tearDownModule():
    FOLDER.cleanup()


class Generated(unittest.TestCase):
    files = FILES

    def bitmap(self, program):
        return Bitmap(self.files[program]["bitmap1.bmp"])

    def icon(self, program):
        return Icon(self.files[program]["icon1.ico"])


class BitmapTest(Generated):
    def test_format_is_32_bit_uncompressed_bottom_up_of_the_window_size(self):
        for program, size in (("server", (184, 164)), ("client", (592, 446))):
            with self.subTest(program=program):
                bmp = self.bitmap(program)
                self.assertEqual(bmp.magic, b"BM")
                self.assertEqual(bmp.file_size, len(bmp.data))
                self.assertEqual(bmp.header_size, 40)
                self.assertEqual((bmp.width, bmp.height), size)  # positive: bottom-up
                self.assertEqual((bmp.planes, bmp.bits, bmp.compression), (1, 32, 0))
                self.assertEqual(bmp.offset + bmp.width * bmp.height * 4, len(bmp.data))

    def test_pcname_has_no_bitmap(self):
        self.assertEqual(sorted(self.files["pcname"]), ["icon1.ico", "preview.png"])

    def test_server_panel_is_dark_blue_on_white(self):
        bmp = self.bitmap("server")
        for corner in ((0, 0), (183, 0), (0, 163), (183, 163)):
            self.assertEqual(bmp.pixel(*corner), (255, 255, 255), corner)
        r, g, b = bmp.pixel(92, 82)
        self.assertGreater(b, r + 60)
        self.assertGreater(b, g + 40)
        self.assertLess(luminance((r, g, b)), 0.15)
        # Lit from above: a picture stored the wrong way up would show its
        # sheen at the bottom.
        self.assertGreater(luminance(bmp.pixel(92, 14)), 2.0 * luminance(bmp.pixel(92, 149)))

    def test_server_window_region_shows_no_white_edge(self):
        # The window is clipped to the ellipse (0, 0)-(183, 164): every pixel
        # it keeps must be panel, not the white ground.
        bmp = self.bitmap("server")
        for y in range(164):
            for x in range(183):
                u = (x + 0.5 - 91.5) / 91.5
                v = (y + 0.5 - 82.0) / 82.0
                if u * u + v * v <= 1.0:
                    self.assertLess(luminance(bmp.pixel(x, y)), 0.25, (x, y))

    def test_cyan_labels_stay_readable(self):
        # Extents of the painted labels (text origin, width, height).
        labels = {
            "server": [(54, 43, 50, 11), (106, 57, 10, 11), (54, 81, 50, 11),
                       (106, 95, 10, 11), (60, 120, 60, 11)],
            "client": [(40, 25, 48, 16), (40, 52, 64, 16), (260, 52, 80, 16)],
        }
        for program, rects in labels.items():
            bmp = self.bitmap(program)
            for left, top, width, height in rects:
                worst = min(contrast(CYAN, bmp.pixel(x, y))
                            for x in range(left, left + width) for y in range(top, top + height))
                with self.subTest(program=program, label=(left, top)):
                    self.assertGreaterEqual(worst, 4.5)

    def test_client_panel_is_blue_and_darkens_towards_its_edges(self):
        bmp = self.bitmap("client")

        def mean(points):
            points = list(points)
            return sum(luminance(bmp.pixel(x, y)) for x, y in points) / len(points)
        edges = mean([(x, y) for x in range(592) for y in (0, 2, 443, 445)]
                     + [(x, y) for y in range(446) for x in (0, 2, 589, 591)])
        centre = mean((x, y) for x in range(246, 346) for y in range(173, 273))
        self.assertLess(edges * 2.0, centre)
        for point in ((0, 0), (295, 223), (591, 445), (295, 295)):
            r, g, b = bmp.pixel(*point)
            self.assertGreater(b, max(r, g), point)


class IconTest(Generated):
    def test_one_64_pixel_image_with_256_colours_and_a_mask(self):
        for program in ("server", "client", "pcname"):
            with self.subTest(program=program):
                icon = self.icon(program)
                self.assertEqual((icon.reserved, icon.kind, icon.count), (0, 1, 1))
                # 0 in the directory means 256 colours; 64 fits in the byte.
                self.assertEqual((icon.entry_width, icon.entry_height, icon.colour_count),
                                 (64, 64, 0))
                self.assertEqual((icon.entry_planes, icon.entry_bits), (1, 8))
                self.assertEqual(icon.image_offset, 6 + 16)
                self.assertEqual(icon.image_offset + icon.bytes_in_res, len(icon.data))
                self.assertEqual((icon.header_size, icon.width, icon.double_height),
                                 (40, 64, 128))
                self.assertEqual((icon.bits, icon.compression), (8, 0))
                self.assertEqual(len(icon.palette), 256)
                # Colour image, then a 1-bit mask of 8-byte rows.
                self.assertEqual(icon.bytes_in_res, 40 + 256 * 4 + 64 * 64 + 64 * 8)

    def test_masked_pixels_are_black_so_the_screen_shows_through(self):
        # Under the mask the colour image is XORed onto the screen: anything
        # but black would tint or invert what lies behind the icon.
        for program in ("server", "client", "pcname"):
            icon = self.icon(program)
            masked = [(x, y) for y in range(64) for x in range(64) if icon.transparent(x, y)]
            with self.subTest(program=program):
                self.assertTrue(masked)
                for x, y in masked:
                    self.assertEqual(icon.colour(x, y), (0, 0, 0), (x, y))

    def test_discs_are_transparent_outside_the_circle(self):
        for program in ("server", "pcname"):
            icon = self.icon(program)
            with self.subTest(program=program):
                for y in range(64):
                    for x in range(64):
                        distance = ((x + 0.5 - 32) ** 2 + (y + 0.5 - 32) ** 2) ** 0.5
                        if distance > 32.5:
                            self.assertTrue(icon.transparent(x, y), (x, y))
                        elif distance < 30.5:
                            self.assertFalse(icon.transparent(x, y), (x, y))

    def test_client_square_is_opaque_but_for_its_rounded_corners(self):
        icon = self.icon("client")
        self.assertTrue(icon.transparent(0, 0))
        self.assertTrue(icon.transparent(63, 63))
        opaque = sum(not icon.transparent(x, y) for y in range(64) for x in range(64))
        self.assertGreater(opaque, 62 * 62 - 4 * 16)

    def test_icons_show_their_colours(self):
        def count(icon, test):
            return sum(1 for y in range(64) for x in range(64)
                       if not icon.transparent(x, y) and test(*icon.colour(x, y)))
        yellow = lambda r, g, b: r > 200 and g > 150 and b < 120
        red = lambda r, g, b: r > 180 and g < 120 and b < 120
        cyan = lambda r, g, b: r < 150 and g > 190 and b > 190
        dark_blue = lambda r, g, b: b > r + 30 and b > g and luminance((r, g, b)) < 0.12
        white = lambda r, g, b: min(r, g, b) > 190
        expected = {
            "server": [(yellow, 80), (red, 40), (cyan, 120), (dark_blue, 1200)],
            "client": [(yellow, 80), (white, 500), (dark_blue, 800)],
            "pcname": [(yellow, 150), (white, 300)],
        }
        for program, tests in expected.items():
            icon = self.icon(program)
            for test, least in tests:
                with self.subTest(program=program, colour=test):
                    self.assertGreaterEqual(count(icon, test), least)

    def test_pcname_disc_is_blue_inside_a_white_rim(self):
        icon = self.icon("pcname")
        for x, y in ((32, 2), (32, 61), (2, 32), (61, 32)):
            self.assertGreater(min(icon.colour(x, y)), 190, (x, y))
        for x, y in ((12, 32), (51, 32), (32, 52)):
            r, g, b = icon.colour(x, y)
            self.assertGreater(b, r + 60, (x, y))


class RunTest(Generated):
    def test_output_is_reproducible(self):
        with tempfile.TemporaryDirectory() as again:
            self.assertEqual(generate("server", again).returncode, 0)
            for name in ("bitmap1.bmp", "icon1.ico"):
                self.assertEqual((pathlib.Path(again) / name).read_bytes(),
                                 self.files["server"][name], name)

    def test_unknown_program_is_refused_and_writes_nothing(self):
        with tempfile.TemporaryDirectory() as out:
            result = generate("confbot", out)
            self.assertNotEqual(result.returncode, 0)
            self.assertEqual(os.listdir(out), [])

    def test_preview_is_a_valid_png_holding_the_magnified_icon(self):
        for program in ("server", "client", "pcname"):
            data = self.files[program]["preview.png"]
            with self.subTest(program=program):
                self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
                at, chunks = 8, {}
                while at < len(data):
                    length, = struct.unpack_from(">I", data, at)
                    kind = data[at + 4:at + 8]
                    body = data[at + 8:at + 8 + length]
                    crc, = struct.unpack_from(">I", data, at + 8 + length)
                    self.assertEqual(zlib.crc32(kind + body) & 0xFFFFFFFF, crc, kind)
                    chunks[kind] = chunks.get(kind, b"") + body
                    at += 12 + length
                width, height, depth, colour_type = struct.unpack_from(">IIBB", chunks[b"IHDR"])
                self.assertEqual((depth, colour_type), (8, 2))
                self.assertGreaterEqual(min(width, height), 64 * 4)
                self.assertEqual(len(zlib.decompress(chunks[b"IDAT"])), height * (1 + 3 * width))
                self.assertIn(b"IEND", chunks)


if __name__ == "__main__":
    unittest.main()
