// An image root in a local directory: one file per object, written to a temporary file
// beside it, synced and renamed into place.

#include "Objects.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tqimage {
namespace {

using tqsys::UniqueFd;

std::string errnoText(int error) {
    return std::strerror(error);
}

class LocalObjects : public Objects {
  public:
    explicit LocalObjects(std::string dir) : m_dir(std::move(dir)) {}

    int get(const std::string& key, std::string* body, std::string* detail) override {
        UniqueFd file = tqsys::OpenRetrying(path(key).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (file.get() < 0 || ::fstat(file.get(), &st) != 0)
            return fail(errno, "read", key, detail);
        if (!S_ISREG(st.st_mode))
            return fail(EIO, "read", key, detail);
        body->resize(static_cast<size_t>(st.st_size));
        int error = tqsys::PreadFull(file.get(), &(*body)[0], body->size(), 0);
        if (error != 0)
            return fail(error == -ENODATA ? EIO : -error, "read", key, detail);
        m_read += static_cast<long long>(body->size());
        return 0;
    }

    int head(const std::string& key, long long* size, std::string* detail) override {
        struct stat st {};
        if (::lstat(path(key).c_str(), &st) != 0)
            return fail(errno, "find", key, detail);
        if (!S_ISREG(st.st_mode))
            return fail(EIO, "find", key, detail);
        *size = st.st_size;
        return 0;
    }

    int put(const std::string& key, const std::string& body, std::string* detail) override {
        const std::string target = path(key);
        const std::string dir = target.substr(0, target.rfind('/'));
        int error = makeDirectories(dir);
        if (error != 0)
            return fail(error, "make the directory of", key, detail);
        std::string temp = dir + "/.put.XXXXXX";
        UniqueFd file(::mkostemp(&temp[0], O_CLOEXEC));
        if (file.get() < 0)
            return fail(errno, "write", key, detail);
        error = -tqsys::WriteFull(file.get(), body.data(), body.size());
        if (error == 0 && (::fchmod(file.get(), 0444) != 0 || ::fdatasync(file.get()) != 0))
            error = errno;
        if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
            error = errno;
        if (error != 0) {
            ::unlink(temp.c_str());
            return fail(error, "write", key, detail);
        }
        UniqueFd parent = tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
        if (parent.get() < 0 || ::fsync(parent.get()) != 0)
            return fail(errno, "sync the directory of", key, detail);
        return 0;
    }

    int list(const std::string& prefix, std::vector<ObjectInfo>* out,
             std::string* detail) override {
        const size_t slash = prefix.rfind('/');
        const std::string start = slash == prefix.npos ? "" : prefix.substr(0, slash + 1);
        int error = walk(start, prefix, out);
        return error == 0 || error == ENOENT ? 0 : fail(error, "list", prefix, detail);
    }

    std::string describe(const std::string& key) const override { return path(key); }
    long long bytesRead() const override { return m_read; }

  private:
    std::string path(const std::string& key) const { return m_dir + "/" + key; }

    int fail(int error, const char* verb, const std::string& key, std::string* detail) const {
        *detail = std::string("Couldn't ") + verb + " " + path(key) + ": " + errnoText(error);
        return error;
    }

    static int makeDirectories(const std::string& dir) {
        if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
            return 0;
        if (errno != ENOENT)
            return errno;
        const size_t slash = dir.rfind('/');
        if (slash == dir.npos || slash == 0)
            return ENOENT;
        int error = makeDirectories(dir.substr(0, slash));
        if (error != 0)
            return error;
        return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST ? 0 : errno;
    }

    // Adds the regular files below the directory key dirKey ("" or ending in '/') whose keys
    // start with prefix. Temporary files (".put.*") and links are not objects.
    int walk(const std::string& dirKey, const std::string& prefix,
             std::vector<ObjectInfo>* out) const {
        UniqueFd dirFd =
            tqsys::OpenRetrying(path(dirKey).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (dirFd.get() < 0)
            return errno;
        DIR* dir = ::fdopendir(dirFd.get());
        if (dir == nullptr)
            return errno;
        dirFd.release();
        int error = 0;
        errno = 0;
        while (struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string key = dirKey + name;
            struct stat st {};
            if (name[0] == '.' ||
                ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode) && (prefix.compare(0, key.size() + 1, key + "/") == 0 ||
                                        key.compare(0, prefix.size(), prefix) == 0))
                error = walk(key + "/", prefix, out);
            else if (S_ISREG(st.st_mode) && key.compare(0, prefix.size(), prefix) == 0)
                out->push_back({key, st.st_size});
            if (error != 0)
                break;
            errno = 0;
        }
        if (error == 0 && errno != 0)
            error = errno;
        ::closedir(dir);
        return error;
    }

    const std::string m_dir;
    std::atomic<long long> m_read{0};
};

}  // namespace

std::unique_ptr<Objects> openLocalObjects(const std::string& dir) {
    return std::make_unique<LocalObjects>(dir);
}

std::unique_ptr<Objects> openObjects(const std::string& root, const ObjectOptions& options,
                                     std::string* detail) {
    const std::string file = "file://";
    if (root.compare(0, 5, "s3://") == 0 || root.compare(0, 7, "http://") == 0 ||
        root.compare(0, 8, "https://") == 0)
        return openRemoteObjects(root, options, detail);
    if (root.compare(0, file.size(), file) == 0)
        return openLocalObjects(root.substr(file.size()));
    if (root.empty() || root.find("://") != root.npos) {
        *detail =
            "\"" + root + "\" names no image root (a directory, file://, s3:// or http(s)://)";
        return nullptr;
    }
    return openLocalObjects(root);
}

}  // namespace tqimage
