#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace vandra::e2e {

// srt-live-transmit calling the server, optionally from a loopback address of its own. What
// it receives goes to NAME.ts, its messages (libsrt's reject reason among them) to
// NAME.ts.err, and its statistics, written after every kChunksPerReport chunks it has read,
// to NAME.ts.stats: they tell when it holds a whole stream.
struct FileCaller {
    static constexpr std::uint64_t kChunksPerReport = 200;

    std::filesystem::path file;
    std::unique_ptr<Process> process;

    FileCaller(const std::filesystem::path& dir, const std::string& name, int srtPort,
               std::string options = "", const std::string& adapter = "")
        : file(dir / (name + ".ts")) {
        if (!adapter.empty()) {
            options += (options.empty() ? "" : "&") + std::string("mode=caller&adapter=") +
                       adapter + "&port=" + std::to_string(freeUdpPort());
        }
        const std::string url =
            "srt://127.0.0.1:" + std::to_string(srtPort) + (options.empty() ? "" : "?" + options);
        process = startFileCaller(url, file, 120);
    }

    std::string messages() const {
        std::ifstream in(file.string() + ".err");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::uintmax_t size() const {
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(file, error);
        return error ? 0 : bytes;
    }
    std::uint64_t reports() const {
        std::ifstream stats(file.string() + ".stats");
        std::uint64_t lines = 0;
        for (std::string line; std::getline(stats, line);) {
            lines += line.rfind('{', 0) == 0 ? 1 : 0;
        }
        return lines;
    }
};

// What a caller that was connected before the first datagram must have received: the first
// `packets` packets as the publisher sent them, in order, unchanged, and nothing else.
inline void expectWholeStream(const FileCaller& caller, std::uint64_t packets) {
    const ToolRun check =
        runTool("vandra-tscheck", {caller.file.string()}, caller.file.parent_path(), 30s);
    SCOPED_TRACE(caller.file.string() + ": " + check.json);
    EXPECT_EQ(check.status, 0) << check.output;
    for (const char* zero : {"gaps", "duplicates", "corrupt", "trailing_bytes", "first_seq"}) {
        EXPECT_EQ(check.number(zero), 0u) << zero;
    }
    EXPECT_EQ(check.number("last_seq"), packets - 1);
    EXPECT_EQ(check.number("packets"), packets);
}

} // namespace vandra::e2e
