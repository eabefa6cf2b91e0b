#include "web/httpmessage.h"

#include <strings.h>

namespace vandra {

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), key.size()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace vandra
