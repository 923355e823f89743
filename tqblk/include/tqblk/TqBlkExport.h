#ifndef TQBLK_TQBLKEXPORT_H
#define TQBLK_TQBLKEXPORT_H

// Marks the symbols that libtqblk exports; everything else stays hidden.
#define TQBLK_EXPORT __attribute__((visibility("default")))

#endif
