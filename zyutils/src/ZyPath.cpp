#include <zyutils/ZyPath.h>

#include <sys/stat.h>

bool CZyPath::Exists(const char* path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0;
}
