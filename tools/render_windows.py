#!/usr/bin/env python3
"""Draws velmora's main, statistics, about and batches windows as SVG pictures.

The windows are built by the module itself (velmora.show(), the About
button, a report of a sample run, velmora.show_batches() over sample
background batches) on the simulated Maya host, and drawn from
the simulator's widget tree: sizes, labels, check states, colours and fonts
come from the flags the module passed. Control sizes that the module leaves
to Maya use Maya's usual defaults.

    python3 tools/render_windows.py [--out docs/images] [--build build]
"""
import argparse
import contextlib
import io
import os
import re
import sys
import tempfile
import time
from unittest import mock
from xml.sax.saxutils import escape

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PICTURES = [("velmoraWin", "main_window.svg"), ("statsWin", "statistics_window.svg"),
            ("aboutWin", "about_window.svg"), ("velmoraBatchesWin", "batches_window.svg")]

# Maya's dark interface.
BACKGROUND = "#444444"
FRAME = "#3d3d3d"
FIELD = "#2b2b2b"
FIELD_READ_ONLY = "#373737"
BUTTON = "#5d5d5d"
TEXT = "#dddddd"
DIM = "#8c8c8c"
TITLE_BAR = "#262626"
PROGRESS = "#5285a6"
SANS = "Segoe UI, Helvetica, Arial, sans-serif"
MONO = "Consolas, Menlo, DejaVu Sans Mono, monospace"
FONT_SIZE = 11
LINE = 15
TITLE_HEIGHT = 28
MARGIN = 12

# Heights of controls made without a height flag: Maya's at 100% scaling.
DEFAULT_HEIGHT = {"text": 16, "button": 22, "checkBox": 16, "textField": 20,
                  "optionMenu": 20, "progressBar": 16, "scrollField": 100, "separator": 2,
                  "intField": 20}

SAMPLE_START = 1767225600.0  # a fixed clock keeps the pictures reproducible


def sample_batches():
    """What batches() says of three background batches: one running, one
    finished with failures, one stopped."""
    def batch(number, folder, state, total, done, converted, failed, eta=None, ended=None):
        return {"id": "20260101-0%d0000-5f3%d" % (number, number), "folder": folder,
                "state": state, "total": total, "done": done, "converted": converted,
                "failed": [("%s/shot_%03d.ma" % (folder, i), "Open failed")
                           for i in range(failed)],
                "skipped": [], "outputs": [], "pending": [""] * (total - done),
                "start_time": SAMPLE_START, "end_time": ended, "started": SAMPLE_START,
                "ended": ended, "eta": eta, "error": None}
    return [batch(3, "D:/scenes/episode_03", "running", 48, 17, 17, 0, eta=312.4),
            batch(2, "D:/scenes/episode_02", "interrupted", 30, 9, 9, 0,
                  ended=SAMPLE_START + 2710),
            batch(1, "D:/scenes/episode_01", "finished", 12, 12, 10, 2,
                  ended=SAMPLE_START + 125.7)]


# ------------------------------------------------------------------ windows

def build_windows(build):
    for path in (os.path.join(ROOT, "sim"), build):
        if path not in sys.path:
            sys.path.insert(0, path)
    import mayasim
    import velmora

    if hasattr(time, "tzset"):
        os.environ["TZ"] = "UTC"
        time.tzset()
    mayasim.reset()
    host = mayasim.host
    with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()):
        velmora.Velmora.LOG_FILE = os.path.join(tmp, "converter_log.txt")
        velmora.show()
        about = host.ui.find(kind="button", label="About", window="velmoraWin")[0]
        converter = host.ui.control(about).state["command"].__self__
        host.file_dialog_answers.append(["D:/scenes/episode_01"])
        host.press(host.ui.find(kind="button", label="...", window="velmoraWin")[0])
        host.press(about)
        converter.start_time = SAMPLE_START
        converter.total_files = 12
        converter.successful_files = 10
        converter.failed_files = [
            ("D:/scenes/episode_01/shot_040.ma", "Open failed: unexpected end of file"),
            ("D:/scenes/episode_01/props/lamp.fbx", "All conversions failed"),
        ]
        converter.skipped_files = ["D:/scenes/episode_01/shot_010.mb"] * 3
        with mock.patch.object(velmora.time, "time", return_value=SAMPLE_START + 125.7):
            converter.show_statistics()
        with mock.patch.object(velmora, "batches", sample_batches):
            velmora.show_batches()
            fields = host.ui.find(kind="intField", window="velmoraBatchesWin")
            host.ui.set(host.ui.find(kind="textField", window="velmoraBatchesWin")[0],
                        text="D:/scenes/episode_04")
            host.ui.set(fields[0], value=4)
            host.ui.set(fields[1], value=600)
            trees = dict((name, host.ui.tree(name)) for name, _ in PICTURES)
            host.close_window("velmoraBatchesWin")  # stops its timer
            host.run_idle()
    return trees


