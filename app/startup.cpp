#include "app/startup.h"

#include <optional>

#include <srt/srt.h>

#include "app/accesssettings.h"
#include "app/commandline.h"
#include "app/configreader.h"
#include "app/mainapp.h"
#include "app/sourceaddress.h"
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

// Converts a setting that must fit a signed 32-bit integer; logs the key and its text if not.
std::optional<std::int32_t> convertSetting(const char* key, const std::string& text) {
    const std::optional<std::int32_t> value = toInt32(text);
    if (!value) {
        LOG_LINE << "ERROR: setting " << key << " is not a 32-bit number: " << text;
    }
    return value;
}

bool isDumpOn(const std::string& text) {
    const std::string flag = trim(text);
    return flag == "true" || flag == "1";
}

// Every way out of the process closes the recording first, so that every whole chunk
// received is on disk; SIGINT and SIGTERM end it with status 128 + signal.
void closeRecordingOnExit(platform::SignalWatcher& watcher, StreamRecorder& recorder) {
    setExitCleanup([&recorder] { recorder.close(); });
    watcher.start([](int signal) { exitProcess(128 + signal); });
}
} // namespace

int runServer(int argc, char** argv) {
    if (const std::optional<int> status = handleInfoOption(argc, argv)) {
        return *status;
    }
    platform::tuneAllocator();
    platform::SignalWatcher::blockShutdownSignals();
    LOG_LINE << "Vandra Server";
    LOG_LINE << "BUILD DATE: " << __DATE__;

    ConfigReader config;
    if (argc < 2) {
        config.load("server.ini");
    } else {
        config.loadArgs(argc, argv);
    }

    const SourceAddress source = parseSrtUrl(config.get("source", ""), "udp://");
    if (source.group.empty() || source.port.empty()) {
        LOG_LINE << "fail get multicast";
        return kNoSourceStatus;
    }

    const std::string portText = config.get("port", "");
    LOG_LINE << "port:" << portText;
    if (!isNumber(portText)) {
        LOG_LINE << "fail parse input params";
        return kBadSettingStatus;
    }
    const std::optional<std::int32_t> port = convertSetting("port", portText);
    if (!port) {
        return kBadSettingStatus;
    }

    std::string webPortText = config.get("webport", "8080");
    const bool webPortIsNumber = isNumber(webPortText);
    if (!webPortIsNumber) {
        webPortText = "8080";
    }
    LOG_LINE << "webport:" << webPortText << " " << webPortIsNumber;
    const std::optional<std::int32_t> webPort = convertSetting("webport", webPortText);
    if (!webPort) {
        return kBadSettingStatus;
    }

    SrtListenParams srt;
    srt.srt_nic = config.get("srt_nic", "");
    srt.port = *port;
    srt.streamid = config.get("streamid", "");
    srt.passphrase = config.get("passphrase", "");
    const std::optional<std::int32_t> latency =
        convertSetting("latency", config.get("latency", "500"));
    if (!latency) {
        return kBadSettingStatus;
    }
    srt.latency = *latency;
    const bool dump = isDumpOn(config.get("dump", "false"));
    const std::optional<std::int32_t> inputTimeout =
        convertSetting("input_timeout", config.get("input_timeout", "2000"));
    if (!inputTimeout || *inputTimeout < 0) {
        if (inputTimeout) {
            LOG_LINE << "ERROR: setting input_timeout is negative: " << *inputTimeout;
        }
        return kBadSettingStatus;
    }

    const std::optional<AccessSettings> access = AccessSettings::read(config);
    if (!access) {
        return kBadSettingStatus;
    }
    access->applyTo(srt);

    if (srt_startup() < 0) {
        LOG_LINE << "ERROR: srt_startup failed: " << srt_getlasterror_str();
        platform::consolePause();
        return kBadSettingStatus;
    }

    MainApp app;
    LeftServer& leftServer = *app.getLeftServer();
    leftServer.setParams(source.group, source.port, source.iface, dump);
    leftServer.setInputTimeout(*inputTimeout);
    platform::SignalWatcher signalWatcher;
    closeRecordingOnExit(signalWatcher, leftServer.recorder());
    WebServer webServer(*webPort, leftServer, *app.getRightServer(), srt.port, access->web());
    app.serve(srt);
}

} // namespace vandra
