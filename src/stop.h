// The stop signals (SIGTERM, SIGINT, SIGHUP) and the one moment they wait
// for: a reply written but its log line not yet out; and SIGWINCH, which
// asks the service to end once it has no client.
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

// True once SIGWINCH came: the service is to end as soon as it has no
// client (an upgrade or a changed unit asks so), so that the supervisor's
// next one, which holds the listener meanwhile, serves the clients to come.
bool endWhenIdle();

}  // namespace qev
