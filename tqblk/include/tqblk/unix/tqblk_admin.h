/*
 * The admin protocol of the tqblk kernel driver: the request codes that its node
 * "/dev/tqblk/admin" accepts through ioctl, and the record each of them carries.
 *
 * One definition for the library, the emulator and the tests. Valid C (C11) and C++.
 * Records are plain structures in the native layout of the 64-bit Linux ABI. Every byte
 * that no field covers is named (pad, reserved) so that a record zeroed as a whole sends
 * zeros there. Text fields are NUL-terminated and hold at most their width less one.
 * Address fields carry a pointer of the calling process as a 64-bit integer.
 */
#ifndef TQBLK_UNIX_TQBLK_ADMIN_H
#define TQBLK_UNIX_TQBLK_ADMIN_H

#include <linux/ioctl.h>
#include <stddef.h>
#include <stdint.h>

#define TQBLK_ADMIN_NODE "/dev/tqblk/admin"

/* Width of every uuid field; a UUID holds at most 63 characters. */
#define TQBLK_UUID_LEN 64
/* Width of the store directory and device name fields. */
#define TQBLK_PATH_LEN 1024
/* Number of entries in tqblk_block_sizes.block_sizes. */
#define TQBLK_BLOCK_SIZE_COUNT 4
/* The request type shared by all requests. */
#define TQBLK_IOC_TYPE 'B'

/* Request 1, in and out: creates a device over one or two backing stores. */
struct tqblk_create_device {
    int64_t device_size;
    char uuid[TQBLK_UUID_LEN];
    int32_t private_extent_size; /* 0 without a private store */
    char private_dir[TQBLK_PATH_LEN];
    int32_t recall_extent_size; /* 0 without a recall store */
    char recall_dir[TQBLK_PATH_LEN];
    char recall_device_name[TQBLK_PATH_LEN]; /* empty when there is none */
    uint64_t recall_bitmap;                  /* caller's address; 0 when there is none */
    uint32_t auto_abort;                     /* 1 or 0 */
    char device_name[TQBLK_PATH_LEN];        /* out: the created device's name */
    uint32_t pad;
};

/* Requests 2 and 3, in: names a device by UUID (minor -1) or by the minor of its node
 * (uuid all zero). */
struct tqblk_device_ref {
    char uuid[TQBLK_UUID_LEN];
    int64_t minor;
};

/* Requests 4 and 13, in. */
struct tqblk_device_uuid {
    char uuid[TQBLK_UUID_LEN];
};

/* Request 5, in and out. */
struct tqblk_check_device {
    char uuid[TQBLK_UUID_LEN];
    int32_t ready; /* out: non-zero when the device is ready */
};

/* Request 6, in and out. */
struct tqblk_recall_request {
    char uuid[TQBLK_UUID_LEN];
    int64_t extent; /* out: the extent the driver asks to have recalled */
};

/* Request 7, in. */
struct tqblk_recall_done {
    int64_t extent;
    int32_t error; /* 0: recalled; otherwise the service's failure code */
    char uuid[TQBLK_UUID_LEN];
    uint32_t pad;
};

/* Request 8 (out) and request 9 (in). */
struct tqblk_config {
    int32_t config;
    uint32_t reserved[2];
};

/* Request 10, in. */
struct tqblk_set_mru_exts {
    int32_t count;
    char uuid[TQBLK_UUID_LEN];
};

/* Request 11, in and out. */
struct tqblk_get_mru_exts {
    int32_t count; /* in: room in the array; out: entries the driver wrote */
    uint32_t pad;
    uint64_t extents; /* caller's address of an array of int64_t */
    char uuid[TQBLK_UUID_LEN];
};

/* Request 12, in. */
struct tqblk_block_sizes {
    int32_t block_sizes[TQBLK_BLOCK_SIZE_COUNT];
    char uuid[TQBLK_UUID_LEN];
};

/* The request codes, in the Linux _IOC encoding: direction, size, type 'B', number. */
#define TQBLK_CREATE_DEVICE 0xd0604201U
#define TQBLK_ABORT_DEVICE 0x40484202U
#define TQBLK_DESTROY_DEVICE 0x40484203U
#define TQBLK_MONITOR_DEVICE 0x40404204U
#define TQBLK_CHECK_DEVICE 0xc0444205U
#define TQBLK_GET_RECALL_REQUEST 0xc0484206U
#define TQBLK_RECALL_DONE 0x40504207U
#define TQBLK_GET_CONFIG 0x800c4208U
#define TQBLK_SET_CONFIG 0x400c4209U
#define TQBLK_SET_MRU_EXTS 0x4044420aU
#define TQBLK_GET_MRU_EXTS 0xc050420bU
#define TQBLK_SET_BLOCK_SIZES 0x4050420cU
#define TQBLK_RESUBMIT_RECALLS 0x4040420dU

/* Compile-time checks of the layout above. */
#ifdef __cplusplus
#define TQBLK_ADMIN_CHECK(cond, what) static_assert(cond, what)
#else
#define TQBLK_ADMIN_CHECK(cond, what) _Static_assert(cond, what)
#endif

