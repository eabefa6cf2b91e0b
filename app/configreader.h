#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vandra {

// Settings as key=value text, from server.ini beside the executable or from the arguments.
// Keys are lower case and trimmed, values trimmed; the first value of a key wins.
// Used on the main thread during start-up only.
class ConfigReader {
public:
    using Pair = std::pair<std::string, std::string>;

    // Reads exeDirectory()/name; false (and a log line) when it cannot be opened. A line that
    // is neither a pair, a comment, a blank nor a [section] header is named in the log.
    bool load(const std::string& name);
    // Takes argv[1..argc-1] as lines; arguments that are no pair are skipped silently.
    void loadArgs(int argc, const char* const* argv);
    std::string get(const std::string& key, const std::string& defaultValue) const;
    // Every key read, in alphabetical order.
    std::vector<std::string> keys() const;

    static bool parseLine(const std::string& line, char delimiter, Pair& pair);

private:
    // `where` names the line for the log: "line 7 of server.ini", "argument 2".
    void take(const std::string& line, const std::string& where);

    std::unordered_map<std::string, std::string> values_;
};

} // namespace vandra
