// Port discovery: the order of the ports, the 254-attempt bound, the three-speed probe, what
// the caller's buffers receive, and the connection's state between searches.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "tests/serial/console_terminal.h"
#include "tools/kvsim/pty_peer.h"
#include "tools/memline/memory_serial_backend.h"

using namespace kvtest;

namespace {

// A port that opens and never answers.
struct SilentPort {
    explicit SilentPort(const ComDir& dir, int n)
    {
        EXPECT_TRUE(peer.open());
        EXPECT_TRUE(peer.link_as(dir.link(n)));
    }
    kvsim::PtyPeer peer;
};

// Time of the first arrival at a silent port.
std::chrono::steady_clock::time_point FirstArrival(const SilentPort& port)
{
    const auto arrivals = port.peer.arrivals();
    return arrivals.empty() ? std::chrono::steady_clock::time_point::max() : arrivals.front().when;
}

} // namespace

class Search : public ::testing::Test {
protected:
    void StartDevice(const kvsim::DeviceConfig& config, int n)
    {
        sim.set_config(config);
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(sim.link_as(dir.link(n)));
    }

    // The pauses of opening and of speed changes pass on a fake clock; reads keep real time.
    FakeClock clock;
    ComDir dir;
    MemoryLog log;
    kvsim::SimDevice sim;
    DeviceConnection conn{make_serial_backend(dir.path()), clock};
};

TEST_F(Search, FirstSearchTriesCom0ToCom253Only)
{
    StartDevice(Model('A', 2, 12), 254);
    char description[100];
    std::strcpy(description, "untouched");
    FirmwareVersion version{1, 2, 3};
    EXPECT_FALSE(conn.SearchForHardware(description, sizeof description, &version));
    EXPECT_TRUE(sim.frames().empty());
    // No port opened: the caller's buffers are left as they were.
    EXPECT_STREQ(description, "untouched");
    EXPECT_EQ(version.firmware_major, 1);
    EXPECT_EQ(version.hardware_letter, 3);
    EXPECT_EQ(conn.last_port_number, 0u);
    EXPECT_FALSE(conn.port.is_open());

    dir.unlink(254);
    ASSERT_TRUE(sim.link_as(dir.link(253)));
    EXPECT_TRUE(conn.SearchForHardware(description, sizeof description, &version));
    EXPECT_EQ(conn.last_port_number, 253u);
    EXPECT_STREQ(description, "Korvane v2.12.A");
}

TEST_F(Search, Com0IsTriedFirst)
{
    StartDevice(Model('A', 2, 12), 0);
    SilentPort other(dir, 1);
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn.last_port_number, 0u);
    EXPECT_TRUE(other.peer.arrivals().empty());
    EXPECT_STREQ(conn.port.device_path(), "\\\\.\\COM0");
}

TEST_F(Search, OrderFromARememberedPortWrapsTo2AndSkips0And1)
{
    SilentPort com0(dir, 0), com1(dir, 1), com2(dir, 2), com199(dir, 199), com200(dir, 200);
    conn.last_port_number = 200;
    char description[100];
    std::strcpy(description, "untouched");
    FirmwareVersion version{1, 2, 3};
    conn.firmware_major = 7;
    EXPECT_FALSE(conn.SearchForHardware(description, sizeof description, &version));

    EXPECT_TRUE(com0.peer.arrivals().empty());
    EXPECT_TRUE(com1.peer.arrivals().empty());
    EXPECT_LT(FirstArrival(com200), FirstArrival(com2));
    EXPECT_LT(FirstArrival(com2), FirstArrival(com199));
    // Some port opened but nothing answered: an empty text and a zero version.
    EXPECT_STREQ(description, "");
    EXPECT_EQ(version.firmware_major, 0);
    EXPECT_EQ(version.firmware_minor, 0);
    EXPECT_EQ(version.hardware_letter, 0);
    EXPECT_EQ(conn.firmware_major, 0);
    EXPECT_EQ(conn.last_port_number, 200u); // only a find moves it

    // Each silent port heard the version request at the three speeds, in order.
    for (const SilentPort* p : {&com2, &com199, &com200}) {
        std::vector<std::uint32_t> bauds;
        Bytes all;
        for (const kvsim::Arrival& a : p->peer.arrivals()) {
            if (bauds.empty() || bauds.back() != a.baud)
                bauds.push_back(a.baud);
            all.insert(all.end(), a.bytes.begin(), a.bytes.end());
        }
        EXPECT_EQ(all, (Bytes{0x56, 0x56, 0x56, 0x56, 0x56, 0x56}));
        EXPECT_EQ(bauds, (std::vector<std::uint32_t>{115200, 921600, 19200}));
    }
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_FALSE(conn.port.is_open());
}

