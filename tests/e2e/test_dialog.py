#!/usr/bin/env python3
"""End-to-end tests of the updater's real window under Wine (pytest).

Runs KorvaneUpdater.exe in a private Wine prefix on the X display given (DISPLAY) against the simulated
device (kvsim on a pseudo-terminal linked as COM3), and drives the dialog through uidriver.exe
from the same prefix and display. Every test starts the program afresh. Screenshots of the main
states go to the artifacts folder.

Configured by the environment: KV_UPDATER_EXE, KV_UIDRIVER, KV_TOOLS (bin folder with kvsim and
qfwpack), KV_E2E_ARTIFACTS, and optionally KV_WINE_ENV.
"""
import os
import json
import re
import shutil
import subprocess
import tempfile
import time

import pytest

SCRIPT_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(SCRIPT_DIR))

CAPTION = "Quenbyware Firmware Updater: Build 1.13.0101.00"
TEXT_NO_HW_ID = "Unable to retrieve hardware ID from attached hardware. Contact HW vendor."
TEXT_WRONG_HW = "Firmware package not intended for this hardware."
TEXT_CHECKSUM = "Firmware package checksum mismatch. Package is corrupt."
PACKAGE_CHANGED = "The firmware package has changed since it was checked. Select it again with Browse."
TEXT_SIGNATURE = ("The firmware package's signature does not match its contents. It may have been altered. "
                  "Download it again from the manufacturer.")
TEST_KEY = os.path.join(ROOT, "tests", "keys", "test-only-a.key.pem")
FLASH_FAILED = ("HW Message: Firmware failed during flash process.\n"
                "You will need to cold-reboot the hardware and try again.")
IDOK, IDCANCEL, DESCRIPTION, PKG_VERSION, PKG_TARGET = 1, 2, 1000, 1001, 1002
DETECT, PATH, BROWSE, FW_VERSION = 1004, 2745, 2746, 2747


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def equal(actual, expected, what):
    assert actual == expected, what


class Settings:
    """Where the programs are, from the environment that ctest sets."""

    def __init__(self):
        missing = [v for v in ("KV_UPDATER_EXE", "KV_UIDRIVER", "KV_TOOLS") if not os.environ.get(v)]
        if missing:
            pytest.skip("set " + ", ".join(missing))
        self.exe = os.environ["KV_UPDATER_EXE"]
        self.uidriver = os.environ["KV_UIDRIVER"]
        self.tools = os.environ["KV_TOOLS"]
        self.wine_env = os.environ.get("KV_WINE_ENV", os.path.join(ROOT, "tools", "wine", "wine-env.sh"))
        self.artifacts = os.environ.get("KV_E2E_ARTIFACTS", os.path.join(tempfile.gettempdir(), "kv-e2e-artifacts"))
        for tool in ("kvsim", "qfwpack"):
            if not os.access(os.path.join(self.tools, tool), os.X_OK):
                pytest.fail(f"missing {tool} in {self.tools}")


