#!/usr/bin/env python3
"""The window at 100, 150 and 200 % under Wine (pytest): the dialog, its balloon and the log window
are laid out for the scale, every label's text fits its control, and a screenshot of each goes to
the artifacts folder (dpi-<DPI>-*.png) to be looked at.

Wine takes the scale from HKCU\\Control Panel\\Desktop LogPixels when a program starts.

Configured like test_dialog.py.
"""
import json
import os
import subprocess

import pytest

# h (the program afresh per test) is shared; it runs on this module's own harness.
from test_dialog import (h, BROWSE, DESCRIPTION, FW_VERSION, PATH, PKG_VERSION, Harness, Settings, check,
                         equal)

SCALES = [96, 120, 144, 192]
LOG_MENU_COMMAND = 0x0100
# The log window's sizes at 100 %, as its layout gives them.
LOG_BUTTON = (88, 24)
LOG_SIZE = (720, 480)


@pytest.fixture(scope="module")
def harness():
    h = Harness(Settings())
    try:
        h.start()
        yield h
    finally:
        h.stop()


def set_scale(h, dpi):
    subprocess.run(["wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], env=h.env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def near(actual, expected, what, slack=0.06):
    check(abs(actual - expected) <= max(2, expected * slack), f"{what}: {actual}, want about {expected}")


def size(rect):
    return rect[2] - rect[0], rect[3] - rect[1]


measured = {}


def all_text_fits(h, what):
    unfit = [c for c in h.ui("text-fits")["controls"] if not c["fits"]]
    equal(unfit, [], f"texts that do not fit their controls ({what})")


@pytest.mark.parametrize("dpi", SCALES)
def test_the_dialog_the_balloon_and_the_log_window_at_each_scale(h, dpi):
    set_scale(h, dpi)
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found", timeout=20000)
    window = h.ui("window")
    width, height = size(window["client"])
    measured[dpi] = (width, height)
    if 96 in measured and dpi != 96:
        # The template's dialog units follow the font, which follows the scale.
        near(width, measured[96][0] * dpi / 96, "client width", slack=0.1)
        near(height, measured[96][1] * dpi / 96, "client height", slack=0.1)
    all_text_fits(h, "no device")

    # The balloon points at the middle of the description's lower edge and stays on the screen.
    balloon = h.ui("balloon", 5000)
    check(balloon["visible"], "the balloon says why nothing was found")
    field = next(c for c in h.ui("children")["children"] if c["id"] == DESCRIPTION)
    ox, oy = window["client_origin"]
    tip_x, tip_y = ox + (field["rect"][0] + field["rect"][2]) // 2, oy + field["rect"][3]
    left, top, right, bottom = balloon["rect"]
    check(left <= tip_x <= right, f"balloon {balloon['rect']} spans x={tip_x}")
    check(tip_y - 2 <= top <= tip_y + 4 * dpi // 96, f"balloon top {top} at the field's lower edge {tip_y}")
    dl, dt, dr, db = window["desktop"]
    check(dl <= left and right <= dr and dt <= top and bottom <= db, "balloon on the screen")
    h.shot(f"dpi-{dpi}-dialog-not-found.png")
    geometry = {"dialog": window["rect"], "description": [ox + field["rect"][0], oy + field["rect"][1],
                                                          ox + field["rect"][2], oy + field["rect"][3]],
                "balloon": balloon["rect"]}

    # A device and a package: every field filled.
    h.start_sim()
    h.ui("devicechange", 7)
    h.wait_text(FW_VERSION, "02.20.A", timeout=8000)
    _, good = h.package("good.qfw", "--body-size", "4096", "--fw", "2.21")
    h.press(BROWSE)
    h.ui("filedlg-open", 8000, good)
    h.wait_text(PATH, good)
    h.expect(PKG_VERSION, "2.21.A")
    all_text_fits(h, "device and package")
    h.shot(f"dpi-{dpi}-dialog.png")

    h.ui("syscmd", LOG_MENU_COMMAND)
    log = h.ui("log-window", 5000)
    # At its size for the scale, but no larger than the screen.
    screen = size(window["desktop"])
    near(size(log["rect"])[0], min(LOG_SIZE[0] * dpi / 96, screen[0]), "log window width")
    near(size(log["rect"])[1], min(LOG_SIZE[1] * dpi / 96, screen[1]), "log window height")
    check(log["rect"][2] <= screen[0] and log["rect"][3] <= screen[1], f"log window {log['rect']} on the screen")
    text, save, close = log["controls"]
    cw, ch = size(log["client"])
    for rect, name in ((save, "Save As..."), (close, "Close")):
        near(size(rect)[0], LOG_BUTTON[0] * dpi / 96, f"{name} width")
        near(size(rect)[1], LOG_BUTTON[1] * dpi / 96, f"{name} height")
        check(0 <= rect[0] and rect[2] <= cw and rect[3] <= ch, f"{name} {rect} inside the client {cw}x{ch}")
        check(rect[1] >= text[3], f"{name} below the text")
    check(save[2] <= close[0], "Save As... left of Close")
    h.shot(f"dpi-{dpi}-log-window.png")
    # Without a window manager Wine draws the balloon behind the dialog: its place is in this file.
    geometry.update(log_window=log["rect"], log_controls=log["controls"])
    with open(os.path.join(h.artifacts, f"dpi-{dpi}-geometry.json"), "w") as f:
        json.dump(geometry, f)


def test_moved_to_a_monitor_of_another_scale_the_log_window_and_the_balloon_follow(h):
    set_scale(h, 96)
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found", timeout=20000)
    before = h.ui("balloon", 5000)
    check(before["visible"], "the balloon says why nothing was found")

    # The balloon is made afresh at the new scale: still there, wider for the larger font's
    # width limit, still pointing at the description.
    h.ui("dpichanged", 192)
    h.ui("sleep", 300)
    after = h.ui("balloon", 5000)
    check(after["visible"], "the balloon is shown again after the change of scale")
    equal(after["text"], before["text"], "the balloon's text")
    check(after["rect"][1] == before["rect"][1], f"balloon {after['rect']} at the same field as {before['rect']}")
    check(size(after["rect"])[1] > size(before["rect"])[1], f"balloon {after['rect']} drawn at the new scale")

    h.ui("syscmd", LOG_MENU_COMMAND)
    log = h.ui("log-window", 5000)
    # 125 %: the window's new size still fits the test's screen.
    answer = h.ui("log-dpichanged", 120)
    h.ui("sleep", 300)
    moved = h.ui("log-window", 5000)
    equal(moved["rect"], answer["suggested"], "the log window takes the size the system suggests")
    text, save, close = moved["controls"]
    for rect, name in ((save, "Save As..."), (close, "Close")):
        near(size(rect)[0], LOG_BUTTON[0] * 120 / 96, f"{name} width at 125 %")
        near(size(rect)[1], LOG_BUTTON[1] * 120 / 96, f"{name} height at 125 %")
    check(text[3] <= save[1] and close[2] <= size(moved["client"])[0], "the layout is kept")
    check(size(log["rect"])[0] < size(moved["rect"])[0], "larger than before")
    h.shot("dpi-96-to-120-log-window.png")
