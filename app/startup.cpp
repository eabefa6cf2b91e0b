#include "app/startup.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <thread>

#include <srt/srt.h>

#include "app/accesssettings.h"
#include "app/commandline.h"
#include "app/configreader.h"
#include "app/configreload.h"
#include "app/knownsettings.h"
#include "app/mainapp.h"
#include "app/sourceaddress.h"
#include "app/testoverrides.h"
#include "core/logger.h"
#include "core/processexit.h"
#include "core/utils.h"
#include "platform/platform.h"
#include "platform/signalwatcher.h"
#include "web/webserver.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "main";
constexpr int kNoSourceStatus = -2;
constexpr int kBadSettingStatus = -1;
// The web port's hard connection limit (576) and room for the sockets, files and pipes of
// everything else.
constexpr int kDescriptorSlots = 1024;
constexpr std::int32_t kHighestPort = 65535;

// Everything the start-up takes from the settings, converted once.
struct Settings {
    SourceAddress source;
    SourceAddress source2; // empty group: one input
    std::int32_t failoverTimeoutMs = 0;
    std::int32_t failbackDelayMs = 0;
    std::int32_t mergeWindowMs = 0;
    SrtListenParams srt;
    std::int32_t webPort = 0;
    bool dump = false;
    bool fastStart = false;
    bool programs = false;
    std::int32_t catchUpSlots = 0;
    std::int64_t backlogBudgetBytes = 0;
    std::int32_t inputTimeoutMs = 0;
};

constexpr std::int64_t kMegabyte = 1024 * 1024;
// The callers' backlogs may take a quarter of the machine's memory, but never less than this:
// a small machine still lets a few callers lag by a few seconds each.
constexpr std::int64_t kLeastDefaultBacklogBytes = 256 * kMegabyte;

// Converts a setting that must fit a signed 32-bit integer; logs the key and its text if not.
std::optional<std::int32_t> convertSetting(const char* key, const std::string& text) {
    const std::optional<std::int32_t> value = toInt32(text);
    if (!value) {
        LOG_LINE << "ERROR: setting " << key << " is not a 32-bit number: " << escapeForLog(text);
    }
    return value;
}

// A number that must not be negative either.
std::optional<std::int32_t> convertCount(const char* key, const std::string& text) {
    const std::optional<std::int32_t> value = convertSetting(key, text);
    if (value && *value < 0) {
        LOG_LINE << "ERROR: setting " << key << " must not be negative: " << *value;
        return std::nullopt;
    }
    return value;
}

// Ports are taken as the socket layer takes them: their low 16 bits. Said out loud.
void notePortAbove16Bits(const char* key, std::int32_t port) {
    if (port > kHighestPort) {
        LOG_LINE << "-- " << key << " " << port << " is above 65535: listening on "
                 << (port & kHighestPort) << ", its low 16 bits";
    }
}

std::optional<SourceAddress> readSource(const ConfigReader& config, bool fromArguments) {
    const std::string text = config.get("source", "");
    const SourceAddress source = parseSrtUrl(text, "udp://");
    if (source.group.empty() || source.port.empty()) {
        if (fromArguments && text.empty()) {
            LOG_LINE << "no source: give source=... and port=... as arguments, or put them in "
                     << exeDirectory() << "/server.ini";
        }
        LOG_LINE << "fail get multicast";
        return std::nullopt;
    }
    return source;
}

std::optional<std::int32_t> readSrtPort(const ConfigReader& config) {
    const std::string text = config.get("port", "");
    LOG_LINE << "port:" << escapeForLog(text);
    if (!isNumber(text)) {
        LOG_LINE << "fail parse input params";
        return std::nullopt;
    }
    const std::optional<std::int32_t> port = convertSetting("port", text);
    if (port) {
        notePortAbove16Bits("port", *port);
    }
    return port;
}

