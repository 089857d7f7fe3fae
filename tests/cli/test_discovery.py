"""korvane-update finding ports, the real binary against simulated devices on pseudo-terminals:
each port's state in detect --json, the reasons when nothing is found, list, the slow-adapter
note over a made-up sysfs tree, and the low-latency helper of scripts/run.sh.

KV_CLI names the binary, KV_TOOLS the folder holding kvsim and qfwpack, KV_SOURCE_DIR the tree.
"""
import json
import os
import subprocess
import time
from pathlib import Path

import pytest

from cli_programs import KVSIM, QFWPACK, needs_programs, run

HELPER = os.path.join(os.environ.get("KV_SOURCE_DIR", ""), "scripts", "serial_low_latency.py")

pytestmark = needs_programs

NOTE = ("{node}: the adapter's latency timer is {ms} ms; at 1 ms updates run faster "
        "(as root: echo 1 > /sys/bus/usb-serial/devices/{tty}/latency_timer)")


@pytest.fixture
def machine(tmp_path):
    """A device folder (KV_DEV_DIR) whose nodes lead to simulated devices, and a sysfs tree
    (KV_SYSFS_DIR) saying what adapter sits behind each."""
    started, holders = [], []

    class Machine:
        dev = tmp_path / "dev"
        sys = tmp_path / "sys"

        def __init__(self):
            self.sims = {}  # tty: the process id of the simulated device, which holds its end too
            self.env = {"KV_DEV_DIR": str(tmp_path / "dev"), "KV_SYSFS_DIR": str(tmp_path / "sys")}

        def node(self, tty, *flags):
            """tty (ttyUSB0) leads to a new simulated device started with flags."""
            link = str(tmp_path / f"sim-{tty}")
            proc = subprocess.Popen([KVSIM, "--link", link, *flags], stdout=subprocess.PIPE, text=True)
            started.append(proc)
            slave = proc.stdout.readline().strip()
            assert proc.stdout.readline().strip() == "ready"
            self.sims[tty] = proc.pid
            os.symlink(slave, self.dev / tty)
            return str(self.dev / tty)

        def hold(self, node):
            """Another program holds node, as the serial port would."""
            holder = subprocess.Popen(["python3", "-c", "import fcntl, os, sys, time\n"
                                       "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                                       "fcntl.flock(fd, fcntl.LOCK_EX)\nprint('held', flush=True)\n"
                                       "time.sleep(60)", node], stdout=subprocess.PIPE, text=True)
            holders.append(holder)
            assert holder.stdout.readline().strip() == "held"
            return holder.pid

        def usb(self, name, vid, pid, product, interfaces, devnum=2):
            """A USB device as the kernel lays it out: below its PCI bus, linked from bus/usb/devices,
            with interface folders (name, class, subclass, driver or None, tty or None)."""
            device = self.sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / name
            device.mkdir(parents=True)
            for attr, value in (("idVendor", vid), ("idProduct", pid), ("product", product),
                                ("busnum", 1), ("devnum", devnum)):
                (device / attr).write_text(f"{value}\n")
            links = self.sys / "bus" / "usb" / "devices"
            links.mkdir(parents=True, exist_ok=True)
            os.symlink(os.path.relpath(device, links), links / name)
            for interface, cls, subclass, driver, tty in interfaces:
                folder = device / interface
                folder.mkdir()
                (folder / "bInterfaceClass").write_text(f"{cls:02x}\n")
                (folder / "bInterfaceSubClass").write_text(f"{subclass:02x}\n")
                os.symlink(os.path.relpath(folder, links), links / interface)
                if driver:
                    drivers = self.sys / "bus" / "usb" / "drivers" / driver
                    drivers.mkdir(parents=True, exist_ok=True)
                    os.symlink(os.path.relpath(drivers, folder), folder / "driver")
                if tty:
                    node = folder / ("tty/" + tty if tty.startswith("ttyACM") else tty)
                    node.mkdir(parents=True)
                    (self.sys / "class" / "tty" / tty).mkdir(parents=True)
                    os.symlink(node, self.sys / "class" / "tty" / tty / "device")

        def process(self, pid, comm, target=None):
            """A process in the made-up /proc (KV_PROC_DIR), with a descriptor open on target."""
            folder = tmp_path / "proc" / str(pid)
            (folder / "fd").mkdir(parents=True)
            (folder / "comm").write_text(comm + "\n")
            if target:
                os.symlink(target, folder / "fd" / "3")
            self.env["KV_PROC_DIR"] = str(tmp_path / "proc")
            self.env["KV_UDEV_DATA_DIR"] = str(tmp_path / "udev")

        def adapter(self, tty, driver, vid=None, pid=None, serial=None, latency=None, n=1):
            """sysfs of a USB adapter: FTDI-like (the tty's device below the interface, with a
            latency_timer) or CDC ACM-like (the interface itself)."""
            usb = self.sys / "devices" / "usb1" / f"1-{n}"
            device = usb / f"1-{n}:1.0" / (tty if latency is not None else "")
            device.mkdir(parents=True, exist_ok=True)
            (self.sys / "class" / "tty" / tty).mkdir(parents=True)
            os.symlink(device, self.sys / "class" / "tty" / tty / "device")
            os.symlink(self.sys / "bus" / driver, device / "driver")
            for name, value in (("idVendor", vid), ("idProduct", pid), ("serial", serial)):
                if value is not None:
                    (usb / name).write_text(value + "\n")
            if latency is not None:
                (device / "latency_timer").write_text(f"{latency}\n")
            return device

    m = Machine()
    m.dev.mkdir()
    m.sys.mkdir()
    yield m
    for proc in holders + started:
        proc.terminate()
        proc.wait(timeout=5)



