#include "platform/Interrupt.h"

#include <windows.h>

#include <cstring>

namespace Platform {
namespace {

char g_Path[MAX_PATH + 1];
volatile LONG g_HavePath = 0;
bool g_Installed = false;

// Runs on a thread of its own; the spool is open with FILE_SHARE_DELETE, so
// it goes once the process ends.
BOOL WINAPI OnControl(DWORD event)
{
    if (g_HavePath)
        DeleteFileA(g_Path);
    ExitProcess(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 128 + 2 : 128 + 1);
    return TRUE;
}

}  // namespace

void RemoveOnInterrupt(const char* path)
{
    if (!g_Installed) {
        SetConsoleCtrlHandler(OnControl, TRUE);
        g_Installed = true;
    }
    InterlockedExchange(&g_HavePath, 0);
    if (path && std::strlen(path) < sizeof g_Path) {
        std::memcpy(g_Path, path, std::strlen(path) + 1);
        InterlockedExchange(&g_HavePath, 1);
    }
}

}  // namespace Platform
