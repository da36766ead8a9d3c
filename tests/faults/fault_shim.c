/* An LD_PRELOAD library that makes the N-th file-system call of a chosen window fail or kill
 * the process, so that tests can stop a save or a log write at every step it takes.
 *
 * The window is opened by qorel_fault_arm(n, mode) and closed by qorel_fault_disarm(), which
 * returns how many calls the window saw; a test first runs the operation with n = 0 to count
 * its calls, then once per call. Modes: 0 counts only, 1 sends SIGKILL to the process instead
 * of making the n-th call (what a power cut or kill -9 leaves behind), 2 makes the n-th call
 * fail with the error the operating system would give for a full or failing disk.
 *
 * Only the calls a storage layer makes to change files are counted: open, write, fsync,
 * ftruncate, rename, unlink, mkdir and close. Reads and memory mappings pass through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum { MODE_COUNT = 0, MODE_KILL = 1, MODE_FAIL = 2 };

static atomic_int armed;
static atomic_long calls;
static long target;
static int mode;

void qorel_fault_arm(long n, int m) {
    target = n;
    mode = m;
    atomic_store(&calls, 0);
    atomic_store(&armed, 1);
}

long qorel_fault_disarm(void) {
    atomic_store(&armed, 0);
    return atomic_load(&calls);
}

/* True when this call is the one to fail; errno is set then. */
static int strike(int err) {
    if (!atomic_load(&armed)) return 0;
    long n = atomic_fetch_add(&calls, 1) + 1;
    if (n != target) return 0;
    if (mode == MODE_KILL) kill(getpid(), SIGKILL);
    if (mode == MODE_FAIL) {
        errno = err;
        return 1;
    }
    return 0;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, #name))

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t m = mode_arg(flags, ap);
    va_end(ap);
    if (strike(ENOSPC)) return -1;
    return REAL(open, int (*)(const char*, int, ...))(path, flags, m);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t m = mode_arg(flags, ap);
    va_end(ap);
    if (strike(ENOSPC)) return -1;
    return REAL(open64, int (*)(const char*, int, ...))(path, flags, m);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t m = mode_arg(flags, ap);
    va_end(ap);
    if (strike(ENOSPC)) return -1;
    return REAL(openat, int (*)(int, const char*, int, ...))(dir, path, flags, m);
}

ssize_t write(int fd, const void* buf, size_t n) {
    if (strike(ENOSPC)) return -1;
    return REAL(write, ssize_t (*)(int, const void*, size_t))(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
    if (strike(ENOSPC)) return -1;
    return REAL(pwrite, ssize_t (*)(int, const void*, size_t, off_t))(fd, buf, n, off);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    if (strike(ENOSPC)) return -1;
    return REAL(writev, ssize_t (*)(int, const struct iovec*, int))(fd, iov, count);
}

int fsync(int fd) {
    if (strike(EIO)) return -1;
    return REAL(fsync, int (*)(int))(fd);
}

int fdatasync(int fd) {
    if (strike(EIO)) return -1;
    return REAL(fdatasync, int (*)(int))(fd);
}

int ftruncate(int fd, off_t size) {
    if (strike(EIO)) return -1;
    return REAL(ftruncate, int (*)(int, off_t))(fd, size);
}

int truncate(const char* path, off_t size) {
    if (strike(EIO)) return -1;
    return REAL(truncate, int (*)(const char*, off_t))(path, size);
}

int rename(const char* from, const char* to) {
    if (strike(ENOSPC)) return -1;
    return REAL(rename, int (*)(const char*, const char*))(from, to);
}

int renameat(int fd1, const char* from, int fd2, const char* to) {
    if (strike(ENOSPC)) return -1;
    return REAL(renameat, int (*)(int, const char*, int, const char*))(fd1, from, fd2, to);
}

int unlink(const char* path) {
    if (strike(EIO)) return -1;
    return REAL(unlink, int (*)(const char*))(path);
}

int unlinkat(int dir, const char* path, int flags) {
    if (strike(EIO)) return -1;
    return REAL(unlinkat, int (*)(int, const char*, int))(dir, path, flags);
}

int mkdir(const char* path, mode_t m) {
    if (strike(ENOSPC)) return -1;
    return REAL(mkdir, int (*)(const char*, mode_t))(path, m);
}

/* A failed close still releases the descriptor, as Linux does. */
int close(int fd) {
    if (strike(EIO)) {
        REAL(close, int (*)(int))(fd);
        errno = EIO;
        return -1;
    }
    return REAL(close, int (*)(int))(fd);
}
