#include "app/sourceaddress.h"

#include <vector>

#include "core/logger.h"
#include "core/utils.h"
#include "platform/udpsocket.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "utils";

// "SENDER@GROUP" takes SENDER off the group text; a bare leading '@' names no sender.
std::string takeSender(std::string& group) {
    const size_t at = group.find('@');
    if (at == std::string::npos) {
        return "";
    }
    const std::string sender = trim(group.substr(0, at));
    group = trim(group.substr(at + 1));
    return sender;
}

// A source-specific join needs the sender's own address: a group or "any" would match nothing.
bool isSenderAddress(const std::string& text) {
    std::uint32_t address = 0;
    return platform::parseIpv4(text, address) && !platform::isMulticast(address) &&
           address != platform::anyAddress();
}
} // namespace

SourceAddress parseSrtUrl(std::string source, std::string prefix) {
    SourceAddress result;
    if (source.empty()) {
        return result;
    }

    const size_t open = source.find('(');
    if (open != std::string::npos && open != 0) {
        size_t close = source.find(')', open + 1);
        if (close == std::string::npos) {
            close = source.size() - 1;
        }
        const std::string inside = close > open ? source.substr(open + 1, close - open - 1) : "";
        result.iface = split(inside, ":").front();
        source.resize(open);
    }

    const std::vector<std::string> pieces = split(eraseAll(source, prefix), ":");
    if (pieces.size() != 2) {
        LOG_LINE << "-- fail parseSrtUrl size " << pieces.size();
        return result;
    }

    std::string group = trim(pieces[0]);
    const std::string sender = takeSender(group);
    const std::string port = trim(pieces[1]);
    if (group.empty() || !isNumber(port)) {
        LOG_LINE << "-- fail parseSrtUrl isNumber " << escapeForLog(port);
        return result;
    }
    if (!sender.empty() && !isSenderAddress(sender)) {
        LOG_LINE << "ERROR: the source before '@' is not an IPv4 host address: "
                 << escapeForLog(sender);
        return result;
    }
    result.group = group;
    result.port = port;
    result.sender = sender;
    return result;
}

} // namespace vandra
