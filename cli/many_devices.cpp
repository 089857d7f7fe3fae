#include "cli/many_devices.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
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
#include "serial/serial_backend.h"
#include "update/update_flow.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDisplayTick{100};  // progress redrawn, signals answered
constexpr milliseconds kPollInterval{250}; // the watched ports looked at
constexpr int kLooksPerPortList = 8;       // --all: the ports present asked for every 2 s
constexpr int kAskAgainTicks = 4;
constexpr int kRecheckLooks = 4; // a port whose unit was updated: asked again every second
constexpr int kGoneRechecks = 2; // that many asks without an answer: the unit was taken away          // a
                                 // port without an answering device: asked again after 400 ms
constexpr int kBarWidth = 20;
constexpr milliseconds kCheckingWait{5000}; // a stop: the package checks running end first
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
    std::atomic<std::uint64_t> bytes{0}; // acknowledged in the running upload
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
    bool alias = false;    // another name for a node another port stands for
    int looks_handled = 0; // since the unit at `identity` had its attempt

    // The next attempt only asks whether another unit answers now (set before the worker starts).
    bool recheck = false;
    // The worker's: the unit last updated here, and how many asks in a row found nothing.
    std::optional<std::string> unit_serial;
    int silent_rechecks = 0;
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

class ManyDevices {
public:
    explicit ManyDevices(const ManyDevicesSetup& setup)
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
    // Whether the unit answering on a port whose unit was updated is another one.
    bool IsNewUnit(Slot& slot, UpdateFlow& flow, const SearchTarget& port);
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
    unsigned polls_ = 0; // the main thread's
};

Slot& ManyDevices::AddSlot(const std::string& name, bool listed)
{
    const std::lock_guard<std::mutex> hold(out_);
    slots_.push_back(std::make_unique<Slot>(name, listed));
    return *slots_.back();
}

void ManyDevices::Start(Slot& slot)
{
    // A thread that ended since the last look is joined here (its last act was to say so).
    if (slot.worker.joinable())
        slot.worker.join();
    slot.worker_done = false;
    slot.phase = Phase::searching;
    slot.worker = std::thread([this, &slot] { Attempt(slot); });
}

void ManyDevices::Attempt(Slot& slot)
{
    DeviceConnection connection(make_serial_backend(), SystemClock::instance(), SystemPorts());
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
        flow.Close();
    }
    connection.log_sink = nullptr;
    connection.port.log_sink = nullptr;
    Finish(slot, end);
    // Only now, with the outcome out and recorded, may a stop end the program.
    if (end.began_update)
        stop_.EndUpdate();
    slot.worker_done = true;
}

bool ManyDevices::IsNewUnit(Slot& slot, UpdateFlow& flow, const SearchTarget& port)
{
    slot.recheck = false;
    const FoundDevice now = flow.Find(port, true);
    flow.Close();
    if (!now.found) {
        ++slot.silent_rechecks;
        return false;
    }
    const bool gone_and_back = slot.silent_rechecks >= kGoneRechecks;
    slot.silent_rechecks = 0;
    return gone_and_back || now.serial != slot.unit_serial;
}

bool ManyDevices::AskAgainLater(const Slot& slot)
{
    for (int i = 0; i < kAskAgainTicks; ++i) {
        if (stop_.requested())
            return false;
        std::this_thread::sleep_for(kDisplayTick);
    }
    return !stop_.requested() && PortIdentity(slot.path) == slot.identity;
}

