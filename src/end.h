// How the service ends: its exit statuses, and the last line it says.
#pragma once

namespace qev {

// A supervisor counts kExitClientLost as the client's doing, not as a
// failure of the service.
inline constexpr int kExitDone = 0;        // the client closed, or none came
inline constexpr int kExitFailed = 1;      // the service could not serve
inline constexpr int kExitClientLost = 2;  // reset, timed out, or gone

// Ends the process with `status` after a last line, `format` as printf
// takes it: on standard output when it ends as it may (kExitDone), else on
// standard error.
[[noreturn]] void endWith(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace qev
