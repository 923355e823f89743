#ifndef TQBLK_TOOLS_NUMBERS_H
#define TQBLK_TOOLS_NUMBERS_H

// Strict number parsing for the tools' arguments. A value is decimal digits only, with no
// sign (unless the range allows negative numbers), no spaces, no base prefix and nothing
// after it; sizes may end in K, M, G or T, or KiB, MiB, GiB or TiB (both forms are powers of
// 1024). Every value is checked against its range. On failure the error names the argument
// and the bad text, e.g. "--workers: \"0\" is out of range (1 to 256)".

#include <cstdint>
#include <string>

namespace tqtools {

namespace detail {

// Reads an optional '-' (when allowed) and decimal digits; false on anything else or on
// overflow of 64 bits.
inline bool readDecimal(const std::string& text, size_t* end, bool allowNegative,
                        long long* value) {
    size_t at = 0;
    bool negative = false;
    if (allowNegative && at < text.size() && text[at] == '-') {
        negative = true;
        ++at;
    }
    size_t digits = at;
    unsigned long long magnitude = 0;
    const unsigned long long limit =
        negative ? 9223372036854775808ULL : static_cast<unsigned long long>(INT64_MAX);
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        unsigned digit = static_cast<unsigned>(text[at] - '0');
        if (magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
        ++at;
    }
    if (at == digits)
        return false;
    *end = at;
    *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
}

inline std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

inline std::string outOfRange(const std::string& name, const std::string& text, long long min,
                              long long max) {
    return name + ": " + quoted(text) + " is out of range (" + std::to_string(min) + " to " +
           std::to_string(max) + ")";
}

// The factor of a size suffix, or 0 when the suffix is not one.
inline long long suffixFactor(const std::string& suffix) {
    static const char kLetters[] = "KMGT";
    if (suffix.empty())
        return 1;
    long long factor = 1;
    for (const char* letter = kLetters; *letter != '\0'; ++letter) {
        factor *= 1024;
        if (suffix == std::string(1, *letter) || suffix == std::string(1, *letter) + "iB")
            return factor;
    }
    return 0;
}

}  // namespace detail

// Parses a whole integer within [min, max]. Returns an empty text and sets *value, or the
// error and leaves *value untouched.
inline std::string parseInteger(const std::string& name, const std::string& text, long long min,
                                long long max, long long* value) {
    size_t end = 0;
    long long parsed = 0;
    if (!detail::readDecimal(text, &end, min < 0, &parsed) || end != text.size()) {
        // Digits that only overflow are a number out of range, not a malformed one.
        bool digitsOnly =
            !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        if (digitsOnly)
            return detail::outOfRange(name, text, min, max);
        return name + ": " + detail::quoted(text) + " is not a whole number";
    }
    if (parsed < min || parsed > max)
        return detail::outOfRange(name, text, min, max);
    *value = parsed;
    return "";
}

// Parses a size in bytes within [min, max]: digits with an optional suffix K, M, G, T,
// KiB, MiB, GiB or TiB. Returns an empty text and sets *value, or the error.
inline std::string parseSize(const std::string& name, const std::string& text, long long min,
                             long long max, long long* value) {
    size_t end = 0;
    long long number = 0;
    long long factor = 0;
    bool formed = detail::readDecimal(text, &end, false, &number);
    if (formed)
        factor = detail::suffixFactor(text.substr(end));
    if (!formed || factor == 0) {
        bool digitsOnly =
            !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        if (digitsOnly)
            return detail::outOfRange(name, text, min, max);
        return name + ": " + detail::quoted(text) +
               " is not a size (bytes, or a number with K, M, G, T, KiB, MiB, GiB or TiB)";
    }
    if (number > INT64_MAX / factor)
        return detail::outOfRange(name, text, min, max);
    long long bytes = number * factor;
    if (bytes < min || bytes > max)
        return detail::outOfRange(name, text, min, max);
    *value = bytes;
    return "";
}

}  // namespace tqtools

#endif
