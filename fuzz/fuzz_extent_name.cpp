// Feeds arbitrary names and extent counts to the extent name parser. Input: 8 bytes of
// extent count, then the name. Besides not crashing, the parser must agree with the name
// maker: every number it returns below the count names itself the same way.
#include <tqblk/TqBlkBackingStore.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    long long count;
    std::memcpy(&count, data, sizeof count);
    if (count < 1)
        count = count == LLONG_MIN ? 1 : (count < 0 ? -count : 1);
    const std::string name(reinterpret_cast<const char*>(data + 8), size - 8);

    const long long extent = tqblk_bstore_parse_extent_fname(name.c_str(), count);
    if (extent < -1)
        std::abort();
    char formed[64];
    const int length = tqblk_bstore_make_extent_fname(0, count, nullptr);
    if (length < 8 || length > 32)
        std::abort();
    if (extent >= 0 && extent < count) {
        if (tqblk_bstore_make_extent_fname(extent, count, formed) != length)
            std::abort();
        if (tqblk_bstore_parse_extent_fname(formed, count) != extent)
            std::abort();
    }
    // The name of a number taken from the input parses back to that number.
    long long some = static_cast<long long>(name.size() * 2654435761ULL %
                                            static_cast<unsigned long long>(count));
    tqblk_bstore_make_extent_fname(some, count, formed);
    if (std::strlen(formed) + 1 != static_cast<size_t>(length))
        std::abort();
    if (tqblk_bstore_parse_extent_fname(formed, count) != some)
        std::abort();
    return 0;
}
