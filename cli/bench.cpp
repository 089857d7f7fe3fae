#include "cli/bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/platform.h"
#include "cli/record.h"
#include "cli/shown_text.h"
#include "cli/trace_sink.h"
#include "device/device_connection.h"
#include "log/log.h"
#include "resources/version.h"
#include "update/update_flow.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDisplayTick{100};  // progress redrawn, signals answered
constexpr milliseconds kPollInterval{250}; // the watched ports looked at
constexpr int kAskAgainTicks = 4;          // a port without an answering device: asked again after 400 ms
constexpr int kBarWidth = 20;
constexpr char kStoppedText[] = "not updated: the run was stopped before its update began";
constexpr char kUpdatesInProgressText[] = "korvane-update: firmware updates are in progress and cannot be "
                                          "stopped; the program ends when they finish.";

enum class Phase { searching, checking, updating, concluding, finished, waiting };

// One port of the run: its line on the display and the attempt running on it.
struct Slot {
    Slot(std::string port, bool listed) : name(std::move(port)), path(DevicePathOf(name)), on_board(listed) {}

    const std::string name; // as given
    const std::string path; // what the serial port opens

    // Written by the port's thread, read by the display.
    std::atomic<Phase> phase{Phase::searching};
    std::atomic<std::uint32_t> chunks{0}; // acknowledged in the running upload
    std::atomic<bool> on_board;
    Clock::time_point upload_start{}; // set before `phase` turns to updating

    // Under the output lock.
    int tenths_shown = 0;
    std::string state; // what the board says once the attempt ended
    bool reported = false;
    bool handled = false; // the unit at `identity` had its attempt

    // The main thread's.
    std::thread worker;
    std::atomic<bool> worker_done{true};
    std::string identity; // of the unit the attempt is for
    bool waiting_said = false;
};

// How one attempt ended.
struct Ending {
    bool counted = false;      // an attempt on a device (not a port where none answered yet)
    bool recorded = false;     // goes into the record
    bool began_update = false; // passed the stop request's gate
    bool updated = false;
    int status = kExitDone;
    std::vector<std::string> lines; // the block under the port's name
    AttemptRecord record;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

// A port that gave no usable device, said under its name.
std::string NoDeviceText(const Slot& slot, const PortNote& note)
{
    switch (note.probe) {
    case PortProbe::not_opened: return "cannot open the port: " + DescribeOpenFailure(slot.name);
    case PortProbe::no_answer: return "no device answered";
    case PortProbe::answered: break;
    }
    if (note.description.empty())
        return "the device cannot be updated by this program";
    return "the device (\"" + note.description + "\") cannot be updated by this program";
}

class Bench {
public:
    explicit Bench(const BenchSetup& setup)
        : options_(setup.options), package_(setup.package), record_(setup.record), trace_(setup.trace),
          all_(setup.options.all), watch_(setup.options.watch)
    {
        body_size_ = package_.content.body_size;
        // A trace on standard error and a board redrawn there would tear each other apart.
        terminal_ = trace_ != stderr && StandardErrorTakesCursorControl();
        columns_ = StandardErrorColumns();
        rows_ = StandardErrorRows();
    }

    int Run();

private:
    Slot& AddSlot(const std::string& name, bool listed);
    void Start(Slot& slot);
    void Attempt(Slot& slot);
    Ending Update(Slot& slot, UpdateFlow& flow);
    bool AskAgainLater(const Slot& slot);
    void Finish(Slot& slot, Ending& end);
    void Poll();
    bool AllDone() const;
    int Close(bool stopped);
    void Count(int status);
    int Status() const;

    // With the output lock held.
    void PrintBlock(const std::string& port, const std::vector<std::string>& lines);
    void Say(const std::string& text);
    void ShowProgress(Slot& slot);
    void Render();
    std::string BoardLine(const Slot& slot, std::size_t name_width) const;
    void ClearBoard();
    void DrawBoard();

