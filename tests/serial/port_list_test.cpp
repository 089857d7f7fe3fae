// The port list: candidate nodes and what a (fake) sysfs tree says of them, the Windows listing's
// merge of SERIALCOMM and SetupAPI records, port names, and the slow-adapter note.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "serial/port_list.h"
#include "serial/serial_backend.h"

namespace {

namespace fs = std::filesystem;

class FakeSystem {
public:
    FakeSystem()
    {
        std::string pattern = (fs::temp_directory_path() / "kv-ports.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            root_ = pattern;
        roots.dev_dir = root_ + "/dev";
        roots.sysfs_dir = root_ + "/sys";
        fs::create_directories(roots.dev_dir);
        fs::create_directories(roots.sysfs_dir + "/class/tty");
        fs::create_directories(roots.sysfs_dir + "/bus/usb-serial/drivers/ftdi_sio");
        fs::create_directories(roots.sysfs_dir + "/bus/usb/drivers/cdc_acm");
    }
    ~FakeSystem()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void Node(const std::string& name) { Write(roots.dev_dir + "/" + name, ""); }

    // A tty whose device sits at `device` (below sys/devices), bound to `driver` (below sys/bus).
    void Tty(const std::string& name, const std::string& device, const std::string& driver)
    {
        const fs::path dir = fs::path(roots.sysfs_dir) / "devices" / device;
        fs::create_directories(dir);
        fs::create_directories(fs::path(roots.sysfs_dir) / "class/tty" / name);
        fs::create_directory_symlink(dir, fs::path(roots.sysfs_dir) / "class/tty" / name / "device");
        fs::create_directory_symlink(fs::path(roots.sysfs_dir) / "bus" / driver, dir / "driver");
    }

    void Write(const std::string& path, const std::string& text)
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
    }
    std::string Device(const std::string& path) const { return roots.sysfs_dir + "/devices/" + path; }

    PortRoots roots;

private:
    std::string root_;
};

std::vector<std::string> Names(const std::vector<PortInfo>& ports)
{
    std::vector<std::string> names;
    for (const PortInfo& p : ports)
        names.push_back(p.name);
    return names;
}

TEST(PortList, CandidateNodesInNameOrderWithWhatSysfsSays)
{
    FakeSystem sys;
    for (const char* node : {"ttyUSB10", "ttyUSB2", "ttyUSB0", "ttyACM0", "ttyS0", "ttyUSB", "tty0", "null"})
        sys.Node(node);
    // An FTDI adapter: the tty's device is the usb-serial port below the interface.
    sys.Tty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
    sys.Write(sys.Device("usb1/1-2/1-2:1.0/ttyUSB0/latency_timer"), "16\n");
    sys.Write(sys.Device("usb1/1-2/idVendor"), "0403\n");
    sys.Write(sys.Device("usb1/1-2/idProduct"), "6001\n");
    sys.Write(sys.Device("usb1/1-2/serial"), "A50285BI\n");
    // A CDC ACM device without a serial number: the tty's device is the interface.
    sys.Tty("ttyACM0", "usb1/1-3/1-3:1.0", "usb/drivers/cdc_acm");
    sys.Write(sys.Device("usb1/1-3/idVendor"), "2341\n");
    sys.Write(sys.Device("usb1/1-3/idProduct"), "0043\n");
    // ttyUSB2 has no sysfs entry; ttyUSB10's timer is a FIFO, which must not block the listing.
    sys.Tty("ttyUSB10", "usb1/1-4/1-4:1.0/ttyUSB10", "usb-serial/drivers/ftdi_sio");
    ASSERT_EQ(mkfifo(sys.Device("usb1/1-4/1-4:1.0/ttyUSB10/latency_timer").c_str(), 0600), 0);
    sys.Write(sys.Device("usb1/1-4/idVendor"), "not hex\n");
    sys.Write(sys.Device("usb1/1-4/idProduct"), "6015\n");

    const std::vector<PortInfo> ports = ListPorts(sys.roots);
    const std::string dev = sys.roots.dev_dir + "/";
    ASSERT_EQ(Names(ports), (std::vector<std::string>{dev + "ttyACM0", dev + "ttyUSB0", dev + "ttyUSB2",
                                                      dev + "ttyUSB10"}));

    const PortInfo& acm = ports[0];
    EXPECT_EQ(acm.device_path, acm.name);
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.usb_vendor_id, 0x2341);
    EXPECT_EQ(acm.usb_product_id, 0x0043);
    EXPECT_EQ(acm.serial_number, "");
    EXPECT_EQ(acm.latency_timer_ms, std::nullopt);

