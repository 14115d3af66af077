#pragma once

#include <functional>

// Runs `work` on a thread of its own and returns once it is done. Meanwhile the
// calling thread's event loop keeps painting and firing timers; user input
// waits until the work is over, as it would behind a blocked thread. If the
// application quits during the wait, the rest of the wait blocks: the work
// always finishes before its results are read.
void runWhileResponsive(const std::function<void()> &work);
