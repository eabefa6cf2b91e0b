#pragma once

#include <string>

#include "web/serverstatus.h"

namespace vandra {

// The document of GET /api/v1/status: the input, the connected callers with their SRT
// figures and the callers that left lately, as one compact JSON object.
std::string statusApiJson(const ServerStatus& status);

} // namespace vandra
