#pragma once

#include <memory>
#include <string>

#include "web/basicauth.h"

namespace vandra {

// Where the web server listens and who may use it.
struct WebAccess {
    std::string nic = "0.0.0.0";     // IPv4 address to listen on
    std::shared_ptr<BasicAuth> auth; // null: no authentication; a reload replaces its users
};

} // namespace vandra
