#!/usr/bin/python3
# The real program read as a screen reader reads it, through AT-SPI on the
# accessibility bus that with-atspi starts, on a private X server: the role,
# name and value of each control, the news after a grab and a binarization
# with its event on the bus, Return on each control, and the focus indicator
# and thumb in the X server's own pixels at 1x and 2x.
#   tst_a11y.py THRESHCAM XWIN FAKECAM-LIBRARY
# With THRESHCAM_SHOTS=DIR set, each control's pixels, focused and not, are
# saved there.
import os
import subprocess
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("Atspi", "2.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Atspi, GdkPixbuf, GLib  # noqa: E402

PROGRAM, XWIN, FAKECAM = sys.argv[1:4]
FRAME = (320, 240)

# The controls that take focus, in tab order, with their rectangles in the
# stored layout (logical pixels inside the window).
TAB_ORDER = [
    ("Button1", (16, 312, 89, 33)),
    ("Button2", (16, 360, 89, 33)),
    ("Button3", (16, 408, 89, 33)),
    ("ScrollBar1", (16, 456, 129, 25)),
    ("Edit1", (160, 456, 41, 21)),
]

# What a screen reader finds: the path of child indices from the window,
# role, name, description, and the value (scroll bar) or text (text field).
TREE = [
    ((), "frame", "Form1", "擷取攝影機畫面，以手動調整的門檻值轉成黑白影像", None),
    ((0,), "label", "即時影像", "", None),
    ((1,), "label", "擷取的影像", "", None),
    ((1, 0), "image", "擷取的影像", "尚未擷取影像", None),
    ((2,), "push button", "開啟攝影", "", None),
    ((3,), "push button", "擷取影像", "", None),
    ((4,), "push button", "二值化", "", None),
    ((5,), "scroll bar", "門檻值", "", (0, 255, 125)),
    ((6,), "text", "門檻值", "", ""),
    ((7,), "notification", "", "", None),
]
PATH = {"Button1": (2,), "Button2": (3,), "Button3": (4,), "ScrollBar1": (5,), "Edit1": (6,)}
IMAGE = (1, 0)

# Keys pressed on a focused control, in this order, and the view's news they
# bring (None: none). The next row's news coming first shows that a Return
# pressed nothing. The clipboard holds another program's 120 x 90 picture
# until the camera is open.
NEWS = [
    ("Button2", ["Return"], "剪貼簿的圖片，120 × 90"),
    ("Button3", ["Return"], "二值化，門檻值 125"),
    ("Edit1", ["Return"], None),
    ("ScrollBar1", ["Return", "Right"], "二值化，門檻值 126"),
    ("Button1", ["Return"], None),
    ("Button2", ["Return"], "擷取的影像，%d × %d" % FRAME),
]


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=20).stdout


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


def wait_for(what, condition, seconds=10):
    """Bounded: the condition is checked until it holds, with bus events handled meanwhile."""
    deadline = time.monotonic() + seconds
    while True:
        pump()
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def luminance(rgb):
    """WCAG 2.1 relative luminance of an sRGB colour."""
    linear = [c / 255 / 12.92 if c <= 10 else ((c / 255 + 0.055) / 1.055) ** 2.4 for c in rgb]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


class Program:
    """threshcam with the fake camera, its window at the screen's corner."""

    def __init__(self, scale):
        self.scale = scale
        env = dict(os.environ, LD_PRELOAD=FAKECAM, FAKECAM="2=bgr24:%dx%d@30" % FRAME,
                   QT_SCALE_FACTOR=str(scale))
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        self.process = subprocess.Popen([PROGRAM], env=env)
        self.shot_path = os.path.join(tempfile.gettempdir(),
                                      "threshcam-a11y-%d.png" % os.getpid())
        self.window = wait_for("the window", lambda: run(
            "xdotool", "search", "--onlyvisible", "--name", "^Form1$").split())[0]
        # Controls of a 2x window fit on the screen from its corner; the pointer
        # rests on the live panel, which has no hover look.
        run("xdotool", "windowmove", "--sync", self.window, "0", "0")
        run("xdotool", "mousemove", str(100 * scale), str(100 * scale))
        self.frame = wait_for("threshcam on the accessibility bus", self.find_frame)
        run("xdotool", "windowfocus", "--sync", self.window)
        self.focused = 0
        wait_for("focus on Button1", lambda: self.has_focus("Button1"))

    def find_frame(self):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app and app.get_process_id() == self.process.pid and app.get_child_count():
                return app.get_child_at_index(0)
        return None

    def at(self, path):
        node = self.frame
        for index in path:
            node = node.get_child_at_index(index)
        return node

    def sync(self):
        """Handles every event the program sent before it answers a question of
        ours: the bus keeps a sender's messages in order, and text is never cached."""
        self.at(PATH["Edit1"]).get_text_iface().get_text(0, -1)
        pump()

    def has_focus(self, name):
        return self.at(PATH[name]).get_state_set().contains(Atspi.StateType.FOCUSED)

    def tab_to(self, name):
        target = [n for n, _ in TAB_ORDER].index(name)
        for _ in range((target - self.focused) % len(TAB_ORDER)):
            run("xdotool", "key", "Tab")
        self.focused = target
        wait_for("focus on " + name, lambda: self.has_focus(name))

    def shot(self):
        """The window once it has painted what changed: two shots alike in a row."""
        last = None

        def settled():
            nonlocal last
            run(XWIN, "shot", self.window, self.shot_path)
            shot = GdkPixbuf.Pixbuf.new_from_file(self.shot_path)
            same = last is not None and shot.get_pixels() == last.get_pixels()
            last = shot
            return shot if same else None
        return wait_for("a settled window", settled)

    def crop(self, shot, rect):
        x, y, w, h = (v * self.scale for v in rect)
        return shot.new_subpixbuf(x, y, w, h).copy()

    def close(self):
        self.process.kill()
        self.process.wait()
        if os.path.exists(self.shot_path):
            os.unlink(self.shot_path)


