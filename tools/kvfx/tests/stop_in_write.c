/* Preloaded into kvfx by its command-line test. The first write() into one
 * of kvfx's temporary output files (.kvfx-XXXXXX beside the target) is
 * carried out, then the process stops itself with SIGSTOP. The test waits
 * for that stop before it signals, so the signal always lands in the middle
 * of the write, however quickly the machine would have finished it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int stopped;

static int is_kvfx_temporary(int fd) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  const char* base = strrchr(path, '/');
  return base && strncmp(base + 1, ".kvfx-", 6) == 0;
}

ssize_t write(int fd, const void* data, size_t size) {
  static ssize_t (*real_write)(int, const void*, size_t);
  if (!real_write) real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  const ssize_t done = real_write(fd, data, size);
  if (!stopped && done > 0 && is_kvfx_temporary(fd)) {
    stopped = 1;
    raise(SIGSTOP);
  }
  return done;
}