std::optional<std::int32_t> readWebPort(const ConfigReader& config) {
    std::string text = config.get("webport", "8080");
    const bool isDigits = isNumber(text);
    if (!isDigits) {
        text = "8080";
    }
    LOG_LINE << "webport:" << text << " " << isDigits;
    const std::optional<std::int32_t> port = convertSetting("webport", text);
    if (port) {
        notePortAbove16Bits("webport", *port);
    }
    return port;
}

std::optional<std::int32_t> readLatency(const ConfigReader& config) {
    const std::string text = config.get("latency", "500");
    const std::optional<std::int32_t> latency = convertCount("latency", text);
    if (latency && std::to_string(*latency) != text) {
        LOG_LINE << "-- latency " << escapeForLog(text) << " read as " << *latency;
    }
    return latency;
}

// A setting that is on with "true" or "1"; any other value than "false" or "0" is said.
bool readSwitch(const ConfigReader& config, const char* key, const char* whenOff) {
    const std::string text = trim(config.get(key, "false"));
    const bool on = text == "true" || text == "1";
    if (!on && text != "false" && text != "0") {
        LOG_LINE << "-- " << key << "=" << escapeForLog(text) << " is not true or 1: " << whenOff;
    }
    return on;
}

// A count that must be at least 1; `fallback` when the key is absent.
std::optional<std::int32_t> readPositive(const ConfigReader& config, const char* key,
                                         std::int32_t fallback) {
    const std::string text = config.get(key, "");
    if (text.empty()) {
        return fallback;
    }
    const std::optional<std::int32_t> value = convertCount(key, text);
    if (value && *value == 0) {
        LOG_LINE << "ERROR: setting " << key << " must be at least 1";
        return std::nullopt;
    }
    return value;
}

// "auto" is one listener per core; more than kMostListeners is refused as a typing error.
std::optional<std::int32_t> readSrtThreads(const ConfigReader& config) {
    constexpr std::int32_t kMostListeners = 64;
    const std::string text = trim(config.get("srt_threads", ""));
    if (text == "auto") {
        const unsigned cores = std::thread::hardware_concurrency();
        LOG_LINE << "-- srt_threads=auto: " << std::max(cores, 1U) << " cores";
        return static_cast<std::int32_t>(std::clamp(cores, 1U, unsigned{kMostListeners}));
    }
    const std::optional<std::int32_t> listeners = readPositive(config, "srt_threads", 1);
    if (listeners && *listeners > kMostListeners) {
        LOG_LINE << "ERROR: setting srt_threads must be at most " << kMostListeners;
        return std::nullopt;
    }
    return listeners;
}

std::optional<std::int64_t> readBacklogBudget(const ConfigReader& config) {
    const std::int64_t quarterOfMemory = platform::physicalMemoryBytes() / 4;
    const std::int64_t fallbackMb =
        std::max(quarterOfMemory, kLeastDefaultBacklogBytes) / kMegabyte;
    const std::optional<std::int32_t> megabytes =
        readPositive(config, "maxbacklog",
                     static_cast<std::int32_t>(std::min<std::int64_t>(fallbackMb, INT32_MAX)));
    if (megabytes) {
        LOG_LINE << "-- callers' buffers hold at most " << *megabytes
                 << " MB together (maxbacklog); past it the caller furthest behind is cut";
    }
    return megabytes ? std::optional(*megabytes * kMegabyte) : std::nullopt;
}