def holding(machine, tty, holder):
    """Who holds tty's node as the program says it: the simulated device has its end open as well."""
    pids = sorted([(machine.sims[tty], "kvsim"), (holder, "python3")])
    return "; ".join(f"{name}, process {pid}" for pid, name in pids)


# --- detect: each port tried, and why nothing was found ---------------------------------------

def test_detect_says_each_port_tried_when_found_and_when_not(machine):
    os.symlink(str(machine.dev / "unplugged"), machine.dev / "ttyACM0")  # listed, then gone
    held = machine.node("ttyUSB0")
    holder = machine.hold(held)
    silent = machine.node("ttyUSB1", "--fault", "any:silence")
    found = machine.node("ttyUSB2")
    absent = str(machine.dev / "ttyACM0")
    tried = [{"port": absent, "state": "absent"}, {"port": held, "state": "in_use"},
             {"port": silent, "state": "silent"}]

    r = run("detect", "--json", env=machine.env)
    assert r.returncode == 0, r.stderr
    answer = json.loads(r.stdout)
    assert (answer["port"], answer["ports"]) == (found, tried + [{"port": found, "state": "answered"}])

    os.unlink(found)
    reasons = (f"no device found\n  {absent}: not present\n"
               f"  {held}: in use by another program ({holding(machine, 'ttyUSB0', holder)})\n"
               f"  {silent}: no device answered")
    r = run("detect", "--json", env=machine.env)
    assert r.returncode == 2
    assert json.loads(r.stdout) == {"error": reasons, "exit_status": 2, "ports": tried, "adapters": []}
    r = run("detect", env=machine.env)
    assert (r.returncode, r.stdout, r.stderr) == (2, "", f"korvane-update: {reasons}\n")


# --- list -------------------------------------------------------------------------------------