def marked(before, after):
    """How many pixels changed at 3:1 or more."""
    return sum(contrast(b, a) >= 3 for rb, ra in zip(before, after) for b, a in zip(rb, ra))


def ring(rect, scale):
    """The device pixels of a one-pixel ring around a control."""
    return 2 * (rect[2] + rect[3]) * scale


def pixels(pixbuf):
    data, stride, n = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_n_channels()
    return [[tuple(data[y * stride + x * n:y * stride + x * n + 3])
             for x in range(pixbuf.get_width())] for y in range(pixbuf.get_height())]


class TestAccessibility(unittest.TestCase):
    def setUp(self):
        self.picture = tempfile.NamedTemporaryFile(suffix=".png")
        GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, 120, 90).savev(
            self.picture.name, "png", [], [])
        self.clipboard = subprocess.Popen(
            ["xclip", "-selection", "clipboard", "-t", "image/png", "-i", self.picture.name])
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.close()
        self.clipboard.kill()
        self.clipboard.wait()

    def start(self, scale):
        self.programs.append(Program(scale))
        return self.programs[-1]

    def test_what_a_screen_reader_hears(self):
        program = self.start(1)
        for path, role, name, description, value in TREE:
            with self.subTest(name=name, role=role):
                node = program.at(path)
                self.assertEqual(node.get_role_name(), role)
                self.assertEqual(node.get_name(), name)
                self.assertEqual(node.get_description(), description)
                if isinstance(value, tuple):
                    iface = node.get_value_iface()
                    self.assertEqual((iface.get_minimum_value(), iface.get_maximum_value(),
                                      iface.get_current_value()), value)
                elif value is not None:
                    self.assertEqual(node.get_text_iface().get_text(0, -1), value)

        # Qt 6.4 sends a changed description without its text: what changed is
        # read from the object, as a screen reader does.
        events = []
        listener = Atspi.EventListener.new(lambda e: events.append(
            (e.type, e.source.get_role_name(), e.detail1, e.source.get_name())))
        for kind in ("object:property-change:accessible-description",
                     "object:state-changed:showing"):
            listener.register(kind)
        image = program.at(IMAGE)
        notice = program.frame.get_child_at_index(7)
        told = True
        for name, keys, news in NEWS:
            with self.subTest(name=name, keys=keys):
                program.tab_to(name)
                # What a row without news brought is counted with the next row's.
                if told:
                    del events[:]
                told = news is not None
                for key in keys:
                    run("xdotool", "key", key)
                if news is None:
                    continue
                # A camera opened just now may have shown no frame yet; until it
                # has, a grab takes the clipboard's picture again.
                while True:
                    wait_for("news of the image view", lambda: any(
                        e[1] == "image" for e in events))
                    program.sync()
                    if news.startswith("擷取") and image.get_description().startswith("剪貼簿"):
                        del events[:]
                        run("xdotool", "key", "Return")
                        continue
                    break
                self.assertEqual(image.get_description(), news)
                # One pass, one grab: the keys pressed nothing else.
                self.assertEqual([e[1] for e in events if e[1] == "image"], ["image"])
                # The notification a screen reader reads out wherever focus is;
                # none on the scroll bar, whose value is read out already.
                shown = [e for e in events if e[1] == "notification" and e[2] == 1]
                self.assertEqual(len(shown), 0 if name == "ScrollBar1" else 1)
                if shown:
                    self.assertEqual(notice.get_name(), news)
        for kind in ("object:property-change:accessible-description",
                     "object:state-changed:showing"):
            listener.deregister(kind)

    def test_focus_is_seen(self):
        shots = os.environ.get("THRESHCAM_SHOTS")
        for scale in (1, 2):
            program = self.start(scale)
            # Nothing focused looks focused: each control as it is while
            # another one has focus.
            program.tab_to("Button2")
            resting = dict((name, program.crop(program.shot(), rect))
                           for name, rect in TAB_ORDER if name != "Button2")
            program.tab_to("Button3")
            resting["Button2"] = program.crop(program.shot(), TAB_ORDER[1][1])
            for name, rect in TAB_ORDER:
                with self.subTest(scale=scale, control=name):
                    program.tab_to(name)
                    # At 3:1 against what it replaces, on as many device pixels
                    # as a one-pixel ring around the control has at least.
                    before = pixels(resting[name])
                    focused = wait_for("the focus indicator on " + name, lambda: (
                        lambda crop: crop if marked(before, pixels(crop)) >= ring(rect, scale)
                        else None)(program.crop(program.shot(), rect)))
                    if shots:
                        for state, image in (("resting", resting[name]), ("focused", focused)):
                            file = "%s-%dx-%s.png" % (name, scale, state)
                            image.savev(os.path.join(shots, file), "png", [], [])
            # A mouse press, on the live panel which takes no focus, takes the
            # frame away: the window looks to a mouse user as it always did.
            run("xdotool", "click", "1")
            name, rect = TAB_ORDER[program.focused]
            wait_for("the focus frame gone from " + name, lambda: marked(
                pixels(resting[name]),
                pixels(program.crop(program.shot(), rect))) < ring(rect, scale))
            # The thumb (125 of 255 sits mid-bar) against the groove between it
            # and the left arrow, on the bar's middle row.
            bar = pixels(resting["ScrollBar1"])
            row = bar[len(bar) // 2]
            self.assertGreaterEqual(contrast(row[64 * scale], row[30 * scale]), 3)
            program.close()
            self.programs.remove(program)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
