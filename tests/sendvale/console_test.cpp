// Console text on POSIX: line reads with the 126-character limit, CR LF
// arriving as LF, and the program's base name.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Console.h"
#include "tests/sendvale/SendvaleTestUtil.h"

namespace {

struct ReadCase {
    std::string input;
    std::size_t size;
    std::vector<std::string> reads;  // successive results until end of input
};

const ReadCase READ_CASES[] = {
    /* 0 */ {"", 127, {}},
    /* 1 */ {"word\n", 127, {"word\n"}},
    /* 2 */ {"a\r\nb\r\n", 127, {"a\n", "b\n"}},
    /* 3 */ {"lone\rcr\n", 127, {"lone\rcr\n"}},
    /* 4 */ {"no end", 127, {"no end"}},
    /* 5 */ {"ends in cr\r", 127, {"ends in cr\r"}},
    /* 6 */ {"\n\n", 127, {"\n", "\n"}},
    /* 7 */ {"abcdefg\n", 4, {"abc", "def", "g\n"}},
    /* 8 */ {"abc\r\n", 4, {"abc", "\n"}},
    /* 9 */ {"ab\r\nc", 4, {"ab\n", "c"}},  // CR LF counts as one character
    /* 10 */ {std::string(130, 'x') + "\n", 127, {std::string(126, 'x'), "xxxx\n"}},
    /* 11 */ {"\x1a\n", 127, {"\x1a\n"}},  // Ctrl-Z means nothing here
};

TEST(ConsoleTest, ReadConsoleLineSplitsLikeTheConsole)
{
    for (std::size_t i = 0; i < std::size(READ_CASES); ++i) {
        const ReadCase& c = READ_CASES[i];
        TestUtil::CInput in(c.input);
        std::vector<std::string> reads;
        char buffer[128];
        while (Platform::ReadConsoleLine(buffer, c.size, in.Get()))
            reads.emplace_back(buffer);
        EXPECT_EQ(reads, c.reads) << "case " << i;
    }
}

TEST(ConsoleTest, ProgramBaseName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"sendvale", "sendvale"},
        {"./build/sendvale", "sendvale"},
        {"/usr/bin/sendvale", "sendvale"},
        {"C:\\tools\\Sendvale.exe", "Sendvale.exe"},
        {"dir\\sub/prog", "prog"},
        {"trailing/", ""},
    };
    for (const auto& [argv0, expected] : cases)
        EXPECT_STREQ(Platform::ProgramBaseName(argv0, "def"), expected) << argv0;
    EXPECT_STREQ(Platform::ProgramBaseName(nullptr, "def"), "def");
}

}  // namespace
