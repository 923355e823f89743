#ifndef TQBLK_TOOLS_USERFILE_H
#define TQBLK_TOOLS_USERFILE_H

// Files a user names on the command line, read without trusting what they are: a FIFO
// would block the tool until a writer came, a character device could never end, so only a
// regular file of bounded size is read.

#include <tqsys/Retry.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tqtools {

// Reads the regular file at path, at most limit bytes, into *content and its status into
// *st. Opening does not wait (O_NONBLOCK), so a FIFO is refused rather than waited on.
// Returns 0, or an errno: EINVAL when path is no regular file, EFBIG when it holds more
// than limit bytes, else that of the failed call.
inline int readUserFile(const std::string& path, size_t limit, std::string* content,
                        struct stat* st) {
    tqsys::UniqueFd file = tqsys::OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (file.get() < 0 || ::fstat(file.get(), st) != 0)
        return errno;
    if (!S_ISREG(st->st_mode))
        return EINVAL;
    content->clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n =
            tqsys::RetryOnEintr([&] { return ::read(file.get(), buffer, sizeof buffer); });
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        if (content->size() + static_cast<size_t>(n) > limit)
            return EFBIG;
        content->append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace tqtools

#endif
