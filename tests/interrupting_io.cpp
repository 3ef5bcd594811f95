// Preloaded into qev by the tests to make socket I/O behave as it may under
// signals and memory pressure, on demand: every socket write takes at most
// a few bytes, and every other socket write or receive is first interrupted
// (EINTR). The service must still send whole records.

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

constexpr std::size_t kMostPerWrite = 100;

bool isSocket(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Every other call on a socket fails with EINTR.
bool interruptNow() {
  static unsigned calls = 0;
  return ++calls % 2 == 1;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
  using Write = ssize_t (*)(int, const void*, std::size_t);
  static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  if (isSocket(fd)) {
    if (interruptNow()) {
      errno = EINTR;
      return -1;
    }
    if (size > kMostPerWrite) size = kMostPerWrite;
  }
  return real(fd, data, size);
}

extern "C" ssize_t recv(int fd, void* data, std::size_t size, int flags) {
  using Recv = ssize_t (*)(int, void*, std::size_t, int);
  static const auto real = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
  if (interruptNow()) {
    errno = EINTR;
    return -1;
  }
  return real(fd, data, size, flags);
}