class Harness:
    def __init__(self, args):
        self.args = args
        self.tools = args.tools
        self.artifacts = args.artifacts
        os.makedirs(self.artifacts, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="kv-e2e-")
        self.prefix = os.path.join(self.work, "prefix")
        self.env = dict(os.environ)
        self.env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINEPREFIX=self.prefix)
        self.sim = None
        self.others = []
        self.updater = None
        self.driver = None
        self.checks = 0

    # --- environment ---

    def start(self):
        subprocess.run(["bash", "-c", '. "$1" && kv_wine_prefix_new "$2" >/dev/null', "_",
                        self.args.wine_env, self.prefix], check=True, env=self.env)
        # The display comes from outside (tools/wine/with-xvfb.sh, the tree's one Xvfb helper).
        if not self.env.get("DISPLAY"):
            pytest.skip("no X display: run under tools/wine/with-xvfb.sh")
        subprocess.run(["wineserver", "-p"], check=True, env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.clear_com_links()
        self.pkg_dir = os.path.join(self.prefix, "drive_c", "pkg")
        os.makedirs(self.pkg_dir, exist_ok=True)

    def reset(self):
        """Back to no program and no device, for the next test."""
        self.stop_others()
        self.stop_sim()
        if self.updater and self.updater.poll() is None:
            self.updater.kill()
            try:
                self.updater.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.updater = None
        self.clear_com_links()

    def clear_com_links(self):
        dosdevices = os.path.join(self.prefix, "dosdevices")
        for name in os.listdir(dosdevices):
            if name.startswith("com"):
                os.unlink(os.path.join(dosdevices, name))

    def stop(self):
        if self.driver:
            try:
                self.driver.stdin.write("quit\n")
                self.driver.stdin.flush()
                self.driver.wait(timeout=5)
            except Exception:
                self.driver.kill()
        self.stop_others()
        self.stop_sim()
        if self.updater and self.updater.poll() is None:
            self.updater.kill()
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.updater:
            try:
                self.updater.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.updater.kill()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- the simulated device ---

    def start_sim(self, *options, com=3):
        self.stop_sim()
        self.image_out = os.path.join(self.work, "received.bin")
        if os.path.exists(self.image_out):
            os.unlink(self.image_out)
        self.sim = self.launch_sim(com, "--image-out", self.image_out, *options)

    def start_other_sim(self, com, *options):
        """A second device, on its own port, until the next reset."""
        self.others.append(self.launch_sim(com, *options))

    def launch_sim(self, com, *options):
        link = os.path.join(self.prefix, "dosdevices", f"com{com}")
        sim = subprocess.Popen([os.path.join(self.tools, "kvsim"), "--link", link, *options],
                               stdout=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            line = sim.stdout.readline()
            if not line:
                break
            if line.strip() == "ready":
                return sim
        sim.kill()
        raise Failure("kvsim did not become ready")

    def stop_others(self):
        for other in self.others:
            other.terminate()
            try:
                other.wait(timeout=5)
            except subprocess.TimeoutExpired:
                other.kill()
        self.others = []

    def stop_sim(self):
        if self.sim:
            self.sim.terminate()
            try:
                self.sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.sim.kill()
            self.sim = None

    def received_image(self):
        try:
            with open(self.image_out, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    # --- packages ---

    def package(self, name, *options):
        path = os.path.join(self.pkg_dir, name)
        subprocess.run([os.path.join(self.tools, "qfwpack"), "--out", path, *options], check=True,
                       stdout=subprocess.DEVNULL)
        return path, "C:\\pkg\\" + name

    @staticmethod
    def body_of(path):
        with open(path, "rb") as f:
            return f.read()[256:]

    # --- the program and the driver ---

    def start_updater(self, trace=None):
        """trace: (Win32 functions, log file): the program's calls of them go to the file."""
        env, stderr = self.env, subprocess.DEVNULL
        if trace:
            functions, log = trace
            subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                            "/t", "REG_SZ", "/d", ";".join(functions), "/f"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            env = dict(self.env, WINEDEBUG="-all,+relay")
            stderr = open(log, "w")
        self.updater = subprocess.Popen(["wine", self.args.exe], env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        if trace:
            stderr.close()
        return self.ui("find", 15000)

    def ui(self, *words, expect_ok=True):
        if not self.driver:
            self.driver = subprocess.Popen(["wine", self.args.uidriver, "repl"], env=self.env, text=True,
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL)
        line = " ".join(str(w) for w in words)
        self.driver.stdin.write(line + "\n")
        self.driver.stdin.flush()
        answer = self.driver.stdout.readline()
        check(answer, f"uidriver ended at '{line}'")
        result = json.loads(answer)
        if expect_ok and not result.get("ok"):
            raise Failure(f"'{line}': {result.get('error')}")
        return result

    def text(self, control):
        return self.ui("text", control)["text"]

    def enabled(self, control):
        return self.ui("enabled", control)["value"]

    def press(self, control):
        """As a user would: only an enabled button can be pressed."""
        self.ui("click", control)

    def wait_text(self, control, text, timeout=8000):
        return self.ui("wait-text", control, timeout, text)

    def expect(self, control, text):
        self.checks += 1
        equal(self.text(control), text, f"control {control}")

    def expect_enabled(self, control, state):
        self.checks += 1
        equal(self.enabled(control), state, f"control {control} enabled")

    def message_box(self, caption, text, timeout=15000, press_ok=True):
        box = self.ui("msgbox", timeout)
        self.checks += 2
        equal(box["caption"], caption, "message box caption")
        equal(box["text"], text, "message box text")
        check(box["icon"], "message box shows an icon")
        if press_ok:
            self.ui("msgbox-ok", 2000)
        return box

    def browse(self, windows_path, shows=None):
        """Chooses a file; shows=(control, text): wait until the dialog has taken it in."""
        self.press(BROWSE)
        result = self.ui("filedlg-open", 8000, windows_path)
        # The open-file dialog is gone before the choice has been validated.
        if shows:
            self.wait_text(*shows)
        return result

    def shot(self, name):
        path = os.path.join(self.artifacts, name)
        subprocess.run(["import", "-window", "root", path], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def buttons_restored(self):
        self.expect(IDOK, "Update!")
        self.expect_enabled(IDOK, True)
        self.expect_enabled(IDCANCEL, True)


# Dialog 129 as it is on screen: (id or label text, class, text, rectangle in dialog units, style
# bits that must be set, style bits that must not be).
SS_CENTER, SS_NOPREFIX, SS_CENTERIMAGE, SS_SUNKEN = 0x1, 0x80, 0x200, 0x1000
ES_AUTOHSCROLL, ES_READONLY, WS_BORDER, WS_DISABLED = 0x80, 0x800, 0x800000, 0x8000000
BS_DEFPUSHBUTTON, BS_GROUPBOX, BS_CENTER, PBS_SMOOTH = 0x1, 0x7, 0x300, 0x1
TEMPLATE = [
    (1, "Button", "Update!", (83, 167, 50, 14), BS_DEFPUSHBUTTON | WS_DISABLED, 0),
    (2, "Button", "Cancel", (140, 167, 50, 14), 0, WS_DISABLED),
    (1004, "Button", "Detect", (224, 7, 47, 12), 0, 0),
    (2746, "Button", "Browse", (235, 81, 36, 12), 0, 0),
    (2745, "Edit", "", (48, 82, 181, 12), ES_AUTOHSCROLL | ES_READONLY | WS_BORDER, 0),
    (1000, "Static", None, (95, 7, 126, 10), SS_CENTER | SS_CENTERIMAGE | SS_SUNKEN | SS_NOPREFIX, 0),
    (2747, "Static", None, (95, 18, 126, 10), SS_CENTER | SS_SUNKEN | SS_NOPREFIX, 0),
    (1001, "Static", "Unknown", (138, 111, 126, 8), 0, 0),
    (1002, "Static", "Unknown", (138, 121, 124, 8), 0, SS_NOPREFIX),
    # The template gives the bar a border too; Wine's progress control draws its own frame and
    # drops the style bit when it is created, with or without the common-controls manifest entry.
    (2777, "msctls_progress32", "", (7, 154, 264, 9), PBS_SMOOTH, 0),
    ("Hardware Description:", "Static", None, (19, 7, 72, 8), 0, 0),
    ("Current Firmware Version:", "Static", None, (7, 18, 87, 8), 0, 0),
    ("Use this to update your Quenby Hardware firmware. Only use an image file provided by the manufacturer. ",
     "Static", None, (7, 34, 264, 18), 0, 0),
    ("WARNING: Attempting to update the firmware with an unapproved file may render the device unusable. "
     "Update at your own risk!", "Static", None, (7, 58, 264, 17), 0, 0),
    ("Image File:", "Static", None, (7, 84, 37, 8), 0, 0),
    ("Image Details", "Button", None, (7, 98, 264, 42), BS_GROUPBOX | BS_CENTER, 0),
    ("Update Version:", "Static", None, (82, 111, 52, 8), 0, 0),
    ("Target Hardware:", "Static", None, (76, 121, 58, 8), 0, 0),
    ("Firmware Update Progress...", "Static", None, (91, 145, 94, 8), 0, 0),
]
STRING_TABLE = {
    130: "Firmware package checksum mismatch. Package is corrupt.",
    131: "Firmware package not intended for this hardware.",
    132: "Firmware package requires newer updater utility.",
    133: "Firmware package is invalid (Generic Failure).",
    134: "File is not a Quenbyware firmware package.",
    135: "Unable to retrieve hardware ID from attached hardware. Contact HW vendor.",
    136: "Firmware package has been deprecated and cannot be used.",
}
WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0xC00000, 0x80000
DS_FIXEDSYS, DS_SETFONT, DS_MODALFRAME = 0x8, 0x40, 0x80
WS_EX_TOOLWINDOW, WS_EX_APPWINDOW, WS_EX_CLIENTEDGE = 0x80, 0x40000, 0x200
WS_EX_STATICEDGE = 0x20000


def test_resources_of_the_program(h):
    exe = "Z:" + os.path.abspath(h.args.exe).replace("/", "\\")
    for sid, text in STRING_TABLE.items():
        h.checks += 1
        equal(h.ui("resource-string", exe, sid)["text"], text, f"string {sid}")
    template = h.ui("resource-dialog", exe, 129)
    h.checks += 3
    equal(template["caption"], "Quenby Firmware Update Utility v1.7", "template caption")
    texts = {c["id"]: c["text"] for c in template["children"] if c["id"] != -1}
    equal((texts[1000], texts[2747]), ("Not Found!", "Not Found!"), "hardware fields before the first search")
    equal(len(template["children"]), len(TEMPLATE), "controls in the template")


def test_template_as_on_screen(h):
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found")
    window = h.ui("window")
    want = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS
    h.checks += 4
    equal(window["style"] & (want | DS_MODALFRAME), want, "dialog styles")
    equal(window["exstyle"] & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW), WS_EX_TOOLWINDOW | WS_EX_APPWINDOW,
          "dialog extended styles")
    size = h.ui("dlu", 0, 0, 278, 191)["rect"]
    equal(window["client"], size, "client area of 278 x 191 dialog units")
    left, top, right, bottom = window["rect"]
    dl, dt, dr, db = window["desktop"]
    centre = (dl + (dr - dl) // 2 - (right - left) // 2, dt + (db - dt) // 2 - (bottom - top) // 2)
    equal((left, top), centre, "centred on the desktop")

    children = h.ui("children")["children"]
    check(len(children) == len(TEMPLATE), f"{len(children)} controls, want {len(TEMPLATE)}")
    for key, cls, text, dlu, must, must_not in TEMPLATE:
        if isinstance(key, int):
            matches = [c for c in children if c["id"] == key]
        else:
            matches = [c for c in children if c["id"] == -1 and c["text"] == key]
        check(len(matches) == 1, f"control {key!r} present once")
        c = matches[0]
        h.checks += 4
        equal(c["class"], cls, f"class of {key!r}")
        if text is not None:
            equal(c["text"], text, f"text of {key!r}")
        equal(c["rect"], h.ui("dlu", *dlu)["rect"], f"rectangle of {key!r} ({dlu} dialog units)")
        style = c["style"]
        if c["exstyle"] & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE):
            style |= WS_BORDER  # edit and progress controls turn a border into an edge
        equal(style & must, must, f"styles of {key!r}")
        equal(c["style"] & must_not, 0, f"absent styles of {key!r}")


# --- fixtures: one Wine prefix, display and driver for the session; the program afresh per test ---

@pytest.fixture(scope="session")
def harness():
    h = Harness(Settings())
    try:
        h.start()
        yield h
    finally:
        h.stop()


@pytest.fixture
def h(harness, request):
    failed_before = request.session.testsfailed
    yield harness
    if request.session.testsfailed > failed_before:
        harness.shot(f"failed-{request.node.name}.png")
    harness.reset()


def device_ready(h, *sim_options, package=("good.qfw", "--body-size", "4096", "--fw", "2.21")):
    """The simulated device and the program, the device found; returns the package's paths."""
    h.start_sim(*sim_options)
    paths = h.package(*package)
    h.start_updater()
    h.wait_text(FW_VERSION, "02.20.A")
    return paths


def package_accepted(h, windows_path):
    h.browse(windows_path, shows=(PATH, windows_path))
    h.expect_enabled(IDOK, True)


# --- the dialog as it is laid out ---

def test_startup_without_device(h):
    found = h.start_updater()
    h.checks += 1
    equal(found["caption"], CAPTION, "caption")
    h.wait_text(FW_VERSION, "Not Found")
    h.expect(DESCRIPTION, "Not Found")
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PKG_TARGET, "Unknown")
    h.expect(PATH, "")
    h.expect(IDOK, "Update!")
    h.expect_enabled(IDOK, False)
    h.expect(IDCANCEL, "Cancel")
    h.expect_enabled(IDCANCEL, True)
    h.expect_enabled(DETECT, True)
    h.expect_enabled(BROWSE, True)
    h.shot("01-not-found.png")


def test_package_without_device_is_rejected(h):
    _, good = h.package("good.qfw", "--body-size", "4096", "--fw", "2.21")
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found")
    h.press(BROWSE)
    dialog = h.ui("filedlg", 8000)
    equal(dialog["caption"], "Select Firmware Image...", "file dialog title")
    equal(dialog["filters"], ["Quenby Firmware Image Files (*.qfw)", "All Files (*.*)"], "file types")
    h.ui("filedlg-open", 8000, good)
    h.message_box("Error!", TEXT_NO_HW_ID)
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PKG_TARGET, "Unknown")
    h.expect_enabled(IDOK, False)


def test_device_is_found_by_detect(h):
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found")
    h.start_sim("--new-version", "2.21")
    h.press(DETECT)
    h.wait_text(FW_VERSION, "02.20.A")
    h.expect(DESCRIPTION, "Korvane v2.20.A")
    h.shot("02-device-found.png")


def test_packages_rejected_and_accepted(h):
    _, good = device_ready(h)
    _, wrong = h.package("wrong.qfw", "--target", "F")
    _, corrupt = h.package("corrupt.qfw", "--bad-checksum")
    h.browse(wrong)
    h.shot("03-rejected.png")
    h.message_box("Error!", TEXT_WRONG_HW)
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PKG_TARGET, "Unknown")
    h.browse(corrupt)
    h.message_box("Error!", TEXT_CHECKSUM)

    h.browse(good, shows=(PATH, good))
    h.expect(PATH, good)
    h.expect(PKG_VERSION, "2.21.A")
    h.expect(PKG_TARGET, "Korvane")
    h.expect_enabled(IDOK, True)
    h.ui("nomsgbox")
    h.shot("04-accepted.png")
    # A later rejection keeps the accepted path and the button.
    h.browse(wrong)
    h.message_box("Error!", TEXT_WRONG_HW)
    h.expect(PATH, good)
    h.expect_enabled(IDOK, True)


def test_update_succeeds(h):
    unix_good, good = device_ready(h, "--new-version", "2.21")
    package_accepted(h, good)
    h.press(IDOK)
    box = h.ui("msgbox", 15000)
    # The outcome is on screen: the upload has not ended for the dialog yet.
    h.expect(IDOK, "Updating...")
    h.expect_enabled(IDOK, False)
    h.expect_enabled(IDCANCEL, False)
    progress = h.ui("progress")
    equal((progress["low"], progress["high"]), (0, 16), "progress range")
    equal(progress["pos"], 16, "progress position")
    h.shot("05-update-success-box.png")
    equal((box["caption"], box["text"]), ("Success", "Update Successful. New version is 02.21.A"), "success box")
    h.ui("msgbox-ok", 2000)
    h.buttons_restored()
    h.expect(FW_VERSION, "02.21.A")
    h.expect(DESCRIPTION, "Korvane v2.21.A")
    equal(h.received_image(), h.body_of(unix_good), "image received by the device")
    h.shot("06-after-update.png")


SERIALCOMM = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"


def serialcomm(h, name, port=None):
    """Lists a port under SERIALCOMM as a driver does (port None: takes the value away)."""
    args = ["add", SERIALCOMM, "/v", name, "/t", "REG_SZ", "/d", port, "/f"] if port else \
        ["delete", SERIALCOMM, "/v", name, "/f"]
    subprocess.run(["wine", "reg", *args], env=h.env, check=port is not None,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_nothing_found_says_why_and_a_device_plugged_in_later_is_found_on_notification(h):
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found", timeout=20000)
    balloon = h.ui("balloon", 5000)
    check(balloon["visible"], "a balloon says why nothing was found")
    equal(balloon["text"], "No serial port is present. Plug the device in, and check the cable (a charge-only "
                           "cable carries no data) and the device's driver.", "balloon text")
    h.shot("13-not-found-balloon.png")
    h.expect(DESCRIPTION, "Not Found")
    # Plugged in now; the driver says only that something changed.
    h.start_sim()
    h.ui("devicechange", 7)
    h.wait_text(FW_VERSION, "02.20.A", timeout=8000)
    h.expect(DESCRIPTION, "Korvane v2.20.A")
    check(not h.ui("balloon", 0)["visible"], "the balloon is gone once a device is found")


def test_a_device_whose_driver_only_lists_its_port_is_found(h):
    h.start_updater()
    h.wait_text(FW_VERSION, "Not Found", timeout=20000)
    h.start_sim()
    try:
        serialcomm(h, "\\Device\\KvSim0", "COM3")
        # The list is polled every 2 s, then the change settles for 1 s.
        h.wait_text(FW_VERSION, "02.20.A", timeout=8000)
    finally:
        serialcomm(h, "\\Device\\KvSim0")


def test_a_bluetooth_link_is_never_opened_and_the_log_says_why_nothing_was_found(h):
    frames = os.path.join(h.work, "bt-frames.log")
    h.start_sim("--frames-log", frames)
    try:
        serialcomm(h, "\\Device\\BthModem0", "COM3")
        h.start_updater()
        h.wait_text(FW_VERSION, "Not Found", timeout=20000)
        h.ui("syscmd", 0x0100)
        h.ui("log-window", 5000)
        text = h.ui("log-text")["text"]
    finally:
        serialcomm(h, "\\Device\\BthModem0")
    with open(os.path.join(h.artifacts, "14-bluetooth-log.txt"), "w", newline="") as f:
        f.write(text)
    lines = text.split("\r\n")
    check("QBKorvane: Skipping COM3: Bluetooth serial link" in lines, "the skip is logged")
    equal(lines.count("QBKorvane: Skipping COM3: Bluetooth serial link"), 1, "once per port and search")
    check("QBKorvane: No device found: no serial port is present" in lines, "the reason is logged")
    received = open(frames).read() if os.path.exists(frames) else ""
    equal(received, "", "frames that reached the device behind the Bluetooth link")


def test_a_device_it_cannot_update_on_com3_does_not_hide_a_korvane_on_com5(h):
    h.start_other_sim(3, "--letter", "T")  # a later command set
    h.start_sim("--new-version", "2.21", com=5)
    unix_good, good = h.package("good.qfw", "--body-size", "4096", "--fw", "2.21")
    h.start_updater()
    h.wait_text(FW_VERSION, "02.20.A", timeout=20000)
    h.expect(DESCRIPTION, "Korvane v2.20.A")
    check(not h.ui("balloon", 0)["visible"], "no balloon once a device is found")
    h.press(DETECT)
    h.wait_text(FW_VERSION, "02.20.A", timeout=20000)
    h.expect(DESCRIPTION, "Korvane v2.20.A")
    package_accepted(h, good)
    h.press(IDOK)
    box = h.ui("msgbox", 15000)
    equal((box["caption"], box["text"]), ("Success", "Update Successful. New version is 02.21.A"), "success box")
    h.ui("msgbox-ok", 2000)
    h.buttons_restored()
    h.expect(FW_VERSION, "02.21.A")
    equal(h.received_image(), h.body_of(unix_good), "image received by the Korvane on COM5")
    h.ui("syscmd", 0x0100)
    h.ui("log-window", 5000)
    text = h.ui("log-text")["text"]
    with open(os.path.join(h.artifacts, "15-past-an-unusable-device-log.txt"), "w", newline="") as f:
        f.write(text)
    lines = text.split("\r\n")
    skipped = [line for line in lines if line.startswith("QBKorvane: Skipping COM3: ")]
    check(skipped and skipped[0].endswith(" cannot be updated by this utility"), "the device on COM3 is passed over")
    # The first search passes COM3; the next ones start where the Korvane was (Detect, after the update).
    equal(len(skipped), 1, "skips of COM3")
    check(sum(line == "QBSerial: Successfully opened \\\\.\\COM5" for line in lines) >= 3,
          "COM5 opened at start, at Detect and after the update")


def test_a_package_replaced_after_browse_is_never_sent(h):
    frames = os.path.join(h.work, "frames.log")
    unix_good, good = device_ready(h, "--new-version", "2.21", "--frames-log", frames)
    package_accepted(h, good)
    # Another package under the same name, made for other hardware.
    h.package("good.qfw", "--body-size", "4096", "--fw", "2.21", "--target", "Q", "--seed", "9")
    h.press(IDOK)
    box = h.message_box("Error!", PACKAGE_CHANGED, press_ok=False)
    h.shot("11-package-changed-box.png")
    h.ui("msgbox-ok", 2000)
    h.expect(PATH, "")
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PKG_TARGET, "Unknown")
    h.expect(IDOK, "Update!")
    h.expect_enabled(IDOK, False)
    h.expect_enabled(IDCANCEL, True)
    with open(frames) as f:
        sent = [line for line in f if line.split(":", 1)[1].split()[:1] == ["66"]]
    equal(sent, [], "upload commands that reached the device")
    equal(h.received_image(), b"", "image received by the device")
    check(box["icon"], "the box shows its icon")


def frames_heard(path):
    with open(path) as f:
        return [line.strip() for line in f]


def test_an_altered_signed_package_is_refused_before_the_device_is_asked(h):
    frames = os.path.join(h.work, "frames.log")
    unix_good, good = device_ready(h, "--frames-log", frames)
    unix_altered, altered = h.package("altered.qfw", "--body-size", "4096", "--fw", "2.21")
    subprocess.run([os.path.join(h.tools, "qfwpack"), "sign", unix_altered, "--key", TEST_KEY], check=True,
                   stdout=subprocess.DEVNULL)
    with open(unix_altered, "r+b") as f:
        f.seek(4)  # the oldest updater allowed: outside the file sum, so only the signature can tell
        f.write(b"\x00")
    identified = frames_heard(frames)
    check(identified, "the device was identified")

    h.browse(altered)
    box = h.message_box("Error!", TEXT_SIGNATURE, press_ok=False)
    h.shot("14-signature-refused-box.png")
    h.ui("msgbox-ok", 2000)
    check(box["icon"], "the box shows its icon")
    equal(frames_heard(frames), identified, "frames the device received after the identification")
    shutil.copy(frames, os.path.join(h.artifacts, "14-signature-refused-frames.log"))
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PKG_TARGET, "Unknown")
    h.expect_enabled(IDOK, False)

    # A package accepted before stays chosen.
    package_accepted(h, good)
    h.browse(altered)
    h.message_box("Error!", TEXT_SIGNATURE)
    h.expect(PATH, good)
    h.expect(PKG_VERSION, "Unknown")
    h.expect_enabled(IDOK, True)


