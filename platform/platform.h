#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The few operating-system services the server needs, behind one small layer so that the
// rest of the code stays free of OS headers.
namespace vandra::platform {

// The last socket error as a decimal code (errno).
int lastSocketError();

// Sets SO_REUSEADDR (and nothing else) on a socket; false when refused.
bool setReuseAddress(int fd);

// Waits for Enter, but only when a person can press it: with stdin not a terminal (a service,
// CI, a pipe) the process must not hang on its way out.
void consolePause();

// Full path of the running executable, empty when it cannot be read.
std::string executablePath();

// Best-effort raise of the calling thread's scheduling priority. Never fails the caller and
// never uses a real-time class, which could starve the SRT library's own threads.
void raiseThreadPriority();

// Makes large buffers (a caller's ring is 1.3 MB) come from and go back to the system
// directly. Left to itself the allocator raises that threshold after the first such buffer
// is freed and then keeps up to twice it in each of its per-thread heaps. Call it first thing.
void tuneAllocator();

// Grows this process's descriptor table to `slots` entries (fewer when the open-file limit is
// lower) and returns the size reached, or -1 (errno kept). Call it while only one thread runs:
// growing the table of a process with threads makes the kernel wait for a grace period inside
// the call that needs the room, and on a loaded machine that wait stalled the web server's
// thread in accept for seconds at 256 and again at 512 open descriptors. The table never
// shrinks, so later growth within `slots` costs nothing.
int reserveDescriptorTable(int slots);

// Hands memory the allocator holds but no longer uses back to the system. Callers' buffers
// are freed on their own threads' heaps, which otherwise keep the pages of a crowd of callers
// long after it has gone.
void releaseFreedMemory();

// Bytes of physical memory the machine has; 0 when the system does not say.
std::int64_t physicalMemoryBytes();

// Another process holding the UDP port `port` in a way that collides with a bind to
// `addressNetworkOrder`: "name (pid N)". Empty when /proc does not tell (a process of another
// user, or the socket is gone by now).
std::string udpPortHolder(std::uint32_t addressNetworkOrder, std::uint16_t port);

// A UDP socket bound to the address and port; `shared` sets SO_REUSEPORT first, so that more
// such sockets of this user can share the port and the kernel spreads senders over them by
// address and port. Its descriptor, or -1 with the error left for lastSocketError().
int openUdpSocket(std::uint32_t addressNetworkOrder, std::uint16_t port, bool shared);

// Closes a descriptor this process owns; false (errno kept) when the system refused.
bool closeDescriptor(int fd);

// How many UDP sockets of this network namespace hold `port` in a way that collides with a bind
// to `addressNetworkOrder`, as /proc/net/udp lists them; 0 when it cannot be read.
std::size_t udpSocketsOnPort(std::uint32_t addressNetworkOrder, std::uint16_t port);

// The permission bits of the file at `path`; nullopt when it cannot be examined.
std::optional<unsigned> fileMode(const std::string& path);

} // namespace vandra::platform
