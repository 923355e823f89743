#ifndef TQSYS_DIRENTRIES_H
#define TQSYS_DIRENTRIES_H

#include <tqsys/Retry.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tqsys {

// The record that getdents64 fills; glibc declares no type for it.
struct LinuxDirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// True for "." and "..".
inline bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Hands out a directory's entries, never "." or "..", straight from getdents64 into a
// caller's buffer; borrows the descriptor.
class DirEntryReader {
  public:
    DirEntryReader(int fd, char* buffer, size_t size)
        : m_fd(fd), m_buffer(buffer), m_capacity(size) {}

    // 1 with the entry set, 0 at the end, or -errno. The entry lives until the next call.
    int next(const LinuxDirent64** entry) {
        for (;;) {
            if (m_offset >= m_size) {
                const long n = RetryOnEintr(
                    [this] { return ::syscall(SYS_getdents64, m_fd, m_buffer, m_capacity); });
                if (n <= 0)
                    return n < 0 ? -errno : 0;
                m_size = static_cast<size_t>(n);
                m_offset = 0;
            }
            const auto* found = reinterpret_cast<const LinuxDirent64*>(m_buffer + m_offset);
            m_offset += found->d_reclen;
            if (IsDotOrDotDot(found->d_name))
                continue;
            *entry = found;
            return 1;
        }
    }

  private:
    int m_fd;
    char* m_buffer;
    size_t m_capacity;
    size_t m_size = 0;
    size_t m_offset = 0;
};

}  // namespace tqsys

#endif