    const PortInfo& ftdi = ports[1];
    EXPECT_EQ(ftdi.driver, "ftdi_sio");
    EXPECT_EQ(ftdi.usb_vendor_id, 0x0403);
    EXPECT_EQ(ftdi.usb_product_id, 0x6001);
    EXPECT_EQ(ftdi.serial_number, "A50285BI");
    EXPECT_EQ(ftdi.latency_timer_ms, 16u);
    EXPECT_FALSE(ftdi.bluetooth);

    const PortInfo& bare = ports[2];
    EXPECT_EQ(bare.driver, "");
    EXPECT_EQ(bare.usb_vendor_id, std::nullopt);

    const PortInfo& odd = ports[3];
    EXPECT_EQ(odd.latency_timer_ms, std::nullopt);
    EXPECT_EQ(odd.usb_vendor_id, std::nullopt); // an unreadable id is no id
}

TEST(PortList, MissingFoldersGiveAnEmptyList)
{
    EXPECT_TRUE(ListPorts({"/nonexistent/kv-dev", "/nonexistent/kv-sys"}).empty());
}

TEST(PortList, APortIsFoundByNameByDevicePathAndThroughALink)
{
    FakeSystem sys;
    sys.Node("ttyUSB0");
    sys.Node("ttyUSB1");
    fs::create_directories(sys.roots.dev_dir + "/serial/by-id");
    fs::create_symlink("../../ttyUSB1", sys.roots.dev_dir + "/serial/by-id/usb-Korvane-if00-port0");
    const std::vector<PortInfo> ports = ListPorts(sys.roots);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(FindPort(ports, sys.roots.dev_dir + "/ttyUSB0"), &ports[0]);
    EXPECT_EQ(FindPort(ports, sys.roots.dev_dir + "/serial/by-id/usb-Korvane-if00-port0"), &ports[1]);
    EXPECT_EQ(FindPort(ports, sys.roots.dev_dir + "/ttyUSB7"), nullptr);
    EXPECT_EQ(FindPort(ports, "COM1"), nullptr);

    const std::vector<PortInfo> com = MergeComPorts({{"\\Device\\Serial0", "COM3"}}, {});
    EXPECT_EQ(FindPort(com, "COM3"), &com[0]);
    EXPECT_EQ(FindPort(com, "com3"), &com[0]);
    EXPECT_EQ(FindPort(com, "\\\\.\\COM3"), &com[0]);
    EXPECT_EQ(FindPort(com, "COM30"), nullptr);
}

TEST(PortNames, ComNumbers)
{
    EXPECT_EQ(ComNumberOf("COM3"), 3u);
    EXPECT_EQ(ComNumberOf("com12"), 12u);
    EXPECT_EQ(ComNumberOf("\\\\.\\COM255"), 255u);
    EXPECT_EQ(ComNumberOf("COM0"), 0u);
    EXPECT_EQ(ComNumberOf("COM"), std::nullopt);
    EXPECT_EQ(ComNumberOf("COM3x"), std::nullopt);
    EXPECT_EQ(ComNumberOf("LPT1"), std::nullopt);
    EXPECT_EQ(ComNumberOf("/dev/ttyUSB0"), std::nullopt);
    EXPECT_EQ(ComNumberOf("COM99999999999999999999"), std::nullopt);
}

// ---- The Windows listing ---------------------------------------------------------------------

