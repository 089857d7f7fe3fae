// Port discovery: the order of the ports, the 254-attempt bound, the three-speed probe, what
// the caller's buffers receive, and the connection's state between searches.
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "tools/kvsim/pty_peer.h"

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
    DeviceConnection conn{make_serial_backend(), clock};
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