def test_a_device_that_keeps_its_version_is_a_warning(h):
    _, good = device_ready(h)  # reports 2.20 before and after the upload
    package_accepted(h, good)
    h.press(IDOK)
    h.message_box("Success", "Update Successful. New version is 02.20.A\n\nThe device reports 02.20.A, but the "
                  "package holds 2.21.A. If the device does not work as expected, update it again.",
                  press_ok=False)
    h.shot("12-version-mismatch-box.png")
    h.ui("msgbox-ok", 2000)
    h.buttons_restored()
    h.expect(FW_VERSION, "02.20.A")


@pytest.mark.parametrize("status,caption,text", [
    ("W", "Flash failed", FLASH_FAILED),
    ("H", "Error!", "HW Message: Update Failed with error: 0xFFFFFFEA (KV_E_INVALID_HARDWARE_ID)"),
])
def test_failing_final_status(h, status, caption, text):
    _, good = device_ready(h, "--final-status", status)
    package_accepted(h, good)
    h.press(IDOK)
    if status == "W":
        h.ui("msgbox", 15000)
        h.shot("07-flash-failed.png")
    h.message_box(caption, text)
    h.buttons_restored()
    h.expect(FW_VERSION, "02.20.A")


def test_upload_is_left_alone(h):
    # Paced at the line speed with a pause before the final status: some 4.5 s to act in.
    unix_big, big = device_ready(h, "--pacing", "--final-status-delay", "1500", "--new-version", "2.21",
                                 package=("big.qfw", "--body-size", "32768", "--seed", "7"))
    _, second = h.package("second.qfw", "--fw", "2.30")
    _, good = h.package("good.qfw", "--fw", "2.21")
    package_accepted(h, big)
    h.press(IDOK)
    h.ui("wait-progress", 1, 8000)

    # Detect: no search, the fields stay truthful.
    h.press(DETECT)
    time.sleep(0.3)
    h.expect(FW_VERSION, "02.20.A")
    h.expect(DESCRIPTION, "Korvane v2.20.A")
    # Browse accepts good packages by the device's last EEPROM information, the one being sent too.
    h.browse(second, shows=(PATH, second))
    h.ui("nomsgbox")
    h.browse(big, shows=(PATH, big))
    h.ui("nomsgbox")
    h.expect(PKG_VERSION, "2.21.A")
    h.browse(second, shows=(PATH, second))
    h.ui("nomsgbox")
    h.expect(PATH, second)
    h.expect(PKG_VERSION, "2.30.A")
    h.expect_enabled(IDOK, False)
    # No way of closing works.
    for verb in ("close", "syscmd-close", "escape", "altf4"):
        h.ui(verb)
        time.sleep(0.3)
        h.ui("find", 0)
        h.ui("nomsgbox")
    result = h.ui("click", IDCANCEL, expect_ok=False)
    equal(result.get("error"), "disabled", "Cancel during the upload")
    h.shot("08-during-upload.png")
    # All of it happened while the upload ran.
    h.expect(IDOK, "Updating...")

    # Judged against the package sent (2.21), not the one chosen during the upload (2.30).
    h.message_box("Success", "Update Successful. New version is 02.21.A", timeout=20000)
    equal(h.received_image(), h.body_of(unix_big), "image received during Detect/Browse/close attempts")
    h.buttons_restored()
    h.expect(FW_VERSION, "02.21.A")