TEST_F(Search, NextSearchStartsAtTheRememberedPort)
{
    StartDevice(Model('A', 2, 12), 7);
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn.last_port_number, 7u);
    SilentPort com3(dir, 3);
    sim.clear_frames();
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn.last_port_number, 7u);
    EXPECT_TRUE(com3.peer.arrivals().empty());
    EXPECT_FALSE(sim.frames().empty());
}

TEST_F(Search, After255ComesCom2)
{
    StartDevice(Model('A', 2, 12), 255);
    conn.last_port_number = 254;
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn.last_port_number, 255u);

    conn.ClosePort();
    dir.unlink(255);
    ASSERT_TRUE(sim.link_as(dir.link(2)));
    SilentPort com0(dir, 0), com1(dir, 1);
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn.last_port_number, 2u);
    EXPECT_TRUE(com0.peer.arrivals().empty());
    EXPECT_TRUE(com1.peer.arrivals().empty());
}

TEST_F(Search, DeviceAnsweringOnlyAt921600)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.speeds = {921600};
    StartDevice(config, 3);
    FirmwareVersion version;
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, &version));
    EXPECT_EQ(version.hardware_letter, 'A');
    EXPECT_EQ(conn.link_speed_code, 0u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 921600u);
    const auto frames = sim.frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, kVV);
    EXPECT_EQ(frames[0].baud, 115200u);
    EXPECT_EQ(frames[1].bytes, kVV);
    EXPECT_EQ(frames[1].baud, 921600u);
    ASSERT_NE(conn.GetHardwareInfo(), nullptr);

    // The next search first asks the identified device back to 115200.
    sim.clear_frames();
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    const auto again = sim.frames();
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[0].bytes, kSpeedDefault);
    EXPECT_EQ(again[0].baud, 921600u);
    EXPECT_EQ(again[1].bytes, kVV);
    EXPECT_EQ(again[1].baud, 115200u);
    EXPECT_EQ(conn.link_speed_code, 7u);
}

TEST_F(Search, DeviceThatMissesTheReturnTo115200IsFoundAtTheFastSpeed)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.speeds = {921600};
    StartDevice(config, 3);
    ASSERT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    ASSERT_EQ(conn.link_speed_code, 0u);

    config.faults = {{kvsim::kCmdSpeed, kvsim::Fault::silence, 0, -1}};
    sim.set_config(config);
    conn.ClosePort(); // the device never confirms: closed anyway, the code stays
    EXPECT_FALSE(conn.port.is_open());
    EXPECT_EQ(conn.link_speed_code, 0u);
    EXPECT_EQ(sim.current_speed(), 921600u);

    sim.clear_frames();
    ASSERT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    const auto frames = sim.frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, kVV);
    EXPECT_EQ(frames[0].baud, 115200u);
    EXPECT_EQ(frames[1].bytes, kVV);
    EXPECT_EQ(frames[1].baud, 921600u);
    EXPECT_EQ(conn.link_speed_code, 0u);
    EXPECT_NE(conn.GetHardwareInfo(), nullptr);
}

