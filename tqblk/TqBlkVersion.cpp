#include <tqblk/version.h>

// The values are those of the headers this library was built with, so they name the release
// of the library itself, whatever headers its caller was compiled against.
extern "C" const char* tqblk_version_string(void) {
    return TQBLK_VERSION_STRING;
}

extern "C" int tqblk_version_number(void) {
    return TQBLK_VERSION_NUMBER;
}
