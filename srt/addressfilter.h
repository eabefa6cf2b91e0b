#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vandra {

// IPv4 networks in CIDR notation, "10.0.0.0/8,192.168.1.20/32"; an address is allowed when it
// lies in any of them. A bare address stands for itself alone (/32).
class AddressFilter {
public:
    static constexpr std::size_t kMaxNetworks = 256;

    // The networks of `list`; empty, with `error` set, when an entry does not parse, has bits
    // set beyond its prefix (a typo that would widen or narrow it unnoticed) or there is none.
    static std::optional<AddressFilter> parse(const std::string& list, std::string& error);

    // `address` in network byte order, as in sockaddr_in.
    bool allows(std::uint32_t address) const;
    // The networks as "a.b.c.d/n,...", for the log.
    std::string text() const;

private:
    struct Network {
        std::uint32_t base = 0; // host byte order
        std::uint32_t mask = 0;
        int prefix = 0;
    };
    static std::optional<Network> parseNetwork(const std::string& entry, std::string& error);

    std::vector<Network> networks_;
};

} // namespace vandra
