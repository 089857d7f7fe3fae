// A simulated Korvane device on a pseudo-terminal: answers the device protocol at chosen line
// speeds, records every frame, injects faults on demand.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kvsim {

enum class Fault {
    none,
    silence,       // no answer at all
    short_reply,   // the answer stops after one byte (or the number in fault_arg)
    bad_checksum,  // the trailing checksum of the answer is off by one
    echo,          // the request comes back instead of an answer
    question,      // '?' instead of the answer
    delay,         // the answer comes fault_arg ms late
    disconnect,    // the device goes away (master closed) instead of answering
};

// A fault applied to the next `count` requests that start with `command` (0 = any request).
struct FaultRule {
    std::uint8_t command = 0;
    Fault fault = Fault::none;
    int fault_arg = 0;
    int count = -1; // -1: every time
};

struct DeviceConfig {
    std::uint8_t firmware_major = 2;
    std::uint8_t firmware_minor = 20;
    std::uint8_t hardware_letter = 'A';
    std::array<std::uint8_t, 0x200> eeprom{}; // id at 1, interface letter at 4, Wayfarer mode 0x100, bank 0x101
    std::uint8_t active_bank = 0;
    std::uint8_t rw_bank = 0;
    std::array<std::uint8_t, 16> flash_info{};
    std::array<std::uint8_t, 9> serial{};
    std::uint8_t serial_trailer = 0;
    std::set<std::uint32_t> speeds{115200};   // speeds it answers at; follows a confirmed change
    bool accepts_speed_change = true;          // false: answers the speed request with '?'
    std::vector<FaultRule> faults;

    // Upload side.
    std::uint8_t final_status = 'C';
    std::map<int, std::uint8_t> chunk_answers; // chunk index (0-based) -> answer instead of 'O'
    int disconnect_at_chunk = -1;              // goes away instead of answering that chunk
    int silent_at_chunk = -1;                  // never answers that chunk
    bool silent_before_final = false;          // acknowledges every chunk, never sends the status
    bool silent_after_command = false;         // never answers the 'f' command
    std::uint8_t new_major = 0, new_minor = 0; // version reported after a successful upload (0,0: unchanged)

    bool wire_pacing = false; // pace bytes as a real link at the line speed in force would
};

struct Frame {
    std::vector<std::uint8_t> bytes;
    std::uint32_t baud = 0;
};

class SimDevice {
public:
    explicit SimDevice(DeviceConfig config = {});
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool start();                               // creates the pty pair and serves it
    void stop();
    const std::string& slave_path() const;
    bool link_as(const std::string& link_path);

    DeviceConfig config() const;
    void set_config(const DeviceConfig& config); // takes effect for the next request

    std::vector<Frame> frames() const;          // every request received, with its line speed
    void clear_frames();
    std::vector<std::uint8_t> received_image() const; // body of the last upload, as received
    bool upload_trailer_ok() const;
    std::uint32_t current_speed() const;        // speed the device itself is at
};

} // namespace kvsim
