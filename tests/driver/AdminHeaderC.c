/* Compiles the protocol header as C: its static checks of every record's size and offsets
 * run for C callers too. */
#include <tqblk/unix/tqblk_admin.h>

/* A translation unit must declare something. */
typedef struct tqblk_create_device tqtest_c_create_device;
