#include "app/sourceaddress.h"

#include <vector>

#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "utils";
}

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
    if (!group.empty() && group.front() == '@') {
        group = trim(group.substr(1));
    }
    const std::string port = trim(pieces[1]);
    if (group.empty() || !isNumber(port)) {
        LOG_LINE << "-- fail parseSrtUrl isNumber " << escapeForLog(port);
        return result;
    }
    result.group = group;
    result.port = port;
    return result;
}

} // namespace vandra