def test_list_gives_what_sysfs_says_and_what_a_probe_finds_as_text_and_json(machine):
    assert "korvane-update list [--port PORT] [--json]" in run("--help").stdout
    acm = machine.node("ttyACM0", "--fault", "any:silence")
    machine.adapter("ttyACM0", "usb/drivers/cdc_acm", vid="2341", pid="0043", n=3)
    ftdi = machine.node("ttyUSB0", "--version", "2.20")
    machine.adapter("ttyUSB0", "usb-serial/drivers/ftdi_sio", vid="0403", pid="6001", serial="A50285BI",
                    latency=16, n=2)
    old = machine.node("ttyUSB1", "--letter", "1", "--version", "1.34")  # nothing in sysfs

    r = run("list", env=machine.env)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == (
        f"{acm}: USB 2341:0043, driver cdc_acm\n  no device answered\n"
        f"{ftdi}: USB 0403:6001, serial number A50285BI, driver ftdi_sio, latency timer 16 ms\n"
        "  answered: Korvane v2.20.A, firmware 02.20.A\n"
        f"{old}\n  answered: Vellum I v1.34.1, firmware 01.34.1 (cannot be updated by this program)\n")

    r = run("list", "--json", env=machine.env)
    assert r.returncode == 0
    unknown = {"usb_vendor_id": None, "usb_product_id": None, "serial_number": None, "driver": None,
               "bluetooth": False, "latency_timer_ms": None}
    silent = {"state": "silent", "held_by": None, "firmware_version": None, "description": None, "usable": None}
    assert json.loads(r.stdout) == {"ports": [
        {"port": acm, "device_path": acm, **unknown, "usb_vendor_id": "2341", "usb_product_id": "0043",
         "driver": "cdc_acm", **silent},
        {"port": ftdi, "device_path": ftdi, "usb_vendor_id": "0403", "usb_product_id": "6001",
         "serial_number": "A50285BI", "driver": "ftdi_sio", "bluetooth": False, "latency_timer_ms": 16,
         "state": "answered", "held_by": None, "firmware_version": "02.20.A", "description": "Korvane v2.20.A",
         "usable": True},
        {"port": old, "device_path": old, **unknown, "state": "answered", "held_by": None,
         "firmware_version": "01.34.1", "description": "Vellum I v1.34.1", "usable": False}], "adapters": []}

    holder = machine.hold(ftdi)
    r = run("list", "--json", "--port", ftdi, env=machine.env)
    assert [(p["port"], p["serial_number"], p["state"], p["held_by"]) for p in json.loads(r.stdout)["ports"]] == [
        (ftdi, "A50285BI", "in_use", holding(machine, "ttyUSB0", holder))]
    r = run("list", "--port", ftdi, env=machine.env)
    assert f"  in use by another program ({holding(machine, 'ttyUSB0', holder)})\n" in r.stdout


def test_list_of_a_machine_without_ports(tmp_path):
    r = run("list", env={"KV_DEV_DIR": str(tmp_path), "KV_SYSFS_DIR": str(tmp_path)})
    assert (r.returncode, r.stdout) == (0, "No serial ports present (/dev/ttyUSB*, /dev/ttyACM*).\n")
    r = run("list", "--json", env={"KV_DEV_DIR": str(tmp_path), "KV_SYSFS_DIR": str(tmp_path)})
    assert (r.returncode, json.loads(r.stdout)) == (0, {"ports": [], "adapters": []})


# --- USB serial adapters without a port, and the programs in the way --------------------------

BRLTTY_FIX = ("The braille display daemon takes serial adapters as they are plugged in. Without a braille display, "
              "stop it doing so (as root: systemctl mask brltty-udev.service && systemctl stop brltty.service, or "
              "remove the brltty package), then plug the adapter in again.")
CH340_TAKEN = ("a USB serial adapter (WCH CH340, USB 1a86:7523) is plugged in but the braille display daemon "
               "(brltty, process 812) took it")
CP2102_UNBOUND = "a USB serial adapter (Silicon Labs CP210x, USB 10c4:ea60) is plugged in but has no driver"
CP2102_FIX = "Load the kernel's driver for it (as root: modprobe cp210x), then plug the adapter in again."