TEST(ComPortMerge, BothSourcesMakeOneEntryPerPortInNumberOrder)
{
    const std::vector<SerialCommEntry> serialcomm = {
        {"\\Device\\Serial0", "COM1"},
        {"\\Device\\BthModem0", "COM4"},
        {"\\Device\\VCP0", "COM5"},
        {"\\Device\\Odd", "LPT1"},
    };
    const std::vector<ComDeviceRecord> devices = {
        {"COM5", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
         "FTSER2K", 16},
        {"COM3", "USB\\VID_2341&PID_0043\\85735313", "USB\\VID_2341&PID_0043&REV_0001", "usbser", 16},
        {"COM7",
         "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1B2C3D4E&0&000000000000_00000000",
         "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001000f_PID&1200", "BTHMODEM", std::nullopt},
        {"COM8", "USB\\VID_1A86&PID_7523\\5&2C3B1A4&0&3", "USB\\VID_1A86&PID_7523&REV_0263", "CH341SER_A64",
         std::nullopt},
    };
    const std::vector<PortInfo> ports = MergeComPorts(serialcomm, devices);
    ASSERT_EQ(Names(ports), (std::vector<std::string>{"COM1", "COM3", "COM4", "COM5", "COM7", "COM8"}));

    EXPECT_EQ(ports[0].device_path, "\\\\.\\COM1");
    EXPECT_FALSE(ports[0].bluetooth);
    EXPECT_EQ(ports[0].usb_vendor_id, std::nullopt);

    EXPECT_EQ(ports[1].usb_vendor_id, 0x2341);
    EXPECT_EQ(ports[1].usb_product_id, 0x0043);
    EXPECT_EQ(ports[1].serial_number, "85735313");
    EXPECT_EQ(ports[1].driver, "usbser");
    EXPECT_EQ(ports[1].latency_timer_ms, std::nullopt); // only the FTDI driver's value is the timer

    EXPECT_TRUE(ports[2].bluetooth); // named \Device\BthModem0 in SERIALCOMM

    EXPECT_EQ(ports[3].usb_vendor_id, 0x0403);
    EXPECT_EQ(ports[3].usb_product_id, 0x6001);
    EXPECT_EQ(ports[3].serial_number, "A50285BIA");
    EXPECT_EQ(ports[3].driver, "FTSER2K");
    EXPECT_EQ(ports[3].latency_timer_ms, 16u);
    EXPECT_FALSE(ports[3].bluetooth);

    EXPECT_TRUE(ports[4].bluetooth); // its instance enumerates under BTHENUM
    EXPECT_EQ(ports[4].usb_vendor_id, std::nullopt);
    EXPECT_EQ(ports[4].serial_number, "");

    EXPECT_EQ(ports[5].usb_vendor_id, 0x1A86);
    EXPECT_EQ(ports[5].serial_number, ""); // made up by Windows, not the adapter's
}

TEST(ComPortMerge, Win32ErrorsReadAsReasons)
{
    EXPECT_EQ(OpenFailureOfWin32Error(2), OpenFailure::absent);  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(OpenFailureOfWin32Error(3), OpenFailure::absent);  // ERROR_PATH_NOT_FOUND
    EXPECT_EQ(OpenFailureOfWin32Error(5), OpenFailure::in_use);  // ERROR_ACCESS_DENIED
    EXPECT_EQ(OpenFailureOfWin32Error(32), OpenFailure::in_use); // ERROR_SHARING_VIOLATION
    EXPECT_EQ(OpenFailureOfWin32Error(121), OpenFailure::other); // ERROR_SEM_TIMEOUT
    EXPECT_EQ(OpenFailureOfWin32Error(206), OpenFailure::path_too_long);
}

// ---- Slow adapters ---------------------------------------------------------------------------

TEST(SlowAdapter, OnlyATimerAbove2MsThatTheLowLatencyRequestLeftCounts)
{
    PortInfo port;
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::refused), std::nullopt); // unknown
    port.latency_timer_ms = 16;
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::refused), 16u);
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::not_requested), 16u);
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::on), std::nullopt);
    port.latency_timer_ms = 3;
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::not_requested), 3u);
    port.latency_timer_ms = 2;
    EXPECT_EQ(SlowAdapterLatency(port, LowLatency::not_requested), std::nullopt);
}

TEST(SlowAdapter, TheNoteSaysWhereToChangeTheTimer)
{
    EXPECT_EQ(SlowAdapterLine("COM5", 16, LatencyAdvice::device_manager),
              "QBKorvane: COM5: the adapter's latency timer is 16 ms; at 1 ms updates run faster (Device "
              "Manager, Ports, COM5, Port Settings, Advanced)");
    EXPECT_EQ(SlowAdapterLine("/dev/ttyUSB0", 16, LatencyAdvice::sysfs),
              "QBKorvane: /dev/ttyUSB0: the adapter's latency timer is 16 ms; at 1 ms updates run faster (as "
              "root: echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer)");
}

} // namespace
