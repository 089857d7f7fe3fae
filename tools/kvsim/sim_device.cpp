#include "tools/kvsim/sim_device.h"

#include <algorithm>

#include "device/checksum.h"
#include "tools/kvsim/pty_peer.h"

namespace kvsim {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kAck = 'O';
constexpr std::uint8_t kUnknown = '?';
constexpr std::size_t kChunkSize = 256;

std::uint8_t Sum(const std::vector<std::uint8_t>& bytes, std::size_t count)
{
    return AdditiveChecksum(std::span<const std::uint8_t>(bytes.data(), std::min(count, bytes.size())));
}

// The speed-code table and the final-status letters below are written here again on purpose,
// without the updater's own tables: the simulated device is a second opinion on the protocol,
// so a wrong entry on the host side shows up as a disagreement in the tests instead of being
// shared by both ends.

// The final status bytes that the host reads as a failed update.
bool IsFailureStatus(std::uint8_t status)
{
    switch (status) {
    case '?':
    case 'E':
    case 'F':
    case 'H':
    case 'I':
    case 'R':
    case 'V':
    case 'W': return true;
    default: return false;
    }
}

std::uint32_t SpeedOfCode(std::uint8_t code)
{
    switch (code) {
    case 0:
    case 1:
    case 3:
    case 7: return 921600u / (code + 1u);
    default: return 0;
    }
}

std::uint32_t InitialSpeed(const std::set<std::uint32_t>& speeds)
{
    if (speeds.empty() || speeds.count(115200))
        return 115200;
    return *speeds.begin();
}

} // namespace

std::array<std::uint8_t, 0x200> DefaultEeprom()
{
    std::array<std::uint8_t, 0x200> e{};
    e[kEepromDeviceId] = 'A';
    e[kEepromInterface] = 'U';
    return e;
}

SimDevice::SimDevice(DeviceConfig config) : config_(std::move(config))
{
    speeds_ = config_.speeds;
    speed_ = InitialSpeed(speeds_);
    fault_uses_.assign(config_.faults.size(), 0);
}

SimDevice::~SimDevice() { stop(); }

bool SimDevice::open_peer()
{
    auto fresh = std::make_unique<PtyPeer>();
    PtyPeer* raw = fresh.get();
    fresh->set_recording(false);
    fresh->set_arrival_handler([this, raw](const Arrival& a) { on_arrival(raw, a); });
    std::string link;
    {
        // From here only the new pair is served, even before it is published.
        std::lock_guard lock(mutex_);
        reset_session();
        opening_ = raw;
        link = link_path_;
    }
    if (!fresh->open()) {
        std::lock_guard lock(mutex_);
        opening_ = nullptr;
        return false;
    }
    // Linked before it is published, so whoever sees the new path finds the link in place.
    if (!link.empty())
        fresh->link_as(link);
    std::unique_ptr<PtyPeer> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(peer_);
        peer_ = std::move(fresh);
        opening_ = nullptr;
        slave_path_ = peer_->slave_path();
    }
    old.reset(); // joins its thread; must not hold mutex_, its handler may be waiting for it
    return true;
}

bool SimDevice::start()
{
    {
        std::lock_guard life(lifecycle_mutex_);
        if (!open_peer())
            return false;
    }
    std::lock_guard lock(mutex_);
    if (!supervisor_.joinable()) {
        supervisor_stop_ = false;
        supervisor_ = std::thread([this] { supervise(); });
    }
    return true;
}

void SimDevice::stop()
{
    std::thread supervisor;
    {
        std::lock_guard lock(mutex_);
        supervisor_stop_ = true;
        reconnect_scheduled_ = false;
        supervisor = std::move(supervisor_);
    }
    supervisor_wake_.notify_all();
    if (supervisor.joinable())
        supervisor.join();
    std::lock_guard life(lifecycle_mutex_);
    std::unique_ptr<PtyPeer> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(peer_);
    }
    old.reset();
}

bool SimDevice::reconnect()
{
    std::function<void(const std::string&)> observer;
    std::string path;
    {
        std::lock_guard life(lifecycle_mutex_);
        if (!open_peer())
            return false;
        std::lock_guard lock(mutex_);
        reconnect_scheduled_ = false;
        observer = reconnect_observer_;
        path = slave_path_;
    }
    if (observer)
        observer(path);
    return true;
}

