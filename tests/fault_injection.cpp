// Preloaded into qev by the tests to inject faults that are hard to cause
// from outside. QEV_FAULTS picks them:
//   interrupt  every socket write takes at most 100 bytes, and every other
//              socket write or receive is first interrupted (EINTR), as
//              under signals and memory pressure
//   nobufs     every socket write takes at most 100 bytes, and every other
//              one first fails for want of kernel memory (ENOBUFS), which
//              does not mean the connection has ended
//   slow-log   every write to standard output first sleeps 30 ms, which
//              holds the service between a reply and its log line
//   short-read every read of a regular file returns at most 2 bytes, as
//              some FUSE and network filesystems do
//   slow-read  every read of a regular file first sleeps 100 ms, as on a
//              slow network filesystem

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kMostPerWrite = 100;

// Sleeps `ns` nanoseconds, going on after a signal.
void stall(long ns) {
  timespec pause{0, ns};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

bool faultOn(const char* name) {
  const char* faults = std::getenv("QEV_FAULTS");
  return faults != nullptr && std::strcmp(faults, name) == 0;
}

bool isKind(int fd, mode_t kind) {
  struct stat st {};
  return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// Every other call fails with EINTR.
bool interruptNow() {
  static unsigned calls = 0;
  return ++calls % 2 == 1;
}

}  // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
  using Write = ssize_t (*)(int, const void*, std::size_t);
  static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  static const bool interrupt = faultOn("interrupt");
  static const bool nobufs = faultOn("nobufs");
  static const bool slow_log = faultOn("slow-log");
  if ((interrupt || nobufs) && isKind(fd, S_IFSOCK)) {
    if (interruptNow()) {
      errno = interrupt ? EINTR : ENOBUFS;
      return -1;
    }
    if (size > kMostPerWrite) size = kMostPerWrite;
  }
  if (slow_log && fd == 1) stall(30'000'000);
  return real(fd, data, size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t recv(int fd, void* data, std::size_t size, int flags) {
  using Recv = ssize_t (*)(int, void*, std::size_t, int);
  static const auto real = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
  static const bool interrupt = faultOn("interrupt");
  if (interrupt && interruptNow()) {
    errno = EINTR;
    return -1;
  }
  return real(fd, data, size, flags);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t read(int fd, void* data, std::size_t size) {
  using Read = ssize_t (*)(int, void*, std::size_t);
  static const auto real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
  static const bool short_read = faultOn("short-read");
  static const bool slow_read = faultOn("slow-read");
  constexpr std::size_t kMostPerRead = 2;
  if (short_read && size > kMostPerRead && isKind(fd, S_IFREG))
    size = kMostPerRead;
  if (slow_read && isKind(fd, S_IFREG)) stall(100'000'000);
  return real(fd, data, size);
}
