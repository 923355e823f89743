/* A FUSE file system of the tests that passes every call through to a directory and fails
 * chosen writes with EIO, as a failing disk does; it counts the fsync calls it receives.
 *
 *   tqblk-faultfs DIR MOUNTPOINT [FUSE options]
 *
 *   FAULTFS_FAIL_EVERY  fail every Nth write that qualifies (0 or unset: none)
 *   FAULTFS_FAIL_MIN    only writes of at least this many bytes qualify (default 1)
 *   FAULTFS_KEEP        "START:END": writes that touch these bytes never fail (a journal)
 *   FAULTFS_REPORT      a file that receives on unmount "failed N" (the writes failed) and
 *                       "fsyncs-tmp N" (the fsync calls of files under a tmp directory)
 *
 * A failed write changes nothing of the file. */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static struct {
    const char* dir;
    long every, min;
    long long keepStart, keepEnd;
    const char* report;
    long qualified, failed, fsyncsTmp;
} g;

static void full(const char* path, char* out) {
    snprintf(out, PATH_MAX, "%s%s", g.dir, path);
}

#define REAL(path)       \
    char real[PATH_MAX]; \
    full(path, real)
#define RESULT(call) return (call) < 0 ? -errno : 0

static int ff_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    if (fi != NULL)
        RESULT(fstat((int)fi->fh, st));
    REAL(path);
    RESULT(lstat(real, st));
}

static int ff_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    REAL(path);
    DIR* d = opendir(real);
    if (d == NULL)
        return -errno;
    for (struct dirent* e; (e = readdir(d)) != NULL;)
        fill(buf, e->d_name, NULL, 0, 0);
    closedir(d);
    return 0;
}

static int ff_mkdir(const char* path, mode_t mode) {
    REAL(path);
    RESULT(mkdir(real, mode));
}
static int ff_rmdir(const char* path) {
    REAL(path);
    RESULT(rmdir(real));
}
static int ff_unlink(const char* path) {
    REAL(path);
    RESULT(unlink(real));
}
static int ff_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    if (fi != NULL)
        RESULT(ftruncate((int)fi->fh, size));
    REAL(path);
    RESULT(truncate(real, size));
}

static int ff_rename(const char* from, const char* to, unsigned int flags) {
    char a[PATH_MAX], b[PATH_MAX];
    full(from, a);
    full(to, b);
    RESULT(renameat2(AT_FDCWD, a, AT_FDCWD, b, flags));
}

static int ff_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    REAL(path);
    int fd = open(real, fi->flags & ~O_NOFOLLOW, mode);
    fi->fh = (uint64_t)fd;
    RESULT(fd);
}
static int ff_open(const char* path, struct fuse_file_info* fi) {
    return ff_create(path, 0, fi);
}
static int ff_release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int ff_read(const char* path, char* buf, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
    (void)path;
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fails(size_t size, off_t offset) {
    if (g.every <= 0 || (long)size < g.min)
        return 0;
    if (offset < g.keepEnd && offset + (off_t)size > g.keepStart)
        return 0;
    if (__atomic_add_fetch(&g.qualified, 1, __ATOMIC_SEQ_CST) % g.every != 0)
        return 0;
    __atomic_add_fetch(&g.failed, 1, __ATOMIC_SEQ_CST);
    return 1;
}

static int ff_write(const char* path, const char* buf, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    (void)path;
    if (fails(size, offset))
        return -EIO;
    ssize_t n = pwrite((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int ff_fsync(const char* path, int datasync, struct fuse_file_info* fi) {
    if (path != NULL && strstr(path, "/tmp/") != NULL)
        __atomic_add_fetch(&g.fsyncsTmp, 1, __ATOMIC_SEQ_CST);
    RESULT(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int ff_fsyncdir(const char* path, int datasync, struct fuse_file_info* fi) {
    (void)datasync, (void)fi;
    REAL(path);
    int fd = open(real, O_RDONLY | O_DIRECTORY), r = fd < 0 || fsync(fd) < 0 ? -errno : 0;
    if (fd >= 0)
        close(fd);
    return r;
}

static int ff_statfs(const char* path, struct statvfs* st) {
    REAL(path);
    RESULT(statvfs(real, st));
}

static void* ff_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    (void)conn;
    cfg->use_ino = 1;
    cfg->nullpath_ok = 0;
    return NULL;
}

static void ff_destroy(void* data) {
    (void)data;
    FILE* out = g.report != NULL ? fopen(g.report, "w") : NULL;
    if (out == NULL)
        return;
    fprintf(out, "failed %ld\nfsyncs-tmp %ld\n", g.failed, g.fsyncsTmp);
    fclose(out);
}

static const struct fuse_operations kOperations = {
    .getattr = ff_getattr,
    .mkdir = ff_mkdir,
    .unlink = ff_unlink,
    .rmdir = ff_rmdir,
    .rename = ff_rename,
    .truncate = ff_truncate,
    .open = ff_open,
    .read = ff_read,
    .write = ff_write,
    .statfs = ff_statfs,
    .release = ff_release,
    .fsync = ff_fsync,
    .readdir = ff_readdir,
    .fsyncdir = ff_fsyncdir,
    .init = ff_init,
    .destroy = ff_destroy,
    .create = ff_create,
};

static long long number(const char* name, long long fallback) {
    const char* text = getenv(name);
    return text != NULL && *text != 0 ? strtoll(text, NULL, 0) : fallback;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s DIR MOUNTPOINT [FUSE options]\n", argv[0]);
        return 2;
    }
    static char dir[PATH_MAX];
    if (realpath(argv[1], dir) == NULL) {
        perror(argv[1]);
        return 1;
    }
    g.dir = dir;
    g.every = (long)number("FAULTFS_FAIL_EVERY", 0);
    g.min = (long)number("FAULTFS_FAIL_MIN", 1);
    const char* keep = getenv("FAULTFS_KEEP");
    if (keep != NULL && sscanf(keep, "%lld:%lld", &g.keepStart, &g.keepEnd) != 2)
        g.keepStart = g.keepEnd = 0;
    g.report = getenv("FAULTFS_REPORT");
    /* argv[1] is ours; FUSE sees the program name, the mount point and its options. */
    argv[1] = argv[0];
    return fuse_main(argc - 1, argv + 1, &kOperations, NULL);
}
