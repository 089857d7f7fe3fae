// The far end of a pseudo-terminal pair, for tests: the program under test opens slave_path()
// (or a link to it); the peer serves the master side on a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvsim {

struct Arrival {
    std::vector<std::uint8_t> bytes;
    std::uint32_t baud = 0;                       // line speed in force when the bytes arrived
    std::chrono::steady_clock::time_point when;   // time of arrival
};

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool open();                                  // creates the pair and starts serving
    void close();                                 // closes the master: the slave sees a hang-up
    const std::string& slave_path() const;
    bool link_as(const std::string& link_path);   // symlink link_path -> slave_path()

    std::uint32_t current_baud() const;           // speed the slave side set, read off the master

    // Everything that arrived, in order, grouped by read.
    std::vector<Arrival> arrivals() const;
    std::vector<std::uint8_t> received() const;   // all arrived bytes concatenated
    bool wait_for_bytes(std::size_t count, std::chrono::milliseconds timeout) const;
    void clear_received();

    // Queued output: bytes go out in order, each after its delay from the previous action.
    void send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay = {});
};

} // namespace kvsim
