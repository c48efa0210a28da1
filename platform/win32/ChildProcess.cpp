#include "platform/ChildProcess.h"

namespace Platform {

// Windows has no fork and no per-process file-size limit; the tests that need
// such a child skip themselves on -1.
int RunInChild(int (*)(void*), void*, const ChildLimits&) { return -1; }

}  // namespace Platform
