// Test support: runs a function in a child process under limits the tests
// cannot set on themselves (a file-size limit, no super-user rights).
#pragma once

#include <cstdint>

namespace Platform {

struct ChildLimits {
    std::int64_t m_FileSizeLimit = -1;  // bytes a file may grow to; -1: no limit
    bool m_DropPrivileges = false;      // run as an unprivileged user
};

// Runs body(context) in a copy of this process under the limits and returns
// its result (0 to 255), or -1 where no such child can be run.
int RunInChild(int (*body)(void*), void* context, const ChildLimits& limits);

}  // namespace Platform
