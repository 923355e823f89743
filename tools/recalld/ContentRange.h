#ifndef TQBLK_RECALLD_CONTENTRANGE_H
#define TQBLK_RECALLD_CONTENTRANGE_H

#include <string>

namespace recalld {

// What a 206 answer's Content-Range says of a request for bytes first-last of an object of
// total bytes.
enum class RangeVerdict {
    Matches,    // those bytes, of an object of that size or of an unknown one ("/*")
    OtherSize,  // bytes of an object of another size: the object changed
    Wrong,      // other bytes, or no header that can be read
};

inline RangeVerdict judgeContentRange(const std::string& header, long long first, long long last,
                                      long long total) {
    const std::string range = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/";
    const size_t slash = header.rfind('/');
    if (slash == std::string::npos)
        return RangeVerdict::Wrong;
    const std::string size = header.substr(slash + 1);
    if (size != "*" && size != std::to_string(total))
        return RangeVerdict::OtherSize;
    return header.compare(0, slash + 1, range) == 0 ? RangeVerdict::Matches : RangeVerdict::Wrong;
}

}  // namespace recalld

#endif