TEST_F(Search, DeviceAnsweringOnlyAt19200)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.speeds = {19200};
    StartDevice(config, 3);
    EXPECT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    const auto frames = sim.frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].baud, 115200u);
    EXPECT_EQ(frames[1].baud, 921600u);
    EXPECT_EQ(frames[2].baud, 19200u);
    EXPECT_EQ(frames[2].bytes, kVV);
    EXPECT_EQ(conn.link_speed_code, 7u); // while the port runs at 19200
    EXPECT_EQ(conn.port.line_settings().baud_rate, 19200u);
    ASSERT_NE(conn.GetHardwareInfo(), nullptr);
    EXPECT_EQ(conn.GetHardwareInfo()->model_id, 4u);
}

TEST_F(Search, DeviceWithoutModelIsFoundButLeftClosed)
{
    bool started = false;
    for (std::uint8_t letter : {'d', 'B'}) {
        SCOPED_TRACE(static_cast<char>(letter));
        kvsim::DeviceConfig config = Model(letter, 1, 2);
        if (started)
            sim.set_config(config);
        else
            StartDevice(config, 3);
        started = true;
        char description[100] = "x";
        FirmwareVersion version;
        EXPECT_TRUE(conn.SearchForHardware(description, sizeof description, &version));
        EXPECT_STREQ(description, letter == 'd' ? " v1.2.d" : "");
        EXPECT_EQ(version.hardware_letter, letter);
        EXPECT_EQ(version.firmware_minor, 2);
        EXPECT_FALSE(conn.port.is_open());
        EXPECT_EQ(conn.GetHardwareInfo(), nullptr);
        EXPECT_EQ(conn.last_port_number, 3u);
        conn.last_port_number = 0;
    }
}

TEST_F(Search, DescriptionIsCutToTheCallersCapacity)
{
    StartDevice(Model('Z', 1, 0), 3); // "Halcyon Programmer v1.0.Z", 25 characters
    char description[32];
    std::memset(description, '#', sizeof description);
    EXPECT_TRUE(conn.SearchForHardware(description, 20, nullptr));
    EXPECT_EQ(std::strlen(description), 19u);
    EXPECT_EQ(std::string(description), std::string("Halcyon Programmer v1.0.Z").substr(0, 19));
    EXPECT_EQ(description[20], '#');
    // An identification that failed after its row was set still counts: the port stays open.
    EXPECT_TRUE(conn.port.is_open());
    ASSERT_NE(conn.GetHardwareInfo(), nullptr);

    std::memset(description, '#', sizeof description);
    EXPECT_TRUE(conn.SearchForHardware(description, 0, nullptr));
    EXPECT_EQ(description[0], '#');
}

TEST_F(Search, EveryModelIsFoundAndIdentified)
{
    const struct {
        std::uint8_t letter, major, minor, device_id;
        const char* description;
        std::uint32_t capabilities, generation;
    } models[] = {
        {'1', 1, 34, 'X', "Vellum I v1.34.1", 0x22, 2},
        {'2', 1, 34, 'X', "Vellum II v1.34.2", 0x22, 2},
        {'T', 1, 0, 'X', "Ferrule Pro v1.0.T", 0x102, 3},
        {'A', 2, 12, 'X', "Korvane v2.12.A", 0x153, 1},
        {'F', 1, 0, 'X', "Pike & Wren v1.0.F", 0x01, 1},
        {'O', 10, 15, 'X', "Larkin v10.15.O", 0x4A, 1},
        {'O', 10, 15, 'P', "Larkin II v10.15.O", 0x6A, 1},
        {'P', 1, 0, 'X', "Larkin II v1.0.P", 0x6A, 1},
        {'R', 1, 0, 'X', "Skyway v1.0.R", 0x62, 1},
        {'L', 1, 0, 'X', "Meridian v1.0.L", 0x280, 1},
        {'D', 49, 0, 'X', "Cinder v49.0.D", 0xCA, 1},
        {'D', 50, 0, 'X', "Cinder II v50.0.D", 0xC2, 1},
        {'X', 1, 3, 'X', "J7 v1.3.X", 0x801, 1},
        {'Q', 1, 0, 'X', "Wayfarer v1.0.Q", 0x2B, 1},
        {'J', 1, 0, 'X', "Pinecrest v1.0.J", 0x01, 1},
        {'Z', 1, 0, 'X', "Halcyon Programmer v1.0.Z", 0x09, 1},
        {'N', 1, 0, 'X', "TOLV v1.0.N", 0x8A, 1},
        {'n', 1, 0, 'X', "TOLV2 v1.0.n", 0x8A, 1},
    };
    bool started = false;
    for (const auto& m : models) {
        SCOPED_TRACE(m.description);
        kvsim::DeviceConfig config = Model(m.letter, m.major, m.minor);
        config.eeprom[1] = m.device_id;
        config.eeprom[0x100] = 1;
        if (!started) {
            StartDevice(config, 3);
            started = true;
        } else {
            sim.set_config(config);
        }
        char description[100] = {};
        FirmwareVersion version;
        ASSERT_TRUE(conn.SearchForHardware(description, sizeof description, &version));
        EXPECT_STREQ(description, m.description);
        EXPECT_EQ(version.hardware_letter, m.letter);
        const HardwareInfo* info = conn.GetHardwareInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->capabilities, m.capabilities);
        EXPECT_EQ(info->protocol_generation, m.generation);
        EXPECT_TRUE(conn.port.is_open());
        EXPECT_EQ(conn.last_port_number, 3u);
    }
}

