#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

int reserveDescriptorTable(int slots) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    const int highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, slots)) - 1;
    const int anchor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (anchor < 0) {
        return -1;
    }
    // Asking for a descriptor at the top makes the kernel size the table for it.
    const int top = ::fcntl(anchor, F_DUPFD_CLOEXEC, highest);
    const int error = errno;
    ::close(anchor);
    if (top < 0) {
        errno = error;
        return -1;
    }
    ::close(top);
    return top + 1;
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

namespace {
// Bounds the walk through /proc: a machine has far fewer processes and descriptors than this.
constexpr int kMostEntriesExamined = 1 << 20;

// The inodes of the UDP sockets on `port` whose address collides with `addressNetworkOrder`.
std::vector<unsigned long> udpSocketInodes(std::uint32_t addressNetworkOrder, std::uint16_t port) {
    std::vector<unsigned long> inodes;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // the column heads
    for (int budget = kMostEntriesExamined; budget > 0 && std::getline(table, line); --budget) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string skipped;
        unsigned long inode = 0;
        fields >> slot >> local;
        for (int column = 0; column < 7; ++column) { // remote address up to timeout
            fields >> skipped;
        }
        fields >> inode;
        const std::size_t colon = local.find(':');
        if (!fields || colon == std::string::npos) {
            continue;
        }
        // The kernel prints the address as the 32-bit value in memory order, the port as number.
        std::uint32_t address = 0;
        std::uint16_t localPort = 0;
        const char* text = local.data();
        const bool parsed =
            std::from_chars(text, text + colon, address, 16).ec == std::errc() &&
            std::from_chars(text + colon + 1, text + local.size(), localPort, 16).ec == std::errc();
        const bool collides =
            address == 0 || addressNetworkOrder == 0 || address == addressNetworkOrder;
        if (parsed && localPort == port && collides) {
            inodes.push_back(inode);
        }
    }
    return inodes;
}

bool holdsSocket(const std::filesystem::path& process, const std::vector<std::string>& links,
                 int& budget) {
    std::error_code error;
    for (std::filesystem::directory_iterator fd(process / "fd", error), end;
         !error && fd != end && --budget > 0; fd.increment(error)) {
        std::error_code unreadable; // a descriptor closed meanwhile
        const std::string target = std::filesystem::read_symlink(fd->path(), unreadable).string();
        if (std::find(links.begin(), links.end(), target) != links.end()) {
            return true;
        }
    }
    return false;
}

std::string processName(const std::filesystem::path& process) {
    std::ifstream comm(process / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}
} // namespace

std::string udpPortHolder(std::uint32_t addressNetworkOrder, std::uint16_t port) {
    const std::vector<unsigned long> inodes = udpSocketInodes(addressNetworkOrder, port);
    if (inodes.empty()) {
        return {};
    }
    // Several when a reuse group shares the port; this process's own among them.
    std::vector<std::string> links;
    for (const unsigned long inode : inodes) {
        links.push_back("socket:[" + std::to_string(inode) + "]");
    }
    // A descriptor this process inherited is not what holds the port against it.
    const std::string self = std::to_string(::getpid());
    int budget = kMostEntriesExamined;
    std::error_code error;
    for (std::filesystem::directory_iterator process("/proc", error), end;
         !error && process != end && --budget > 0; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.find_first_not_of("0123456789") == std::string::npos && pid != self &&
            holdsSocket(process->path(), links, budget)) {
            return processName(process->path()) + " (pid " + pid + ")";
        }
    }
    return {};
}

std::size_t udpSocketsOnPort(std::uint32_t addressNetworkOrder, std::uint16_t port) {
    return udpSocketInodes(addressNetworkOrder, port).size();
}

int openUdpSocket(std::uint32_t addressNetworkOrder, std::uint16_t port, bool shared) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int yes = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = addressNetworkOrder;
    address.sin_port = htons(port);
    if ((shared && ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof(yes)) != 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool closeDescriptor(int fd) {
    return ::close(fd) == 0;
}

std::optional<unsigned> fileMode(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<unsigned>(status.st_mode & 07777);
}

} // namespace vandra::platform
