/* Compiles the protocol header as C; its static checks run here too. Reports the record
 * sizes as C sees them, so a test can compare them with C++'s. */
#include <tqblk/unix/tqblk_admin.h>

size_t tqtest_c_record_sizes(size_t* sizes) {
    sizes[0] = sizeof(struct tqblk_create_device);
    sizes[1] = sizeof(struct tqblk_device_ref);
    sizes[2] = sizeof(struct tqblk_device_uuid);
    sizes[3] = sizeof(struct tqblk_check_device);
    sizes[4] = sizeof(struct tqblk_recall_request);
    sizes[5] = sizeof(struct tqblk_recall_done);
    sizes[6] = sizeof(struct tqblk_config);
    sizes[7] = sizeof(struct tqblk_set_mru_exts);
    sizes[8] = sizeof(struct tqblk_get_mru_exts);
    sizes[9] = sizeof(struct tqblk_block_sizes);
    return 10;
}