Ending ManyDevices::Update(Slot& slot, UpdateFlow& flow)
{
    Ending end;
    AttemptRecord& record = end.record;
    record.port = slot.name;
    record.Package(options_.package, package_);
    Clock::time_point start;
    const auto end_with = [&](int status, std::vector<std::string> lines) {
        end.counted = true;
        end.status = status;
        end.lines = std::move(lines);
        record.status = status;
        record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    };

    UpdateRequest request;
    request.target = SearchTarget::Ports({{slot.name, slot.path}});
    request.package = &package_;
    request.own_version = kBuiltInFileVersion;
    request.read_serial = record_ != nullptr || watch_;
    std::string description;
    request.found = [&](const FoundDevice& found) {
        slot.on_board = true;
        slot.phase = Phase::checking;
        description = found.description;
    };
    // An update begins only when no stop was asked for, so nothing begins that a stop would cut.
    request.may_send = [&] {
        if (!stop_.BeginUpdate())
            return false;
        end.began_update = true;
        char version[kPackageVersionSize];
        FormatPackageVersion(version, package_.content.header);
        const std::lock_guard<std::mutex> hold(out_);
        slot.tenths_shown = 0;
        slot.bytes = 0;
        slot.upload_start = Clock::now();
        slot.phase = Phase::updating;
        Say(slot.name + ": Updating " + description + " to " + version);
        return true;
    };
    // Only the counter: this thread never waits for the display while it talks to the device.
    request.progress = [&slot](const SendProgress& progress) {
        slot.bytes = progress.done;
        if (progress.stage == SendProgress::Stage::end)
            slot.phase = Phase::concluding;
    };

    if (slot.recheck && !IsNewUnit(slot, flow, request.target)) {
        slot.phase = Phase::finished;
        return end;
    }

    UpdateOutcome outcome;
    bool unopened_said = false;
    for (;;) {
        record.time = std::chrono::system_clock::now();
        start = Clock::now();
        outcome = flow.Run(request);
        if (outcome.verdict != UpdateVerdict::no_device)
            break;
        const PortAttempt tried =
            outcome.before.attempts.empty() ? PortAttempt(slot.name) : outcome.before.attempts.front();
        if (tried.state == PortState::answered) {
            slot.on_board = true;
            record.description = tried.description;
            record.NoDevice();
            end.recorded = true;
            end_with(kExitNoDevice, {PortStateWords(tried)});
            return end;
        }
        if (!watch_) {
            if (!all_) {
                record.NoDevice();
                end.recorded = true;
                end_with(kExitNoDevice, {PortStateWords(tried)});
            }
            return end; // --all: no device here, nothing to say
        }
        // Watched: not an attempt yet. Ask again while the same port is there.
        if (tried.state != PortState::silent && !unopened_said) {
            unopened_said = true;
            const std::lock_guard<std::mutex> hold(out_);
            Say(slot.name + ": " + PortStateWords(tried) + "; asking again");
        }
        if (!AskAgainLater(slot))
            return end;
    }

    slot.on_board = true;
    slot.unit_serial = outcome.before.serial;
    slot.silent_rechecks = 0;
    record.Found(outcome.before);
    record.serial = outcome.before.serial;
    if (outcome.verdict == UpdateVerdict::rejected) {
        record.Rejected(outcome.package_verdict);
        end.recorded = true;
        end_with(kExitRejected, {PackageMessageText(outcome.package_verdict)});
        return end;
    }
    if (outcome.verdict == UpdateVerdict::not_begun) {
        // The attempt began (the device answered) and ends here: it is recorded like any other.
        record.Stopped();
        end.recorded = true;
        end_with(kExitUpdateFailed, {kStoppedText});
        return end;
    }
    record.Outcome(outcome);
    end.recorded = true;
    end.updated = outcome.updated();
    end_with(ExitStatusOf(outcome), Lines(outcome.message.text));
    return end;
}

void ManyDevices::Finish(Slot& slot, Ending& end)
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

void ManyDevices::PrintBlock(const std::string& port, const std::vector<std::string>& lines)
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

void ManyDevices::Say(const std::string& text)
{
    ClearBoard();
    std::fputs((Shown(text) + "\n").c_str(), stderr);
    std::fflush(stderr);
    DrawBoard();
}

