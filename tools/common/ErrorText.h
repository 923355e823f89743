#ifndef TQBLK_TOOLS_ERRORTEXT_H
#define TQBLK_TOOLS_ERRORTEXT_H

// How the tools word a library error: one line saying what failed and why, and the whole
// chain (every message with its code location) for -v or the debug log level.

#include <zyutils/ZyError.h>

#include <cstring>
#include <string>
#include <vector>

namespace tqtools {

// The text of an errno value; unlike strerror, safe to call from several threads.
inline std::string errnoText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU form returns the text
}

// The symbolic name of an errno value ("EIO"), or its number when it has none.
inline std::string errnoName(int error) {
    const char* name = strerrorname_np(error);
    return name ? name : std::to_string(error);
}

// "what: innermost message: errno text", e.g. "create-device: Couldn't open
// /dev/tqblk/admin: No such file or directory".
inline std::string oneLine(const std::string& what, const CZyError& err) {
    std::string line = what;
    std::vector<std::string> messages = err.GetMessages();
    for (const std::string& message : messages) {
        if (!message.empty()) {
            line += ": " + message;
            break;
        }
    }
    if (err.GetErrNo() > 0)
        line += ": " + errnoText(err.GetErrNo());
    return line;
}

// The chain below the first line, each line indented by two spaces.
inline std::string chain(const CZyError& err) {
    std::string text = "  " + err.GetDescription();
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        text.insert(at + 1, "  ");
    return text;
}

}  // namespace tqtools

#endif