def three_adapters(machine):
    """A CH340 the braille daemon took through usbfs, a CP2102 no driver took, and an FTDI adapter
    whose port leads to a device."""
    machine.usb("1-1", "1a86", "7523", "USB2.0-Serial", [("1-1:1.0", 0xff, 1, "usbfs", None)], devnum=5)
    usbfs = machine.dev / "bus" / "usb" / "001" / "005"
    usbfs.parent.mkdir(parents=True)
    usbfs.write_text("")
    machine.process(812, "brltty", str(usbfs))
    machine.usb("1-2", "10c4", "ea60", "CP2102 USB to UART Bridge Controller", [("1-2:1.0", 0xff, 0, None, None)])
    machine.usb("1-3", "0403", "6001", "FT232R USB UART", [("1-3:1.0", 0xff, 0xff, "ftdi_sio", "ttyUSB0")])


def test_adapters_without_a_port_are_named_with_what_to_do(machine):
    three_adapters(machine)
    r = run("detect", env=machine.env)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == ("korvane-update: no device found: no serial port is present (/dev/ttyUSB*, /dev/ttyACM*)\n"
                        f"  {CH340_TAKEN}\n    {BRLTTY_FIX}\n  {CP2102_UNBOUND}\n    {CP2102_FIX}\n")
    r = run("detect", "--json", env=machine.env)
    answer = json.loads(r.stdout)
    assert [(a["usb_vendor_id"], a["state"], a["holder"], a["holder_pid"]) for a in answer["adapters"]] == [
        ("1a86", "claimed", "brltty", 812), ("10c4", "no_driver", None, None), ("0403", "port", None, None)]

    # A port named that is not there may be one of them.
    r = run("detect", "--port", str(machine.dev / "ttyUSB1"), env=machine.env)
    assert r.stderr.startswith(f"korvane-update: {machine.dev / 'ttyUSB1'}: not present\n  {CH340_TAKEN}")


def test_list_gives_each_adapter_with_its_state(machine):
    three_adapters(machine)
    ftdi = machine.node("ttyUSB0", "--fault", "any:silence")
    r = run("list", env=machine.env)
    assert r.returncode == 0
    assert r.stdout == (f"{ftdi}: USB 0403:6001\n  no device answered\n"
                        f"USB serial adapters without a port:\n  {CH340_TAKEN}\n    {BRLTTY_FIX}\n"
                        f"  {CP2102_UNBOUND}\n    {CP2102_FIX}\n")
    r = run("list", "--json", env=machine.env)
    print(r.stdout)
    assert json.loads(r.stdout)["adapters"] == [
        {"usb_vendor_id": "1a86", "usb_product_id": "7523", "product": "USB2.0-Serial", "driver": "usbfs",
         "state": "claimed", "port": None, "problem_code": None, "holder": "brltty", "holder_pid": 812,
         "reason": CH340_TAKEN, "fix": BRLTTY_FIX},
        {"usb_vendor_id": "10c4", "usb_product_id": "ea60", "product": "CP2102 USB to UART Bridge Controller",
         "driver": None, "state": "no_driver", "port": None, "problem_code": None, "holder": None,
         "holder_pid": None, "reason": CP2102_UNBOUND, "fix": CP2102_FIX},
        {"usb_vendor_id": "0403", "usb_product_id": "6001", "product": "FT232R USB UART", "driver": "ftdi_sio",
         "state": "port", "port": str(machine.dev / "ttyUSB0"), "problem_code": None, "holder": None,
         "holder_pid": None, "reason": "a USB serial adapter (FTDI FT232R, USB 0403:6001) is plugged in as "
                                       f"{machine.dev / 'ttyUSB0'}", "fix": None}]


