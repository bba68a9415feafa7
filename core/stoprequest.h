#pragma once

#include <atomic>

namespace veltrax {

// Set (from a signal handler, so it must stay a lock-free atomic) when the process has been
// asked to stop. Long blocking waits on the main thread, such as a write to a host that has
// stopped reading, poll it so that the orderly shutdown is never held up behind them.
inline std::atomic<bool> StopRequested{false};

} // namespace veltrax
