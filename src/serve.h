// The request and reply cycle on one client connection.
#pragma once

#include <chrono>
#include <optional>

#include "value_file.h"

namespace qev {

// What the end of a connection leads to, when its client closed it, reset
// it, or is found gone.
enum class OnLeave {
  end,             // the service ends: that client was its one client
  nextIfUnserved,  // serveClient returns if no request came, else it ends
  next,            // serveClient returns, for the next queued client
};

// Serves the client on `connection`: each cycle reads the value file into
// `source`, waits for the client's next bytes (any bytes are a poll) and
// writes one whole reply record. When the client leaves, that end is
// logged and `on_leave` decides; a connection that fails otherwise, or a
// record that cannot be completed, ends the process.
void serveClient(int connection, ValueSource& source, OnLeave on_leave);

// Waits until `fd` has input (or an error) or `limit` passes, without end
// when there is none. While a state of the value file is being judged, it
// reads the file into `source` every kJudgePause meanwhile, so that a lack
// is judged however seldom clients come. False when `limit` passed, or
// once the service is to end when idle (endWhenIdle).
bool awaitInput(int fd, ValueSource& source,
                std::optional<std::chrono::milliseconds> limit);

}  // namespace qev