def test_modem_manager_is_noted_once_for_an_acm_port_it_was_not_told_to_leave_alone(machine):
    node = machine.node("ttyACM0")
    machine.adapter("ttyACM0", "usb/drivers/cdc_acm", vid="2341", pid="0043")
    machine.process(977, "ModemManager")
    note = ("korvane-update: note: ModemManager is running and may open " + node + " to send modem commands to "
            "the device, which disturbs an update if it comes in the middle; to make it leave the device alone, "
            "give the device the udev property ID_MM_DEVICE_IGNORE=1 (as root, a file in /etc/udev/rules.d "
            "holding the line: ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
            "ENV{ID_MM_DEVICE_IGNORE}=\"1\"; then udevadm control --reload and plug it in again)\n")
    r = run("detect", env=machine.env)
    assert r.returncode == 0, r.stderr
    assert r.stderr == note

    # udev's record of the node says a rule told ModemManager to leave it alone.
    rdev = os.stat(node).st_rdev
    udev = Path(machine.env["KV_UDEV_DATA_DIR"])
    udev.mkdir()
    (udev / f"c{os.major(rdev)}:{os.minor(rdev)}").write_text("E:ID_MM_DEVICE_IGNORE=1\n")
    r = run("detect", env=machine.env)
    assert (r.returncode, r.stderr) == (0, "")


# --- slow adapters ----------------------------------------------------------------------------

@pytest.mark.parametrize("command", ["detect", "check", "flash"])
def test_slow_adapter_is_noted_once_the_device_is_found(machine, tmp_path, command):
    node = machine.node("ttyUSB0", "--new-version", "2.21")
    timer = machine.adapter("ttyUSB0", "usb-serial/drivers/ftdi_sio", latency=16) / "latency_timer"
    pkg = str(tmp_path / "p.qfw")
    subprocess.run([QFWPACK, "--out", pkg, "--fw", "2.21", "--letter", "A", "--target", "A", "--body-size",
                    "512"], check=True, capture_output=True)
    # Signed, so that the adapter's is the one note.
    key = os.path.join(os.environ.get("KV_SOURCE_DIR", ""), "tests", "keys", "test-only-a.key.pem")
    subprocess.run([QFWPACK, "sign", pkg, "--key", key], check=True, capture_output=True)
    args = [command] + ([pkg] if command != "detect" else [])
    trace = str(tmp_path / "trace.log")
    # A pseudo-terminal refuses the low-latency request, as a driver without the setting does.
    r = run(*args, "--trace=" + trace, env=machine.env)
    assert r.returncode == 0, r.stderr
    note = NOTE.format(node=node, ms=16, tty="ttyUSB0")
    assert r.stderr.count("note:") == 1 and f"korvane-update: note: {note}\n" in r.stderr
    with open(trace) as f:
        assert f"QBKorvane: {note}\n" in f.read()

    timer.write_text("2\n")
    r = run(*args, env=machine.env)
    assert r.returncode == 0 and "note:" not in r.stderr


# --- scripts/run.sh's low-latency helper ------------------------------------------------------

@pytest.mark.skipif(not os.path.isfile(HELPER), reason="KV_SOURCE_DIR must name the tree")
def test_run_script_helper_sets_the_timer_for_a_session_and_puts_it_back(machine):
    node = machine.node("ttyUSB0")
    timer = machine.adapter("ttyUSB0", "usb-serial/drivers/ftdi_sio", latency=16) / "latency_timer"

    def helper(*args):
        return subprocess.run(["python3", HELPER, *args], capture_output=True, text=True, timeout=10,
                              env=dict(os.environ, **machine.env))

    # The pseudo-terminal has no low-latency flag, so the sysfs timer is what changes.
    r = helper("on", node)
    assert (r.returncode, r.stdout) == (0, "timer 16\n") and "was 16 ms" in r.stderr
    assert timer.read_text() == "1\n"
    assert helper("restore", node, "timer 16").returncode == 0
    assert timer.read_text() == "16\n"

    timer.write_text("1\n")
    assert helper("on", node).stdout == "kept\n"
    timer.unlink()
    assert helper("on", node).stdout == "none\n"
    assert helper("restore", node, "bogus").returncode == 2
