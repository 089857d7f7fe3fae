// The diagnostic log window's behaviour with a fake window: it shows the whole session's log,
// follows it in steps, hides and comes back, saves; and the dialog's session fills the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/log_window.h"
#include "app/update_dialog.h"
#include "tests/log/memory_text_control.h"
#include "tests/app/fake_view.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"

namespace fs = std::filesystem;

namespace {

class FakeLogView final : public LogWindowView {
public:
    bool can_show = true;
    bool shown = false;
    int show_calls = 0;
    int set_text_calls = 0;
    std::string text;
    std::deque<std::optional<std::string>> save_answers; // nullopt: the user cancels
    std::vector<std::string> save_dialogs;               // title|filter items|extension
    std::vector<ShownBox> boxes;

    bool show() override
    {
        ++show_calls;
        shown = can_show;
        return can_show;
    }
    void hide() override { shown = false; }
    void set_text(const char* t) override
    {
        ++set_text_calls;
        text = t;
    }
    void remove_leading(std::size_t n) override { text.erase(0, n); }
    void append(const char* t) override { text += t; }
    bool choose_save_path(char* buffer, std::size_t capacity, const char* title, const char* filter,
                          const char* extension) override
    {
        std::string call = std::string(title) + "|";
        for (const char* p = filter; *p != '\0'; p += std::char_traits<char>::length(p) + 1)
            call += std::string(p) + "|";
        save_dialogs.push_back(call + extension);
        if (save_answers.empty() || !save_answers.front()) {
            if (!save_answers.empty())
                save_answers.pop_front();
            return false;
        }
        std::snprintf(buffer, capacity, "%s", save_answers.front()->c_str());
        save_answers.pop_front();
        return true;
    }
    void message_box(const char* t, const char* caption, MessageIcon icon) override
    {
        boxes.push_back({t, caption, icon});
    }
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LogWindowTest, ShowsTheWholeLogFollowsItHidesAndComesBack)
{
    LogBuffer buffer;
    LogSink sink{&buffer};
    LogWindow window(buffer);
    FakeLogView view;
    log_line(&sink, "QBSerial: before the window was ever opened");

    window.OnOpen(view);
    EXPECT_TRUE(view.shown);
    EXPECT_TRUE(window.visible());
    EXPECT_EQ(view.text, "QBSerial: before the window was ever opened");
    log_line(&sink, "QBKorvane: second");
    window.OnRefresh();
    EXPECT_EQ(view.text, buffer.text());

    window.OnClose();
    EXPECT_FALSE(view.shown);
    log_line(&sink, "QBKorvane: while hidden");
    window.OnRefresh(); // a hidden window is left alone
    EXPECT_EQ(view.text.find("while hidden"), std::string::npos);

    window.OnOpen(view); // opened again: shown again, with what came meanwhile
    EXPECT_TRUE(view.shown);
    EXPECT_EQ(view.show_calls, 2);
    EXPECT_EQ(view.text, buffer.text());
    EXPECT_EQ(view.set_text_calls, 0); // only ever appended
}

TEST(LogWindowTest, FollowsTheBoundByDroppingOldLinesFromItsStart)
{
    LogBuffer buffer(2000);
    LogSink sink{&buffer};
    LogWindow window(buffer, 0);
    FakeLogView view;
    window.OnOpen(view);
    for (int i = 0; i < 500; ++i) {
        log_line(&sink, "QBKorvane: line %i", i);
        if (i % 10 == 0) {
            window.OnRefresh();
            ASSERT_EQ(view.text, buffer.text()) << "after line " << i;
        }
    }
    EXPECT_EQ(view.set_text_calls, 0);
    // Taken from the start in batches: never more than a batch of old lines beyond what the log keeps.
    {
        LogBuffer batched(2000);
        LogSink batched_sink{&batched};
        LogWindow batched_window(batched, 500);
        FakeLogView batched_view;
        batched_window.OnOpen(batched_view);
        std::size_t trims = 0;
        for (int i = 0; i < 500; ++i) {
            log_line(&batched_sink, "QBKorvane: line %i", i);
            const std::size_t before = batched_view.text.size();
            batched_window.OnRefresh();
            const std::string kept = batched.text();
            const std::string& shown = batched_view.text;
            ASSERT_GE(shown.size(), kept.size());
            ASSERT_EQ(shown.compare(shown.size() - kept.size(), kept.size(), kept), 0) << "after line " << i;
            ASSERT_LT(shown.size() - kept.size(), 500u + 40u);
            trims += shown.size() < before ? 1 : 0;
        }
        EXPECT_GT(trims, 5u);
        EXPECT_LT(trims, 40u);
    }
    // Hidden through more than the whole bound: shown anew in one piece.
    window.OnClose();
    for (int i = 0; i < 500; ++i)
        log_line(&sink, "QBKorvane: later %i", i);
    window.OnOpen(view);
    EXPECT_EQ(view.set_text_calls, 1);
    EXPECT_EQ(view.text, buffer.text());
    // A window destroyed with its owner is filled whole when made again.
    window.OnDestroyed();
    view.text.clear();
    window.OnOpen(view);
    EXPECT_EQ(view.text, buffer.text());
}

TEST(LogWindowTest, SaveWritesTheLogAsItIsAndSaysWhenItCannot)
{
    char pattern[] = "/tmp/kv-log-window-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    LogBuffer buffer;
    LogSink sink{&buffer};
    LogWindow window(buffer);
    FakeLogView view;
    log_line(&sink, "QBKorvane: one");
    const std::uint8_t bytes[] = {'V', 0x01, 0xFF};
    log_hex_dump(&sink, "QBSerial: Write", bytes, sizeof bytes);
    window.OnOpen(view);

    const std::string path = dir + "/log.txt";
    view.save_answers.push_back(path);
    window.OnSave();
    ASSERT_EQ(view.save_dialogs.size(), 1u);
    EXPECT_EQ(view.save_dialogs[0], "Save Diagnostic Log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*|txt");
    EXPECT_EQ(ReadFile(path), buffer.text());
    EXPECT_NE(ReadFile(path).find("\r\nQBSerial: Write\r\n0000: 56 01 FF "), std::string::npos);
    EXPECT_TRUE(view.boxes.empty());

    window.OnSave(); // cancelled: nothing written, nothing said
    EXPECT_TRUE(view.boxes.empty());

    view.save_answers.push_back(dir + "/no-such-folder/log.txt");
    window.OnSave();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, "The log could not be saved to " + dir + "/no-such-folder/log.txt.");
    EXPECT_EQ(view.boxes[0].caption, "Diagnostic Log");
    EXPECT_EQ(view.boxes[0].icon, MessageIcon::error);
    fs::remove_all(dir);
}

