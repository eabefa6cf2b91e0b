#include <cstddef>
#include <cstdint>
#include <string>

#include "app/sourceaddress.h"
#include "core/utils.h"
#include "fuzzcheck.h"

namespace vandra::fuzz {
namespace {

void checkAnyText(const std::string& text) {
    const SourceAddress address = parseSrtUrl(text, "udp://");
    require(address.group.empty() == address.port.empty(), "only one of group and port set");
    require(address.port.empty() || isNumber(address.port), "port holds a non-digit");
    require(!hasOuterBlank(address.group), "group not trimmed");
    require(!hasOuterBlank(address.port), "port not trimmed");
    require(address.group.find(':') == std::string::npos, "group holds a colon");
    require(address.iface.find(':') == std::string::npos, "interface holds a colon");
}

// Keeps the bytes of `text` that are in `allowed`.
std::string filtered(const std::string& text, const std::string& allowed) {
    std::string out;
    for (char c : text) {
        if (allowed.find(c) != std::string::npos) {
            out += c;
        }
    }
    return out;
}

// A well-formed setting built from the input must come back apart exactly as it was put
// together; random text alone rarely reaches that shape.
void checkWellFormed(const std::string& text) {
    const size_t third = text.size() / 3;
    const std::string group =
        filtered(text.substr(0, third), "0123456789abcdefghijklmnopqrstuvwxyz.-");
    const std::string port = filtered(text.substr(third, third), "0123456789");
    const std::string iface = filtered(text.substr(2 * third), "0123456789.");
    if (group.empty() || port.empty()) {
        return;
    }
    const SourceAddress plain = parseSrtUrl("udp://" + group + ":" + port, "udp://");
    require(plain.group == group && plain.port == port && plain.iface.empty(),
            "well-formed setting without interface misread");
    const SourceAddress withIface =
        parseSrtUrl(" udp://" + group + ":" + port + "(" + iface + ")", "udp://");
    require(withIface.group == group && withIface.port == port && withIface.iface == iface,
            "well-formed setting with interface misread");
}

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkAnyText(text);
    checkWellFormed(text);
}

} // namespace vandra::fuzz