void SimDevice::disconnect()
{
    std::lock_guard life(lifecycle_mutex_);
    PtyPeer* peer = nullptr;
    {
        std::lock_guard lock(mutex_);
        peer = peer_.get();
    }
    if (peer != nullptr)
        peer->close();
    std::lock_guard lock(mutex_);
    if (config_.reconnect_after_ms >= 0) {
        reconnect_at_ = Clock::now() + std::chrono::milliseconds(config_.reconnect_after_ms);
        reconnect_scheduled_ = true;
        supervisor_wake_.notify_all();
    }
}

void SimDevice::supervise()
{
    std::unique_lock lock(mutex_);
    while (!supervisor_stop_) {
        if (!reconnect_scheduled_) {
            supervisor_wake_.wait(lock, [&] { return supervisor_stop_ || reconnect_scheduled_; });
            continue;
        }
        const auto at = reconnect_at_;
        if (supervisor_wake_.wait_until(lock, at, [&] { return supervisor_stop_ || !reconnect_scheduled_; }))
            continue;
        reconnect_scheduled_ = false;
        lock.unlock();
        reconnect();
        lock.lock();
    }
}

const std::string& SimDevice::slave_path() const { return slave_path_; }

std::string SimDevice::current_slave_path() const
{
    std::lock_guard lock(mutex_);
    return slave_path_;
}

bool SimDevice::link_as(const std::string& link_path)
{
    std::lock_guard life(lifecycle_mutex_);
    {
        std::lock_guard lock(mutex_);
        link_path_ = link_path;
    }
    return peer_ != nullptr && peer_->link_as(link_path);
}

bool SimDevice::connected() const
{
    std::lock_guard lock(mutex_);
    return peer_ != nullptr && peer_->is_open() && !hangup_pending_;
}

DeviceConfig SimDevice::config() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

void SimDevice::set_config(const DeviceConfig& config)
{
    std::lock_guard lock(mutex_);
    if (config.speeds != config_.speeds) {
        speeds_ = config.speeds;
        speed_ = InitialSpeed(speeds_);
    }
    config_ = config;
    fault_uses_.assign(config_.faults.size(), 0);
}

std::vector<Frame> SimDevice::frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<Frame> SimDevice::accepted_frames() const
{
    std::lock_guard lock(mutex_);
    std::vector<Frame> accepted;
    for (const Frame& f : frames_)
        if (!f.ignored)
            accepted.push_back(f);
    return accepted;
}

