#include "Digest.h"

#include <openssl/evp.h>

#include <new>

namespace tqimage {

Digest sha256(const void* data, size_t size) {
    Digest digest{};
    unsigned int length = 0;
    // EVP_Digest fails only when OpenSSL cannot allocate its context.
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        throw std::bad_alloc();
    return digest;
}

std::string toHex(const Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text(digest.size() * 2, '0');
    for (size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    return text;
}

namespace {
int nibble(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool fromHex(const std::string& text, Digest* out) {
    if (text.size() != out->size() * 2)
        return false;
    for (size_t i = 0; i < out->size(); ++i) {
        int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        (*out)[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace tqimage
