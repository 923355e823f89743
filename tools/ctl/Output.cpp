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
    std::fprintf(stderr, "tqblk-ctl: %s\n", printable(tqtools::oneLine(what, err)).c_str());
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

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0 when the byte there starts
// none (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
size_t utf8Length(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf))
            return 0;
    }
    return length;
}

// The document with every string and key passed through jsonSafe.
nlohmann::json safeCopy(const nlohmann::json& value) {
    if (value.is_string())
        return jsonSafe(value.get_ref<const std::string&>());
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const nlohmann::json& element : value)
            out.push_back(safeCopy(element));
        return out;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it)
            out[jsonSafe(it.key())] = safeCopy(it.value());
        return out;
    }
    return value;
}

}  // namespace

std::string jsonSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8Length(text, at);
        if (text[at] == '\\') {
            out += "\\\\";
        } else if (length == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at]));
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length == 0 ? 1 : length;
    }
    return out;
}

std::string jsonString(const std::string& text) {
    return nlohmann::json(jsonSafe(text)).dump();
}

void printJson(const nlohmann::json& document) {
    std::printf("%s\n", safeCopy(document).dump().c_str());
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