# ------------------------------------------------------------------- layout

def flag(node, name, default=None):
    return node["state"].get(name, default)


def text_width(text, bold=False, mono=False):
    per_char = 7.0 if mono else (6.6 if bold else 6.0)
    return max(len(line) for line in text.split("\n")) * per_char


ANCHOR = re.compile(r'<a\s+href="([^"]*)"(?:\s+style="([^"]*)")?\s*>(.*?)</a>', re.S)


def visible_label(node):
    """The text a label shows, and the link colour when it is a hyperlink."""
    label = flag(node, "label", "")
    if flag(node, "hyperlink"):
        m = ANCHOR.search(label)
        if m:
            colour = re.search(r"color:\s*(#[0-9A-Fa-f]{6})", m.group(2) or "")
            return m.group(3), colour.group(1) if colour else "#6CB4EE"
    return label, None


def text_lines(node, width):
    """The lines a text control shows: its own, wrapped to its width with ww."""
    label = visible_label(node)[0]
    lines = label.split("\n")
    if flag(node, "wordWrap"):
        chars = int((width - 8) / (6.6 if flag(node, "font") == "boldLabelFont" else 6.0))
        lines = [part for line in lines for part in wrap(line, chars)]
    return lines


def natural_width(node):
    kind = node["kind"]
    if flag(node, "width"):
        return flag(node, "width")
    if kind == "text":
        return text_width(visible_label(node)[0], flag(node, "font") == "boldLabelFont") + 8
    if kind == "button":
        return max(text_width(flag(node, "label", "")) + 20, 50)
    if kind == "checkBox":
        return text_width(flag(node, "label", "")) + 24
    return 100


def height(node, width):
    kind = node["kind"]
    if flag(node, "height"):
        return flag(node, "height")
    if kind == "columnLayout":
        spacing = flag(node, "rowSpacing", 0)
        inner = column_inner_width(node, width)
        heights = [height(ch, child_width(node, ch, inner)) for ch in node["children"]]
        return sum(heights) + spacing * max(len(heights) - 1, 0)
    if kind == "rowLayout":
        widths = row_widths(node, width)
        return max([height(ch, w) for ch, w in zip(node["children"], widths)] or [0])
    if kind == "frameLayout":
        margin = flag(node, "marginHeight", 0)
        inner = width - 2 * flag(node, "marginWidth", 0)
        return sum(height(ch, inner) for ch in node["children"]) + 2 * margin
    if kind == "text":
        lines = len(text_lines(node, width))
        return DEFAULT_HEIGHT["text"] if lines == 1 else lines * LINE + 4
    return DEFAULT_HEIGHT.get(kind, 20)


def column_inner_width(node, width):
    attach = flag(node, "columnAttach")
    offset = attach[1] if attach and attach[0] == "both" else 0
    return width - 2 * offset


def child_width(column, child, inner):
    if flag(column, "adjustableColumn"):
        return inner
    return min(natural_width(child), inner)