// ---- Opening, closing, destruction ----------------------------------------------------------

TEST_F(Search, OpenPortConfiguresTheTimeouts)
{
    StartDevice(Model('A', 2, 12), 4);
    ASSERT_EQ(conn.OpenPort(ComPath(4).c_str()), KV_S_OK);
    const CommTimeouts& t = conn.port.timeouts();
    EXPECT_EQ(t.read_interval, 200u);
    EXPECT_EQ(t.read_total_multiplier, 1u);
    EXPECT_EQ(t.read_total_constant, 300u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 300u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 115200u);
}

TEST_F(Search, OpenPortFailureAndClosingLog)
{
    conn.log_sink = &log.sink;
    conn.port.log_sink = &log.sink;
    EXPECT_EQ(conn.OpenPort(ComPath(9).c_str()), KV_E_PORT_NOT_INITIALIZED);
    EXPECT_FALSE(conn.port.is_open());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"QBSerial: Open Port \\\\.\\COM9 Failed",
                                                     "QBSerial: Port Closed", "QBSerial: Port Closed"}));
    log.clear();
    conn.ClosePort();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"QBSerial: Port Closed", "QBKorvane: COM Port closed."}));
}

TEST_F(Search, ClosePortReturnsTheDeviceTo115200AndForgets)
{
    StartDevice(Model('O', 10, 15), 3);
    ASSERT_TRUE(conn.SearchForHardware(nullptr, 0, nullptr));
    ASSERT_EQ(conn.SetUSBBaud(0), KV_S_OK);
    ASSERT_TRUE(conn.last_eeprom_info_valid);
    sim.clear_frames();
    conn.ClosePort();
    ASSERT_EQ(sim.frames().size(), 1u);
    EXPECT_EQ(sim.frames()[0].bytes, kSpeedDefault);
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_FALSE(conn.port.is_open());
    EXPECT_EQ(conn.GetHardwareInfo(), nullptr);
    EXPECT_STREQ(conn.hardware_info.description, "");
    EXPECT_EQ(conn.emulation_bank, 0);
    EXPECT_EQ(conn.rw_bank, 0);
    EXPECT_FALSE(conn.last_eeprom_info_valid);
    EXPECT_EQ(conn.firmware_major, 10); // the version stays
    EXPECT_EQ(conn.last_port_number, 3u);
}

TEST_F(Search, DestructionSendsNothing)
{
    StartDevice(Model('A', 2, 12), 3);
    auto connection = std::make_unique<DeviceConnection>();
    ASSERT_TRUE(connection->SearchForHardware(nullptr, 0, nullptr));
    ASSERT_EQ(connection->SetUSBBaud(0), KV_S_OK);
    sim.clear_frames();
    connection.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_EQ(sim.current_speed(), 921600u);
}

