// A stand-in for the dialog window: records what the dialog shows and answers its questions.
// Messages sent from another thread wait in a queue until the test's thread pumps them, as a
// window's thread would handle them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/update_dialog.h"
#include "resources/package_messages.h"
#include "resources/version.h"

struct ShownBox {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

struct ProgressCall {
    enum Kind { range, pos, step } kind;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    bool operator==(const ProgressCall&) const = default;
};

struct BrowseCall {
    std::string title;
    std::vector<std::string> filter; // the name/pattern list, item by item
    std::string default_extension;
    std::size_t capacity = 0;
};

class FakeView final : public DialogView {
public:
    explicit FakeView(UpdateDialog& dialog) : dialog_(dialog), ui_thread_(std::this_thread::get_id())
    {
        const int ids[] = {IDC_UPDATE, IDC_CANCEL, IDC_DETECT, IDC_BROWSE, IDC_IMAGE_PATH};
        for (int id : ids)
            enabled[id] = true;
        enabled[IDC_UPDATE] = false; // as the template has it
        texts[IDC_UPDATE] = "Update!";
        texts[IDC_CANCEL] = "Cancel";
        texts[IDC_HW_DESCRIPTION] = "Not Found!";
        texts[IDC_FW_VERSION] = "Not Found!";
        texts[IDC_PACKAGE_VERSION] = "Unknown";
        texts[IDC_PACKAGE_TARGET] = "Unknown";
        texts[IDC_IMAGE_PATH] = "";
    }

    ~FakeView() override
    {
        // Like a destroyed window: messages still on their way are dropped, so a worker whose
        // test ended early does not wait for a pump that never comes.
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            for (Pending& p : queue_)
                if (p.done != nullptr)
                    *p.done = true;
            queue_.clear();
        }
        handled_.notify_all();
        for (std::thread& t : workers_)
            if (t.joinable())
                t.join();
    }

    // What the dialog showed.
    std::string caption;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::vector<std::pair<int, std::string>> text_history;
    std::vector<ShownBox> boxes;
    std::vector<BrowseCall> browse_calls;
    std::vector<std::uint32_t> posted;
    int centred = 0;
    std::optional<int> ended;
    int workers_started = 0;

    // What the user or system answers.
    std::deque<std::optional<std::string>> browse_answers; // nullopt: the user cancels
    std::function<void()> while_box_open;                  // runs inside message_box
    bool has_build_string = true;
    bool thread_fails = false;
    std::optional<PowerStatus> power;  // nullopt: the status cannot be had
    std::deque<bool> question_answers; // true: OK; none left: Cancel

    // Around an upload.
    std::vector<ShownBox> questions;
    std::vector<bool> awake_requests;            // each keep_system_awake call
    std::vector<std::string> session_end_blocks; // each block_session_end call ("" when allowed)
    bool awake() const { return !awake_requests.empty() && awake_requests.back(); }
    bool session_end_blocked() const
    {
        return !session_end_blocks.empty() && !session_end_blocks.back().empty();
    }

    // The taskbar button, call by call: "progress C/T", "error", "clear".
    std::vector<std::string> taskbar() const
    {
        std::lock_guard lock(mutex_);
        return taskbar_;
    }

    std::vector<ProgressCall> progress() const
    {
        std::lock_guard lock(mutex_);
        return progress_;
    }

