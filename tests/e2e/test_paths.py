#!/usr/bin/env python3
"""Packages in folders named in any script, and in folders deeper than the classic path limit,
through the real window and the console updater under Wine (pytest).

Both programs run as copies whose manifest no longer asks for the UTF-8 code page: Wine honours
that entry, and systems that ignore it (Windows 10 1809) must still work, so here the code page
is Western (1252) and only the wide calls can carry these paths.

Configured like test_dialog.py, plus KV_CLI_EXE (korvane-update.exe).
"""
import json
import os
import shutil
import subprocess
import tempfile
import time

import pytest

# h (the program afresh per test) is shared; it runs on this module's own harness.
from test_dialog import (h, BROWSE, CAPTION, FW_VERSION, IDOK, PATH, PKG_TARGET, PKG_VERSION, Failure,
                         Harness, Settings, equal)

# (name, folder and file below C:\pkg): each is one kind of user's Downloads folder.
LONG_FOLDERS = [f"Lieferung {n:02d} für die Fertigungslinie mit einem recht langen Ordnernamen" for n in range(5)]
PATHS = {
    "latin1": "Jürgen Müller\\Téléchargements\\paquet_élève.qfw",
    "cyrillic": "Загрузки\\прошивка.qfw",
    "cjk": "李明的文件\\固件.qfw",
    "greek_emoji": "Λήψεις 📦\\υλικολογισμικό.qfw",
    "long": "\\".join(LONG_FOLDERS) + "\\firmware.qfw",
}
FLASHED = ("cyrillic", "greek_emoji")
# Wine's open-file dialog keeps a typed name in buffers of the classic size and crashes on a longer
# one (in its COMDLG32_GetCanonicalPath); the long path reaches the window by a drop instead.
BROWSED = [kind for kind in PATHS if kind != "long"]


def without_utf8_code_page(exe, folder):
    """A copy of the program whose manifest entry for the UTF-8 code page is a comment of the same
    length, so the resource stays valid and only that entry is gone."""
    data = open(exe, "rb").read()
    start = data.find(b"<activeCodePage")
    end = data.find(b"</activeCodePage>", start)
    if start < 0 or end < 0:
        raise Failure(f"no code-page entry in the manifest of {exe}")
    end += len(b"</activeCodePage>")
    data = data[:start] + b"<!--" + b" " * (end - start - 7) + b"-->" + data[end:]
    copy = os.path.join(folder, os.path.basename(exe))
    with open(copy, "wb") as f:
        f.write(data)
    return copy


@pytest.fixture(scope="module")
def harness():
    settings = Settings()
    cli = os.environ.get("KV_CLI_EXE")
    if not cli:
        pytest.skip("set KV_CLI_EXE")
    copies = tempfile.mkdtemp(prefix="kv-paths-")
    settings.exe = without_utf8_code_page(settings.exe, copies)
    settings.cli = without_utf8_code_page(cli, copies)
    h = Harness(settings)
    # Wine decodes the Unix command line as the locale says.
    h.env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    try:
        h.start()
        yield h
    finally:
        h.stop()
        shutil.rmtree(copies, ignore_errors=True)


def package(h, relative):
    """The package at C:\\pkg\\RELATIVE; returns its Unix and Windows paths."""
    unix = os.path.join(h.pkg_dir, *relative.split("\\"))
    os.makedirs(os.path.dirname(unix), exist_ok=True)
    subprocess.run([os.path.join(h.tools, "qfwpack"), "--out", unix, "--body-size", "4096", "--fw", "2.21"],
                   check=True, stdout=subprocess.DEVNULL)
    return unix, "C:\\pkg\\" + relative


@pytest.mark.parametrize("kind", BROWSED)
def test_browse_takes_the_package_and_shows_its_path_as_chosen(h, kind):
    unix, windows = package(h, PATHS[kind])
    h.start_sim("--new-version", "2.21")
    h.start_updater()
    h.wait_text(FW_VERSION, "02.20.A", timeout=15000)
    h.press(BROWSE)
    h.ui("filedlg-open", 8000, windows)
    h.wait_text(PATH, windows)
    h.ui("nomsgbox")
    h.expect(PKG_VERSION, "2.21.A")
    h.expect(PKG_TARGET, "Korvane")
    h.expect_enabled(IDOK, True)
    if kind not in FLASHED:
        return
    h.press(IDOK)
    h.message_box("Success", "Update Successful. New version is 02.21.A", timeout=20000)
    equal(h.received_image(), h.body_of(unix), "image received byte-exact")


