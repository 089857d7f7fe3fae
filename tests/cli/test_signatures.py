"""korvane-update and signed packages (pytest): a .sig that does not vouch for the package refuses it
before any device is looked for; a valid one is accepted and recorded; an unsigned package is noted,
and refused with --require-signature.

Run with pytest; KV_CLI names the binary, KV_TOOLS the folder holding kvsim and qfwpack, KV_SOURCE_DIR
the tree (for the test keys).
"""
import json
import os
import shutil
import subprocess

import pytest

from cli_programs import KVSIM, QFWPACK, body_of, needs_programs, package, run

pytestmark = needs_programs

KEYS = os.path.join(os.environ.get("KV_SOURCE_DIR", ""), "tests", "keys")
MISMATCH = ("The firmware package's signature does not match its contents. It may have been altered. "
            "Download it again from the manufacturer.")
NOT_SIGNED = "The firmware package is not signed, and only signed packages are accepted."
ACCEPTED = "Update Version: 2.21.A\nTarget Hardware: Korvane\n"


@pytest.fixture
def dev(tmp_path):
    link = str(tmp_path / "dev")
    frames = link + ".frames"
    proc = subprocess.Popen([KVSIM, "--link", link, "--image-out", link + ".image", "--frames-log", frames,
                             "--new-version", "2.21"], stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()
    assert proc.stdout.readline().strip() == "ready"
    proc.link, proc.image, proc.frames_log = link, link + ".image", frames
    proc.frames = lambda: open(frames).read().splitlines() if os.path.exists(frames) else []
    yield proc
    proc.terminate()
    proc.wait(timeout=5)


def sign(path, key="test-only-a", *extra):
    subprocess.run([QFWPACK, "sign", path, "--key", os.path.join(KEYS, key + ".key.pem"), *extra], check=True,
                   capture_output=True)


def altered(tmp_path):
    """Signed, then one body byte up and the next down: its own sums still fit."""
    path = package(tmp_path, name="altered.qfw")
    sign(path)
    with open(path, "r+b") as f:
        f.seek(300)
        a, b = f.read(2)
        f.seek(300)
        f.write(bytes([(a + 1) % 256, (b - 1) % 256]))
    return path


def test_a_valid_signature_is_checked_flashed_and_recorded(dev, tmp_path):
    pkg = package(tmp_path)
    sign(pkg)
    for extra in ((), ("--require-signature",)):
        r = run("check", pkg, "--port", dev.link, *extra)
        assert (r.returncode, r.stdout, r.stderr) == (0, ACCEPTED, "")
    record = str(tmp_path / "record.jsonl")
    r = run("flash", pkg, "--port", dev.link, "--record", record, "--require-signature")
    assert r.returncode == 0, r.stderr
    line = json.loads(open(record).read())
    assert (line["signature"], line["signature_key"]) == ("valid", "test-only-a")
    with open(dev.image, "rb") as f:
        assert f.read() == body_of(pkg)


# Every kind of bad .sig is told apart below the command line (tests/update, tests/package); here one
# of each way it can come about: a changed package, a foreign signature, a .sig that cannot be read.
@pytest.mark.parametrize("spoil", ["altered", "other package", "folder"])
def test_a_bad_signature_is_refused_before_any_device_is_looked_for(dev, tmp_path, spoil):
    pkg = package(tmp_path)
    sig = pkg + ".sig"
    if spoil == "altered":
        pkg = altered(tmp_path)
    elif spoil == "other package":
        other = package(tmp_path, "--seed", "2", name="other.qfw")
        sign(other)
        shutil.move(other + ".sig", sig)
    else:
        os.mkdir(sig)
    r = run("check", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (3, MISMATCH + "\n"), r.stderr
    r = run("flash", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (3, ""), r.stderr
    assert r.stderr.startswith(MISMATCH + "\n")
    r = run("check", pkg, "--json")
    answer = json.loads(r.stdout)
    assert (r.returncode, answer["message_id"], answer["message"], answer["signature"]) == (3, 137, MISMATCH,
                                                                                         "invalid")
    assert dev.frames() == [], "the device was asked something"


def test_unsigned_is_noted_and_refused_when_signatures_are_required(dev, tmp_path):
    pkg = package(tmp_path)
    r = run("check", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (0, ACCEPTED)
    assert r.stderr == f"korvane-update: note: {pkg} is not signed (no {pkg}.sig); accepted as unsigned packages are\n"
    record = str(tmp_path / "record.jsonl")
    r = run("flash", pkg, "--port", dev.link, "--record", record)
    assert r.returncode == 0, r.stderr
    line = json.loads(open(record).read())
    assert (line["signature"], line["signature_key"]) == ("none", None)

    os.unlink(dev.frames_log)
    r = run("check", pkg, "--port", dev.link, "--require-signature")
    assert (r.returncode, r.stdout, r.stderr) == (3, NOT_SIGNED + "\n", "")
    r = run("flash", "--require-signature", pkg, "--port", dev.link, "--record", record)
    assert (r.returncode, r.stdout, r.stderr) == (3, "", NOT_SIGNED + "\n")
    assert dev.frames() == []
    assert len(open(record).read().splitlines()) == 1, "a package refused before any device is no attempt"

    r = run("detect", "--require-signature")
    assert r.returncode == 1 and "--require-signature is for check and flash" in r.stderr