bool SimDevice::wait_for_frames(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return frames_changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

void SimDevice::clear_frames()
{
    std::lock_guard lock(mutex_);
    frames_.clear();
}

std::vector<std::uint8_t> SimDevice::received_image() const
{
    std::lock_guard lock(mutex_);
    return image_;
}

bool SimDevice::upload_trailer_ok() const
{
    std::lock_guard lock(mutex_);
    return trailer_ok_;
}

int SimDevice::uploads_completed() const
{
    std::lock_guard lock(mutex_);
    return uploads_completed_;
}

std::uint32_t SimDevice::current_speed() const
{
    std::lock_guard lock(mutex_);
    return speed_;
}

void SimDevice::set_frame_observer(std::function<void(const Frame&)> observer)
{
    std::lock_guard lock(mutex_);
    frame_observer_ = std::move(observer);
}

void SimDevice::set_reconnect_observer(std::function<void(const std::string&)> observer)
{
    std::lock_guard lock(mutex_);
    reconnect_observer_ = std::move(observer);
}

// A device that comes back has been power-cycled: default speeds, no half-received request.
void SimDevice::reset_session()
{
    speeds_ = config_.speeds;
    speed_ = InitialSpeed(speeds_);
    rx_.clear();
    state_ = State::idle;
    hangup_pending_ = false;
    rx_line_free_ = {};
    source_ = nullptr;
}

void SimDevice::on_arrival(PtyPeer* from, const Arrival& arrival)
{
    std::vector<Frame> recorded;
    std::function<void(const Frame&)> observer;
    {
        std::lock_guard lock(mutex_);
        if (from != (opening_ != nullptr ? opening_ : peer_.get()) || hangup_pending_)
            return; // a pair that is being replaced
        source_ = from;
        observer = frame_observer_;
        if (speeds_.count(arrival.baud) == 0) {
            // At the wrong speed a real device sees only framing errors.
            Frame f{arrival.bytes, arrival.baud, true, arrival.when};
            frames_.push_back(f);
            recorded.push_back(std::move(f));
            rx_.clear();
        } else {
            const auto gap = arrival.when - last_rx_;
            if (state_ == State::receiving) {
                if (gap > std::chrono::milliseconds(config_.upload_idle_timeout_ms)) {
                    state_ = State::idle;
                    rx_.clear();
                }
            } else if (!rx_.empty() && gap > std::chrono::milliseconds(config_.partial_frame_timeout_ms)) {
                state_ = State::idle;
                rx_.clear();
            }
            last_rx_ = arrival.when;
            rx_baud_ = arrival.baud;
            speed_ = arrival.baud;
            Clock::time_point rx_done = arrival.when;
            if (config_.wire_pacing && arrival.baud > 0) {
                const auto line = std::chrono::nanoseconds(static_cast<long long>(arrival.bytes.size()) *
                                                           10'000'000'000LL / arrival.baud);
                rx_done = std::max(arrival.when, rx_line_free_) + line;
                rx_line_free_ = rx_done;
            }
            rx_.insert(rx_.end(), arrival.bytes.begin(), arrival.bytes.end());
            handle_bytes(&recorded, rx_done);
        }
        source_ = nullptr;
    }
    frames_changed_.notify_all();
    if (observer)
        for (const Frame& f : recorded)
            observer(f);
}

void SimDevice::record(std::vector<std::uint8_t> bytes, std::vector<Frame>* recorded)
{
    Frame f{std::move(bytes), rx_baud_, false, last_rx_};
    frames_.push_back(f);
    recorded->push_back(std::move(f));
}

void SimDevice::handle_bytes(std::vector<Frame>* recorded, Clock::time_point rx_done)
{
    while (!rx_.empty() && !hangup_pending_) {
        if (state_ == State::receiving) {
            if (!handle_chunk(recorded, rx_done))
                return;
            continue;
        }
        if (state_ == State::repeat_command) {
            if (rx_.size() < upload_command_.size())
                return;
            std::vector<std::uint8_t> again(rx_.begin(),
                                            rx_.begin() + static_cast<long>(upload_command_.size()));
            rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(again.size()));
            record(again, recorded);
            if (again == upload_command_) {
                begin_upload_answer(rx_done);
            } else {
                state_ = State::idle;
                emit({kUnknown}, 0, rx_done);
            }
            continue;
        }

        std::size_t need = 0;
        std::uint8_t second = 0; // required second byte, 0: any
        switch (rx_[0]) {
        case kCmdVersion:
            need = 2;
            second = 'V';
            break;
        case kCmdSpeed: need = 3; break;
        case kCmdEepromGen1:
            need = 6;
            second = 'R';
            break;
        case kCmdBank: need = 4; break;
        case kCmdFlashInfo:
            need = 5;
            second = 'O';
            break;
        case kCmdSerial:
            need = 3;
            second = 'S';
            break;
        case kCmdUpload: need = 4; break;
        case kCmdEepromOther:
            if (rx_.size() < 2)
                return;
            need = (rx_[1] == 0 ? 256u : rx_[1]) + 5u;
            break;
        default: break;
        }
        if (need != 0 && second != 0 && rx_.size() >= 2 && rx_[1] != second)
            need = 0;
        if (need == 0) {
            // Unknown: the rest of the write belongs to it.
            record(rx_, recorded);
            rx_.clear();
            if (config_.unknown_answer >= 0)
                emit({static_cast<std::uint8_t>(config_.unknown_answer)}, 0, rx_done);
            return;
        }
        if (rx_.size() < need)
            return;
        std::vector<std::uint8_t> request(rx_.begin(), rx_.begin() + static_cast<long>(need));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(need));
        record(request, recorded);
        handle_request(request, rx_done);
    }
}