def closed_and_ended(h, how):
    h.ui("gone", 5000)
    try:
        code = h.updater.wait(timeout=10)
    except subprocess.TimeoutExpired:
        raise Failure(f"the program did not end after {how}")
    equal(code, 0, f"exit status after {how}")


@pytest.mark.parametrize("how", ["escape", "altf4", "close", "cancel"])
def test_closing_works_when_idle(h, how):
    # The same requests that an upload refuses close an idle dialog, so the refusals above count.
    device_ready(h)
    if how == "cancel":
        h.press(IDCANCEL)
    else:
        h.ui(how)
    closed_and_ended(h, how)


# --- around an upload: the session's end, a dropped package, the diagnostic log ---

def traced_calls(log, names):
    """The traced calls of those functions, in order, as "Name(arguments)"."""
    calls = []
    with open(log, errors="replace") as f:
        for line in f:
            for name in names:
                marker = "call " + name.lower() + "("
                at = line.lower().find(marker)
                if at >= 0:
                    arguments = line[at + len(marker):].split(") ret=", 1)[0]
                    calls.append(name.split(".", 1)[1] + "(" + arguments + ")")
    return calls


TRACED = ["kernel32.SetThreadExecutionState", "user32.ShutdownBlockReasonCreate",
          "user32.ShutdownBlockReasonDestroy"]


