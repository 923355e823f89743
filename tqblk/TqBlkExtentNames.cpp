// Extent file names: forming and parsing the relative names of the "data" tree.

#include "StoreInternal.h"

#include <cerrno>
#include <cstring>

using tqblk::store::firstGroupShift;

namespace {

constexpr int kMaxExtentNameSize = 3 * 9 + 5;  // nine groups: any positive 64-bit count

// Whether a name size (NUL included) is the one of a store of extentCount extents: "data/",
// then groups of two digits, with a "/" between them.
bool nameSizeFits(int size, long long extentCount) {
    if (size < 8 || size > kMaxExtentNameSize || (size - 5) % 3 != 0)
        return false;
    const int groups = (size - 5) / 3;
    const unsigned long long last =
        extentCount > 1 ? static_cast<unsigned long long>(extentCount - 1) : 0;
    return (last >> (7 * groups)) == 0 && (groups == 1 || (last >> (7 * (groups - 1))) != 0);
}

}  // namespace

int tqblk::store::firstGroupShift(long long extentCount) {
    unsigned long long last =
        extentCount > 1 ? static_cast<unsigned long long>(extentCount - 1) : 0;
    unsigned long long mask = 0x7f;
    int shift = 0;
    while (last & ~mask) {
        shift += 7;
        mask = (mask << 7) | 0x7f;
    }
    return shift;
}

extern "C" int tqblk_bstore_make_extent_fname(long long extent, long long extentCount,
                                              char* buffer) {
    static const char kDigits[] = "0123456789abcdef";
    const int shift = firstGroupShift(extentCount);
    const int size = 3 * (shift / 7 + 1) + 5;
    if (!buffer)
        return size;
    std::memcpy(buffer, "data/", 5);
    char* out = buffer + 5;
    const unsigned long long number = static_cast<unsigned long long>(extent);
    for (int s = shift; s >= 0; s -= 7) {
        unsigned group = static_cast<unsigned>(number >> s) & 0x7f;
        *out++ = kDigits[group >> 4];
        *out++ = kDigits[group & 0xf];
        if (s != 0)
            *out++ = '/';
    }
    *out = '\0';
    return size;
}

extern "C" long long tqblk_bstore_parse_extent_fname(const char* name, long long extentCount) {
    if (std::strncmp(name, "data/", 5) != 0)
        return -1;
    const int groups = firstGroupShift(extentCount) / 7 + 1;
    unsigned accumulator = 0;  // only its low 7 bits matter, so overflow is harmless
    unsigned long long result = 0;
    int seen = 0;
    for (const char* p = name + 5;; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            accumulator = accumulator * 16 + static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            accumulator = accumulator * 16 + static_cast<unsigned>(c - 'a' + 10);
        } else if (c == '/' || c == '\0') {
            result = result * 128 + (accumulator & 0x7f);
            accumulator = 0;
            if (++seen > groups)
                return -1;
            if (c == '\0')
                return seen == groups ? static_cast<long long>(result) : -1;
        } else {
            return -1;
        }
    }
}

CZyError TqBlkBackingStore::getExtentFileName(long long extent, std::string* path) {
    if (extent < 0 || extent >= m_extentCount)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Extent %lld is out of legal range 0..%lld", extent,
                                       m_extentCount - 1);
    // Two threads may use a fresh store object at once; both store the same length.
    int nameLen = __atomic_load_n(&m_extentNameLen, __ATOMIC_RELAXED);
    // A length cached for another geometry (the object set up again) is formed anew.
    if (!nameSizeFits(nameLen, m_extentCount)) {
        nameLen = tqblk_bstore_make_extent_fname(0, m_extentCount, nullptr);
        __atomic_store_n(&m_extentNameLen, nameLen, __ATOMIC_RELAXED);
    }
    if (nameLen <= 0 || nameLen > kMaxExtentNameSize)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Couldn't compose name of extent file %lld", extent);
    char name[kMaxExtentNameSize];
    tqblk_bstore_make_extent_fname(extent, m_extentCount, name);
    path->assign(m_dir).append(1, '/').append(name, static_cast<size_t>(nameLen - 1));
    return CZyError::Success();
}
