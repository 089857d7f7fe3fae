// A simulated Korvane device on a pseudo-terminal: answers the device protocol at chosen line
// speeds, records every frame, injects faults on demand.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kvsim {

class PtyPeer;
struct Arrival;

enum class Fault {
    none,
    silence,      // no answer at all
    short_reply,  // the answer stops after one byte (or the number in fault_arg)
    bad_checksum, // the trailing checksum of the answer is off by one
    echo,         // the request comes back instead of an answer
    question,     // '?' instead of the answer
    delay,        // the answer comes fault_arg ms late
    disconnect,   // the device goes away (master closed) instead of answering
};

// A fault applied to the next `count` requests that start with `command` (0 = any request).
struct FaultRule {
    std::uint8_t command = 0;
    Fault fault = Fault::none;
    int fault_arg = 0;
    int count = -1; // -1: every time
};

// Request first bytes, as FaultRule::command names them.
inline constexpr std::uint8_t kCmdVersion = 'V';     // "VV"
inline constexpr std::uint8_t kCmdSpeed = 'S';       // 'S' code sum
inline constexpr std::uint8_t kCmdEepromGen1 = 'H';  // 'H' 'R' count addrH addrL sum
inline constexpr std::uint8_t kCmdEepromOther = 'E'; // 'E' count addrH addrL count*0 sum
inline constexpr std::uint8_t kCmdBank = 'B';        // 'B' sel sel sum
inline constexpr std::uint8_t kCmdFlashInfo = 'D';   // "DOLI" 0x28
inline constexpr std::uint8_t kCmdSerial = 'N';      // "NS" 0xA1
inline constexpr std::uint8_t kCmdUpload = 'f';      // 'f' lenH lenL sum
// Not requests: the upload's later answers, which a FaultRule names only explicitly (a rule for
// any request, command 0, leaves them alone).
inline constexpr std::uint8_t kAnswerChunk = 0x01;  // the answer to an image chunk
inline constexpr std::uint8_t kAnswerStatus = 0x02; // the final status

// EEPROM addresses the system reads.
inline constexpr std::size_t kEepromDeviceId = 1;
inline constexpr std::size_t kEepromInterface = 4;
inline constexpr std::size_t kEepromWayfarerMode = 0x100;
inline constexpr std::size_t kEepromWayfarerBank = 0x101;

// A Korvane's EEPROM: device id 'A', interface 'U', everything else 0.
std::array<std::uint8_t, 0x200> DefaultEeprom();

struct DeviceConfig {
    std::uint8_t firmware_major = 2;
    std::uint8_t firmware_minor = 20;
    std::uint8_t hardware_letter = 'A';
    std::array<std::uint8_t, 0x200> eeprom =
        DefaultEeprom(); // id at 1, interface letter at 4, Wayfarer mode 0x100, bank 0x101
    std::uint8_t active_bank = 0;
    std::uint8_t rw_bank = 0;
    std::array<std::uint8_t, 16> flash_info{};
    std::array<std::uint8_t, 9> serial{};
    std::uint8_t serial_trailer = 0;
    std::set<std::uint32_t> speeds{115200}; // speeds it answers at; follows a confirmed change
    bool accepts_speed_change = true;       // false: answers the speed request with '?'
    std::vector<FaultRule> faults;
    int unknown_answer = '?'; // answer byte to an unknown request; -1: silence

    // Upload side.
    std::uint8_t final_status = 'C';
    int bad_trailer_status = -1;               // final status when the image trailer fails; -1: final_status
    int final_status_delay_ms = 0;             // pause between the last chunk's answer and the status
    std::map<int, std::uint8_t> chunk_answers; // chunk index (0-based) -> answer instead of 'O'
    int disconnect_at_chunk = -1;              // goes away instead of answering that chunk
    int silent_at_chunk = -1;                  // never answers that chunk
    bool silent_before_final = false;          // acknowledges every chunk, never sends the status
    bool silent_after_command = false;         // never answers the 'f' command
    std::uint8_t new_major = 0, new_minor = 0; // version reported after a successful upload (0,0: unchanged)
    int answer_delay_after_upload_ms = 0;      // every answer after a completed upload comes this late

    bool wire_pacing = false; // pace bytes as a real link at the line speed in force would

    // After a disconnect the device comes back on a new pseudo-terminal pair after this many ms
    // (re-linking the path given to link_as); -1: it stays away until reconnect().
    int reconnect_after_ms = -1;
    // Bytes of an incomplete request older than this are dropped when new bytes arrive.
    int partial_frame_timeout_ms = 500;
    // An upload that receives nothing for this long is abandoned.
    int upload_idle_timeout_ms = 3000;
};

