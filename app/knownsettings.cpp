#include "app/knownsettings.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "app/configreader.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "main";
// Two letters off an access setting is a typing error, not another setting.
constexpr int kTypoDistance = 2;
// Settings whose loss by a typing error would serve more openly than the operator meant.
constexpr auto kAccessKeys =
    std::to_array<const char*>({"passphrase", "users", "allow", "maxcallers", "webauth", "webnic"});

constexpr auto kSettings = std::to_array<SettingInfo>({
    {"source", "required", "udp://[SOURCE@]GROUP:PORT(IFACE): join on IFACE, SOURCE only (SSM)",
     false},
    {"source2", "none", "udp://[SOURCE@]GROUP:PORT(IFACE): backup input of the same stream", false},
    {"failover_timeout", "300", "ms without input on source before source2 takes over", false},
    {"failback_delay", "10000", "ms source must deliver steadily to take over again (0: stay)",
     false},
    {"merge_window", "150", "ms a gap in merged RTP inputs waits for the other (1-1000)", false},
    {"port", "required", "SRT listening port", false},
    {"webport", "8080", "HTTP port of the dashboard and /stats", false},
    {"srt_nic", "all interfaces", "IPv4 address the SRT listener binds to", false},
    {"streamid", "none", "SRT stream id set on the listener", false},
    {"passphrase", "none", "SRT passphrase (10 to 79 characters)", true},
    {"maxcallers", "no limit", "most SRT callers at once; more are refused (1402)", false},
    {"allow", "everyone", "CIDR[,CIDR...]: caller addresses let in (others 1403)", false},
    {"users", "none", "file of name:passphrase lines; callers give the name as stream id", false},
    {"srt_threads", "1",
     "SRT listeners sharing the port, each with its own threads; auto: one per core", false},
    {"latency", "500", "SRT latency in ms (0: SRT file mode)", false},
    {"dump", "false", "true or 1: record input to server_DATE_TIME.ts", false},
    {"input_timeout", "2000", "ms without input before it counts as stalled (0: off)", false},
    {"faststart", "false", "true or 1: new callers start at the latest key frame", false},
    {"faststart_catchups", "8", "fast-start catch-ups at once; later callers wait their turn",
     false},
    {"programs", "false",
     "true or 1: a caller picks one program with #!::r=NUMBER or r=NAME in its stream id", false},
    {"maxbacklog", "RAM/4, >= 256", "MB all callers' buffers may hold together", false},
    {"webnic", "0.0.0.0", "IPv4 address the web server listens on", false},
    {"webauth", "none", "file of name:password lines; HTTP Basic auth on all but /hi", false},
});

// Edit distance with swaps of neighbouring letters counted once (optimal string alignment).
int distance(const std::string& a, const std::string& b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1, 0));
    for (std::size_t i = 0; i <= n; ++i) {
        d[i][0] = static_cast<int>(i);
    }
    for (std::size_t j = 0; j <= m; ++j) {
        d[0][j] = static_cast<int>(j);
    }
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[n][m];
}

// The access setting `key` is a typing error away from, or null.
const char* misspeltAccessKey(const std::string& key) {
    const char* nearest = nullptr;
    int nearestDistance = kTypoDistance + 1;
    for (const char* access : kAccessKeys) {
        const int d = distance(key, access);
        if (d < nearestDistance) {
            nearest = access;
            nearestDistance = d;
        }
    }
    return nearest;
}
} // namespace

std::span<const SettingInfo> knownSettings() {
    return kSettings;
}

bool isSecretSetting(const std::string& key) {
    // A misspelt secret key still carries the secret.
    return std::any_of(kSettings.begin(), kSettings.end(), [&key](const SettingInfo& s) {
        return s.secret && distance(key.substr(0, 64), s.key) <= kTypoDistance;
    });
}

ClosestSetting closestSetting(const std::string& key) {
    ClosestSetting best{kSettings.front().key, distance(key, kSettings.front().key)};
    for (const SettingInfo& setting : kSettings) {
        const int d = distance(key, setting.key);
        if (d < best.distance) {
            best = {setting.key, d};
        }
    }
    return best;
}

bool checkSettingKeys(const ConfigReader& config) {
    bool usable = true;
    for (const std::string& key : config.keys()) {
        if (std::any_of(kSettings.begin(), kSettings.end(),
                        [&key](const SettingInfo& s) { return key == s.key; })) {
            continue;
        }
        // Keys come from outside; a long one must not cost much either.
        const std::string shown = escapeForLog(key.substr(0, 64));
        const ClosestSetting closest = closestSetting(key.substr(0, 64));
        LOG_LINE << "-- unknown setting " << shown << " (did you mean " << closest.key
                 << "?): ignored";
        const char* meant = misspeltAccessKey(key.substr(0, 64));
        // With the meant key also given, the stray one cannot open anything up.
        if (meant == nullptr || !config.get(meant, "").empty()) {
            continue;
        }
        LOG_LINE << "ERROR: setting " << shown << " looks like a misspelt " << meant << ": "
                 << (std::string_view(meant) == "passphrase" ? "not starting unencrypted"
                                                             : "not starting without it");
        usable = false;
    }
    return usable;
}

} // namespace vandra
