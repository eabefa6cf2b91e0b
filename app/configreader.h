#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vandra {

// Settings as key=value text, from server.ini beside the executable or from the arguments.
// Keys are lower case and trimmed, values trimmed; the first value of a key wins.
// Used on the main thread during start-up, and on the signal thread by a reload.
class ConfigReader {
public:
    using Pair = std::pair<std::string, std::string>;

    // Reads exeDirectory()/name; false (and a log line) when it cannot be opened. A line that
    // is neither a pair, a comment, a blank nor a [section] header is named in the log.
    bool load(const std::string& name);
    // Reads the settings file at `path`; relative paths in it are then taken from its folder.
    bool loadFile(const std::string& path);
    // Takes argv[1..argc-1] as lines; arguments that are no pair are skipped silently.
    void loadArgs(int argc, const char* const* argv);
    std::string get(const std::string& key, const std::string& defaultValue) const;
    // Every key read, in alphabetical order.
    std::vector<std::string> keys() const;
    // The folder a relative file path in these settings starts from: the settings file's, or
    // the executable's.
    const std::string& folder() const { return folder_; }

    static bool parseLine(const std::string& line, char delimiter, Pair& pair);

private:
    // `where` names the line for the log: "line 7 of server.ini", "argument 2".
    void take(const std::string& line, const std::string& where);

    std::unordered_map<std::string, std::string> values_;
    std::string folder_ = exeFolder();

    static std::string exeFolder();
};

} // namespace vandra
