#include "transport/Progress.h"

#include <cinttypes>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "quillant/Globals.h"

namespace {

constexpr std::uint32_t REDRAW_MS = 100;

}  // namespace

CProgressLine::CProgressLine(std::uint64_t total, bool wanted) : m_Total(total)
{
    if (!wanted || total < MIN_TOTAL || !Platform::IsTerminal(stderr))
        return;
    m_Start = Platform::TickCount();
    Draw(m_Start);
    m_NextCheck = CHECK_BYTES;
}

CProgressLine::~CProgressLine()
{
    if (m_Width == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", m_Width, "");
    std::fflush(stderr);
}

void CProgressLine::Check()
{
    m_NextCheck = m_Sent + CHECK_BYTES;
    const std::uint32_t now = Platform::TickCount();
    if (now - m_LastDraw >= REDRAW_MS)
        Draw(now);
}

// The spool's size stands for the total; the wire form may add a few bytes.
void CProgressLine::Draw(std::uint32_t now)
{
    m_LastDraw = now;
    const std::uint64_t sent = m_Sent < m_Total ? m_Sent : m_Total;
    const unsigned percent = static_cast<unsigned>(sent * 100 / m_Total);
    char rate[48] = "";
    const std::uint32_t elapsed = now - m_Start;
    if (elapsed > 0)
        std::snprintf(rate, sizeof rate, ", %.1f MiB/s",
                      static_cast<double>(sent) * 1000.0 / elapsed / (1024.0 * 1024.0));
    char line[160];
    int width = std::snprintf(line, sizeof line, "%s: %3u%% %" PRIu64 " of %" PRIu64 " bytes%s", g_ProgramName,
                              percent, sent, m_Total, rate);
    if (width < 0)
        return;
    if (width >= static_cast<int>(sizeof line))
        width = static_cast<int>(sizeof line) - 1;
    // A shorter line than the last one must not leave its tail behind.
    std::fprintf(stderr, "\r%s%*s", line, m_Width > width ? m_Width - width : 0, "");
    std::fflush(stderr);
    if (width > m_Width)
        m_Width = width;
}
