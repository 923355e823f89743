#ifndef ZYUTILS_ZYSLEEP_H
#define ZYUTILS_ZYSLEEP_H

#include <zyutils/ZyExport.h>

// Blocks the calling thread for the given milliseconds, resuming after signal handlers.
// The source file and line name the caller; they are not used otherwise.
ZY_EXPORT void ZYSLEEP_InTeRnAl(unsigned int milliseconds, const char* sourceFile, int line);

#endif
