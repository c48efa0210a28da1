#include "platform/Interrupt.h"

#include <csignal>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace Platform {
namespace {

char g_Path[4096];
volatile std::sig_atomic_t g_HavePath = 0;
bool g_Installed = false;

// Only calls that are safe in a signal handler.
void OnSignal(int signal)
{
    if (g_HavePath)
        unlink(g_Path);
    _exit(128 + signal);
}

void Install()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        sigaction(signal, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN)  // nohup and background jobs keep theirs
            sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    g_Installed = true;
}

}  // namespace

void RemoveOnInterrupt(const char* path)
{
    if (!g_Installed)
        Install();
    g_HavePath = 0;  // the handler must never see a half-copied name
    if (path && std::strlen(path) < sizeof g_Path) {
        std::memcpy(g_Path, path, std::strlen(path) + 1);
        g_HavePath = 1;
    }
}

}  // namespace Platform