def row_widths(node, width):
    count = flag(node, "numberOfColumns", 1)
    fixed = flag(node, "columnWidth%d" % count)
    children = node["children"]
    widths = []
    for i in range(count):
        if fixed:
            widths.append(fixed[i])
        elif i < len(children):
            widths.append(natural_width(children[i]) + 2 * row_attach(node, i)[1])
        else:
            widths.append(0)
    adjust = flag(node, "adjustableColumn")
    if adjust:
        widths[adjust - 1] += width - sum(widths)
    return widths


def row_attach(node, index):
    for column, side, offset in flag(node, "columnAttach") or []:
        if column == index + 1:
            return side, offset
    return "both", 0


# --------------------------------------------------------------------- draw

class Canvas(object):
    def __init__(self):
        self.parts = []

    def rect(self, x, y, w, h, fill, rx=0, stroke=None):
        extra = ' stroke="%s"' % stroke if stroke else ""
        self.parts.append('<rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"%s/>'
                          % (x, y, w, h, rx, fill, extra))

    def line(self, x1, y1, x2, y2, colour, width=1):
        self.parts.append('<line x1="%g" y1="%g" x2="%g" y2="%g" stroke="%s" stroke-width="%g"/>'
                          % (x1, y1, x2, y2, colour, width))

    def text(self, x, y, text, anchor="start", colour=TEXT, bold=False, mono=False,
             italic=False, underline=False, size=FONT_SIZE):
        style = ' font-weight="bold"' if bold else ""
        style += ' font-style="italic"' if italic else ""
        style += ' text-decoration="underline"' if underline else ""
        self.parts.append('<text x="%g" y="%g" fill="%s" font-family="%s" font-size="%g" '
                          'text-anchor="%s" xml:space="preserve"%s>%s</text>'
                          % (x, y, colour, MONO if mono else SANS, size, anchor, style,
                             escape(text)))

    def raw(self, text):
        self.parts.append(text)


def colour_of(triple):
    return "#%02x%02x%02x" % tuple(int(round(c * 255)) for c in triple)


def draw(node, x, y, w, h, canvas):
    kind = node["kind"]
    handler = DRAW.get(kind)
    if handler is not None:
        handler(node, x, y, w, h, canvas)


def draw_column(node, x, y, w, h, canvas):
    attach = flag(node, "columnAttach")
    offset = attach[1] if attach and attach[0] == "both" else 0
    inner = w - 2 * offset
    for child in node["children"]:
        cw = child_width(node, child, inner)
        ch = height(child, cw)
        draw(child, x + offset, y, cw, ch, canvas)
        y += ch + flag(node, "rowSpacing", 0)


def draw_row(node, x, y, w, h, canvas):
    for i, (child, cw) in enumerate(zip(node["children"], row_widths(node, w))):
        side, offset = row_attach(node, i)
        if side == "both":
            width = cw - 2 * offset
            left = x + offset
        else:
            width = min(natural_width(child), cw - offset)
            left = x + offset if side == "left" else x + cw - offset - width
        draw(child, left, y, width, height(child, width), canvas)
        x += cw


def draw_frame(node, x, y, w, h, canvas):
    canvas.rect(x, y, w, h, FRAME, rx=2)
    mw, mh = flag(node, "marginWidth", 0), flag(node, "marginHeight", 0)
    for child in node["children"]:
        inner = w - 2 * mw
        draw(child, x + mw, y + mh, inner, height(child, inner), canvas)


def baseline(y, h):
    return y + h / 2.0 + FONT_SIZE * 0.36


def draw_text(node, x, y, w, h, canvas):
    link = visible_label(node)[1]
    lines = text_lines(node, w)
    align = flag(node, "align", "center")
    anchor, tx = {"left": ("start", x + 2), "right": ("end", x + w - 2)}.get(
        align, ("middle", x + w / 2.0))
    top = baseline(y, h) - (len(lines) - 1) * LINE / 2.0
    for i, line in enumerate(lines):
        canvas.text(tx, top + i * LINE, line, anchor, colour=link or TEXT,
                    bold=flag(node, "font") == "boldLabelFont", underline=bool(link))


