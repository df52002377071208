"""corvane audit --html: the page as a browser shows it.

Headless Chromium loads the page from a file: --dump-dom gives the document
after its script ran, --screenshot what a person would see.
"""

import json
import os
import shutil
import struct
import subprocess
import zlib
from html.parser import HTMLParser
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / os.environ.get("CORVANE_BUILD", "build")
BIN = BUILD / "corvane"
FIXTURES = ROOT / "tests" / "audit"
CHROMIUM = shutil.which("chromium")

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (scripts/bootstrap.sh)")

LEVEL_COLOURS = {"caution": (0xd9, 0xa5, 0x20), "danger": (0xe0, 0x70, 0x2a), "critical": (0xc0, 0x26, 0x2d)}
CHARTS = ["chart-decisions", "chart-levels", "chart-techniques", "chart-time", "chart-sources", "chart-sessions"]


def chromium(*args, url, tmp_path):
    # A profile of its own, so that runs in parallel do not share one.
    p = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        f"--user-data-dir={tmp_path / 'profile'}", *args, url],
                       capture_output=True, timeout=120)
    assert p.returncode == 0, p.stderr[-2000:]
    return p.stdout


class Dom(HTMLParser):
    """The elements of a document, each as (tag, attributes, text inside)."""

    def __init__(self):
        super().__init__()
        self.elements, self.open = [], []

    def handle_starttag(self, tag, attrs):
        e = [tag, dict(attrs), ""]
        self.elements.append(e)
        if tag not in ("meta", "input", "br", "img", "link"):
            self.open.append(e)

    def handle_endtag(self, tag):
        while self.open:
            if self.open.pop()[0] == tag:
                break

    def handle_data(self, data):
        for e in self.open:
            e[2] += data

    def find(self, tag=None, **attrs):
        return [e for e in self.elements if (tag is None or e[0] == tag)
                and all(e[1].get(k.rstrip("_")) == v for k, v in attrs.items())]


def parse(html):
    d = Dom()
    d.feed(html)
    return d


def png_pixels(data):
    """RGB(A) rows of an 8-bit PNG, unfiltered."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
            bpp = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * bpp, [], bytearray(width * bpp)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return [[tuple(r[x:x + 3]) for x in range(0, stride, bpp)] for r in rows]


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("page")
    out = tmp / "audit.html"
    sources = sorted(FIXTURES.iterdir())
    p = subprocess.run([str(BIN), "audit", "--html", str(out), *map(str, sources)], capture_output=True, timeout=120)
    assert p.returncode == 0, p.stderr
    listed = subprocess.run([str(BIN), "audit", "--json", "--min-level", "caution", *map(str, sources)],
                            capture_output=True).stdout.decode().splitlines()
    return out, [json.loads(l) for l in listed], tmp


def test_page_needs_nothing_from_outside(page):
    path, _, _ = page
    html = path.read_text()
    dom = parse(html)
    assert not dom.find("link") and not dom.find("img") and not dom.find("iframe")
    assert all("src" not in attrs for _, attrs, _ in dom.find("script"))
    assert "@import" not in html and "url(" not in html
    assert "default-src 'none'" in html  # and the browser is told so


def test_charts_and_table_render_in_chromium(page):
    path, listed, tmp = page
    dom = parse(chromium("--dump-dom", url=path.as_uri(), tmp_path=tmp).decode())
    assert dom.find("body", **{"data-ready": "yes"}), "the page's script did not finish"
    for chart in CHARTS:
        svg = dom.find("svg", id=chart)
        assert svg, chart
    assert len(dom.find("rect", class_="bar")) >= 20
    rows = dom.find("tr", class_="row")
    assert len(rows) == len(listed)
    # Riskiest first, and every listed command has its row and full verdict.
    scores = [int(attrs["data-score"]) for _, attrs, _ in rows]
    assert scores == sorted(scores, reverse=True)
    assert sorted(scores) == sorted(r["verdict"]["score"] for r in listed)
    texts = " ".join(text for _, _, text in rows)
    for r in listed:
        assert r["verdict"]["reason"] in texts
    assert dom.find("span", id="shown")[0][2] == str(len(listed))
    # Secrets masked in the page as elsewhere.
    assert "hunter2pass" not in path.read_text() and "admin:****" in texts


def test_a_link_can_filter_and_sort_the_table(page):
    path, listed, tmp = page
    url = path.as_uri() + "#q=rm%20-rf&sort=score:asc"
    dom = parse(chromium("--dump-dom", url=url, tmp_path=tmp).decode())
    rows = dom.find("tr", class_="row")
    visible = [attrs for _, attrs, text in rows if "hidden" not in attrs]
    matching = [r for r in listed if "rm -rf" in r["verdict"]["command"]]
    assert len(visible) == len(matching) > 0
    scores = [int(a["data-score"]) for _, a, _ in rows]
    assert scores == sorted(scores)
    assert dom.find("span", id="shown")[0][2] == str(len(matching))


def test_screenshot_shows_the_charts(page):
    path, _, tmp = page
    shot = tmp / "shot.png"
    chromium(f"--screenshot={shot}", "--window-size=1200,1400", "--hide-scrollbars", url=path.as_uri(), tmp_path=tmp)
    pixels = png_pixels(shot.read_bytes())
    colours = {}
    for row in pixels[::2]:
        for px in row[::2]:
            colours[px] = colours.get(px, 0) + 1
    assert len(colours) > 50, "the screenshot is blank"
    for level, rgb in LEVEL_COLOURS.items():
        assert colours.get(rgb, 0) > 50, f"no {level} bar on the screen"


def test_table_rows_are_capped_and_the_page_says_so(tmp_path):
    commands = "\n".join(f"rm -rf /srv/app{i}" for i in range(5200)) + "\nrm -rf /\n"
    out = tmp_path / "big.html"
    p = subprocess.run([str(BIN), "audit", "--html", str(out), "-"], input=commands.encode(), capture_output=True)
    assert p.returncode == 0, p.stderr
    html = out.read_text()
    assert html.count('<tr class="row"') == 5000
    assert "the table keeps the riskiest 5,000 of the 5,201 listed commands" in html
    assert ">rm -rf /</td>" in html  # the riskiest is kept although it came last
