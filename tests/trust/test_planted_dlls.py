#!/usr/bin/env python3
"""No DLL from the program's folder (pytest, under Wine).

Both Windows programs are started from a "Downloads" folder that also holds stand-ins named like
system DLLs (tools/standin: each appends the loading program's path to "<name>.loaded" and does
nothing else), the folder being the current one too. The dialog is driven through what loads DLLs: a
search against the simulated device, the open-file dialog, an upload and the log window; the console
program through detect. No stand-in may be loaded.

No native-first DLL overrides (WINEDLLOVERRIDES="x=n,b"): with those Wine takes a DLL from the
program's folder whatever the program asks for, which no program can prevent.

Configured by the environment: KV_UPDATER_EXE, KV_CLI_EXE, KV_STANDIN, KV_UIDRIVER, KV_TOOLS (bin folder
with kvsim and qfwpack), KV_E2E_ARTIFACTS, and optionally KV_WINE_ENV.
"""
import glob
import os
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_dialog import FW_VERSION, IDCANCEL, IDOK, PATH, PKG_VERSION, Harness, Settings  # noqa: E402

# Names a Windows program or the system DLLs it uses may look for: what the programs use beyond the
# load-time five, what those load in turn, common victims of planted-DLL attacks, and the MinGW
# runtime DLLs (the programs link their runtime statically).
STANDINS = [
    "version.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll", "shcore.dll", "shlwapi.dll", "ole32.dll",
    "oleaut32.dll", "combase.dll", "propsys.dll", "uxtheme.dll", "dwmapi.dll", "imm32.dll", "msimg32.dll",
    "winspool.drv", "profapi.dll", "userenv.dll", "cryptbase.dll", "cryptsp.dll", "bcrypt.dll",
    "bcryptprimitives.dll", "ncrypt.dll", "crypt32.dll", "wintrust.dll", "secur32.dll", "sspicli.dll",
    "winmm.dll", "setupapi.dll", "cfgmgr32.dll", "devobj.dll", "hid.dll", "powrprof.dll", "wtsapi32.dll",
    "iphlpapi.dll", "dbghelp.dll",
    "riched20.dll", "msftedit.dll", "windowscodecs.dll", "urlmon.dll", "mpr.dll", "netapi32.dll",
    "explorerframe.dll", "libgcc_s_seh-1.dll", "libstdc++-6.dll", "libwinpthread-1.dll", "libssp-0.dll",
]
MENU_LOG_WINDOW = 0x0100
LOG_CLOSE = 3003


class PlantedSettings(Settings):
    def __init__(self):
        super().__init__()
        missing = [v for v in ("KV_CLI_EXE", "KV_STANDIN") if not os.environ.get(v)]
        if missing:
            pytest.skip("set " + ", ".join(missing))
        self.cli = os.environ["KV_CLI_EXE"]
        self.standin = os.environ["KV_STANDIN"]


class Downloads(Harness):
    """The e2e harness, with the programs run from a folder of planted DLLs."""

    def plant(self):
        self.downloads = os.path.join(self.prefix, "drive_c", "Downloads")
        os.makedirs(self.downloads)
        for name in STANDINS:
            shutil.copy(self.args.standin, os.path.join(self.downloads, name))
        for program in (self.args.exe, self.args.cli):
            shutil.copy(program, self.downloads)
        self.gui = os.path.join(self.downloads, os.path.basename(self.args.exe))
        self.console = os.path.join(self.downloads, os.path.basename(self.args.cli))

    def markers(self):
        """{stand-in name: the programs that loaded it}"""
        found = {}
        for marker in glob.glob(os.path.join(self.downloads, "*.loaded")):
            with open(marker, errors="replace") as f:
                programs = sorted({line.strip().rsplit("\\", 1)[-1] for line in f if line.strip()})
            found[os.path.basename(marker)[:-len(".loaded")]] = programs
        return found

    def start_updater(self, trace=None):
        # As from Explorer: the program's folder is the current one.
        self.updater = subprocess.Popen(["wine", self.gui], cwd=self.downloads, env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.ui("find", 15000)

    def run_console(self, *args):
        return subprocess.run(["wine", self.console, *args], cwd=self.downloads, env=self.env, text=True,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


@pytest.fixture(scope="module")
def h():
    h = Downloads(PlantedSettings())
    try:
        h.start()
        h.plant()
        yield h
    finally:
        h.stop()


def test_a_loaded_standin_leaves_its_marker(h):
    # Without this, stand-ins that never write would let every other test pass.
    probe = os.path.join(h.downloads, "standin-probe.dll")
    shutil.copy(h.args.standin, probe)
    try:
        subprocess.run(["wine", "rundll32.exe", "C:\\Downloads\\standin-probe.dll,StandinProbe"], env=h.env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        assert h.markers().pop("standin-probe.dll", None) == ["rundll32.exe"]
    finally:
        for path in (probe, probe + ".loaded"):
            if os.path.exists(path):
                os.unlink(path)


def without_standins(h, steps):
    """Runs the steps, then fails naming every stand-in loaded, before any other failure of the steps."""
    for marker in glob.glob(os.path.join(h.downloads, "*.loaded")):
        os.unlink(marker)
    failure = None
    try:
        steps()
    except Exception as e:  # reported after the stand-ins: a loaded one may be why a step failed
        failure = e
    finally:
        loaded = h.markers()
        h.reset()
    assert loaded == {}, f"stand-ins loaded from the program's folder: {loaded}"
    if failure:
        raise failure


def sign(h, path):
    """Signed with the test key, so that the signature check loads its DLL (bcrypt) too."""
    key = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys", "test-only-a.key.pem")
    subprocess.run([os.path.join(h.tools, "qfwpack"), "sign", path, "--key", key], check=True,
                   stdout=subprocess.DEVNULL)


def test_the_dialog_loads_no_dll_from_its_folder(h):
    unix_good, good = h.package("good.qfw", "--body-size", "4096", "--fw", "2.21")
    sign(h, unix_good)

    def steps():
        h.start_sim("--new-version", "2.21")
        h.start_updater()
        h.wait_text(FW_VERSION, "02.20.A", timeout=15000)  # the search
        h.browse(good, shows=(PATH, good))  # the open-file dialog, the signature check
        h.expect(PKG_VERSION, "2.21.A")
        h.press(IDOK)  # the upload
        h.message_box("Success", "Update Successful. New version is 02.21.A")
        assert h.received_image() == h.body_of(unix_good)
        h.ui("syscmd", MENU_LOG_WINDOW)  # the log window
        assert h.ui("log-window", 5000)["caption"] == "Diagnostic Log"
        h.ui("log-click", LOG_CLOSE)
        h.press(IDCANCEL)
        h.ui("gone", 5000)
        assert h.updater.wait(timeout=10) == 0

    without_standins(h, steps)


def test_the_console_program_loads_no_dll_from_its_folder(h):
    def steps():
        h.start_sim()
        result = h.run_console("detect")
        assert (result.returncode, result.stdout.replace("\r\n", "\n")) == (
            0, "Port: COM3\nCurrent Firmware Version: 02.20.A\nHardware Description: Korvane v2.20.A\n"), \
            result.stderr

    without_standins(h, steps)
