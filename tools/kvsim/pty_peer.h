// The far end of a pseudo-terminal pair, for tests: the program under test opens slave_path()
// (or a link to it); the peer serves the master side on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvsim {

struct Arrival {
    std::vector<std::uint8_t> bytes;
    std::uint32_t baud = 0;                     // line speed in force when the bytes arrived
    std::chrono::steady_clock::time_point when; // time of arrival
};

// Line speed in bits per second of a termios speed constant (0 when unknown).
std::uint32_t SpeedOfTermios(unsigned speed_constant);

class PtyPeer {
public:
    // Called on the serving thread for every read off the master, after it has been recorded.
    // It may call send(), send_paced() and close() (the hang-up then happens once it returns).
    using ArrivalHandler = std::function<void(const Arrival&)>;

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool open();  // creates the pair and starts serving
    void close(); // closes the master: the slave sees a hang-up
    bool is_open() const;
    const std::string& slave_path() const;
    bool link_as(const std::string& link_path); // symlink link_path -> slave_path()

    std::uint32_t current_baud() const; // speed the slave side set, read off the master

    // Everything that arrived, in order, grouped by read.
    std::vector<Arrival> arrivals() const;
    std::vector<std::uint8_t> received() const; // all arrived bytes concatenated
    bool wait_for_bytes(std::size_t count, std::chrono::milliseconds timeout) const;
    void clear_received();
    void set_recording(bool on); // off: arrivals are only handed to the handler

    // Queued output: bytes go out in order, each after its delay from the previous action.
    void send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay = {});
    // The same, and then one byte per per_byte, as a serial line would deliver them.
    void send_paced(std::vector<std::uint8_t> bytes, std::chrono::nanoseconds delay,
                    std::chrono::nanoseconds per_byte);
    void discard_output();    // drops everything not yet written
    bool output_idle() const; // nothing queued or half written

    void set_arrival_handler(ArrivalHandler handler); // set before open()

private:
    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::chrono::nanoseconds delay{};
        std::chrono::nanoseconds per_byte{};
        std::chrono::steady_clock::time_point queued;
        std::chrono::steady_clock::time_point start{}; // set when it becomes the head
        bool started = false;
        std::size_t written = 0;
    };

    void serve();
    void wake();
    // Writes what is due; returns the time of the next due byte, or max() when nothing waits.
    std::chrono::steady_clock::time_point write_due(bool* want_pollout);
    void close_fds();

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    int master_fd_ = -1;
    int slave_hold_fd_ = -1; // keeps the slave side alive while the program under test reopens it
    int wake_fd_ = -1;
    std::string slave_path_;
    std::thread thread_;
    bool stop_ = false;
    bool hangup_ = false;
    bool recording_ = true;
    std::vector<Arrival> arrivals_;
    std::size_t received_count_ = 0;
    std::deque<Pending> output_;
    std::chrono::steady_clock::time_point line_free_{};
    ArrivalHandler handler_;
};

} // namespace kvsim
