#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vandra::platform {

int lastSocketError() {
    return errno;
}

bool setReuseAddress(int fd) {
    const int yes = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) == 0;
}

void consolePause() {
    if (::isatty(STDIN_FILENO) == 0) {
        return;
    }
    std::fputs("Press Enter to continue . . .", stdout);
    std::fflush(stdout);
    int c = 0;
    while ((c = std::getchar()) != '\n' && c != EOF) {
    }
}

std::string executablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

void raiseThreadPriority() {
    // On Linux the nice value is per thread; lowering it needs privileges and may fail, which
    // is fine: the thread then runs at normal priority.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    ::setpriority(PRIO_PROCESS, tid, -10);
}

void tuneAllocator() {
#ifdef __GLIBC__
    constexpr int kDirectAllocationBytes = 256 * 1024;
    ::mallopt(M_MMAP_THRESHOLD, kDirectAllocationBytes);
#endif
}

void releaseFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

std::int64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    return static_cast<std::int64_t>(pages) * pageSize;
}

} // namespace vandra::platform
