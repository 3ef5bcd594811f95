// Writing a buffer whole, for the records and the log alike.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace qev {

// Writes `size` bytes of `data` to `fd`, going on after a short or an
// interrupted write. True once all are out; else false at the first real
// failure, with errno set (EIO for a write that took nothing), and `done`
// the bytes that went out before it. Callers decide what to retry.
inline bool writeAll(int fd, const char* data, std::size_t size,
                     std::size_t& done) {
  done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    return false;
  }
  return true;
}

}  // namespace qev