// ---- What a search found, port by port ------------------------------------------------------

namespace {

// The system's port list as a test wants it.
class FakeInventory final : public PortInventory {
public:
    explicit FakeInventory(std::vector<PortInfo> ports) : ports_(std::move(ports)) {}
    std::vector<PortInfo> ListPorts() const override
    {
        ++calls;
        return ports_;
    }
    mutable int calls = 0;

private:
    std::vector<PortInfo> ports_;
};

PortInfo Listed(int n, bool bluetooth = false)
{
    PortInfo info;
    info.name = "COM" + std::to_string(n);
    info.device_path = ComPath(n);
    info.bluetooth = bluetooth;
    return info;
}

constexpr int kAccessDenied = 5; // ERROR_ACCESS_DENIED

} // namespace

// Ports of a serial line in memory: which ones exist, which are held, which answer, and what the
// system lists. Every wait passes on a fake clock, so a whole search of 254 numbers is instant.
class SearchRecord : public ::testing::Test {
protected:
    void Make(std::vector<PortInfo> listed)
    {
        auto backend = std::make_unique<MemorySerialBackend>(clock);
        line = backend.get();
        auto fake = std::make_unique<FakeInventory>(std::move(listed));
        inventory = fake.get();
        conn = std::make_unique<DeviceConnection>(std::move(backend), clock, std::move(fake));
        conn->log_sink = &log.sink;
        line->set_script([this](std::uint32_t, const std::vector<std::uint8_t>& written) {
            if (!line->open_path().empty())
                opened_and_written.insert(line->open_path());
            if (line->open_path() == answering && written == kVV)
                return ReadStep{Bytes{0x01, 0x00, 'J'}};
            if (line->open_path() == answering && (written == kInfoE || written == kInfoH))
                return ReadStep{Bytes{'J', 0, 0, 'U', 0, 0, 0, 'J' + 'U'}};
            return ReadStep{};
        });
    }

    // The lines that say why nothing was found, and the skips.
    std::vector<std::string> Reasons() const
    {
        std::vector<std::string> out;
        for (const std::string& l : log.lines())
            if (l.rfind("QBKorvane: No device found", 0) == 0 || l.rfind("QBKorvane: Skipping", 0) == 0)
                out.push_back(l);
        return out;
    }

    std::vector<std::pair<std::string, PortState>> Attempts() const
    {
        std::vector<std::pair<std::string, PortState>> out;
        for (const PortAttempt& a : conn->last_search())
            out.emplace_back(a.port, a.state);
        return out;
    }

    FakeClock clock;
    MemoryLog log;
    MemorySerialBackend* line = nullptr; // owned by the connection's port
    FakeInventory* inventory = nullptr;  // owned by the connection
    std::unique_ptr<DeviceConnection> conn;
    std::string answering; // the device path of the port with a device behind it
    std::set<std::string> opened_and_written;
};

