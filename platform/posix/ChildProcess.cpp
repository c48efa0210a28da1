#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Platform {
namespace {

constexpr uid_t NOBODY = 65534;

bool ApplyLimits(const ChildLimits& limits)
{
    if (limits.m_FileSizeLimit >= 0) {
        // A write past the limit must fail with an error, not kill the child.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{static_cast<rlim_t>(limits.m_FileSizeLimit), static_cast<rlim_t>(limits.m_FileSizeLimit)};
        if (setrlimit(RLIMIT_FSIZE, &r) != 0)
            return false;
    }
    if (limits.m_DropPrivileges && geteuid() == 0)
        return setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0;
    return true;
}

}  // namespace

int RunInChild(int (*body)(void*), void* context, const ChildLimits& limits)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int result = ApplyLimits(limits) ? body(context) : 254;
        std::fflush(nullptr);
        _exit(result & 0xFF);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace Platform