def test_session_end_is_refused_only_while_an_upload_runs(h):
    h.start_sim("--pacing", "--final-status-delay", "500", "--new-version", "2.21")
    unix_big, big = h.package("big.qfw", "--body-size", "16384", "--seed", "3")
    trace = os.path.join(h.work, "relay.log")
    h.start_updater(trace=(TRACED, trace))
    h.wait_text(FW_VERSION, "02.20.A", timeout=20000)
    equal(h.ui("query-end-session")["result"], 1, "WM_QUERYENDSESSION when idle")
    package_accepted(h, big)
    h.press(IDOK)
    h.ui("wait-progress", 1, 8000)
    equal(h.ui("query-end-session")["result"], 0, "WM_QUERYENDSESSION during the upload")
    box = h.ui("msgbox", 20000)
    equal(h.ui("query-end-session")["result"], 0, "WM_QUERYENDSESSION while the outcome is shown")
    equal(box["caption"], "Success", "outcome")
    h.ui("msgbox-ok", 2000)
    equal(h.received_image(), h.body_of(unix_big), "image received byte for byte")
    h.ui("find", 0)  # still open: the refusals ended nothing
    equal(h.ui("query-end-session")["result"], 1, "WM_QUERYENDSESSION after the upload")
    # The calls the program made to the system around the upload: awake and a block reason from
    # Update! on, both given back after the outcome.
    calls = [c.split("(")[0] + ("(" + c.split("(")[1] if "ExecutionState" in c else "") for c in
             traced_calls(trace, TRACED)]
    with open(os.path.join(h.artifacts, "10-relay-calls.txt"), "w") as f:
        f.write("\n".join(traced_calls(trace, TRACED)) + "\n")
    equal(calls, ["SetThreadExecutionState(80000001)", "ShutdownBlockReasonCreate",
                  "ShutdownBlockReasonDestroy", "SetThreadExecutionState(80000000)"], "system calls around the upload")