def test_a_dropped_package_in_a_deep_folder_is_taken_whole_and_sent(h):
    unix, windows = package(h, PATHS["long"])
    equal(len(windows) > 300, True, "more than 300 characters")
    h.start_sim("--new-version", "2.21")
    h.start_updater()
    h.wait_text(FW_VERSION, "02.20.A", timeout=15000)
    h.ui("drop", windows)
    h.wait_text(PATH, windows)
    h.ui("nomsgbox")
    h.expect(PKG_VERSION, "2.21.A")
    h.expect_enabled(IDOK, True)
    h.press(IDOK)
    h.message_box("Success", "Update Successful. New version is 02.21.A", timeout=20000)
    equal(h.received_image(), h.body_of(unix), "image received byte-exact")


def flash(h, windows_path):
    return subprocess.run(["wine", h.args.cli, "flash", windows_path], env=h.env, capture_output=True,
                          timeout=120)


@pytest.mark.parametrize("kind", list(PATHS))
def test_the_console_updater_flashes_the_package_named_on_its_command_line(h, kind):
    unix, windows = package(h, PATHS[kind])
    h.start_sim("--new-version", "2.21")
    result = flash(h, windows)
    out = result.stdout.decode("utf-8", "replace").replace("\r", "")
    err = result.stderr.decode("utf-8", "replace")
    equal((result.returncode, out), (0, "Update Successful. New version is 02.21.A\n"), f"outcome; {err}")
    equal(h.received_image(), h.body_of(unix), "image received byte-exact")


def test_a_missing_package_is_named_as_typed_in_the_message(h):
    _, windows = package(h, PATHS["cyrillic"])
    h.start_sim()
    result = flash(h, windows.replace("прошивка", "другая"))
    err = result.stderr.decode("utf-8", "replace")
    equal(result.returncode != 0, True, "a missing package fails")
    equal("другая.qfw" in err, True, f"the message names the file as typed: {err!r}")


def test_the_log_window_saves_under_a_folder_named_in_another_script(h):
    folder = os.path.join(h.pkg_dir, "Λήψεις 📦", "журнал")
    os.makedirs(folder, exist_ok=True)
    h.start_sim()
    h.start_updater()
    h.wait_text(FW_VERSION, "02.20.A", timeout=15000)
    h.ui("syscmd", 0x0100)
    h.ui("log-window", 5000)
    h.ui("log-click", 3002)  # Save As...
    h.ui("filedlg-open", 8000, "C:\\pkg\\Λήψεις 📦\\журнал\\протокол.txt")
    saved = os.path.join(folder, "протокол.txt")
    # The file appears when Save opens it and fills as the log is written out: read until it holds
    # the identification or the time is up.
    identification = b"QBSerial: Read\r\n0000: 02 14 41 "
    text = b""
    deadline = time.monotonic() + 5
    while identification not in text and time.monotonic() < deadline:
        time.sleep(0.05)
        if os.path.exists(saved):
            with open(saved, "rb") as f:
                text = f.read()
    equal(identification in text, True, "the saved log holds the identification")


def test_the_trace_and_the_record_go_to_files_in_folders_named_in_other_scripts(h):
    unix, windows = package(h, PATHS["cjk"])
    out = os.path.join(h.pkg_dir, "Загрузки", "журналы")
    os.makedirs(out, exist_ok=True)
    h.start_sim("--new-version", "2.21")
    result = subprocess.run(["wine", h.args.cli, "flash", windows, "--trace=C:\\pkg\\Загрузки\\журналы\\трасса.txt",
                             "--record", "C:\\pkg\\Загрузки\\журналы\\запись.jsonl"], env=h.env,
                            capture_output=True, timeout=120)
    equal(result.returncode, 0, result.stderr.decode("utf-8", "replace"))
    with open(os.path.join(out, "трасса.txt"), "rb") as f:
        equal(b"QBSerial: Write" in f.read(), True, "the trace holds the exchanges")
    with open(os.path.join(out, "запись.jsonl"), encoding="utf-8") as f:
        record = json.loads(f.readline())
    equal(record.get("package"), windows, f"the record names the package as typed: {record}")


def test_the_program_reads_its_own_version_from_a_folder_named_in_another_script(h):
    # Its version decides the caption and the packages' minimum-version check.
    folder = os.path.join(h.prefix, "drive_c", "Программы 📦")
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, os.path.basename(h.args.exe))
    shutil.copy(h.args.exe, copy)
    exe, h.args.exe = h.args.exe, copy
    try:
        h.start_updater()
        equal(h.ui("caption")["caption"], CAPTION, "caption with the build of the program's own version record")
    finally:
        h.args.exe = exe
