// The command line's process set-up on POSIX: a stop asked for during an upload is refused
// without disturbing the code it interrupted; closed standard streams and failed writes.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "cli/platform.h"

namespace {

// A handler that changes errno can turn the failed read it interrupted into another failure (a
// hang-up, say) and abort a flash. Its own write fails here, as on a closed terminal.
TEST(StopRequest, ARequestDuringTheUploadLeavesErrnoAsItWas)
{
    const int saved_stderr = ::dup(STDERR_FILENO);
    ASSERT_GE(saved_stderr, 0);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(::dup2(full, STDERR_FILENO), 0);
    int after = 0;
    {
        StopRequest stop(StopRequest::Answer::end_when_idle);
        ASSERT_TRUE(stop.BeginUpdate());
        errno = EAGAIN;
        std::raise(SIGINT);
        after = errno;
        stop.EndUpdate();
    }
    ::dup2(saved_stderr, STDERR_FILENO);
    ::close(saved_stderr);
    ::close(full);
    EXPECT_EQ(after, EAGAIN);
}

// A file opened while standard error is closed would become descriptor 2 and get the progress.
TEST(StandardStreams, ClosedOnesAreHeldSoNoFileTakesTheirPlace)
{
    EXPECT_EXIT(
        {
            ::close(STDOUT_FILENO);
            ::close(STDERR_FILENO);
            const bool output_closed = HoldClosedStandardStreams();
            const int file = ::open("/dev/zero", O_RDONLY);
            std::_Exit(output_closed && file > STDERR_FILENO && ::fcntl(STDOUT_FILENO, F_GETFD) != -1 ? 0
                                                                                                      : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ::close(STDIN_FILENO);
            std::_Exit(!HoldClosedStandardStreams() && ::fcntl(STDIN_FILENO, F_GETFD) != -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(FailedWrites, PastTheFileSizeLimitAWriteFailsAndTheProgramGoesOn)
{
    EXPECT_EXIT(
        {
            IgnoreSignalsOfFailedWrites();
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 10;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            char name[] = "/tmp/kv-fsize-XXXXXX";
            const int fd = ::mkstemp(name);
            ::unlink(name);
            const char text[20] = {};
            const ssize_t first = ::write(fd, text, sizeof text); // up to the limit
            const ssize_t second = ::write(fd, text, sizeof text);
            std::_Exit(first == 10 && second == -1 && errno == EFBIG ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
