// The far end of the ports that the serial port tests open. Natively it is a pseudo-terminal
// peer in the same process; under Wine it is a native peer program reached over a control port.
// Both give the test cases the same view, so the two backends meet the same expectations.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvtest {

// The line settings as the far end sees them.
struct FarLine {
    std::uint32_t speed = 0;
    bool eight_bits = false;
    bool parity = false;
    bool two_stop_bits = false;
    bool hardware_flow = false;
    bool canonical = false; // line editing on: what a raw-mode setting of the line turns off
    bool valid = false;
};

class FarEnd {
public:
    static constexpr int kPortA = 0;
    static constexpr int kPortB = 1;

    virtual ~FarEnd() = default;

    virtual bool ready() const = 0;
    // The text to hand to SerialPort::open for each of the two ports.
    virtual std::string port_path(int port) const = 0;
    // A path that no port answers to, and one that opens but is no serial port.
    virtual std::string missing_port_path() const = 0;
    virtual std::string non_serial_path() const = 0;
    // Wine's serial ports fall short of Windows in two things the tests check: a second open of
    // an open port succeeds (share mode 0 is not enforced for devices), and the "return on the
    // first byte" time-outs (MAXDWORD, MAXDWORD, constant) wait for the whole constant.
    virtual bool under_wine() const = 0;

    virtual FarLine line(int port) = 0;
    // Changes the line behind the back of whoever has the port open.
    virtual bool set_two_stop_bits(int port, bool on) = 0;
    virtual bool set_speed(int port, std::uint32_t bits_per_second) = 0;
    virtual bool set_canonical(int port, bool on) = 0;

    // Queues bytes that go out after the delay.
    virtual bool send(int port, const std::vector<std::uint8_t>& bytes,
                      std::chrono::milliseconds delay = {}) = 0;
    // Waits until count bytes have arrived or the time-out passed; returns (and forgets)
    // everything that arrived.
    virtual std::vector<std::uint8_t> take_received(int port, std::size_t count,
                                                    std::chrono::milliseconds timeout) = 0;
    // Forgets what arrived and drops what has not gone out yet.
    virtual void reset(int port) = 0;
};

std::unique_ptr<FarEnd> make_far_end();

} // namespace kvtest
