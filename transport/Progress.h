// The progress line of a large send on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

// Shown only when wanted and standard error is a terminal, so logs of batch
// jobs stay clean; redrawn at most ten times a second and erased when the
// object goes away, on every way out. Advance costs one comparison until
// another CHECK_BYTES have gone out; only then is the clock read.
class CProgressLine {
public:
    static constexpr std::uint64_t MIN_TOTAL = 1024 * 1024;  // smaller messages show none
    static constexpr std::uint64_t CHECK_BYTES = 256 * 1024;

    CProgressLine(std::uint64_t total, bool wanted);
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;
    ~CProgressLine();

    void Advance(std::size_t bytes)
    {
        m_Sent += bytes;
        if (m_Sent >= m_NextCheck)
            Check();
    }

private:
    void Check();
    void Draw(std::uint32_t now);

    std::uint64_t m_Total;
    std::uint64_t m_Sent = 0;
    std::uint64_t m_NextCheck = UINT64_MAX;  // never while hidden
    std::uint32_t m_Start = 0;
    std::uint32_t m_LastDraw = 0;
    int m_Width = 0;  // of the line drawn last, 0 while none is shown
};