struct Frame {
    std::vector<std::uint8_t> bytes;
    std::uint32_t baud = 0;
    bool ignored = false; // arrived at a speed the device was not at (or while it was away)
    std::chrono::steady_clock::time_point when{};
};

class SimDevice {
public:
    explicit SimDevice(DeviceConfig config = {});
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool start(); // creates the pty pair and serves it
    void stop();
    const std::string& slave_path() const;      // valid until the next reconnect or stop
    bool link_as(const std::string& link_path); // also re-linked after every reconnect

    DeviceConfig config() const;
    void set_config(const DeviceConfig& config); // takes effect for the next request

    std::vector<Frame> frames() const; // every request received, with its line speed
    void clear_frames();
    std::vector<std::uint8_t> received_image() const; // body of the last upload, as received
    bool upload_trailer_ok() const;
    std::uint32_t current_speed() const; // speed the device itself is at

    // Frames that were answered or handled (not ignored), in order.
    std::vector<Frame> accepted_frames() const;
    // Waits until at least count frames (ignored ones included) have been recorded.
    bool wait_for_frames(std::size_t count, std::chrono::milliseconds timeout) const;
    int uploads_completed() const; // uploads whose final status was sent
    bool connected() const;
    void disconnect();                      // hang up now, as the disconnect fault does
    bool reconnect();                       // new pair, re-linked; the device starts afresh
    std::string current_slave_path() const; // thread-safe copy of the slave path
    // Called (outside the device's lock) for every recorded frame, on the serving thread.
    void set_frame_observer(std::function<void(const Frame&)> observer);
    // Called after each reconnect with the new slave path.
    void set_reconnect_observer(std::function<void(const std::string&)> observer);

private:
    enum class State { idle, repeat_command, receiving };

    void on_arrival(PtyPeer* from, const Arrival& arrival);
    void record(std::vector<std::uint8_t> bytes, std::vector<Frame>* recorded);
    void handle_bytes(std::vector<Frame>* recorded, std::chrono::steady_clock::time_point rx_done);
    void handle_request(const std::vector<std::uint8_t>& req, std::chrono::steady_clock::time_point rx_done);
    bool handle_chunk(std::vector<Frame>* recorded, std::chrono::steady_clock::time_point rx_done);
    void begin_upload_answer(std::chrono::steady_clock::time_point rx_done);
    void emit(const std::vector<std::uint8_t>& bytes, int delay_ms,
              std::chrono::steady_clock::time_point rx_done);
    // Sends reply as the fault rules for command allow; returns the bytes actually sent.
    std::vector<std::uint8_t> emit_with_fault(std::uint8_t command, const std::vector<std::uint8_t>& request,
                                              std::vector<std::uint8_t> reply,
                                              std::chrono::steady_clock::time_point rx_done);
    const FaultRule* take_fault(std::uint8_t command);
    void request_disconnect();
    void reset_session();
    void supervise();
    bool open_peer();

    mutable std::mutex mutex_;
    mutable std::condition_variable frames_changed_;
    DeviceConfig config_;
    std::unique_ptr<PtyPeer> peer_;
    PtyPeer* source_ = nullptr;  // the pair whose arrival is being handled
    PtyPeer* opening_ = nullptr; // a pair being opened, served before it replaces peer_
    std::string slave_path_;
    std::string link_path_;
    std::set<std::uint32_t> speeds_;
    std::uint32_t speed_ = 115200;
    std::vector<Frame> frames_;
    std::vector<std::uint8_t> rx_;
    std::chrono::steady_clock::time_point last_rx_{};
    std::chrono::steady_clock::time_point rx_line_free_{};
    std::uint32_t rx_baud_ = 0;
    State state_ = State::idle;
    std::vector<std::uint8_t> upload_command_;
    std::size_t upload_length_ = 0;
    std::size_t chunk_index_ = 0;
    std::size_t chunk_count_ = 0;
    std::vector<std::uint8_t> image_;
    bool trailer_ok_ = false;
    int uploads_completed_ = 0;
    std::vector<int> fault_uses_;
    bool hangup_pending_ = false;
    std::function<void(const Frame&)> frame_observer_;
    std::function<void(const std::string&)> reconnect_observer_;

    // The supervisor thread closes and reopens the pair, which the serving thread cannot do itself.
    std::thread supervisor_;
    std::condition_variable supervisor_wake_;
    bool supervisor_stop_ = false;
    std::chrono::steady_clock::time_point reconnect_at_{};
    bool reconnect_scheduled_ = false;
    std::mutex lifecycle_mutex_; // start/stop/reconnect against each other
};

} // namespace kvsim