void ManyDevices::ShowProgress(Slot& slot)
{
    if (terminal_ || body_size_ == 0)
        return;
    const std::uint64_t done = slot.bytes;
    const int tenths = static_cast<int>(done * 10 / body_size_);
    while (slot.tenths_shown < tenths) {
        ++slot.tenths_shown;
        std::fprintf(stderr, "%s: %d%%\n", Shown(slot.name).c_str(), slot.tenths_shown * 10);
    }
    std::fflush(stderr);
}

void ManyDevices::Render()
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

std::string ManyDevices::BoardLine(const Slot& slot, std::size_t name_width) const
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
        const std::uint64_t done = slot.bytes;
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

void ManyDevices::ClearBoard()
{
    if (board_lines_ == 0)
        return;
    std::fprintf(stderr, "\r\x1b[%dA\x1b[J", board_lines_);
    std::fflush(stderr);
    board_lines_ = 0;
}

void ManyDevices::DrawBoard()
{
    if (!terminal_ || board_.empty())
        return;
    std::fputs(board_.c_str(), stderr);
    std::fflush(stderr);
    board_lines_ = static_cast<int>(std::count(board_.begin(), board_.end(), '\n'));
}

void ManyDevices::Poll()
{
    // The ports present are asked for every few looks only: on Windows that asks the system about
    // every COM number.
    if (all_ && polls_++ % kLooksPerPortList == 0) {
        for (const std::string& name : PresentPorts(ListedPorts())) {
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
        if (handled) {
            // A unit swapped on a node that stays (a busy port keeps its numbers) shows only by
            // what answers there now.
            if (!slot.alias && ++slot.looks_handled % kRecheckLooks == 0) {
                slot.recheck = true;
                Start(slot);
            }
            continue;
        }
        slot.looks_handled = 0;
        slot.recheck = false;
        // Another name for a node whose unit is being updated, or was and is still there: the
        // same unit.
        const bool alias = std::any_of(slots_.begin(), slots_.end(), [&](const std::unique_ptr<Slot>& other) {
            if (other.get() == &slot || other->identity != identity)
                return false;
            const std::lock_guard<std::mutex> hold(out_);
            return !other->worker_done || other->handled;
        });
        slot.identity = identity;
        slot.alias = alias;
        if (alias) {
            const std::lock_guard<std::mutex> hold(out_);
            slot.handled = true;
            continue;
        }
        slot.waiting_said = false;
        Start(slot);
    }
}

bool ManyDevices::AllDone() const
{
    return std::all_of(slots_.begin(), slots_.end(),
                       [](const std::unique_ptr<Slot>& slot) { return slot->worker_done.load(); });
}

void ManyDevices::Count(int status)
{
    any_attempt_ = true;
    seen_[status] = true;
}

int ManyDevices::Status() const
{
    for (const int status : {kExitUpdateFailed, kExitRejected, kExitNoDevice, kExitVersionMismatch}) {
        if (seen_[status])
            return status;
    }
    return kExitDone;
}

int ManyDevices::Run()
{
    if (watch_) {
        for (const std::string& name : options_.ports)
            AddSlot(name, true);
    } else {
        std::vector<std::string> names = all_ ? PresentPorts(ListedPorts()) : options_.ports;
        // --all: a device reached by several names is updated once, under its first.
        std::vector<std::string> nodes;
        for (const std::string& name : names) {
            const std::string node = PortNodeKey(DevicePathOf(name));
            if (std::find(nodes.begin(), nodes.end(), node) != nodes.end())
                continue;
            nodes.push_back(node);
            Start(AddSlot(name, !all_));
        }
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

int ManyDevices::Close(bool stopped)
{
    bool threads_left = false;
    int status = kExitDone;
    // An attempt whose device answered has begun: it ends (stopped before anything is sent) and is
    // recorded before the run closes. Only the package check is left to it, which is short.
    const auto deadline = Clock::now() + kCheckingWait;
    for (const auto& slot : slots_) {
        while (!slot->worker_done && slot->phase == Phase::checking && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(10));
    }
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

int RunManyDevices(const ManyDevicesSetup& setup)
{
    ManyDevices run(setup);
    return run.Run();
}
