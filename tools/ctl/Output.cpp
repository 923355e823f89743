// How tqblk-ctl reports: failures, JSON and one-line text.

#include "Commands.h"
#include "ErrorText.h"
#include "ToolDriver.h"

#include <cstdio>

namespace ctl {

Globals g;

// Prints a failure: one line, the chain under -v, and a hint where one helps.
int report(const CZyError& err, const std::string& what, bool driverCall) {
    if (!err.IsError())
        return kExitDone;
    std::fprintf(stderr, "tqblk-ctl: %s\n", tqtools::oneLine(what, err).c_str());
    if (g.verbose > 0)
        std::fprintf(stderr, "%s\n", tqtools::chain(err).c_str());
    int e = err.GetErrNo();
    tqtools::ToolDriver driver(g.adminNode);
    const std::vector<std::string> messages = err.GetMessages();
    if (driverCall && (e == ENOENT || e == ENOTDIR || e == ENXIO || e == ENODEV) &&
        !messages.empty() && messages.front().rfind("Couldn't open", 0) == 0)
        std::fprintf(stderr,
                     "hint: no admin node at %s: no tqblk driver is loaded. For development, "
                     "run the emulator (tqblk-run-in-namespace) and name its node with "
                     "--admin-node or TQBLK_ADMIN_NODE.\n",
                     driver.path().c_str());
    return kExitFailed;
}

// File names need not be UTF-8: such bytes are replaced rather than failing the output.
void printJson(const nlohmann::json& document) {
    std::printf("%s\n",
                document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

// A path or detail on one line of text output: control characters (a newline in a file
// name) are shown escaped, so every finding stays one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace ctl
