/* Kills the process it is preloaded into (LD_PRELOAD) with SIGKILL at a chosen system call,
 * so a test can stop a real program at an exact step of its work, as a crash would.
 *
 *   TQBLK_KILL_AT     the call: open (open, openat and their 64-bit and fortified forms),
 *                     write, pwrite, sendfile, fdatasync, fsync, syncfs, rename (rename,
 *                     renameat, renameat2), unlink (unlink, unlinkat) or ioctl
 *   TQBLK_KILL_NTH    kill at the Nth call that matches (default 1)
 *   TQBLK_KILL_WHEN   before (default): the call is not made; after: once it returned;
 *                     mid (write, pwrite, sendfile): after the real call moved half the bytes
 *   TQBLK_KILL_MATCH  only calls that match count: for ioctl the request code (any base
 *                     strtoul reads), for the others a text the path must contain (the path
 *                     of the descriptor for calls on one, either path for rename; a path
 *                     relative to a directory descriptor is joined to that directory's)
 *
 * On firing it writes "kill shim: SIGKILL at CALL #N (WHEN) on WHAT" to standard error. The calls
 * of the program and of the libraries it links go through this file's definitions; calls the C
 * library makes internally, and raw syscall(2) use, do not. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define SHIM __attribute__((visibility("default")))

enum when { BEFORE, AFTER, MID };

static struct {
    const char* call;
    long nth;
    enum when when;
    const char* match;
    long seen;
} g_plan;

/* Read once at load, before the program's own code runs. */
__attribute__((constructor)) static void load_plan(void) {
    const char* nth = getenv("TQBLK_KILL_NTH");
    const char* when = getenv("TQBLK_KILL_WHEN");
    g_plan.call = getenv("TQBLK_KILL_AT");
    g_plan.nth = nth != NULL ? strtol(nth, NULL, 10) : 1;
    g_plan.when = when == NULL                 ? BEFORE
                  : strcmp(when, "after") == 0 ? AFTER
                  : strcmp(when, "mid") == 0   ? MID
                                               : BEFORE;
    g_plan.match = getenv("TQBLK_KILL_MATCH");
}

static void note(const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        long n = syscall(SYS_write, STDERR_FILENO, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= (size_t)n;
    }
}

/* The path or request code the calling thread's latest call matched on, for the note. */
static __thread char t_subject[512];

static void remember(const char* text) {
    size_t n = strlen(text);
    if (n >= sizeof t_subject)
        n = sizeof t_subject - 1;
    memcpy(t_subject, text, n);
    t_subject[n] = 0;
}

static void die(const char* call) {
    static const char* words[] = {"before", "after", "mid"};
    char line[700];
    snprintf(line, sizeof line, "kill shim: SIGKILL at %s #%ld (%s) on %s\n", call, g_plan.nth,
             words[g_plan.when], t_subject);
    note(line);
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

static int path_matches(const char* path) {
    remember(path != NULL ? path : "(null)");
    return g_plan.match == NULL || (path != NULL && strstr(path, g_plan.match) != NULL);
}

/* The path of the file open at fd; empty when it cannot be had. */
static void fd_path(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = 0;
}

static int fd_matches(int fd) {
    if (g_plan.match == NULL)
        return 1;
    char path[4096];
    fd_path(fd, path, sizeof path);
    return path[0] != 0 && path_matches(path);
}

/* Whether path matches, taken as the *at calls take it: relative to the directory at dir. */
static int at_matches(int dir, const char* path) {
    if (g_plan.match == NULL || path == NULL || path[0] == '/' || dir == AT_FDCWD)
        return path_matches(path);
    char full[8192];
    fd_path(dir, full, 4096);
    size_t n = strlen(full);
    snprintf(full + n, sizeof full - n, "/%s", path);
    return path_matches(full);
}

static int planned(const char* call) {
    return g_plan.call != NULL && strcmp(g_plan.call, call) == 0;
}

static int counts(int matched) {
    return matched && __atomic_add_fetch(&g_plan.seen, 1, __ATOMIC_SEQ_CST) == g_plan.nth;
}

/* Whether this call of `call` is the one to kill at; the filter runs for planned calls only. */
#define is_target(call, matched) (planned(call) && counts(matched))

static void* next(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

/* Makes the real call and returns its result, killing the process before or after it when
 * target is set. */
#define AROUND(call, target, real_call)              \
    do {                                             \
        int target_ = (target);                      \
        if (target_ && g_plan.when == BEFORE)        \
            die(call);                               \
        __typeof__(real_call) result_ = (real_call); \
        if (target_)                                 \
            die(call);                               \
        return result_;                              \
    } while (0)

static mode_t mode_of(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

/* Declares mode: the mode argument of an open call that may create a file, else 0. */
#define TAKE_MODE(flags, mode)        \
    mode_t mode;                      \
    do {                              \
        va_list args_;                \
        va_start(args_, flags);       \
        mode = mode_of(flags, args_); \
        va_end(args_);                \
    } while (0)

static int open_path(const char* name, const char* path, int flags, mode_t mode) {
    int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))next(name);
    AROUND("open", is_target("open", path_matches(path)), real(path, flags, mode));
}

static int open_at(const char* name, int dir, const char* path, int flags, mode_t mode) {
    int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))next(name);
    AROUND("open", is_target("open", at_matches(dir, path)), real(dir, path, flags, mode));
}

