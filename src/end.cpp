// The last line, and the end.

#include "end.h"

#include <cstdarg>
#include <cstdlib>

#include "log.h"

namespace qev {

// C-style variadic, so that the compiler checks each line against its
// format, as it does printf's.
void endWith(int status, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  writeLine(status == kExitDone ? Stream::output : Stream::error, format, args);
  va_end(args);
  sayLostLines();
  std::exit(status);
}

}  // namespace qev
