// USB serial adapters without a working port, and the programs in the way: a made-up sysfs, /dev
// and /proc laid out as the kernel lays them out (links included), SetupAPI records as Windows
// reports them, and the words each state turns into.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "serial/usb_adapters.h"

namespace {

namespace fs = std::filesystem;

// The PCI path a USB bus hangs from, as on a real machine.
constexpr char kBus[] = "devices/pci0000:00/0000:00:14.0/usb1";

class FakeLinux {
public:
    FakeLinux()
    {
        std::string pattern = (fs::temp_directory_path() / "kv-adapters.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            root_ = pattern;
        roots.dev_dir = root_ + "/dev";
        roots.sysfs_dir = root_ + "/sys";
        roots.proc_dir = root_ + "/proc";
        roots.udev_data_dir = root_ + "/udev";
        for (const std::string& dir :
             {roots.dev_dir, roots.proc_dir, roots.udev_data_dir, roots.sysfs_dir + "/bus/usb/devices"})
            fs::create_directories(dir);
        // The root hub is a USB device of its own, of no interest here.
        Device("usb1", 0x1d6b, 0x0002, "xHCI Host Controller");
    }
    ~FakeLinux()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A USB device below the bus, linked from bus/usb/devices as the kernel does.
    void Device(const std::string& name, unsigned vid, unsigned pid, const std::string& product,
                unsigned devnum = 1)
    {
        const fs::path dir = DevicePath(name);
        fs::create_directories(dir);
        Write(dir / "idVendor", Hex(vid));
        Write(dir / "idProduct", Hex(pid));
        if (!product.empty())
            Write(dir / "product", product);
        Write(dir / "busnum", "1");
        Write(dir / "devnum", std::to_string(devnum));
        fs::create_directory_symlink(fs::path("../../..") / DeviceRelative(name),
                                     fs::path(roots.sysfs_dir) / "bus/usb/devices" / name);
    }

    // An interface folder of the device (1-2:1.0) with its class, its driver link and its tty.
    fs::path Interface(const std::string& device, const std::string& name, unsigned type, unsigned subtype,
                       const std::string& driver, const std::string& tty)
    {
        const fs::path dir = DevicePath(device) / name;
        fs::create_directories(dir);
        Write(dir / "bInterfaceClass", Hex(type, 2));
        Write(dir / "bInterfaceSubClass", Hex(subtype, 2));
        fs::create_directory_symlink(fs::path("../../..") / DeviceRelative(device) / name,
                                     fs::path(roots.sysfs_dir) / "bus/usb/devices" / name);
        if (!driver.empty()) {
            fs::create_directories(fs::path(roots.sysfs_dir) / "bus/usb/drivers" / driver);
            fs::create_directory_symlink(fs::path("../../../../../../bus/usb/drivers") / driver,
                                         dir / "driver");
        }
        if (tty.rfind("ttyACM", 0) == 0)
            fs::create_directories(dir / "tty" / tty);
        else if (!tty.empty())
            fs::create_directories(dir / tty);
        return dir;
    }

    // A process with a descriptor open on `target` (a file of the fake tree or any path).
    void Process(int pid, const std::string& program, const std::string& target = {})
    {
        const fs::path dir = fs::path(roots.proc_dir) / std::to_string(pid);
        fs::create_directories(dir / "fd");
        Write(dir / "comm", program);
        if (!target.empty())
            fs::create_symlink(target, dir / "fd" / "3");
    }

    std::string Node(const std::string& relative)
    {
        const fs::path path = fs::path(roots.dev_dir) / relative;
        fs::create_directories(path.parent_path());
        Write(path, "");
        return path.string();
    }

    static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text << "\n"; }

    PortRoots roots;

private:
    static std::string Hex(unsigned value, int digits = 4)
    {
        char text[8];
        std::snprintf(text, sizeof text, "%0*x", digits, value);
        return text;
    }
    static fs::path DeviceRelative(const std::string& name)
    {
        return name == "usb1" ? fs::path(kBus) : fs::path(kBus) / name;
    }
    fs::path DevicePath(const std::string& name) const
    {
        return fs::path(roots.sysfs_dir) / DeviceRelative(name);
    }