SHIM int open(const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return open_path("open", path, flags, mode);
}

SHIM int open64(const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return open_path("open64", path, flags, mode);
}

SHIM int __open_2(const char* path, int flags) {
    return open_path("open", path, flags, 0);
}

SHIM int __open64_2(const char* path, int flags) {
    return open_path("open64", path, flags, 0);
}

SHIM int openat(int dir, const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return open_at("openat", dir, path, flags, mode);
}

SHIM int openat64(int dir, const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return open_at("openat64", dir, path, flags, mode);
}

/* Half of a transfer of count bytes, at least one. */
static size_t half(size_t count) {
    return count > 1 ? count / 2 : count;
}

static size_t planned_count(int target, size_t count) {
    return target && g_plan.when == MID ? half(count) : count;
}

SHIM ssize_t write(int fd, const void* data, size_t count) {
    ssize_t (*real)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))next("write");
    int target = is_target("write", fd_matches(fd));
    AROUND("write", target, real(fd, data, planned_count(target, count)));
}

typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);

static ssize_t pwrite_family(const char* name, int fd, const void* data, size_t count,
                             off_t offset) {
    pwrite_fn real = (pwrite_fn)next(name);
    int target = is_target("pwrite", fd_matches(fd));
    AROUND("pwrite", target, real(fd, data, planned_count(target, count), offset));
}

SHIM ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    return pwrite_family("pwrite", fd, data, count, offset);
}

SHIM ssize_t pwrite64(int fd, const void* data, size_t count, off_t offset) {
    return pwrite_family("pwrite64", fd, data, count, offset);
}

typedef ssize_t (*sendfile_fn)(int, int, off_t*, size_t);

static ssize_t sendfile_family(const char* name, int out, int in, off_t* offset, size_t count) {
    sendfile_fn real = (sendfile_fn)next(name);
    int target = is_target("sendfile", fd_matches(out));
    AROUND("sendfile", target, real(out, in, offset, planned_count(target, count)));
}

SHIM ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    return sendfile_family("sendfile", out, in, offset, count);
}

SHIM ssize_t sendfile64(int out, int in, off_t* offset, size_t count) {
    return sendfile_family("sendfile64", out, in, offset, count);
}

SHIM int fdatasync(int fd) {
    int (*real)(int) = (int (*)(int))next("fdatasync");
    AROUND("fdatasync", is_target("fdatasync", fd_matches(fd)), real(fd));
}

SHIM int fsync(int fd) {
    int (*real)(int) = (int (*)(int))next("fsync");
    AROUND("fsync", is_target("fsync", fd_matches(fd)), real(fd));
}

SHIM int syncfs(int fd) {
    int (*real)(int) = (int (*)(int))next("syncfs");
    AROUND("syncfs", is_target("syncfs", fd_matches(fd)), real(fd));
}

static int rename_matches(int fromDir, const char* from, int toDir, const char* to) {
    if (at_matches(toDir, to))
        return 1;
    return at_matches(fromDir, from);
}

SHIM int rename(const char* from, const char* to) {
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))next("rename");
    AROUND("rename", is_target("rename", rename_matches(AT_FDCWD, from, AT_FDCWD, to)),
           real(from, to));
}

SHIM int renameat(int fromDir, const char* from, int toDir, const char* to) {
    int (*real)(int, const char*, int, const char*) =
        (int (*)(int, const char*, int, const char*))next("renameat");
    AROUND("rename", is_target("rename", rename_matches(fromDir, from, toDir, to)),
           real(fromDir, from, toDir, to));
}

SHIM int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    int (*real)(int, const char*, int, const char*, unsigned int) =
        (int (*)(int, const char*, int, const char*, unsigned int))next("renameat2");
    AROUND("rename", is_target("rename", rename_matches(fromDir, from, toDir, to)),
           real(fromDir, from, toDir, to, flags));
}

SHIM int unlink(const char* path) {
    int (*real)(const char*) = (int (*)(const char*))next("unlink");
    AROUND("unlink", is_target("unlink", path_matches(path)), real(path));
}

SHIM int unlinkat(int dir, const char* path, int flags) {
    int (*real)(int, const char*, int) = (int (*)(int, const char*, int))next("unlinkat");
    AROUND("unlink", is_target("unlink", at_matches(dir, path)), real(dir, path, flags));
}

static int request_matches(unsigned long request) {
    snprintf(t_subject, sizeof t_subject, "%#lx", request);
    return g_plan.match == NULL || strtoul(g_plan.match, NULL, 0) == request;
}

SHIM int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))next("ioctl");
    AROUND("ioctl", is_target("ioctl", request_matches(request)), real(fd, request, argument));
}