#define TQBLK_ADMIN_CHECK_CODE(code, dir, nr, record)                                 \
    TQBLK_ADMIN_CHECK((code) == _IOC(dir, TQBLK_IOC_TYPE, nr, sizeof(struct record)), \
                      #code " must encode its direction, number and record size")
#define TQBLK_ADMIN_CHECK_FIELD(record, field, offset)            \
    TQBLK_ADMIN_CHECK(offsetof(struct record, field) == (offset), \
                      #record "." #field " must lie at offset " #offset)
#define TQBLK_ADMIN_CHECK_SIZE(record, size) \
    TQBLK_ADMIN_CHECK(sizeof(struct record) == (size), #record " must be " #size " bytes")

TQBLK_ADMIN_CHECK_CODE(TQBLK_CREATE_DEVICE, _IOC_READ | _IOC_WRITE, 1, tqblk_create_device);
TQBLK_ADMIN_CHECK_CODE(TQBLK_ABORT_DEVICE, _IOC_WRITE, 2, tqblk_device_ref);
TQBLK_ADMIN_CHECK_CODE(TQBLK_DESTROY_DEVICE, _IOC_WRITE, 3, tqblk_device_ref);
TQBLK_ADMIN_CHECK_CODE(TQBLK_MONITOR_DEVICE, _IOC_WRITE, 4, tqblk_device_uuid);
TQBLK_ADMIN_CHECK_CODE(TQBLK_CHECK_DEVICE, _IOC_READ | _IOC_WRITE, 5, tqblk_check_device);
TQBLK_ADMIN_CHECK_CODE(TQBLK_GET_RECALL_REQUEST, _IOC_READ | _IOC_WRITE, 6, tqblk_recall_request);
TQBLK_ADMIN_CHECK_CODE(TQBLK_RECALL_DONE, _IOC_WRITE, 7, tqblk_recall_done);
TQBLK_ADMIN_CHECK_CODE(TQBLK_GET_CONFIG, _IOC_READ, 8, tqblk_config);
TQBLK_ADMIN_CHECK_CODE(TQBLK_SET_CONFIG, _IOC_WRITE, 9, tqblk_config);
TQBLK_ADMIN_CHECK_CODE(TQBLK_SET_MRU_EXTS, _IOC_WRITE, 10, tqblk_set_mru_exts);
TQBLK_ADMIN_CHECK_CODE(TQBLK_GET_MRU_EXTS, _IOC_READ | _IOC_WRITE, 11, tqblk_get_mru_exts);
TQBLK_ADMIN_CHECK_CODE(TQBLK_SET_BLOCK_SIZES, _IOC_WRITE, 12, tqblk_block_sizes);
TQBLK_ADMIN_CHECK_CODE(TQBLK_RESUBMIT_RECALLS, _IOC_WRITE, 13, tqblk_device_uuid);

TQBLK_ADMIN_CHECK_SIZE(tqblk_create_device, 4192);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, device_size, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, uuid, 8);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, private_extent_size, 72);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, private_dir, 76);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, recall_extent_size, 1100);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, recall_dir, 1104);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, recall_device_name, 2128);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, recall_bitmap, 3152);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, auto_abort, 3160);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, device_name, 3164);
TQBLK_ADMIN_CHECK_FIELD(tqblk_create_device, pad, 4188);

TQBLK_ADMIN_CHECK_SIZE(tqblk_device_ref, 72);
TQBLK_ADMIN_CHECK_FIELD(tqblk_device_ref, uuid, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_device_ref, minor, 64);

TQBLK_ADMIN_CHECK_SIZE(tqblk_device_uuid, 64);
TQBLK_ADMIN_CHECK_FIELD(tqblk_device_uuid, uuid, 0);

TQBLK_ADMIN_CHECK_SIZE(tqblk_check_device, 68);
TQBLK_ADMIN_CHECK_FIELD(tqblk_check_device, uuid, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_check_device, ready, 64);

TQBLK_ADMIN_CHECK_SIZE(tqblk_recall_request, 72);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_request, uuid, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_request, extent, 64);

TQBLK_ADMIN_CHECK_SIZE(tqblk_recall_done, 80);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_done, extent, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_done, error, 8);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_done, uuid, 12);
TQBLK_ADMIN_CHECK_FIELD(tqblk_recall_done, pad, 76);

TQBLK_ADMIN_CHECK_SIZE(tqblk_config, 12);
TQBLK_ADMIN_CHECK_FIELD(tqblk_config, config, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_config, reserved, 4);

TQBLK_ADMIN_CHECK_SIZE(tqblk_set_mru_exts, 68);
TQBLK_ADMIN_CHECK_FIELD(tqblk_set_mru_exts, count, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_set_mru_exts, uuid, 4);

TQBLK_ADMIN_CHECK_SIZE(tqblk_get_mru_exts, 80);
TQBLK_ADMIN_CHECK_FIELD(tqblk_get_mru_exts, count, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_get_mru_exts, pad, 4);
TQBLK_ADMIN_CHECK_FIELD(tqblk_get_mru_exts, extents, 8);
TQBLK_ADMIN_CHECK_FIELD(tqblk_get_mru_exts, uuid, 16);

TQBLK_ADMIN_CHECK_SIZE(tqblk_block_sizes, 80);
TQBLK_ADMIN_CHECK_FIELD(tqblk_block_sizes, block_sizes, 0);
TQBLK_ADMIN_CHECK_FIELD(tqblk_block_sizes, uuid, 16);

#undef TQBLK_ADMIN_CHECK_CODE
#undef TQBLK_ADMIN_CHECK_FIELD
#undef TQBLK_ADMIN_CHECK_SIZE
#undef TQBLK_ADMIN_CHECK

#endif