void SimDevice::handle_request(const std::vector<std::uint8_t>& req, Clock::time_point rx_done)
{
    const std::uint8_t cmd = req[0];
    const bool sum_ok = Sum(req, req.size() - 1) == req.back();
    std::vector<std::uint8_t> reply;
    auto eeprom_reply = [&](std::size_t count, std::size_t address) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t a = address + i;
            reply.push_back(a < config_.eeprom.size() ? config_.eeprom[a] : 0xFF);
        }
        reply.push_back(Sum(reply, reply.size()));
    };

    switch (cmd) {
    case kCmdVersion:
        reply = {config_.firmware_major, config_.firmware_minor, config_.hardware_letter};
        break;
    case kCmdSpeed: {
        const std::uint32_t speed = SpeedOfCode(req[1]);
        if (!sum_ok || speed == 0 || !config_.accepts_speed_change) {
            reply = {kUnknown};
            break;
        }
        const auto sent = emit_with_fault(cmd, req, {kAck}, rx_done);
        // The device follows only the change it confirmed.
        if (!sent.empty() && sent[0] == kAck) {
            speeds_ = {speed};
            speed_ = speed;
        }
        return;
    }
    case kCmdEepromGen1:
        if (!sum_ok)
            reply = {kUnknown};
        else
            eeprom_reply(req[2] == 0 ? 256u : req[2], (static_cast<std::size_t>(req[3]) << 8) | req[4]);
        break;
    case kCmdEepromOther:
        if (!sum_ok)
            reply = {kUnknown};
        else
            eeprom_reply(req[1] == 0 ? 256u : req[1], (static_cast<std::size_t>(req[2]) << 8) | req[3]);
        break;
    case kCmdBank:
        if (!sum_ok || req[1] != req[2] || (req[1] != 'E' && req[1] != 'R'))
            reply = {kUnknown};
        else
            reply = {req[1] == 'E' ? config_.active_bank : config_.rw_bank};
        break;
    case kCmdFlashInfo:
        if (req != std::vector<std::uint8_t>{'D', 'O', 'L', 'I', 0x28}) {
            reply = {kUnknown};
        } else {
            reply.assign(config_.flash_info.begin(), config_.flash_info.end());
            reply.push_back(Sum(reply, reply.size()));
        }
        break;
    case kCmdSerial:
        if (!sum_ok) {
            reply = {kUnknown};
        } else {
            reply.assign(config_.serial.begin(), config_.serial.end());
            reply.push_back(config_.serial_trailer);
        }
        break;
    case kCmdUpload: {
        if (!sum_ok) {
            reply = {kUnknown};
            break;
        }
        const std::size_t n = (static_cast<std::size_t>(req[1]) << 8) | req[2];
        upload_length_ = n == 0 ? 65536 : n;
        upload_command_ = req;
        image_.clear();
        trailer_ok_ = false;
        // This model's firmware reads the command twice before it answers.
        if (config_.hardware_letter == 'R')
            state_ = State::repeat_command;
        else
            begin_upload_answer(rx_done);
        return;
    }
    default: reply = {kUnknown}; break;
    }
    emit_with_fault(cmd, req, std::move(reply), rx_done);
}

void SimDevice::begin_upload_answer(Clock::time_point rx_done)
{
    state_ = State::idle;
    if (config_.silent_after_command)
        return;
    const auto sent = emit_with_fault(kCmdUpload, upload_command_, {kAck}, rx_done);
    if (sent.empty() || sent[0] != kAck)
        return;
    state_ = State::receiving;
    chunk_index_ = 0;
    chunk_count_ = (upload_length_ + kChunkSize - 1) / kChunkSize;
}

