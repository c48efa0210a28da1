#include "transport/Retry.h"

#include "quillant/Quillant.h"
#include "transport/Settings.h"

bool MayPassLater(const CSessionEnd& end)
{
    if (end.m_EndOfDataSent)
        return false;
    switch (end.m_Code) {
    case ERR_CONNECT:
    case ERR_SEND:
    case ERR_RECEIVE:
    case ERR_TLS:
        return true;
    case ERR_SERVER:
        return end.m_TemporaryRefusal;
    default:
        return false;
    }
}

int CRetryPolicy::DelayAfter(int made) const
{
    long long delay = m_FirstDelay;
    for (int i = 1; i < made && delay < MAX_RETRY_DELAY_SECONDS; ++i)
        delay *= 2;
    return static_cast<int>(delay < MAX_RETRY_DELAY_SECONDS ? delay : MAX_RETRY_DELAY_SECONDS);
}
