#ifndef TQBLK_EMULATOR_REQUESTLOG_H
#define TQBLK_EMULATOR_REQUESTLOG_H

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace tqemu {

// The raw bytes of the latest admin requests, so that tests can check records byte for
// byte. Keeps the newest `capacity` requests. Not thread-safe: the emulator's lock guards it.
class RequestLog {
  public:
    explicit RequestLog(size_t capacity) : m_capacity(capacity) {}

    void add(unsigned int code, const void* record, size_t size);
    void clear() { m_entries.clear(); }
    // One line per request, oldest first: the code in hexadecimal, the number of bytes the
    // request carried in, and those bytes in hexadecimal (left out when there are none):
    // "0xc0444205 68 6465763100..."
    std::string render() const;

  private:
    struct Entry {
        unsigned int code;
        std::vector<unsigned char> bytes;
    };
    size_t m_capacity;
    std::deque<Entry> m_entries;
};

}  // namespace tqemu

#endif
