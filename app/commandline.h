#pragma once

#include <optional>

namespace vandra {

// `--help` (or `-h`) and `--version` as the one and only argument print what was asked for on
// stdout; the result is then the exit status. Any other command line is settings (key=value)
// and gives an empty result.
std::optional<int> handleInfoOption(int argc, char** argv);

} // namespace vandra