bool SimDevice::handle_chunk(std::vector<Frame>* recorded, Clock::time_point rx_done)
{
    const bool last = chunk_index_ + 1 == chunk_count_;
    const std::size_t body_bytes = last ? upload_length_ - chunk_index_ * kChunkSize : kChunkSize;
    const std::size_t size = body_bytes + (last ? 1 : 0);
    if (rx_.size() < size)
        return false;
    std::vector<std::uint8_t> chunk(rx_.begin(), rx_.begin() + static_cast<long>(size));
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(size));
    record(chunk, recorded);
    image_.insert(image_.end(), chunk.begin(), chunk.begin() + static_cast<long>(body_bytes));

    const int index = static_cast<int>(chunk_index_);
    if (index == config_.disconnect_at_chunk) {
        request_disconnect();
        return true;
    }
    if (index == config_.silent_at_chunk) {
        state_ = State::idle;
        return true;
    }
    const auto it = config_.chunk_answers.find(index);
    const auto sent = emit_with_fault(kAnswerChunk, chunk,
                                      {it == config_.chunk_answers.end() ? kAck : it->second}, rx_done);
    if (sent.empty()) {
        state_ = State::idle;
        return true;
    }
    const std::uint8_t answer = sent[0];
    if (answer == '?' || answer == 'R') {
        state_ = State::idle; // the host stops on these
        return true;
    }
    if (!last) {
        ++chunk_index_;
        return true;
    }

    state_ = State::idle;
    trailer_ok_ = chunk.back() == Sum(image_, image_.size());
    if (config_.silent_before_final)
        return true;
    std::uint8_t status = config_.final_status;
    if (!trailer_ok_ && config_.bad_trailer_status >= 0)
        status = static_cast<std::uint8_t>(config_.bad_trailer_status);
    if (config_.final_status_delay_ms > 0)
        emit({status}, config_.final_status_delay_ms, Clock::now());
    else
        emit_with_fault(kAnswerStatus, chunk, {status}, Clock::now());
    ++uploads_completed_;
    if (!IsFailureStatus(status) && trailer_ok_ && (config_.new_major != 0 || config_.new_minor != 0)) {
        config_.firmware_major = config_.new_major;
        config_.firmware_minor = config_.new_minor;
    }
    return true;
}

const FaultRule* SimDevice::take_fault(std::uint8_t command)
{
    for (std::size_t i = 0; i < config_.faults.size(); ++i) {
        const FaultRule& rule = config_.faults[i];
        const bool any_request = rule.command == 0 && command != kAnswerChunk && command != kAnswerStatus;
        if (rule.fault == Fault::none || (rule.command != command && !any_request))
            continue;
        if (rule.count >= 0 && fault_uses_[i] >= rule.count)
            continue;
        ++fault_uses_[i];
        return &rule;
    }
    return nullptr;
}

std::vector<std::uint8_t> SimDevice::emit_with_fault(std::uint8_t command,
                                                     const std::vector<std::uint8_t>& request,
                                                     std::vector<std::uint8_t> reply,
                                                     Clock::time_point rx_done)
{
    const FaultRule* rule = take_fault(command);
    int delay_ms = 0;
    if (rule != nullptr) {
        switch (rule->fault) {
        case Fault::none: break;
        case Fault::silence: return {};
        case Fault::short_reply:
            reply.resize(std::min<std::size_t>(reply.size(), rule->fault_arg > 0 ? rule->fault_arg : 1));
            break;
        case Fault::bad_checksum:
            if (!reply.empty())
                reply.back() = static_cast<std::uint8_t>(reply.back() + 1);
            break;
        case Fault::echo: reply = request; break;
        case Fault::question: reply = {kUnknown}; break;
        case Fault::delay: delay_ms = rule->fault_arg; break;
        case Fault::disconnect: request_disconnect(); return {};
        }
    }
    emit(reply, delay_ms, rx_done);
    return reply;
}

void SimDevice::emit(const std::vector<std::uint8_t>& bytes, int delay_ms, Clock::time_point rx_done)
{
    if (source_ == nullptr || bytes.empty())
        return;
    // A device that has just started its new firmware may answer slowly.
    if (uploads_completed_ > 0)
        delay_ms += config_.answer_delay_after_upload_ms;
    auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::milliseconds(delay_ms));
    const auto now = Clock::now();
    if (rx_done > now)
        delay += rx_done - now;
    std::chrono::nanoseconds per_byte{};
    if (config_.wire_pacing && rx_baud_ > 0)
        per_byte = std::chrono::nanoseconds(10'000'000'000LL / rx_baud_);
    source_->send_paced(bytes, delay, per_byte);
}

void SimDevice::request_disconnect()
{
    hangup_pending_ = true;
    state_ = State::idle;
    rx_.clear();
    if (source_ != nullptr)
        source_->close(); // on its own serving thread: hangs up once this arrival is handled
    if (config_.reconnect_after_ms >= 0) {
        reconnect_at_ = Clock::now() + std::chrono::milliseconds(config_.reconnect_after_ms);
        reconnect_scheduled_ = true;
        supervisor_wake_.notify_all();
    }
}

} // namespace kvsim