    const CliOptions& options_;
    const ExaminedPackage& package_;
    RecordFile* record_;
    std::FILE* trace_;
    const bool all_;
    const bool watch_;
    std::uint32_t body_size_ = 0;
    bool terminal_ = false;
    int columns_ = 0;
    int rows_ = 0;
    StopRequest stop_{StopRequest::Answer::by_the_run};
    std::mutex trace_lock_;

    std::mutex out_; // standard output and error, the record, and everything below
    std::vector<std::unique_ptr<Slot>> slots_;
    bool closing_ = false;
    int updated_ = 0;
    int failed_ = 0;
    bool seen_[kExitOutputFailed + 1] = {}; // which exit statuses the attempts had
    bool any_attempt_ = false;
    bool record_failed_ = false;
    int board_lines_ = 0;
    std::string board_;
};

Slot& Bench::AddSlot(const std::string& name, bool listed)
{
    const std::lock_guard<std::mutex> hold(out_);
    slots_.push_back(std::make_unique<Slot>(name, listed));
    return *slots_.back();
}

void Bench::Start(Slot& slot)
{
    // A thread that ended since the last look is joined here (its last act was to say so).
    if (slot.worker.joinable())
        slot.worker.join();
    slot.worker_done = false;
    slot.phase = Phase::searching;
    slot.worker = std::thread([this, &slot] { Attempt(slot); });
}

void Bench::Attempt(Slot& slot)
{
    DeviceConnection connection;
    std::unique_ptr<StreamTextControl> trace;
    LogSink sink;
    if (trace_ != nullptr) {
        trace = std::make_unique<StreamTextControl>(trace_, trace_ == stderr ? nullptr : stderr,
                                                    Shown(slot.name) + ": ", trace_lock_);
        sink.edit_control = trace.get();
        connection.log_sink = &sink;
        connection.port.log_sink = &sink;
    }
    Ending end;
    {
        UpdateFlow flow(connection);
        end = Update(slot, flow);
        // As the dialog's end does: the device back at its normal speed, the port closed.
        connection.ClosePort();
    }
    connection.log_sink = nullptr;
    connection.port.log_sink = nullptr;
    Finish(slot, end);
    // Only now, with the outcome out and recorded, may a stop end the program.
    if (end.began_update)
        stop_.EndUpdate();
    slot.worker_done = true;
}

bool Bench::AskAgainLater(const Slot& slot)
{
    for (int i = 0; i < kAskAgainTicks; ++i) {
        if (stop_.requested())
            return false;
        std::this_thread::sleep_for(kDisplayTick);
    }
    return !stop_.requested() && PortIdentity(slot.path) == slot.identity;
}

Ending Bench::Update(Slot& slot, UpdateFlow& flow)
{
    Ending end;
    AttemptRecord& record = end.record;
    record.port = slot.name;
    record.package = options_.package;
    record.package_sha256 = package_.sha256;
    const std::vector<PortToTry> port{{slot.name, slot.path}};
    Clock::time_point start;
    const auto end_with = [&](int status, std::vector<std::string> lines) {
        end.counted = true;
        end.status = status;
        end.lines = std::move(lines);
        record.status = status;
        record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    };

    FoundDevice found;
    bool unopened_said = false;
    for (;;) {
        record.time = std::chrono::system_clock::now();
        start = Clock::now();
        found = flow.SearchPorts(port);
        if (found.found)
            break;
        const PortNote note =
            found.notes.empty() ? PortNote{slot.name, PortProbe::not_opened, ""} : found.notes.front();
        if (note.probe == PortProbe::answered) {
            slot.on_board = true;
            record.description = note.description;
            record.NoDevice();
            end.recorded = true;
            end_with(kExitNoDevice, {NoDeviceText(slot, note)});
            return end;
        }
        if (!watch_) {
            if (!all_) {
                record.NoDevice();
                end.recorded = true;
                end_with(kExitNoDevice, {NoDeviceText(slot, note)});
            }
            return end; // --all: no device here, nothing to say
        }
        // Watched: not an attempt yet. Ask again while the same port is there.
        if (note.probe == PortProbe::not_opened && !unopened_said) {
            unopened_said = true;
            const std::lock_guard<std::mutex> hold(out_);
            Say(slot.name + ": " + NoDeviceText(slot, note) + "; asking again");
        }
        if (!AskAgainLater(slot))
            return end;
    }

    slot.on_board = true;
    slot.phase = Phase::checking;
    record.Found(found);
    if (record_ != nullptr)
        record.serial = SerialText(flow.connection());
    // Judged exactly as Browse judges it: this device's EEPROM information, this program's version.
    const int verdict = flow.Verdict(package_, flow.DeviceEepromReader(false), kBuiltInFileVersion);
    if (verdict != 0) {
        record.Rejected(verdict);
        end.recorded = true;
        end_with(kExitRejected, {PackageMessageText(verdict)});
        return end;
    }
    if (!stop_.BeginUpdate()) {
        if (!watch_)
            end_with(kExitUpdateFailed, {kStoppedText});
        return end;
    }
    end.began_update = true;
    char version[kPackageVersionSize];
    FormatPackageVersion(version, package_.content.header);
    {
        const std::lock_guard<std::mutex> hold(out_);
        slot.tenths_shown = 0;
        slot.chunks = 0;
        slot.upload_start = Clock::now();
        slot.phase = Phase::updating;
        Say(slot.name + ": Updating " + found.description + " to " + version);
    }
    // Only the counter: this thread never waits for the display while it talks to the device.
    const std::int32_t result =
        flow.FlashExamined(package_, verdict, [&slot](const UpdateProgress* progress) {
            if (progress != nullptr)
                slot.chunks = progress->position;
            return 0;
        });
    slot.phase = Phase::concluding;
    const UpdateOutcome outcome =
        flow.Conclude(result, package_.content.header, [&] { return flow.SearchPorts(port); });
    record.Outcome(outcome);
    end.recorded = true;
    end.updated = outcome.updated();
    end_with(ExitStatusOf(outcome), Lines(outcome.message.text));
    return end;
}

void Bench::Finish(Slot& slot, Ending& end)
{
    const std::lock_guard<std::mutex> hold(out_);
    if (closing_ || !end.counted)
        return;
    if (end.recorded && record_ != nullptr) {
        std::string error;
        if (!record_->Append(end.record, error)) {
            record_failed_ = true;
            Say("korvane-update: the record of " + slot.name + " could not be written to " + record_->path() +
                " (" + error + ")");
        }
    }
    ShowProgress(slot);
    slot.state = end.lines.empty() ? std::string() : end.lines.front();
    slot.phase = Phase::finished;
    slot.reported = true;
    slot.handled = true;
    Count(end.status);
    (end.updated ? updated_ : failed_) += 1;
    PrintBlock(slot.name, end.lines);
}

void Bench::PrintBlock(const std::string& port, const std::vector<std::string>& lines)
{
    std::string block;
    for (const std::string& line : lines) {
        // Appended piece by piece, which the cross compiler does not misread as an overlapping copy.
        block += Shown(port);
        block += ':';
        if (!line.empty()) {
            block += ' ';
            block += Shown(line);
        }
        block += '\n';
    }
    ClearBoard();
    Print(block);
    FinishOutput();
    DrawBoard();
}

void Bench::Say(const std::string& text)
{
    ClearBoard();
    std::fputs((Shown(text) + "\n").c_str(), stderr);
    std::fflush(stderr);
    DrawBoard();
}

void Bench::ShowProgress(Slot& slot)
{
    if (terminal_ || body_size_ == 0)
        return;
    const std::uint64_t done =
        std::min<std::uint64_t>(std::uint64_t{slot.chunks} * kUploadChunkSize, body_size_);
    const int tenths = static_cast<int>(done * 10 / body_size_);
    while (slot.tenths_shown < tenths) {
        ++slot.tenths_shown;
        std::fprintf(stderr, "%s: %d%%\n", Shown(slot.name).c_str(), slot.tenths_shown * 10);
    }
    std::fflush(stderr);
}

void Bench::Render()
{
    if (!terminal_) {
        for (const auto& slot : slots_) {
            if (slot->phase == Phase::updating || slot->phase == Phase::concluding)
                ShowProgress(*slot);
        }
        return;
    }
    std::size_t width = 0;
    for (const auto& slot : slots_)
        width = std::max(width, Shown(slot->name).size());
    std::vector<const Slot*> shown;
    for (const auto& slot : slots_) {
        if (slot->on_board)
            shown.push_back(slot.get());
    }
    // A board taller than the terminal scrolls its top out of reach of the redraw, which then
    // leaves stale lines behind: the ports that do not fit are counted on one line instead.
    const std::size_t room = rows_ > 1 ? static_cast<std::size_t>(rows_ - 1) : shown.size();
    const std::size_t lines = shown.size() > room ? room - 1 : shown.size();
    std::string board;
    for (std::size_t i = 0; i < lines; ++i)
        board += BoardLine(*shown[i], width) + "\n";
    if (lines < shown.size()) {
        int busy = 0;
        int done = 0;
        for (std::size_t i = lines; i < shown.size(); ++i) {
            const Phase phase = shown[i]->phase;
            busy += phase == Phase::updating || phase == Phase::concluding ? 1 : 0;
            done += phase == Phase::finished ? 1 : 0;
        }
        std::string more = "... " + std::to_string(shown.size() - lines) +
                           " more ports: " + std::to_string(busy) + " updating, " + std::to_string(done) +
                           " done";
        if (columns_ > 1 && more.size() >= static_cast<std::size_t>(columns_))
            more.resize(static_cast<std::size_t>(columns_) - 1);
        board += more + "\n";
    }
    if (board != board_) {
        ClearBoard();
        board_ = board;
        DrawBoard();
    }
}

std::string Bench::BoardLine(const Slot& slot, std::size_t name_width) const
{
    std::string line = Shown(slot.name);
    line += std::string(name_width - line.size() + 2, ' ');
    const Phase phase = slot.phase;
    switch (phase) {
    case Phase::searching: line += "looking for the device"; break;
    case Phase::checking: line += "checking the package"; break;
    case Phase::waiting: line += "waiting"; break;
    case Phase::finished: line += Shown(slot.state); break;
    case Phase::updating:
    case Phase::concluding: {
        const std::uint64_t done =
            std::min<std::uint64_t>(std::uint64_t{slot.chunks} * kUploadChunkSize, body_size_);
        const int percent = body_size_ == 0 ? 100 : static_cast<int>(done * 100 / body_size_);
        const int filled = percent * kBarWidth / 100;
        const double seconds = std::chrono::duration<double>(Clock::now() - slot.upload_start).count();
        char text[64];
        std::snprintf(text, sizeof text, "] %3d%%  %.1f KiB/s", percent,
                      seconds > 0 ? static_cast<double>(done) / seconds / 1024.0 : 0.0);
        line += '[';
        line.append(static_cast<std::size_t>(filled), '#');
        line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
        line += text;
        if (phase == Phase::concluding)
            line += "  identifying the device again";
        break;
    }
    }
    // A line that wraps would throw off the count of lines to go back up.
    if (columns_ > 1 && line.size() >= static_cast<std::size_t>(columns_))
        line.resize(static_cast<std::size_t>(columns_) - 1);
    return line;
}

void Bench::ClearBoard()
{
    if (board_lines_ == 0)
        return;
    std::fprintf(stderr, "\r\x1b[%dA\x1b[J", board_lines_);
    std::fflush(stderr);
    board_lines_ = 0;
}

void Bench::DrawBoard()
{
    if (!terminal_ || board_.empty())
        return;
    std::fputs(board_.c_str(), stderr);
    std::fflush(stderr);
    board_lines_ = static_cast<int>(std::count(board_.begin(), board_.end(), '\n'));
}

void Bench::Poll()
{
    if (all_) {
        for (const std::string& name : PortsForAll()) {
            const bool known =
                std::any_of(slots_.begin(), slots_.end(),
                            [&](const std::unique_ptr<Slot>& slot) { return slot->name == name; });
            if (!known)
                AddSlot(name, false);
        }
    }
    for (const auto& owned : slots_) {
        Slot& slot = *owned;
        // A port whose device is still being asked for is looked at too, so that its going away is
        // said now and not once the asking ends (its thread notices by itself).
        const bool asking = !slot.worker_done;
        if (asking && slot.phase != Phase::searching)
            continue;
        const std::string identity = PortIdentity(slot.path);
        if (identity.empty()) {
            if (!asking)
                slot.identity.clear();
            const std::lock_guard<std::mutex> hold(out_);
            slot.handled = false;
            slot.phase = Phase::waiting;
            if (!slot.waiting_said && (slot.on_board || !all_)) {
                slot.on_board = true;
                slot.waiting_said = true;
                PrintBlock(slot.name, {"waiting"});
            }
            continue;
        }
        if (asking)
            continue;
        bool handled = false;
        {
            const std::lock_guard<std::mutex> hold(out_);
            handled = slot.handled && identity == slot.identity;
            if (!handled)
                slot.handled = false;
        }
        if (handled)
            continue;
        slot.identity = identity;
        slot.waiting_said = false;
        Start(slot);
    }
}

bool Bench::AllDone() const
{
    return std::all_of(slots_.begin(), slots_.end(),
                       [](const std::unique_ptr<Slot>& slot) { return slot->worker_done.load(); });
}

void Bench::Count(int status)
{
    any_attempt_ = true;
    seen_[status] = true;
}

int Bench::Status() const
{
    for (const int status : {kExitUpdateFailed, kExitRejected, kExitNoDevice, kExitVersionMismatch}) {
        if (seen_[status])
            return status;
    }
    return kExitDone;
}

int Bench::Run()
{
    if (watch_) {
        for (const std::string& name : options_.ports)
            AddSlot(name, true);
    } else {
        const std::vector<std::string> names = all_ ? PortsForAll() : options_.ports;
        for (const std::string& name : names)
            Start(AddSlot(name, !all_));
    }
    auto next_poll = Clock::now();
    bool stopped = false;
    int requests_said = 0;
    for (;;) {
        stopped = stop_.Wait(kDisplayTick);
        for (const auto& slot : slots_) {
            if (slot->worker_done && slot->worker.joinable())
                slot->worker.join();
        }
        {
            const std::lock_guard<std::mutex> hold(out_);
            // Each request answered, as long as updates run that it does not stop.
            if (stop_.requests() > requests_said && stop_.updates_running() > 0)
                Say(kUpdatesInProgressText);
            requests_said = stop_.requests();
            Render();
        }
        if (stopped && stop_.updates_running() == 0)
            break;
        if (watch_ && !stopped && Clock::now() >= next_poll) {
            Poll();
            next_poll = Clock::now() + kPollInterval;
        }
        if (!watch_ && AllDone())
            break;
    }
    return Close(stopped);
}

int Bench::Close(bool stopped)
{
    bool threads_left = false;
    int status = kExitDone;
    {
        const std::lock_guard<std::mutex> hold(out_);
        closing_ = true;
        for (const auto& slot : slots_) {
            if (!watch_ && !slot->reported && slot->on_board && stopped) {
                Count(kExitUpdateFailed);
                ++failed_;
                PrintBlock(slot->name, {kStoppedText});
            }
        }
        ClearBoard();
        board_.clear();
        if (all_ && !watch_ && !any_attempt_ && !stopped) {
            std::fprintf(stderr, "korvane-update: no device found (%s)\n", CandidatePortsText());
            Count(kExitNoDevice);
        }
        Print(std::to_string(updated_) + " updated, " + std::to_string(failed_) + " failed\n");
        FinishOutput();
        status = record_failed_ ? kExitOutputFailed : Status();
    }
    for (const auto& slot : slots_) {
        if (slot->worker.joinable()) {
            if (slot->worker_done)
                slot->worker.join();
            else
                threads_left = true;
        }
    }
    if (threads_left) {
        // Stopped while some ports were still being asked for a device: no update runs and
        // nothing is left to record, so the program ends without waiting for their answers.
        status = StatusAfterOutput(status);
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace

int RunBench(const BenchSetup& setup)
{
    Bench bench(setup);
    return bench.Run();
}
