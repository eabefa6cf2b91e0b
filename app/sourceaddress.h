#pragma once

#include <string>

namespace vandra {

// The parsed "source" setting: multicast group, UDP port and optional local interface.
struct SourceAddress {
    std::string group;
    std::string port;
    std::string iface;
};

// Splits "udp://GROUP:PORT(IFACE)" into its parts (the prefix is optional, and so is one '@'
// before the group, as players write it); logs and returns empty group and port when the
// shape is wrong.
SourceAddress parseSrtUrl(std::string source, std::string prefix);

} // namespace vandra
