#include "platform/Command.h"

#include "platform/Text.h"
#include "platform/common/CommandOutput.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Platform {
namespace {

// More than any token needs; a command that prints without end is stopped.
constexpr std::size_t MAX_OUTPUT = 1 << 20;

// The child gets a process group of its own, so the whole pipeline it may
// start ends with it.
[[noreturn]] void RunChild(const std::string& command, int out)
{
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0)
        _exit(127);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

bool RunSecretCommand(const std::string& command, int timeoutMs, std::string& firstLine, std::string& reason)
{
    firstLine.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        reason = "cannot start it";
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0)
        RunChild(command, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        reason = "cannot start it";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string output;
    bool timedOut = false;
    char block[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = true;
            break;
        }
        const ssize_t n = read(fds[0], block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(block, static_cast<std::size_t>(n));
        if (output.size() > MAX_OUTPUT)
            break;
    }
    WipeMemory(block, sizeof block);
    close(fds[0]);
    // Its output may end before it does: the deadline bounds the exit too.
    int status = 0;
    pid_t done = 0;
    while (!timedOut && output.size() <= MAX_OUTPUT && (done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            timedOut = true;
        else
            usleep(5000);
    }
    if (done != pid) {
        kill(-pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return TakeFirstLine(timedOut, output.size() > MAX_OUTPUT, !WIFEXITED(status) || WEXITSTATUS(status) != 0, output, firstLine, reason);
}

}  // namespace Platform
