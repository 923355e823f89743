#include "RequestLog.h"

#include <cstdio>

namespace tqemu {

void RequestLog::add(unsigned int code, const void* record, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(record);
    m_entries.push_back(Entry{code, std::vector<unsigned char>(bytes, bytes + size)});
    if (m_entries.size() > m_capacity)
        m_entries.pop_front();
}

std::string RequestLog::render() const {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const Entry& entry : m_entries) {
        char head[32];
        std::snprintf(head, sizeof head, "0x%08x %zu", entry.code, entry.bytes.size());
        text += head;
        if (!entry.bytes.empty())
            text += ' ';
        for (unsigned char byte : entry.bytes) {
            text += digits[byte >> 4];
            text += digits[byte & 0xf];
        }
        text += '\n';
    }
    return text;
}

}  // namespace tqemu
