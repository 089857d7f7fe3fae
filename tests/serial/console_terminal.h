// A pseudo-terminal's slave held open by a test and set up the way a console leaves a terminal
// (line editing, echo, output processing, 9600 bits per second), to see what the serial port
// changes while it has the port and what it leaves behind.
#pragma once

#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kvtest {

class ConsoleTerminal {
public:
    // Opened before the port makes the terminal exclusive (only root would pass that then).
    explicit ConsoleTerminal(const std::string& slave_path)
        : fd_(::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        if (fd_ < 0 || tcgetattr(fd_, &t) != 0)
            return;
        t.c_iflag |= IXON | ICRNL;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag |= CSTOPB;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ok_ = tcsetattr(fd_, TCSANOW, &t) == 0 && tcgetattr(fd_, &console_) == 0;
    }
    ~ConsoleTerminal()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ConsoleTerminal(const ConsoleTerminal&) = delete;
    ConsoleTerminal& operator=(const ConsoleTerminal&) = delete;

    bool ok() const { return ok_; }
    termios now() const
    {
        termios t{};
        tcgetattr(fd_, &t);
        return t;
    }
    // Every flag and both speeds as the console had them.
    void ExpectAsTheConsoleLeftIt() const
    {
        const termios t = now();
        EXPECT_EQ(t.c_iflag, console_.c_iflag);
        EXPECT_EQ(t.c_oflag, console_.c_oflag);
        EXPECT_EQ(t.c_lflag, console_.c_lflag);
        EXPECT_EQ(t.c_cflag, console_.c_cflag);
        EXPECT_EQ(cfgetispeed(&t), B9600);
        EXPECT_EQ(cfgetospeed(&t), B9600);
    }

private:
    int fd_ = -1;
    termios console_{};
    bool ok_ = false;
};

} // namespace kvtest