TEST(LogWindowTest, WithoutAWindowTheLogStaysUnseenAndGoesOn)
{
    LogBuffer buffer;
    LogSink sink{&buffer};
    LogWindow window(buffer);
    FakeLogView view;
    view.can_show = false;
    window.OnOpen(view);
    log_line(&sink, "QBKorvane: still logged");
    window.OnRefresh();
    EXPECT_FALSE(window.visible());
    EXPECT_EQ(view.text, "");
    EXPECT_EQ(buffer.text(), "QBKorvane: still logged");
}

// The log attached as the program attaches it holds the whole session: the search, the
// identification's exchanges as dumps, and the upload with its result.
TEST(LogWindowTest, TheSessionOfTheDialogFillsTheLog)
{
    char pattern[] = "/tmp/kv-log-session-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    setenv("KV_COM_DIR", dir.c_str(), 1);
    kvsim::SimDevice sim{kvsim::DeviceConfig{}};
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.link_as(dir + "/com3"));
    LogBuffer buffer;
    LogSink sink{&buffer};
    auto connection = std::make_unique<DeviceConnection>();
    AttachDiagnosticLog(*connection, &sink);
    {
        UpdateDialog dialog(*connection);
        FakeView view(dialog);
        dialog.OnInitDialog(view);
        ASSERT_TRUE(view.pump_until([] { return true; }, std::chrono::milliseconds(0)));
        ASSERT_EQ(view.texts[IDC_FW_VERSION], "02.20.A");
        qfwpack::PackageSpec spec;
        spec.body_size = 512;
        ASSERT_TRUE(qfwpack::WritePackage(dir + "/good.qfw", spec));
        view.browse_answers.push_back(dir + "/good.qfw");
        dialog.OnBrowseButton();
        dialog.OnUpdateButton();
        ASSERT_TRUE(view.wait_for_outcome());
    }
    const std::string text = buffer.text();
    EXPECT_NE(text.find("QBSerial: Write\r\n0000: 56 "), std::string::npos) << "the version request";
    EXPECT_NE(text.find("QBSerial: Read\r\n0000: "), std::string::npos);
    EXPECT_NE(text.find("FirmwareUpdateProc completed with result: 0"), std::string::npos);
    const std::vector<std::string> lines = SplitLogLines(text);
    EXPECT_GT(lines.size(), 60u); // two chunks of 256 bytes are 32 dump lines alone
    connection.reset();
    sim.stop();
    fs::remove_all(dir);
}

} // namespace
