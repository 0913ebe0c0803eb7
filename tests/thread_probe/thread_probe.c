/* Preloaded into a test run (LD_PRELOAD), it notes every process that starts
 * a thread: the first pthread_create of a process writes
 * $BRIVANT_THREAD_PROBE_DIR/PID with the command line of that process and of
 * each of its parents, one a line, arguments separated by \x1f. From those
 * notes tests/thread_probe/threaded_tests.py names the tests that start
 * threads, which are the ones the ThreadSanitizer build runs. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static int noted;

/* Appends /proc/PID/cmdline to `out` as one line; returns 0 when unreadable. */
static int append_command(FILE *out, long pid) {
    char path[64], buffer[8192];
    snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t length = read(fd, buffer, sizeof buffer);
    close(fd);
    if (length <= 0) return 0;
    for (ssize_t i = 0; i < length - 1; ++i) {
        if (buffer[i] == '\0') buffer[i] = '\x1f';
    }
    fwrite(buffer, 1, (size_t)(buffer[length - 1] == '\0' ? length - 1 : length), out);
    fputc('\n', out);
    return 1;
}

static long parent_of(long pid) {
    char path[64], line[512];
    snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE *status = fopen(path, "re");
    long parent = 0;
    if (!status) return 0;
    while (fgets(line, sizeof line, status)) {
        if (strncmp(line, "PPid:", 5) == 0) {
            parent = strtol(line + 5, NULL, 10);
            break;
        }
    }
    fclose(status);
    return parent;
}

static void note_process(void) {
    const char *dir = getenv("BRIVANT_THREAD_PROBE_DIR");
    if (!dir || !*dir) return;
    char path[4096];
    snprintf(path, sizeof path, "%s/%ld", dir, (long)getpid());
    FILE *out = fopen(path, "we");
    if (!out) return;
    for (long pid = (long)getpid(); pid > 1; pid = parent_of(pid)) {
        if (!append_command(out, pid)) break;
    }
    fclose(out);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    static create_fn real;
    if (!real) *(void **)&real = dlsym(RTLD_NEXT, "pthread_create"); /* POSIX's way past ISO C */
    if (!__atomic_exchange_n(&noted, 1, __ATOMIC_ACQ_REL)) note_process();
    return real(thread, attr, start, arg);
}
