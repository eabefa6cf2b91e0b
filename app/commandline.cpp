#include "app/commandline.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace vandra {

namespace {
constexpr int kOutputFailedStatus = 1;

struct SettingHelp {
    const char* key;
    const char* defaultText;
    const char* meaning;
};

// Every setting the server reads, one line each, in the order an operator needs them.
constexpr auto kSettings = std::to_array<SettingHelp>({
    {"source", "required", "udp://GROUP:PORT(IFACE), IFACE = address to join"},
    {"port", "required", "SRT listening port"},
    {"webport", "8080", "HTTP port of the dashboard and /stats"},
    {"srt_nic", "all interfaces", "IPv4 address the SRT listener binds to"},
    {"streamid", "none", "SRT stream id set on the listener"},
    {"passphrase", "none", "SRT passphrase (10 to 79 characters)"},
    {"maxcallers", "no limit", "most SRT callers at once; more are refused (1402)"},
    {"allow", "everyone", "CIDR[,CIDR...]: caller addresses let in (others 1403)"},
    {"users", "none", "file of name:passphrase lines; callers give the name as stream id"},
    {"latency", "500", "SRT latency in ms (0: SRT file mode)"},
    {"dump", "false", "true or 1: record input to server_DATE_TIME.ts"},
    {"webnic", "0.0.0.0", "IPv4 address the web server listens on"},
    {"webauth", "none", "file of name:password lines; HTTP Basic auth on all but /hi"},
});

void printUsage() {
    std::fputs("usage: vandra-server [KEY=VALUE ...]\n"
               "       vandra-server --help | --version\n"
               "With no arguments the settings come from server.ini beside the executable;\n"
               "arguments replace that file entirely.\n\n"
               "settings (key, default, meaning):\n",
               stdout);
    for (const SettingHelp& setting : kSettings) {
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
