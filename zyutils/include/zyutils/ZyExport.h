#ifndef ZYUTILS_ZYEXPORT_H
#define ZYUTILS_ZYEXPORT_H

// Marks the symbols that libZyUtils exports; everything else stays hidden.
#define ZY_EXPORT __attribute__((visibility("default")))

#endif