def draw_button(node, x, y, w, h, canvas):
    fill = colour_of(flag(node, "backgroundColor")) if flag(node, "backgroundColor") else BUTTON
    canvas.rect(x, y, w, h, fill, rx=3)
    canvas.text(x + w / 2.0, baseline(y, h), flag(node, "label", ""), "middle",
                colour=TEXT if flag(node, "enable", True) else DIM)


def draw_separator(node, x, y, w, h, canvas):
    style = flag(node, "style", "in")
    if style == "none":
        return
    mid = y + h / 2.0
    if style == "in":  # a sunken groove: dark line over a light one
        canvas.line(x, mid - 0.5, x + w, mid - 0.5, "#2a2a2a")
        canvas.line(x, mid + 0.5, x + w, mid + 0.5, "#5a5a5a")
    else:
        canvas.line(x, mid, x + w, mid, "#2a2a2a")


def draw_check_box(node, x, y, w, h, canvas):
    box = 13
    top = y + (h - box) / 2.0
    canvas.rect(x + 2, top, box, box, FIELD, rx=2, stroke="#1e1e1e")
    if flag(node, "value"):
        canvas.raw('<path d="M%g %g l3 3 l6 -7" fill="none" stroke="%s" stroke-width="2"/>'
                   % (x + 4.5, top + 6.5, TEXT))
    canvas.text(x + box + 8, baseline(y, h), flag(node, "label", ""))


def draw_text_field(node, x, y, w, h, canvas):
    editable = flag(node, "editable", True)
    canvas.rect(x, y, w, h, FIELD if editable else FIELD_READ_ONLY, rx=2, stroke="#1e1e1e")
    text = flag(node, "text", "")
    if text:
        canvas.text(x + 5, baseline(y, h), text, colour=TEXT if editable else "#c0c0c0")
    elif flag(node, "placeholderText"):
        canvas.text(x + 5, baseline(y, h), flag(node, "placeholderText"), colour=DIM,
                    italic=True)


def draw_int_field(node, x, y, w, h, canvas):
    canvas.rect(x, y, w, h, FIELD, rx=2, stroke="#1e1e1e")
    canvas.text(x + 5, baseline(y, h), str(flag(node, "value", 0)))


def draw_scroll_layout(node, x, y, w, h, canvas):
    """Its one child at the scroll area's width, clipped; a scroll bar when
    the child is taller."""
    clip = "clip%d" % len(canvas.parts)
    canvas.raw('<clipPath id="%s"><rect x="%g" y="%g" width="%g" height="%g"/></clipPath>'
               % (clip, x, y, w, h))
    canvas.rect(x, y, w, h, FRAME, stroke="#1e1e1e")
    inner = w - 14
    content = sum(height(child, inner) for child in node["children"])
    canvas.raw('<g clip-path="url(#%s)">' % clip)
    for child in node["children"]:
        draw(child, x + 2, y + 2, inner, height(child, inner), canvas)
    canvas.raw("</g>")
    if content + 4 > h:
        canvas.rect(x + w - 10, y + 2, 8, h - 4, "#333333", rx=4)
        canvas.rect(x + w - 10, y + 2, 8, (h - 4) * h / (content + 4.0), "#666666", rx=4)


def draw_option_menu(node, x, y, w, h, canvas):
    label = flag(node, "label", "")
    label_w = text_width(label) + 10 if label else 0
    canvas.text(x + 2, baseline(y, h), label)
    canvas.rect(x + label_w, y + 1, w - label_w, h - 2, BUTTON, rx=3)
    canvas.text(x + label_w + 8, baseline(y, h), flag(node, "value") or "")
    right = x + w - 12
    canvas.raw('<path d="M%g %g l4 4 l4 -4 z" fill="%s"/>' % (right - 4, y + h / 2.0 - 2, TEXT))


def draw_progress_bar(node, x, y, w, h, canvas):
    canvas.rect(x, y, w, h, FIELD, rx=2)
    low, high = flag(node, "minValue", 0), flag(node, "maxValue", 100)
    done = (flag(node, "progress", 0) - low) / float(high - low) if high > low else 0
    if done > 0:
        canvas.rect(x, y, w * min(done, 1.0), h, PROGRESS, rx=2)


