// Which failed sessions are tried again, and how long to wait before each.
// A failure that may have left the message with the server never is: a
// batch job must not deliver it twice.
#pragma once

// How one session ended.
struct CSessionEnd {
    int m_Code = 0;                   // the code it raised
    bool m_TemporaryRefusal = false;  // the refusing reply (code 9) began with '4'
    bool m_EndOfDataSent = false;     // the end-of-data line had gone out
};

// True for a failure that cannot have delivered the message and may pass:
// no connection or name, a lost or silent connection, a temporary refusal,
// a failed TLS negotiation; all of them only before the end of data.
bool MayPassLater(const CSessionEnd& end);

class CRetryPolicy {
public:
    // retries: sessions after the first; firstDelaySeconds: the wait before
    // the second, doubled before each later one up to MAX_RETRY_DELAY_SECONDS.
    CRetryPolicy(int retries, int firstDelaySeconds) : m_Retries(retries), m_FirstDelay(firstDelaySeconds) {}

    int Tries() const { return m_Retries + 1; }
    // Whether try number made (counted from 1) ended so that another follows.
    bool TryAgain(int made, const CSessionEnd& end) const { return made < Tries() && MayPassLater(end); }
    // Seconds to wait after try number made.
    int DelayAfter(int made) const;

private:
    int m_Retries;
    int m_FirstDelay;
};
