#include <zyutils/ZyError.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

// One step of an error's chain: where it was built or passed on, and what was said there.
struct JQErrorEntry {
    JQCodeLocation m_location;
    bool m_hasMessage;
    std::string m_message;
};

class JQErrorPrivate {
  public:
    explicit JQErrorPrivate(int errnoValue) : m_errno(errnoValue) {}

    int m_errno;
    std::vector<JQErrorEntry> m_entries;
};

namespace {

__attribute__((format(printf, 1, 0))) std::string formatV(const char* format, va_list args) {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n), '\0');
    vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

void addEntry(JQErrorPrivate& record, const JQCodeLocation& location, bool hasMessage,
              std::string message) {
    record.m_entries.push_back(JQErrorEntry{location, hasMessage, std::move(message)});
}

std::string errnoText(int errnoValue) {
    const char* name = strerrorname_np(errnoValue);
    char buffer[128];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    std::string out = name ? name : "errno";
    out += " (" + std::to_string(errnoValue) + "): ";
    out += text;
    return out;
}

}  // namespace

CZyError& CZyError::Push(const JQCodeLocation& location) {
    if (m_private)
        addEntry(*m_private, location, false, std::string());
    return *this;
}

CZyError& CZyError::Push(const JQCodeLocation& location, const char* format, ...) {
    if (m_private) {
        va_list args;
        va_start(args, format);
        addEntry(*m_private, location, true, formatV(format, args));
        va_end(args);
    }
    return *this;
}

int CZyError::GetErrNo() const {
    return m_private ? m_private->m_errno : 0;
}

std::vector<std::string> CZyError::GetMessages() const {
    std::vector<std::string> messages;
    if (!m_private)
        return messages;
    for (const JQErrorEntry& entry : m_private->m_entries)
        if (entry.m_hasMessage)
            messages.push_back(entry.m_message);
    return messages;
}

std::vector<JQCodeLocation> CZyError::GetLocations() const {
    std::vector<JQCodeLocation> locations;
    if (!m_private)
        return locations;
    for (const JQErrorEntry& entry : m_private->m_entries)
        locations.push_back(entry.m_location);
    return locations;
}

std::string CZyError::GetDescription() const {
    if (!IsError())
        return "Success";
    if (!m_private)
        return "Error " + std::to_string(m_code);
    std::string text = errnoText(m_private->m_errno);
    for (const JQErrorEntry& entry : m_private->m_entries) {
        text += "\n  ";
        text += entry.m_hasMessage ? entry.m_message : std::string("(passed on)");
        text += " [";
        text += entry.m_location.m_file ? entry.m_location.m_file : "?";
        text += ":" + std::to_string(entry.m_location.m_line) + " ";
        text += entry.m_location.m_function ? entry.m_location.m_function : "?";
        text += "]";
    }
    return text;
}

CZyError JQErrorUtil::ErrorErrNo(const JQCodeLocation& location, int errnoValue, const char* format,
                                 ...) {
    CZyError err;
    // The code is the negated errno, so that it is negative whatever errno was given.
    err.m_code = errnoValue > 0 ? -errnoValue : -1;
    err.m_private.reset(new JQErrorPrivate(errnoValue));
    va_list args;
    va_start(args, format);
    addEntry(*err.m_private, location, true, formatV(format, args));
    va_end(args);
    return err;
}
