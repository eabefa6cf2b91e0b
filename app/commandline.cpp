#include "app/commandline.h"

#include <cstdio>
#include <string_view>

#include "app/knownsettings.h"

namespace vandra {

namespace {
constexpr int kOutputFailedStatus = 1;

void printUsage() {
    std::fputs("usage: vandra-server [KEY=VALUE ...]\n"
               "       vandra-server --help | --version\n"
               "With no arguments the settings come from server.ini beside the executable;\n"
               "arguments replace that file entirely.\n\n"
               "settings (key, default, meaning):\n",
               stdout);
    for (const SettingInfo& setting : knownSettings()) {
        std::printf("  %-11s %-15s %s\n", setting.key, setting.defaultText, setting.meaning);
    }
}

// A full disk or closed pipe on stdout must not look like success.
int flushedStatus() {
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : kOutputFailedStatus;
}
} // namespace

std::optional<int> handleInfoOption(int argc, char** argv) {
    if (argc != 2) {
        return std::nullopt;
    }
    const std::string_view option = argv[1];
    if (option == "--help" || option == "-h") {
        printUsage();
        return flushedStatus();
    }
    if (option == "--version") {
        std::fputs("vandra-server " VANDRA_VERSION "\n", stdout);
        return flushedStatus();
    }
    return std::nullopt;
}

} // namespace vandra
