#include "app/log_window.h"

#include <cstdio>
#include <string>

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
    char path[kPathCapacity] = {};
    if (!view_->choose_save_path(path, sizeof path, kSaveLogTitle, kSaveLogFilter, kSaveLogDefaultExtension))
        return;
    path[sizeof path - 1] = '\0';
    if (!WriteTextFile(path, buffer_.text())) {
        char text[kPathCapacity + 64];
        std::snprintf(text, sizeof text, "The log could not be saved to %s.", path);
        view_->message_box(text, kDiagnosticLogTitle, MessageIcon::error);
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
    std::FILE* file = std::fopen(path, "wb");
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
