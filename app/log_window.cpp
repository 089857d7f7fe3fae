#include "app/log_window.h"

#include <cstdio>
#include <string>
#include <vector>

#include "log/file_path.h"

#include "device/device_connection.h"

void LogWindow::OnOpen(LogWindowView& view)
{
    view_ = &view;
    if (!view.show())
        return;
    visible_ = true;
    OnRefresh();
}

void LogWindow::OnRefresh()
{
    if (view_ == nullptr || !visible_)
        return;
    const LogBuffer::Changes changes = buffer_.changes_since(shown_first_, shown_end_);
    if (changes.reset) {
        view_->set_text(changes.text.c_str());
        shown_first_ = changes.first;
    } else {
        if (changes.drop_front != 0 && changes.drop_front >= trim_batch_) {
            view_->remove_leading(changes.drop_front);
            shown_first_ = changes.first;
        }
        if (!changes.text.empty())
            view_->append(changes.text.c_str());
    }
    shown_end_ = changes.end;
}

void LogWindow::OnSave()
{
    if (view_ == nullptr)
        return;
    std::vector<char> path(kPathCapacity, '\0');
    if (!view_->choose_save_path(path.data(), path.size(), kSaveLogTitle, kSaveLogFilter,
                                 kSaveLogDefaultExtension))
        return;
    path.back() = '\0';
    if (!WriteTextFile(path.data(), buffer_.text())) {
        const std::string text = std::string("The log could not be saved to ") + path.data() + ".";
        view_->message_box(text.c_str(), kDiagnosticLogTitle, MessageIcon::error);
    }
}

void LogWindow::OnClose()
{
    if (view_ != nullptr && visible_)
        view_->hide();
    visible_ = false;
}

void LogWindow::OnDestroyed()
{
    // A new window starts empty: it is filled whole when it is next shown.
    visible_ = false;
    shown_first_ = 0;
    shown_end_ = 0;
}

bool WriteTextFile(const char* path, const std::string& text)
{
    std::FILE* file = OpenFileByPath(path, "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

void AttachDiagnosticLog(DeviceConnection& connection, LogSink* sink)
{
    connection.log_sink = sink;
    connection.port.log_sink = sink;
}