    // Handles queued messages until pred is true or the time is up.
    bool pump_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        for (;;) {
            while (!queue_.empty()) {
                Pending p = queue_.front();
                queue_.pop_front();
                lock.unlock();
                dispatch(p.message, p.lparam);
                lock.lock();
                if (p.done != nullptr) {
                    *p.done = true;
                    handled_.notify_all();
                }
            }
            lock.unlock();
            if (pred())
                return true;
            lock.lock();
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            queued_.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
        }
    }

    // Pumps until the worker has reported and the dialog has handled its outcome.
    bool wait_for_outcome(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        return pump_until([this] { return !dialog_.upload_running(); }, timeout);
    }

    void set_caption(const char* text) override { caption = text; }
    void set_text(int id, const char* text) override
    {
        texts[id] = text;
        text_history.emplace_back(id, text);
    }
    void get_text(int id, char* buffer, std::size_t capacity) override
    {
        std::snprintf(buffer, capacity, "%s", texts[id].c_str());
    }
    void enable(int id, bool on) override { enabled[id] = on; }
    bool is_enabled(int id) override { return enabled[id]; }
    void center_on_desktop() override { ++centred; }
    void message_box(const char* text, const char* box_caption, MessageIcon icon) override
    {
        boxes.push_back({text, box_caption, icon});
        if (while_box_open) {
            auto hook = std::move(while_box_open);
            while_box_open = nullptr;
            hook();
        }
    }
    bool browse_for_file(char* buffer, std::size_t capacity, const char* title, const char* filter,
                         const char* default_extension) override
    {
        BrowseCall call;
        call.title = title;
        for (const char* p = filter; *p != '\0'; p += std::char_traits<char>::length(p) + 1)
            call.filter.emplace_back(p);
        call.default_extension = default_extension;
        call.capacity = capacity;
        browse_calls.push_back(call);
        if (browse_answers.empty() || !browse_answers.front()) {
            if (!browse_answers.empty())
                browse_answers.pop_front();
            return false;
        }
        std::snprintf(buffer, capacity, "%s", browse_answers.front()->c_str());
        browse_answers.pop_front();
        return true;
    }
    void post_message(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) override
    {
        posted.push_back(message);
        std::lock_guard lock(mutex_);
        queue_.push_back({message, lparam, nullptr});
        queued_.notify_all();
    }
    void send_message(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) override
    {
        if (std::this_thread::get_id() == ui_thread_) {
            dispatch(message, lparam);
            return;
        }
        bool done = false;
        std::unique_lock lock(mutex_);
        if (closing_)
            return;
        queue_.push_back({message, lparam, &done});
        queued_.notify_all();
        handled_.wait(lock, [&] { return done; });
    }
    bool start_worker(FirmwareUpdateParams& params) override
    {
        if (thread_fails)
            return false;
        ++workers_started;
        workers_.emplace_back([&params] { FirmwareUpdateProc(params); });
        return true;
    }
    void progress_set_range32(std::uint32_t low, std::uint32_t high) override
    {
        record({ProgressCall::range, low, high});
    }
    void progress_set_pos(std::uint32_t position) override { record({ProgressCall::pos, position, 0}); }
    void progress_step() override { record({ProgressCall::step, 0, 0}); }
    void end_dialog(int result) override { ended = result; }
    int load_string(int id, char* buffer, std::size_t capacity) override
    {
        const char* text = nullptr;
        switch (id) {
        case KV_IDS_PACKAGE_CHECKSUM_MISMATCH: text = KV_TEXT_PACKAGE_CHECKSUM_MISMATCH; break;
        case KV_IDS_PACKAGE_WRONG_HARDWARE: text = KV_TEXT_PACKAGE_WRONG_HARDWARE; break;
        case KV_IDS_PACKAGE_NEEDS_NEWER_UPDATER: text = KV_TEXT_PACKAGE_NEEDS_NEWER_UPDATER; break;
        case KV_IDS_PACKAGE_INVALID: text = KV_TEXT_PACKAGE_INVALID; break;
        case KV_IDS_PACKAGE_NOT_A_PACKAGE: text = KV_TEXT_PACKAGE_NOT_A_PACKAGE; break;
        case KV_IDS_PACKAGE_NO_HARDWARE_ID: text = KV_TEXT_PACKAGE_NO_HARDWARE_ID; break;
        case KV_IDS_PACKAGE_DEPRECATED: text = KV_TEXT_PACKAGE_DEPRECATED; break;
        case KV_IDS_PACKAGE_SIGNATURE_MISMATCH: text = KV_TEXT_PACKAGE_SIGNATURE_MISMATCH; break;
        case KV_IDS_PACKAGE_NOT_SIGNED: text = KV_TEXT_PACKAGE_NOT_SIGNED; break;
        default: buffer[0] = '\0'; return 0;
        }
        std::snprintf(buffer, capacity, "%s", text);
        return static_cast<int>(std::char_traits<char>::length(buffer));
    }
    bool own_version_numbers(FileVersionNumbers* numbers) override
    {
        *numbers = {KV_FILE_VERSION_MAJOR, KV_FILE_VERSION_MINOR, KV_FILE_VERSION_BUILD,
                    KV_FILE_VERSION_REVISION};
        return true;
    }
    bool build_string(char* buffer, std::size_t capacity) override
    {
        if (!has_build_string)
            return false;
        std::snprintf(buffer, capacity, "%i.%.2i.%.4i.%.2i", KV_FILE_VERSION_MAJOR, KV_FILE_VERSION_MINOR,
                      KV_FILE_VERSION_BUILD, KV_FILE_VERSION_REVISION);
        return true;
    }

    bool ask_ok_cancel(const char* text, const char* box_caption, MessageIcon icon) override
    {
        questions.push_back({text, box_caption, icon});
        if (question_answers.empty())
            return false;
        const bool answer = question_answers.front();
        question_answers.pop_front();
        return answer;
    }
    bool power_status(PowerStatus* status) override
    {
        if (!power)
            return false;
        *status = *power;
        return true;
    }
    void keep_system_awake(bool on) override { awake_requests.push_back(on); }
    void block_session_end(const char* reason) override
    {
        session_end_blocks.emplace_back(reason != nullptr ? reason : "");
    }
    void taskbar_progress(std::uint32_t completed, std::uint32_t total) override
    {
        record_taskbar("progress " + std::to_string(completed) + "/" + std::to_string(total));
    }
    void taskbar_error() override { record_taskbar("error"); }
    void taskbar_clear() override { record_taskbar("clear"); }

    void set_timer(std::uint32_t id, std::uint32_t milliseconds) override { timers[id] = milliseconds; }
    void kill_timer(std::uint32_t id) override { timers.erase(id); }
    std::string serial_port_list() override { return port_list; }
    void show_balloon(int control_id, const char* title, const char* text) override
    {
        balloon = Balloon{control_id, title, text};
    }
    void hide_balloon() override { balloon.reset(); }

    // The running timers (id to milliseconds); a test fires one as its time would come.
    std::map<std::uint32_t, std::uint32_t> timers;
    bool fire_timer(std::uint32_t id)
    {
        if (timers.erase(id) == 0)
            return false;
        dialog_.OnTimer(id);
        return true;
    }
    std::string port_list; // what the system lists as its serial ports
    struct Balloon {
        int control_id;
        std::string title;
        std::string text;
    };
    std::optional<Balloon> balloon;

private:
    void record_taskbar(std::string event)
    {
        std::lock_guard lock(mutex_);
        taskbar_.push_back(std::move(event));
    }

    struct Pending {
        std::uint32_t message;
        std::intptr_t lparam;
        bool* done;
    };

    void dispatch(std::uint32_t message, std::intptr_t lparam)
    {
        if (message == WM_DETECT_HARDWARE)
            dialog_.OnDetectHardware();
        else if (message == WM_UPDATE_COMPLETE)
            dialog_.OnUpdateComplete(static_cast<std::int32_t>(lparam));
    }

    void record(ProgressCall call)
    {
        std::lock_guard lock(mutex_);
        progress_.push_back(call);
    }

    UpdateDialog& dialog_;
    std::thread::id ui_thread_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable handled_;
    std::deque<Pending> queue_;
    std::vector<ProgressCall> progress_;
    std::vector<std::string> taskbar_;
    std::vector<std::thread> workers_;
    bool closing_ = false;
};
