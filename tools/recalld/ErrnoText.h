#ifndef TQBLK_RECALLD_ERRNOTEXT_H
#define TQBLK_RECALLD_ERRNOTEXT_H

#include <cstring>
#include <string>

namespace recalld {

// The text of an errno value; unlike strerror, safe to call from several threads.
inline std::string errnoText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU form returns the text
}

}  // namespace recalld

#endif