    std::string root_;
};

const UsbAdapter* Find(const std::vector<UsbAdapter>& adapters, std::uint16_t vid)
{
    for (const UsbAdapter& adapter : adapters)
        if (adapter.vendor_id == vid)
            return &adapter;
    return nullptr;
}

// ---- Linux ----------------------------------------------------------------------------------

TEST(LinuxAdapters, EachBridgeInterfaceWithItsStateAndNothingElse)
{
    FakeLinux sys;
    // Taken by the braille daemon through usbfs: it holds the device's usbfs node.
    sys.Device("1-1", 0x1a86, 0x7523, "USB2.0-Serial", 5);
    sys.Interface("1-1", "1-1:1.0", 0xff, 0x01, "usbfs", "");
    sys.Process(812, "brltty", sys.Node("bus/usb/001/005"));
    // No driver bound.
    sys.Device("1-2", 0x10c4, 0xea60, "CP2102 USB to UART Bridge Controller");
    sys.Interface("1-2", "1-2:1.0", 0xff, 0x00, "", "");
    // Working: the usb-serial port below the interface.
    sys.Device("1-3", 0x0403, 0x6001, "FT232R USB UART");
    sys.Interface("1-3", "1-3:1.0", 0xff, 0xff, "ftdi_sio", "ttyUSB0");
    // A CDC-ACM device: the communications interface counts, its data interface does not.
    sys.Device("1-4", 0x2341, 0x0043, "Korvane");
    sys.Interface("1-4", "1-4:1.0", 0x02, 0x02, "cdc_acm", "ttyACM0");
    sys.Interface("1-4", "1-4:1.1", 0x0a, 0x00, "cdc_acm", "");
    // A serial driver bound, but its tty not (yet) made.
    sys.Device("1-5", 0x067b, 0x2303, "USB-Serial Controller");
    sys.Interface("1-5", "1-5:1.0", 0xff, 0x00, "pl2303", "");
    // Neither a bridge vendor's serial interface nor CDC-ACM: a mouse, and a bridge vendor's HID.
    sys.Device("1-6", 0x046d, 0xc077, "USB Optical Mouse");
    sys.Interface("1-6", "1-6:1.0", 0x03, 0x01, "usbhid", "");
    sys.Device("1-7", 0x10c4, 0x8108, "HID");
    sys.Interface("1-7", "1-7:1.0", 0x03, 0x00, "usbhid", "");

    const std::vector<UsbAdapter> adapters = MakeAdapterInventory(sys.roots)->Adapters();
    ASSERT_EQ(adapters.size(), 5u);

    const UsbAdapter* ch340 = Find(adapters, 0x1a86);
    ASSERT_NE(ch340, nullptr);
    EXPECT_EQ(ch340->state, AdapterState::claimed);
    EXPECT_EQ(ch340->driver, "usbfs");
    EXPECT_EQ(ch340->holder, "brltty");
    EXPECT_EQ(ch340->holder_pid, 812);
    EXPECT_EQ(ch340->product, "USB2.0-Serial");

    const UsbAdapter* cp2102 = Find(adapters, 0x10c4);
    ASSERT_NE(cp2102, nullptr);
    EXPECT_EQ(cp2102->state, AdapterState::no_driver);
    EXPECT_EQ(cp2102->driver, "");

    const UsbAdapter* ftdi = Find(adapters, 0x0403);
    ASSERT_NE(ftdi, nullptr);
    EXPECT_EQ(ftdi->state, AdapterState::port);
    EXPECT_EQ(ftdi->port, sys.roots.dev_dir + "/ttyUSB0");

    const UsbAdapter* acm = Find(adapters, 0x2341);
    ASSERT_NE(acm, nullptr);
    EXPECT_EQ(acm->state, AdapterState::port);
    EXPECT_EQ(acm->port, sys.roots.dev_dir + "/ttyACM0");
    EXPECT_EQ(acm->driver, "cdc_acm");

    const UsbAdapter* pl2303 = Find(adapters, 0x067b);
    ASSERT_NE(pl2303, nullptr);
    EXPECT_EQ(pl2303->state, AdapterState::no_port);
}

TEST(LinuxAdapters, ANonexistentTreeListsNothing)
{
    PortRoots roots;
    roots.sysfs_dir = "/nonexistent/kv-sys";
    roots.proc_dir = "/nonexistent/kv-proc";
    EXPECT_TRUE(MakeAdapterInventory(roots)->Adapters().empty());
    EXPECT_TRUE(MakeAdapterInventory(roots)->Holders("/nonexistent/ttyUSB0").empty());
}

TEST(LinuxAdapters, HoldersOfAPortAreFoundThroughLinksButNeverThisProcess)
{
    FakeLinux sys;
    const std::string node = sys.Node("ttyUSB0");
    sys.Node("ttyUSB1");
    fs::create_directories(sys.roots.dev_dir + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", sys.roots.dev_dir + "/serial/by-id/usb-FTDI-if00-port0");
    sys.Process(4242, "minicom", sys.roots.dev_dir + "/serial/by-id/usb-FTDI-if00-port0");
    sys.Process(4243, "screen", sys.roots.dev_dir + "/ttyUSB1");
    sys.Process(4244, "bash");
    sys.Process(static_cast<int>(::getpid()), "korvane-update", node);

    const auto inventory = MakeAdapterInventory(sys.roots);
    const std::vector<PortHolder> holders = inventory->Holders(node);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, 4242);
    EXPECT_EQ(holders[0].program, "minicom");
    EXPECT_EQ(HoldersText(holders), "minicom, process 4242");
    EXPECT_TRUE(inventory->Holders(sys.roots.dev_dir + "/ttyUSB7").empty());
}

TEST(LinuxAdapters, ModemManagerConcernsOnlyAcmPortsItWasNotToldToLeaveAlone)
{
    FakeLinux sys;
    const std::string acm = sys.Node("ttyACM0");
    const std::string usb = sys.Node("ttyUSB0");
    const auto inventory = MakeAdapterInventory(sys.roots);
    EXPECT_FALSE(inventory->ModemManagerMayProbe(acm)); // not running

    sys.Process(977, "ModemManager");
    EXPECT_TRUE(inventory->ModemManagerMayProbe(acm));
    EXPECT_FALSE(inventory->ModemManagerMayProbe(usb));

    // udev's record of a character device node carries the property a rule set.
    fs::create_symlink("/dev/null", sys.roots.dev_dir + "/ttyACM1");
    EXPECT_TRUE(inventory->ModemManagerMayProbe(sys.roots.dev_dir + "/ttyACM1"));
    FakeLinux::Write(fs::path(sys.roots.udev_data_dir) / "c1:3",
                     "I:1234\nE:ID_MM_DEVICE_IGNORE=1\nG:uaccess");
    EXPECT_FALSE(inventory->ModemManagerMayProbe(sys.roots.dev_dir + "/ttyACM1"));
}

TEST(LinuxAdapters, ReasonsAndFixesInPlainWords)
{
    // Unknown chips go by their product string; a program other than the daemon is named to close.
    UsbAdapter other;
    other.vendor_id = 0x0403;
    other.product_id = 0x6f70;
    other.product = "Fixture Bridge";
    other.state = AdapterState::claimed;
    other.driver = "usbfs";
    other.holder = "flashrom";
    other.holder_pid = 77;
    EXPECT_EQ(AdapterReason(other), "a USB serial adapter (Fixture Bridge, USB 0403:6f70) is plugged in but "
                                    "another program (flashrom, process 77) took it");
    EXPECT_EQ(AdapterFix(other), "Close flashrom, process 77, then plug the adapter in again.");

    UsbAdapter working;
    working.vendor_id = 0x0403;
    working.product_id = 0x6001;
    working.state = AdapterState::port;
    working.port = "/dev/ttyUSB0";
    EXPECT_EQ(AdapterReason(working), "a USB serial adapter (FTDI FT232R, USB 0403:6001) is plugged in as "
                                      "/dev/ttyUSB0");
    EXPECT_EQ(AdapterFix(working), "");
}

// ---- Windows --------------------------------------------------------------------------------

UsbDeviceRecord Record(const std::string& hardware_id, const std::string& description,
                       const std::string& service, std::uint32_t problem, const std::string& port = {})
{
    UsbDeviceRecord record;
    record.hardware_id = hardware_id + "&REV_0264";
    record.instance_id = hardware_id + "\\5&2C3B1A4&0&3";
    record.description = description;
    record.service = service;
    record.problem_code = problem;
    record.port = port;
    return record;
}

TEST(WindowsAdapters, ProblemCodesBecomeStatesAndParentsWithoutAPortAreLeftOut)
{
    UsbDeviceRecord acm =
        Record("USB\\VID_2341&PID_0043&MI_00", "USB Serial Device (COM3)", "usbser", 0, "COM3");
    acm.compatible_ids = {"USB\\Class_02&SubClass_02&Prot_01", "USB\\Class_02&SubClass_02", "USB\\Class_02"};
    UsbDeviceRecord broken_acm = Record("USB\\VID_1209&PID_0001", "Korvane", "", 28);
    broken_acm.compatible_ids = {"USB\\Class_02&SubClass_02&Prot_00"};
    const std::vector<UsbDeviceRecord> records = {
        Record("USB\\VID_1A86&PID_7523", "USB2.0-Serial", "", 28),
        Record("USB\\VID_10C4&PID_EA60", "Silicon Labs CP210x USB to UART Bridge", "silabser", 10, "COM4"),
        Record("USB\\VID_067B&PID_2303", "Prolific USB-to-Serial Comm Port", "Ser2pl", 43),
        Record("USB\\VID_1A86&PID_55D4", "USB-Enhanced-SERIAL CH9102", "CH343SER_A64", 52),
        Record("USB\\VID_0403&PID_6010", "USB Serial Converter A", "FTDIBUS", 39),
        Record("USB\\VID_0403&PID_6015", "USB Serial Converter", "FTDIBUS", 31),
        // The FTDI chip's USB device drives a child on FTDIBUS, which holds the port.
        Record("USB\\VID_0403&PID_6001", "USB Serial Converter", "FTDIBUS", 0),
        Record("FTDIBUS\\COMPORT&VID_0403&PID_6001", "USB Serial Port (COM5)", "FTSER2K", 0, "COM5"),
        acm,
        broken_acm,
        Record("USB\\VID_046D&PID_C077", "USB Input Device", "HidUsb", 0),
        Record("USB\\ROOT_HUB30", "USB Root Hub (USB 3.0)", "USBHUB3", 0),
    };
    const std::vector<UsbAdapter> adapters = AdaptersOfWindowsDevices(records, false);
    ASSERT_EQ(adapters.size(), 9u);
    const AdapterState expected[] = {
        AdapterState::no_driver,      AdapterState::driver_failed,  AdapterState::driver_failed,
        AdapterState::driver_blocked, AdapterState::driver_blocked, AdapterState::problem,
        AdapterState::port,           AdapterState::port,           AdapterState::no_driver};
    for (std::size_t i = 0; i < adapters.size(); ++i)
        EXPECT_EQ(adapters[i].state, expected[i]) << i;
    EXPECT_EQ(adapters[1].port, ""); // the name it had while it worked is no port now
    EXPECT_EQ(adapters[6].port, "COM5");
    EXPECT_EQ(adapters[6].vendor_id, 0x0403);
    EXPECT_EQ(adapters[7].port, "COM3");
    EXPECT_EQ(adapters[8].vendor_id, 0x1209); // any vendor's CDC-ACM device
}

TEST(WindowsAdapters, ReasonsAndFixesForEachProblem)
{
    const auto adapter = [](const std::string& id, const std::string& service, std::uint32_t problem,
                            bool arm64 = false) {
        const std::vector<UsbAdapter> list =
            AdaptersOfWindowsDevices({Record(id, "USB2.0-Serial", service, problem)}, arm64);
        return list.empty() ? UsbAdapter{} : list.front();
    };
    const UsbAdapter code28 = adapter("USB\\VID_1A86&PID_7523", "", 28);
    EXPECT_EQ(AdapterReason(code28),
              "a USB serial adapter (WCH CH340, USB\\VID_1A86&PID_7523) is plugged in but "
              "has no driver (problem code 28)");
    EXPECT_EQ(AdapterFix(code28),
              "Install the adapter's driver (from WCH; Windows Update may offer it too), then "
              "plug the adapter in again.");

    const UsbAdapter code10 = adapter("USB\\VID_067B&PID_2303", "Ser2pl", 10);
    EXPECT_EQ(AdapterReason(code10),
              "a USB serial adapter (Prolific PL2303, USB\\VID_067B&PID_2303) is plugged "
              "in but its driver cannot start it (problem code 10)");
    EXPECT_EQ(
        AdapterFix(code10),
        "Install a driver version that supports this chip (clone chips and some driver versions do not go "
        "together; try the current and an older version from Prolific), then plug the adapter in again.");

    const UsbAdapter code43 = adapter("USB\\VID_10C4&PID_EA60", "silabser", 43);
    EXPECT_EQ(AdapterReason(code43), "a USB serial adapter (Silicon Labs CP210x, USB\\VID_10C4&PID_EA60) is "
                                     "plugged in but its driver cannot start it (problem code 43)");

    const UsbAdapter code52 = adapter("USB\\VID_1A86&PID_55D4", "CH343SER_A64", 52);
    EXPECT_EQ(AdapterReason(code52),
              "a USB serial adapter (WCH CH9102, USB\\VID_1A86&PID_55D4) is plugged in but "
              "Windows blocked its driver (problem code 52)");
    EXPECT_EQ(
        AdapterFix(code52),
        "Install a current signed driver from WCH (Memory Integrity under Core isolation blocks drivers not "
        "made for it, and unsigned drivers are refused), then plug the adapter in again.");

    // Windows on ARM: no driver at all for the chip.
    const UsbAdapter arm = adapter("USB\\VID_1A86&PID_7523", "", 28, true);
    EXPECT_EQ(AdapterReason(arm), AdapterReason(code28));
    EXPECT_EQ(AdapterFix(arm),
              "Windows on ARM has no driver for many adapter chips: install an ARM64 driver from "
              "WCH if there is one, or use an adapter whose chip has one, then plug the adapter "
              "in again.");
}

} // namespace
