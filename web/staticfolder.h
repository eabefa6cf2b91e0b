#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vandra {

// The files of one folder, served by request path. Nothing outside the folder can be named:
// a path with a ".." segment, a backslash or a control character names no file.
class StaticFolder {
public:
    explicit StaticFolder(std::string folder) : folder_(std::move(folder)) {}

    // The regular file a decoded request path names ("/" and ".../" name their index.html);
    // empty when there is none.
    std::optional<std::string> fileFor(std::string_view path) const;
    // By file name extension; plain text when unknown.
    static const char* contentTypeOf(std::string_view file);

private:
    static bool isSafe(std::string_view path);

    std::string folder_;
};

} // namespace vandra
