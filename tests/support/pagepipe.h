#pragma once

#include <fcntl.h>
#include <filesystem>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vandra::test {

// A named pipe cut to one page, so that a writer blocks after a few kilobytes until the test
// reads. Opened first and without blocking, so that the writer's open finds a reader.
class PagePipe {
public:
    explicit PagePipe(const std::filesystem::path& path) {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(fd_, 0);
        EXPECT_GE(::fcntl(fd_, F_SETPIPE_SZ, 4096), 4096);
    }
    ~PagePipe() { ::close(fd_); }
    PagePipe(const PagePipe&) = delete;
    PagePipe& operator=(const PagePipe&) = delete;

    // Bytes written and not yet read: a writer is stuck once they fill the page.
    int queued() const {
        int bytes = 0;
        return ::ioctl(fd_, FIONREAD, &bytes) == 0 ? bytes : 0;
    }

protected:
    int fd_ = -1;
};

} // namespace vandra::test