def wrap(line, chars):
    out = []
    while len(line) > chars:
        cut = line.rfind(" ", 0, chars + 1)
        cut = cut if cut > 0 else chars
        out.append(line[:cut])
        line = line[cut:].lstrip(" ")
    out.append(line)
    return out


def draw_scroll_field(node, x, y, w, h, canvas):
    clip = "clip%d" % len(canvas.parts)
    canvas.raw('<clipPath id="%s"><rect x="%g" y="%g" width="%g" height="%g"/></clipPath>'
               % (clip, x, y, w, h))
    canvas.rect(x, y, w, h, FIELD if flag(node, "editable", True) else FIELD_READ_ONLY,
                stroke="#1e1e1e")
    mono = flag(node, "font") == "fixedWidthFont"
    lines = flag(node, "text", "").split("\n")
    if flag(node, "wordWrap"):
        chars = int((w - 20) / (7.0 if mono else 6.0))
        lines = [part for line in lines for part in wrap(line, chars)]
    canvas.raw('<g clip-path="url(#%s)">' % clip)
    for i, line in enumerate(lines):
        canvas.text(x + 6, y + 16 + i * LINE, line, mono=mono)
    canvas.raw("</g>")
    if len(lines) * LINE + 8 > h:  # more text than room: Maya shows a scroll bar
        canvas.rect(x + w - 10, y + 2, 8, h - 4, "#333333", rx=4)
        canvas.rect(x + w - 10, y + 2, 8, (h - 4) * h / (len(lines) * LINE + 8.0), "#666666",
                    rx=4)


DRAW = {"columnLayout": draw_column, "rowLayout": draw_row, "frameLayout": draw_frame,
        "text": draw_text, "button": draw_button, "separator": draw_separator,
        "checkBox": draw_check_box, "textField": draw_text_field,
        "optionMenu": draw_option_menu, "progressBar": draw_progress_bar,
        "scrollField": draw_scroll_field, "intField": draw_int_field,
        "scrollLayout": draw_scroll_layout}


def render(window):
    width, height_ = flag(window, "widthHeight", (400, 300))
    canvas = Canvas()
    x, y = MARGIN, MARGIN
    canvas.rect(x - 1, y - 1, width + 2, TITLE_HEIGHT + height_ + 2, "#111111", rx=4)
    canvas.rect(x, y, width, TITLE_HEIGHT, TITLE_BAR, rx=3)
    canvas.text(x + 10, y + 18, flag(window, "title", window["short"]), size=12)
    canvas.text(x + width - 14, y + 18, "\u00d7", "middle", size=14)
    top = y + TITLE_HEIGHT
    canvas.raw('<clipPath id="client"><rect x="%g" y="%g" width="%g" height="%g"/></clipPath>'
               % (x, top, width, height_))
    canvas.rect(x, top, width, height_, BACKGROUND)
    canvas.raw('<g clip-path="url(#client)">')
    for child in window["children"]:  # the window's one layout fills it
        draw(child, x, top, width, height_, canvas)
    canvas.raw("</g>")
    if flag(window, "sizeable", True):  # the resize grip of a resizable window
        for d in (4, 8, 12):
            canvas.line(x + width - d, top + height_ - 2, x + width - 2, top + height_ - d, DIM)
    total_w, total_h = width + 2 * MARGIN, TITLE_HEIGHT + height_ + 2 * MARGIN
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
            'viewBox="0 0 %d %d">\n<rect width="100%%" height="100%%" fill="#202020"/>\n%s\n'
            '</svg>\n' % (total_w, total_h, total_w, total_h, "\n".join(canvas.parts)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "images"))
    parser.add_argument("--build", default=os.environ.get("VELMORA_BUILD",
                                                          os.path.join(ROOT, "build")))
    args = parser.parse_args(argv)
    trees = build_windows(args.build)
    if not os.path.isdir(args.out):
        os.makedirs(args.out)
    for name, file_name in PICTURES:
        path = os.path.join(args.out, file_name)
        with io.open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(render(trees[name]))
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
