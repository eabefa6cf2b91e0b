#include "app/commandline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/knownsettings.h"

namespace vandra {

namespace {
constexpr int kOutputFailedStatus = 1;

int widestKey() {
    std::size_t widest = 0;
    for (const SettingInfo& setting : knownSettings()) {
        widest = std::max(widest, std::strlen(setting.key));
    }
    return static_cast<int>(widest);
}

// The layout help2man turns into the manual page: usage lines, a description, then one
// indented line per setting with two spaces at least after the key.
void printUsage() {
    std::fputs("Usage: vandra-server [KEY=VALUE ...]\n"
               "  or:  vandra-server config=FILE\n"
               "  or:  vandra-server --help | --version\n"
               "Joins one IPv4 UDP multicast group carrying an MPEG transport stream and serves\n"
               "it to SRT callers; records it on request; serves a dashboard, JSON status and\n"
               "metrics over HTTP.\n\n"
               "With no arguments the settings come from server.ini beside the executable;\n"
               "config=FILE as the only argument reads them from FILE instead (one file per\n"
               "channel); other arguments replace the file entirely. A relative users or\n"
               "webauth path is taken from the settings file's folder (the executable's for\n"
               "arguments); WEB stays beside the executable.\n\n"
               "SIGHUP reads the users and webauth files again and, with a settings file,\n"
               "allow and maxcallers from it; callers the new rules refuse are cut, the others\n"
               "stay. A reload with a fault changes nothing. Other changed settings wait for a\n"
               "restart. SIGINT and SIGTERM stop the server.\n\n"
               "Settings (key, default, meaning):\n",
               stdout);
    const int keyWidth = widestKey();
    for (const SettingInfo& setting : knownSettings()) {
        std::printf("  %-*s  %-15s %s\n", keyWidth, setting.key, setting.defaultText,
                    setting.meaning);
    }
    std::fputs("\nComments are whole lines starting with '#': a '#' later in a line is part of\n"
               "the value. Other lines of server.ini without '=' are named in the log and\n"
               "skipped; [section] headers are ignored. An unknown key two letters or fewer\n"
               "from passphrase, users, allow, maxcallers, webauth or webnic stops the start\n"
               "unless that setting is given too.\n",
               stdout);
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
