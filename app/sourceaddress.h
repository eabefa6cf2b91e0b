#pragma once

#include <string>

namespace vandra {

// A parsed input setting: multicast group, UDP port, optional local interface and, for a
// source-specific join, the one sender taken.
struct SourceAddress {
    std::string group;
    std::string port;
    std::string iface;
    std::string sender; // dotted IPv4; empty: any sender
};

// Splits "udp://[SOURCE]@GROUP:PORT(IFACE)" into its parts (the prefix is optional, and so is
// the '@', as players write it); logs and returns empty group and port when the shape is wrong
// or SOURCE is no IPv4 host address. Any input setting may call it.
SourceAddress parseSrtUrl(std::string source, std::string prefix);

} // namespace vandra