def test_a_dropped_package_is_taken_as_browse_would_take_it(h):
    _, good = device_ready(h)
    _, wrong = h.package("wrong.qfw", "--target", "F")
    h.ui("drop", good)
    h.wait_text(PATH, good)
    h.expect(PKG_VERSION, "2.21.A")
    h.expect(PKG_TARGET, "Korvane")
    h.expect_enabled(IDOK, True)
    h.ui("nomsgbox")
    h.ui("drop", wrong)
    h.message_box("Error!", TEXT_WRONG_HW)
    h.expect(PKG_VERSION, "Unknown")
    h.expect(PATH, good)


WS_THICKFRAME, ES_MULTILINE = 0x40000, 0x4


def test_log_window_shows_the_session_after_a_search_and_an_upload(h):
    h.start_sim("--new-version", "2.21")
    _, good = h.package("good.qfw", "--body-size", "4096", "--fw", "2.21")
    # The window procedure's default handling, traced: its teardown must reach its own window.
    trace = os.path.join(h.work, "relay.log")
    h.start_updater(trace=(["user32.DefWindowProcA"], trace))
    h.wait_text(FW_VERSION, "02.20.A", timeout=20000)
    package_accepted(h, good)
    h.press(IDOK)
    h.message_box("Success", "Update Successful. New version is 02.21.A")

    h.ui("syscmd", 0x0100)
    window = h.ui("log-window", 5000)
    equal(window["caption"], "Diagnostic Log", "log window title")
    check(window["owned_by_dialog"], "the log window is owned by the dialog")
    check(window["style"] & WS_THICKFRAME, "the log window can be resized")
    equal(window["edit_class"], "Edit", "log text control")
    equal(window["edit_style"] & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY, "read-only, multi-line")
    equal(window["buttons"], ["Save As...", "Close"], "log window buttons")
    text = h.ui("log-text")["text"]
    with open(os.path.join(h.artifacts, "09-log-window.txt"), "w", newline="") as f:
        f.write(text)
    h.shot("09-log-window.png")
    # The identification's exchanges as dumps: the version request and its answer, the EEPROM read.
    for part in ("QBSerial: Write\r\n0000: 56 ", "QBSerial: Read\r\n0000: 02 14 41 ",
                 "QBSerial: Write\r\n0000: 48 52 07 00 01 A2 ", "QBSerial: Read\r\n0000: 41 00 00 55 ",
                 "FirmwareUpdateProc completed with result: 0"):
        check(part in text, f"log holds {part!r}")
    check(not text.startswith("\r\n") and not text.endswith("\r\n"), "CR LF only between lines")

    # Close hides it; the command shows it again, with what came meanwhile.
    h.ui("log-click", 3003)
    deadline = time.monotonic() + 5
    while h.ui("log-window", 0)["visible"] and time.monotonic() < deadline:
        time.sleep(0.05)
    equal(h.ui("log-window", 0)["visible"], False, "hidden by Close")
    h.press(DETECT)
    h.wait_text(FW_VERSION, "02.21.A")
    h.ui("syscmd", 0x0100)
    h.ui("log-window", 5000)
    h.ui("sleep", 500)  # the window follows the log on a timer
    later = h.ui("log-text")["text"]
    check(later.startswith(text) and len(later) > len(text), "shown again, with the new search")
    # Closing the dialog closes its log window with it, and the program ends.
    h.press(IDCANCEL)
    closed_and_ended(h, "Cancel with the log window open")
    with open(trace, errors="replace") as f:
        calls = [line for line in f if "Call user32.DefWindowProcA(" in line]
    check(calls, "the log window's default handling was traced")
    null_window = [c for c in calls if re.search(r"DefWindowProcA\(0+,", c)]
    equal(null_window, [], "default handling sent to no window")
