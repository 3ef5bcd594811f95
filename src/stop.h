// The stop signals (SIGTERM, SIGINT, SIGHUP) and the one moment they wait
// for: a reply written but its log line not yet out.
#pragma once

namespace qev {

// Makes SIGTERM, SIGINT and SIGHUP end the service, unless they were ignored
// at start, and even as PID 1. Called once, at start-up.
void handleStops();

// Marks a reply's start: a stop that comes from now on waits for
// replyEnds(), a second at most.
void replyStarts();

// Marks the reply's end, its log line out: a stop that came meanwhile ends
// the service here.
void replyEnds();

// True when a stop waits for the reply in hand: a write that cannot go on
// at once gives up rather than hold it.
bool stopPending();

}  // namespace qev
