#ifndef ZYUTILS_ZYPATH_H
#define ZYUTILS_ZYPATH_H

#include <zyutils/ZyExport.h>

class ZY_EXPORT CZyPath {
  public:
    // True when the path can be reached, following symbolic links: a link whose target is
    // missing does not exist.
    static bool Exists(const char* path);
};

#endif
