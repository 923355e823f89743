#ifndef TQSYS_UNIQUEFD_H
#define TQSYS_UNIQUEFD_H

#include <dirent.h>
#include <unistd.h>

namespace tqsys {

// Owns one file descriptor and closes it on destruction. close is never retried: on Linux
// the descriptor is gone even when close reports EINTR.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Hands the descriptor to the caller, who then owns it; this holder is left empty.
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and takes over fd.
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};

// Owns one directory stream (DIR*) and closes it on destruction.
class UniqueDir {
  public:
    UniqueDir() = default;
    explicit UniqueDir(DIR* dir) : m_dir(dir) {}
    ~UniqueDir() { reset(); }
    UniqueDir(UniqueDir&& other) noexcept : m_dir(other.release()) {}
    UniqueDir& operator=(UniqueDir&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;

    DIR* get() const { return m_dir; }
    bool valid() const { return m_dir != nullptr; }
    // Hands the stream to the caller, who then owns it; this holder is left empty.
    DIR* release() {
        DIR* dir = m_dir;
        m_dir = nullptr;
        return dir;
    }
    // Closes the stream held, if any, and takes over dir.
    void reset(DIR* dir = nullptr) {
        if (m_dir != nullptr)
            ::closedir(m_dir);
        m_dir = dir;
    }

  private:
    DIR* m_dir = nullptr;
};

}  // namespace tqsys

#endif
