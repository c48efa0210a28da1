#include "platform/Command.h"

#include "platform/Text.h"
#include "platform/common/CommandOutput.h"

#include <windows.h>

#include <string>

namespace Platform {
namespace {

// More than any token needs; a command that prints without end is stopped.
constexpr std::size_t MAX_OUTPUT = 1 << 20;

class CHandle {
public:
    explicit CHandle(HANDLE h = nullptr) : m_Handle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    ~CHandle() { Reset(); }
    HANDLE Get() const { return m_Handle; }
    HANDLE* Out() { return &m_Handle; }
    void Reset()
    {
        if (m_Handle)
            CloseHandle(m_Handle);
        m_Handle = nullptr;
    }

private:
    HANDLE m_Handle;
};

DWORD MsLeft(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

}  // namespace

bool RunSecretCommand(const std::string& command, int timeoutMs, std::string& firstLine, std::string& reason)
{
    firstLine.clear();
    // Inheritable, so that the child can take them as its standard handles.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    CHandle readEnd, writeEnd;
    CHandle null(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr));
    CHandle error;
    const HANDLE ownError = GetStdHandle(STD_ERROR_HANDLE);
    if (ownError && ownError != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), ownError, GetCurrentProcess(), error.Out(), 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (!null.Get() || !CreatePipe(readEnd.Out(), writeEnd.Out(), &inherit, 0)
        || !SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0) || length == 0 || length >= sizeof system) {
        reason = "cannot start it";
        return false;
    }
    // The shell by its full name: a cmd.exe in the current folder must not win.
    const std::string shell = std::string(system, length) + "\\cmd.exe";
    std::string line = "cmd.exe /c " + command;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null.Get();
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = error.Get();
    PROCESS_INFORMATION process{};
    // Suspended until it is in the job, so whatever it starts is in it too.
    const BOOL started = CreateProcessA(shell.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                        nullptr, &startup, &process);
    WipeString(line);
    if (!started) {
        reason = "cannot start it";
        return false;
    }
    const CHandle child(process.hProcess);
    const CHandle thread(process.hThread);
    const CHandle job(CreateJobObjectA(nullptr, nullptr));
    const bool inJob = job.Get() && AssignProcessToJobObject(job.Get(), child.Get());
    ResumeThread(thread.Get());
    writeEnd.Reset();  // the pipe ends when the child's copy closes
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    std::string output;
    bool timedOut = false;
    char block[4096];
    // Anonymous pipes cannot wait with a time-out: poll what is there.
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr))
            break;  // the pipe is closed: all output is in
        if (available == 0) {
            if (MsLeft(deadline) == 0) {
                timedOut = true;
                break;
            }
            Sleep(5);
            continue;
        }
        DWORD n = 0;
        if (!ReadFile(readEnd.Get(), block, available < sizeof block ? available : sizeof block, &n, nullptr) || n == 0)
            break;
        output.append(block, n);
        if (output.size() > MAX_OUTPUT)
            break;
    }
    WipeMemory(block, sizeof block);
    // Its output may end before it does: the deadline bounds the exit too.
    DWORD status = 1;
    const bool done = !timedOut && output.size() <= MAX_OUTPUT
        && WaitForSingleObject(child.Get(), MsLeft(deadline)) == WAIT_OBJECT_0;
    if (!done) {
        timedOut = output.size() <= MAX_OUTPUT;
        if (inJob)
            TerminateJobObject(job.Get(), 1);
        TerminateProcess(child.Get(), 1);
        WaitForSingleObject(child.Get(), 5000);
    } else {
        GetExitCodeProcess(child.Get(), &status);
    }
    return TakeFirstLine(timedOut, output.size() > MAX_OUTPUT, status != 0, output, firstLine, reason);
}

}  // namespace Platform