// The backup input, when source2 is given, with the times that switch to it and back.
bool readSecondSource(const ConfigReader& config, Settings& settings) {
    const std::string text = config.get("source2", "");
    if (text.empty()) {
        return true;
    }
    settings.source2 = parseSrtUrl(text, "udp://");
    if (settings.source2.group.empty() || settings.source2.port.empty()) {
        LOG_LINE << "ERROR: setting source2 is not udp://GROUP:PORT(IFACE)";
        return false;
    }
    // 0 would count every gap between two datagrams as a failure.
    const std::optional<std::int32_t> failover = readPositive(config, "failover_timeout", 300);
    const std::optional<std::int32_t> failback =
        failover ? convertCount("failback_delay", config.get("failback_delay", "10000"))
                 : std::nullopt;
    if (!failback) {
        return false;
    }
    // Longer than a second, the slots for the leading path would not hold its lead.
    constexpr std::int32_t kLongestMergeWindowMs = 1000;
    const std::optional<std::int32_t> window =
        readPositive(config, "merge_window", LeftServer::kDefaultMergeWindowMs);
    if (window && *window > kLongestMergeWindowMs) {
        LOG_LINE << "ERROR: setting merge_window must be at most " << kLongestMergeWindowMs;
    }
    if (!window || *window > kLongestMergeWindowMs) {
        return false;
    }
    settings.failoverTimeoutMs = *failover;
    settings.failbackDelayMs = *failback;
    settings.mergeWindowMs = *window;
    return true;
}

// Fills `settings`; 0, or the exit status when a setting is unusable (logged).
int readSettings(const ConfigReader& config, bool fromArguments, Settings& settings) {
    if (!checkSettingKeys(config)) {
        return kBadSettingStatus;
    }
    const std::optional<SourceAddress> source = readSource(config, fromArguments);
    if (!source) {
        return kNoSourceStatus;
    }
    settings.source = *source;
    if (!readSecondSource(config, settings)) {
        return kBadSettingStatus;
    }
    const std::optional<std::int32_t> port = readSrtPort(config);
    const std::optional<std::int32_t> webPort = port ? readWebPort(config) : std::nullopt;
    if (!webPort) {
        return kBadSettingStatus;
    }
    settings.webPort = *webPort;
    settings.srt.srt_nic = config.get("srt_nic", "");
    settings.srt.port = *port;
    settings.srt.streamid = config.get("streamid", "");
    settings.srt.passphrase = config.get("passphrase", "");
    const std::optional<std::int32_t> latency = readLatency(config);
    if (!latency) {
        return kBadSettingStatus;
    }
    settings.srt.latency = *latency;
    const std::optional<std::int32_t> listeners = readSrtThreads(config);
    if (!listeners) {
        return kBadSettingStatus;
    }
    settings.srt.listeners = *listeners;
    settings.dump = readSwitch(config, "dump", "not recording");
    settings.fastStart = readSwitch(config, "faststart", "callers start live");
    settings.programs = readSwitch(config, "programs", "callers take the whole input");
    const std::optional<std::int32_t> catchUps =
        readPositive(config, "faststart_catchups", CatchUpBudget::kDefaultSlots);
    const std::optional<std::int64_t> backlogBudget =
        catchUps ? readBacklogBudget(config) : std::nullopt;
    if (!backlogBudget) {
        return kBadSettingStatus;
    }
    settings.catchUpSlots = *catchUps;
    settings.backlogBudgetBytes = *backlogBudget;
    const std::optional<std::int32_t> inputTimeout =
        convertCount("input_timeout", config.get("input_timeout", "2000"));
    if (!inputTimeout) {
        return kBadSettingStatus;
    }
    settings.inputTimeoutMs = *inputTimeout;
    return 0;
}

// Every way out of the process closes the recording first, so that every whole chunk
// received is on disk; SIGINT and SIGTERM end it through the application's stop, SIGHUP
// reloads the access rules.
void watchSignals(platform::SignalWatcher& watcher, MainApp& app, ConfigReload& reload) {
    StreamRecorder& recorder = app.getLeftServer()->recorder();
    setExitCleanup([&recorder] { recorder.close(); });
    watcher.start([&app](int signal) { app.stop(signal); }, [&reload] { reload.reload(); });
}

constexpr std::string_view kConfigArgument = "config=";

