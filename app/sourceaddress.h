#pragma once

#include <string>

namespace vandra {

// The parsed "source" setting: multicast group, UDP port and optional local interface.
struct SourceAddress {
    std::string group;
    std::string port;
    std::string iface;
};

} // namespace vandra