TEST_F(SearchRecord, NothingFoundSaysWhyPortByPortInTheOrderGiven)
{
    Make({Listed(1), Listed(4, true), Listed(6), Listed(9)});
    line->add_port(ComPath(3));
    line->add_port(ComPath(5));
    line->add_port(ComPath(4)); // a device would answer there, if it were opened
    answering = ComPath(4);
    line->refuse_port(ComPath(6), OpenFailure::in_use, kAccessDenied);
    line->refuse_port(ComPath(8), OpenFailure::in_use, kAccessDenied);
    line->refuse_port(ComPath(7), OpenFailure::not_a_port, 1);

    EXPECT_FALSE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(Reasons(),
              (std::vector<std::string>{"QBKorvane: Skipping COM4: Bluetooth serial link",
                                        "QBKorvane: No device found: COM6 is in use by another program",
                                        "QBKorvane: No device found: COM8 is in use by another program",
                                        "QBKorvane: No device found: no answer on COM3, COM5"}));
    // Absent numbers are kept only where the system lists the port (COM1, COM9).
    EXPECT_EQ(Attempts(), (std::vector<std::pair<std::string, PortState>>{{"COM1", PortState::absent},
                                                                          {"COM3", PortState::silent},
                                                                          {"COM4", PortState::bluetooth},
                                                                          {"COM5", PortState::silent},
                                                                          {"COM6", PortState::in_use},
                                                                          {"COM7", PortState::unusable},
                                                                          {"COM8", PortState::in_use},
                                                                          {"COM9", PortState::absent}}));
    EXPECT_EQ(conn->last_search_absent_unlisted(), 254u - 8u);
    EXPECT_EQ(conn->last_search()[4].system_error, kAccessDenied);
    EXPECT_EQ(conn->last_search()[0].system_error, 2);
    EXPECT_EQ(opened_and_written, (std::set<std::string>{ComPath(3), ComPath(5)}));
    EXPECT_EQ(inventory->calls, 1);
}

TEST_F(SearchRecord, ABluetoothLinkIsSkippedOncePerSearchAndTheRestStillTried)
{
    Make({Listed(2, true)});
    line->add_port(ComPath(2));
    line->add_port(ComPath(200));
    answering = ComPath(200);
    conn->last_port_number = 255; // 255, then 2, then on: the link is met in the middle
    ASSERT_TRUE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(conn->last_port_number, 200u);
    ASSERT_TRUE(conn->SearchForHardware(nullptr, 0, nullptr)); // starts at 200: found at once
    conn->last_port_number = 0;
    answering.clear();
    EXPECT_FALSE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(Reasons(), (std::vector<std::string>{"QBKorvane: Skipping COM2: Bluetooth serial link",
                                                   "QBKorvane: Skipping COM2: Bluetooth serial link",
                                                   "QBKorvane: No device found: no answer on COM200"}));
    EXPECT_EQ(opened_and_written.count(ComPath(2)), 0u);
    EXPECT_EQ(inventory->calls, 3);
}

TEST_F(SearchRecord, AFoundDeviceEndsTheRecordAndNoReasonIsLogged)
{
    Make({});
    line->add_port(ComPath(3));
    line->add_port(ComPath(5));
    answering = ComPath(5);
    char description[100] = {};
    ASSERT_TRUE(conn->SearchForHardware(description, sizeof description, nullptr));
    EXPECT_STREQ(description, "Pinecrest v1.0.J");
    EXPECT_EQ(Attempts(), (std::vector<std::pair<std::string, PortState>>{{"COM3", PortState::silent},
                                                                          {"COM5", PortState::answered}}));
    EXPECT_EQ(conn->last_search_absent_unlisted(), 3u + 1u); // COM0 to COM2, COM4
    EXPECT_TRUE(Reasons().empty());
}

TEST_F(SearchRecord, NoPortAtAllOrOnlyLinksAndUnusablePortsMeanNoSerialPortIsPresent)
{
    Make({});
    EXPECT_FALSE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_TRUE(conn->last_search().empty());
    EXPECT_EQ(conn->last_search_absent_unlisted(), 254u);
    EXPECT_EQ(Reasons(), std::vector<std::string>{"QBKorvane: No device found: no serial port is present"});

    log.clear();
    Make({Listed(4, true)});
    line->refuse_port(ComPath(9), OpenFailure::other, 31);
    EXPECT_FALSE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(Reasons(), (std::vector<std::string>{"QBKorvane: Skipping COM4: Bluetooth serial link",
                                                   "QBKorvane: No device found: no serial port is present"}));
    EXPECT_EQ(Attempts(), (std::vector<std::pair<std::string, PortState>>{{"COM4", PortState::bluetooth},
                                                                          {"COM9", PortState::unusable}}));
}

