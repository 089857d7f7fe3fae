// The command line's signal handling on POSIX: a stop asked for during an upload is refused
// without disturbing the code it interrupted.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "cli/platform.h"

namespace {

// A handler that changes errno can turn the failed read it interrupted into another failure (a
// hang-up, say) and abort a flash. Its own write fails here, as on a closed terminal.
TEST(UploadSignalGuard, AStopRequestLeavesErrnoAsItWas)
{
    const int saved_stderr = ::dup(STDERR_FILENO);
    ASSERT_GE(saved_stderr, 0);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(::dup2(full, STDERR_FILENO), 0);
    int after = 0;
    {
        const UploadSignalGuard guard;
        errno = EAGAIN;
        std::raise(SIGINT);
        after = errno;
    }
    ::dup2(saved_stderr, STDERR_FILENO);
    ::close(saved_stderr);
    ::close(full);
    EXPECT_EQ(after, EAGAIN);
}

} // namespace
