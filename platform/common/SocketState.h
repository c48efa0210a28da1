// The per-thread socket state both socket files keep the same way: the last
// error with its time-out flag, and the failure seam's call counter.
#pragma once

namespace Platform {

// Records a failure for LastSocketError() and LastSocketTimedOut().
void SetSocketError(int error, bool timedOut = false);

// Counts one SendSome or ReceiveSome call; true when the seam makes this one
// fail, in which case resetError (the platform's "connection reset by peer")
// is recorded as its error.
bool InjectedSocketFault(int resetError);

}  // namespace Platform
