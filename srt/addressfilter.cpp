#include "srt/addressfilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "core/utils.h"

namespace vandra {

namespace {
constexpr int kMaxPrefix = 32;
// "255.255.255.255/32"; anything longer is no network.
constexpr std::size_t kMaxEntryLength = 18;

std::uint32_t maskOf(int prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (kMaxPrefix - prefix);
}

std::string addressText(std::uint32_t hostOrder) {
    in_addr in{};
    in.s_addr = htonl(hostOrder);
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &in, text, sizeof(text)) != nullptr ? text : "?";
}

// "a.b.c.d/n", built by appending: GCC 12 at -O2 and above reports a false overlap
// (-Wrestrict) for a literal added in front of a temporary string.
std::string networkText(std::uint32_t hostOrder, int prefix) {
    std::string text = addressText(hostOrder);
    text += '/';
    text += std::to_string(prefix);
    return text;
}
} // namespace

std::optional<AddressFilter::Network> AddressFilter::parseNetwork(const std::string& entry,
                                                                  std::string& error) {
    const std::size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    const std::string prefixText = slash == std::string::npos ? "32" : entry.substr(slash + 1);
    in_addr parsed{};
    // inet_pton stops at a NUL byte, so the text is checked for anything else first.
    if (entry.size() > kMaxEntryLength ||
        entry.find_first_not_of("0123456789./") != std::string::npos || prefixText.size() > 2 ||
        !isNumber(prefixText) || inet_pton(AF_INET, address.c_str(), &parsed) != 1 ||
        std::stoi(prefixText) > kMaxPrefix) {
        error = "not an IPv4 network (a.b.c.d/n): \"";
        error += escapeForLog(entry.substr(0, 64));
        error += '"';
        return std::nullopt;
    }
    Network network;
    network.prefix = std::stoi(prefixText);
    network.mask = maskOf(network.prefix);
    network.base = ntohl(parsed.s_addr);
    if ((network.base & ~network.mask) != 0) {
        error = entry;
        error += " has bits set beyond its prefix; the network is ";
        error += addressText(network.base & network.mask);
        error += '/';
        error += prefixText; // as written, "08" included
        return std::nullopt;
    }
    return network;
}

std::optional<AddressFilter> AddressFilter::parse(const std::string& list, std::string& error) {
    AddressFilter filter;
    for (const std::string& piece : split(list, ",")) {
        if (filter.networks_.size() == kMaxNetworks) {
            error = "more than " + std::to_string(kMaxNetworks) + " networks";
            return std::nullopt;
        }
        const std::optional<Network> network = parseNetwork(trim(piece), error);
        if (!network) {
            return std::nullopt;
        }
        filter.networks_.push_back(*network);
    }
    return filter;
}

bool AddressFilter::allows(std::uint32_t address) const {
    const std::uint32_t host = ntohl(address);
    for (const Network& network : networks_) {
        if ((host & network.mask) == network.base) {
            return true;
        }
    }
    return false;
}

std::string AddressFilter::text() const {
    std::string joined;
    for (const Network& network : networks_) {
        if (!joined.empty()) {
            joined += ',';
        }
        joined += networkText(network.base, network.prefix);
    }
    return joined;
}

} // namespace vandra
