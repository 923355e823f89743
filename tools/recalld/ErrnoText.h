#ifndef TQBLK_RECALLD_ERRNOTEXT_H
#define TQBLK_RECALLD_ERRNOTEXT_H

// The recall service words errno values as the other tools do.
#include "ErrorText.h"

namespace recalld {

using tqtools::errnoText;

}  // namespace recalld

#endif