TEST_F(SearchRecord, APortThatRefusesThisUserIsNamedAndIsNotNoPort)
{
    Make({});
    line->refuse_port(ComPath(3), OpenFailure::no_permission, 13);
    EXPECT_FALSE(conn->SearchForHardware(nullptr, 0, nullptr));
    EXPECT_EQ(Reasons(), std::vector<std::string>{"QBKorvane: No device found: no permission to open COM3"});
}

TEST_F(SearchRecord, ProbePortRecordsItsOnePortByTheNameAUserGives)
{
    Make({Listed(6, true)});
    line->refuse_port(ComPath(6), OpenFailure::in_use, kAccessDenied);
    line->add_port("/dev/ttyUSB0");
    EXPECT_EQ(conn->ProbePort(ComPath(6).c_str(), nullptr, 0, nullptr), PortProbe::not_opened);
    ASSERT_EQ(conn->last_search().size(), 1u);
    EXPECT_EQ(conn->last_search()[0].port, "COM6");
    EXPECT_EQ(conn->last_search()[0].state, PortState::in_use);
    EXPECT_EQ(conn->last_search()[0].system_error, kAccessDenied);

    EXPECT_EQ(conn->ProbePort("/dev/ttyUSB0", nullptr, 0, nullptr), PortProbe::no_answer);
    EXPECT_EQ(Attempts(),
              (std::vector<std::pair<std::string, PortState>>{{"/dev/ttyUSB0", PortState::silent}}));
    EXPECT_EQ(conn->ProbePort("/dev/ttyUSB9", nullptr, 0, nullptr), PortProbe::not_opened);
    EXPECT_EQ(Attempts(),
              (std::vector<std::pair<std::string, PortState>>{{"/dev/ttyUSB9", PortState::absent}}));
    // The caller named the port: a probe does not ask the inventory, and logs no reasons.
    EXPECT_EQ(inventory->calls, 0);
    EXPECT_TRUE(Reasons().empty());
}

TEST_F(SearchRecord, AnAttemptOnAPortThatDoesNotOpenStillEndsWithClosePort)
{
    Make({});
    conn->port.log_sink = &log.sink;
    EXPECT_EQ(conn->ProbePort(ComPath(9).c_str(), nullptr, 0, nullptr), PortProbe::not_opened);
    conn->port.log_sink = nullptr;
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"QBSerial: Port Closed", "QBKorvane: COM Port closed.",
                                        "QBSerial: Open Port \\\\.\\COM9 Failed", "QBSerial: Port Closed",
                                        "QBSerial: Port Closed", "QBSerial: Port Closed",
                                        "QBKorvane: COM Port closed."}));
}

// ---- The real POSIX backend under the search ------------------------------------------------

TEST_F(Search, AProbedTerminalWithoutADeviceKeepsItsSettings)
{
    SilentPort port(dir, 5);
    const ConsoleTerminal console(port.peer.slave_path());
    ASSERT_TRUE(console.ok());
    EXPECT_EQ(conn.ProbePort(ComPath(5).c_str(), nullptr, 0, nullptr), PortProbe::no_answer);
    console.ExpectAsTheConsoleLeftIt();
    // It did run raw at the probe's speeds meanwhile.
    ASSERT_FALSE(port.peer.arrivals().empty());
    EXPECT_EQ(port.peer.arrivals().back().baud, 19200u);
}

TEST_F(Search, APortLockedByAnotherProgramIsInUse)
{
    SilentPort port(dir, 3);
    const int holder = ::open(port.peer.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    conn.log_sink = &log.sink;
    EXPECT_FALSE(conn.SearchForHardware(nullptr, 0, nullptr));
    ::close(holder);
    ASSERT_FALSE(conn.last_search().empty());
    EXPECT_EQ(conn.last_search()[0].port, "COM3");
    EXPECT_EQ(conn.last_search()[0].state, PortState::in_use);
    EXPECT_EQ(conn.last_search()[0].system_error, EWOULDBLOCK);
    EXPECT_TRUE(port.peer.arrivals().empty());
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "QBKorvane: No device found: COM3 is in use by another program"),
              lines.end());
}
