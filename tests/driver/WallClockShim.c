/* Lets a test make the wall clock jump while code under test reads it. The test program's
 * own definitions take the place of the C library's for every caller in the process, the
 * library under test included. Monotonic clocks are left alone. */
#define _GNU_SOURCE
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* Seconds added to the next wall-clock read; each read then adds step to it. */
#define SHIM __attribute__((visibility("default")))

long long tqtest_wall_shift = 0;
long long tqtest_wall_step = 0;

SHIM int clock_gettime(clockid_t clock, struct timespec* now) {
    long result = syscall(SYS_clock_gettime, clock, now);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        now->tv_sec += __atomic_fetch_add(&tqtest_wall_shift,
                                          __atomic_load_n(&tqtest_wall_step, __ATOMIC_SEQ_CST),
                                          __ATOMIC_SEQ_CST);
    }
    return (int)result;
}

SHIM time_t time(time_t* out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out != NULL)
        *out = now.tv_sec;
    return now.tv_sec;
}

SHIM int gettimeofday(struct timeval* tv, void* tz) {
    struct timespec now;
    (void)tz;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}