// The settings file named by a lone "config=FILE" argument, server.ini beside the executable
// without arguments; empty when the arguments are the settings.
std::string settingsFileOf(int argc, char** argv) {
    if (argc < 2) {
        return exeDirectory() + "/server.ini";
    }
    const std::string_view first = argv[1];
    if (argc == 2 && first.substr(0, kConfigArgument.size()) == kConfigArgument) {
        return std::string(first.substr(kConfigArgument.size()));
    }
    return "";
}

std::vector<std::string> argumentsOf(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + std::max(argc, 1));
}
} // namespace

int runServer(int argc, char** argv) {
    if (const std::optional<int> status = handleInfoOption(argc, argv)) {
        return *status;
    }
    platform::tuneAllocator();
    // Before any thread starts (the log has its own).
    const int descriptorSlots = platform::reserveDescriptorTable(kDescriptorSlots);
    const int reserveError = errno;
    platform::SignalWatcher::blockShutdownSignals();
    LOG_LINE << "Vandra Server";
    LOG_LINE << "BUILD DATE: " << __DATE__;
    if (descriptorSlots < 0) {
        LOG_LINE << "-- cannot make room for " << kDescriptorSlots
                 << " open descriptors ahead: " << std::strerror(reserveError)
                 << "; a crowd on the web port may stall it while the room grows";
    }

    ConfigReader config;
    const std::string settingsFile = settingsFileOf(argc, argv);
    const bool fromArguments = settingsFile.empty();
    if (fromArguments) {
        config.loadArgs(argc, argv);
    } else {
        config.loadFile(settingsFile);
    }
    Settings settings;
    if (const int status = readSettings(config, fromArguments, settings); status != 0) {
        return status;
    }

    const std::optional<AccessSettings> access = AccessSettings::read(config);
    if (!access) {
        return kBadSettingStatus;
    }
    access->applyTo(settings.srt);
    TestOverrides::fromEnvironment().applyTo(settings.srt);

    if (srt_startup() < 0) {
        LOG_LINE << "ERROR: srt_startup failed: " << srt_getlasterror_str();
        pauseConsole();
        return kBadSettingStatus;
    }

    MainApp app;
    LeftServer& leftServer = *app.getLeftServer();
    leftServer.setParams(settings.source.group, settings.source.port, settings.source.iface,
                         settings.dump);
    leftServer.setSender(settings.source.sender);
    leftServer.setInputTimeout(settings.inputTimeoutMs);
    if (!settings.source2.group.empty()) {
        leftServer.setSecondInput(settings.source2.group, settings.source2.port,
                                  settings.source2.iface, settings.source2.sender,
                                  settings.failoverTimeoutMs, settings.failbackDelayMs,
                                  settings.mergeWindowMs);
        LOG_LINE << "-- two inputs: source2 takes over after " << settings.failoverTimeoutMs
                 << " ms without input on source, which takes over again after delivering "
                 << "steadily for " << settings.failbackDelayMs << " ms (0: never)";
        LOG_LINE << "-- two RTP inputs of one stream are merged, a gap waiting "
                 << settings.mergeWindowMs << " ms for the other input";
    }
    ConfigReload reload(fromArguments ? "" : settingsFile, argumentsOf(argc, argv), config,
                        *app.getRightServer(), access->web().auth, access->webUsers());
    platform::SignalWatcher signalWatcher;
    watchSignals(signalWatcher, app, reload);
    if (settings.fastStart) {
        app.getRightServer()->enableFastStart();
        app.getRightServer()->setCatchUpSlots(settings.catchUpSlots);
        LOG_LINE << "-- fast start: at most " << settings.catchUpSlots
                 << " catch-ups at once (faststart_catchups); later callers wait their turn";
    }
    if (settings.programs) {
        app.getRightServer()->enablePrograms(settings.inputTimeoutMs);
    }
    app.getRightServer()->setBacklogBudget(settings.backlogBudgetBytes);
    WebServer webServer(settings.webPort, leftServer, *app.getRightServer(), settings.srt.port,
                        access->web());
    app.serve(settings.srt);
}

} // namespace vandra
