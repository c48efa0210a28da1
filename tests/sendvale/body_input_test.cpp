// The message text: pieces from the text source, the -. terminator, joining,
// and -t files with LF widening. Dots are never doubled here.
#include <gtest/gtest.h>

#include "sendvale/BodyInput.h"
#include "tests/sendvale/SendvaleTestUtil.h"

namespace {

using TestUtil::CInput;
using TestUtil::CTempDir;
using TestUtil::WriteFile;

class BodyInputTest : public ::testing::Test {
protected:
    void SetUp() override { TestUtil::ResetDriverGlobals(); }
    void TearDown() override { TestUtil::ResetDriverGlobals(); }
    CTempDir m_Dir;
};

struct SourceCase {
    int dotTerminator;
    std::string input;
    std::string text;  // the gathered text
    std::string rest;  // left unread
};

const SourceCase SOURCE_CASES[] = {
    /* 0 */ {0, "", "\r\n", ""},
    /* 1 */ {0, "word\n", "word\n\r\n", ""},
    /* 2 */ {0, "a\r\nb\r\n", "a\nb\n\r\n", ""},
    /* 3 */ {0, ".\n..two\n", ".\n..two\n\r\n", ""},
    /* 4 */ {0, "no end", "no end\r\n", ""},
    /* 5 */ {1, "one\n.\nnot read\n", "one\n\r\n", "not read\n"},
    /* 6 */ {1, "one\n.\r\nnot read\n", "one\n\r\n", "not read\n"},
    /* 7 */ {1, "one\n.", "one\n\r\n", ""},
    /* 8 */ {1, "one\n.\rrest\nmore\n", "one\n\r\n", "more\n"},
    /* 9 */ {1, ". \n.x\n..\n", ". \n.x\n..\n\r\n", ""},
    /* 10 */ {1, "", "\r\n", ""},
    /* 11 */ {0, std::string(126, 'a') + ".b\n", std::string(126, 'a') + ".b\n\r\n", ""},
    // A single dot that starts a later piece of a long line does not end the text.
    /* 12 */ {1, std::string(126, 'a') + ".\nmore\n", std::string(126, 'a') + ".\nmore\n\r\n", ""},
};

TEST_F(BodyInputTest, TextSourceCases)
{
    for (std::size_t i = 0; i < std::size(SOURCE_CASES); ++i) {
        const SourceCase& c = SOURCE_CASES[i];
        TestUtil::ResetDriverGlobals();
        g_DotTerminator = c.dotTerminator;
        CInput in(c.input);
        std::string text;
        ASSERT_TRUE(GatherMessageText(in.Get(), text)) << "case " << i;
        EXPECT_EQ(text, c.text) << "case " << i;
        EXPECT_EQ(in.Rest(), c.rest) << "case " << i;
    }
}

TEST_F(BodyInputTest, LongLinesArriveIn126CharacterPieces)
{
    CInput in(std::string(300, 'x') + "\n");
    ReadTextSource(in.Get());
    ASSERT_EQ(g_BodyLines.size(), 3u);
    EXPECT_EQ(g_BodyLines[0], std::string(126, 'x'));
    EXPECT_EQ(g_BodyLines[1], std::string(126, 'x'));
    EXPECT_EQ(g_BodyLines[2], std::string(48, 'x') + "\n");
}

TEST_F(BodyInputTest, PromptOnlyInVerboseMode)
{
    const std::pair<int, const char*> cases[] = {
        {0, "Enter message text. End with ^D\n"},
        {1, "Enter message text. End with . (period) on a single line\n"},
    };
    for (const auto& [dot, prompt] : cases) {
        g_DotTerminator = dot;
        for (int verbose = 0; verbose <= 1; ++verbose) {
            g_Verbose = verbose;
            CInput in("x\n");
            testing::internal::CaptureStderr();
            ReadTextSource(in.Get());
            EXPECT_EQ(testing::internal::GetCapturedStderr(), verbose ? prompt : "");
        }
    }
}

TEST_F(BodyInputTest, WidenLineEnds)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a\nb", "a\r\nb"},
        {"a\r\nb", "a\r\nb"},
        {"\nx\n", "\nx\r\n"},  // a first LF stays as it is
        {".a\n.b\n", ".a\r\n.b\r\n"},
        {"a\n\n", "a\r\n\r\n"},
        {"a\rb", "a\rb"},
        {std::string("a\0b\n", 4), "a"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(WidenLineEnds(in.c_str()), out) << in;
}

TEST_F(BodyInputTest, TextFilesFollowTheSourceInOrderWithoutSeparators)
{
    WriteFile(m_Dir.Path("one.txt"), "first\nline");
    WriteFile(m_Dir.Path("empty.txt"), "");
    WriteFile(m_Dir.Path("two.txt"), ".dot\r\nend\n");
    for (const char* name : {"one.txt", "empty.txt", "two.txt"})
        AppendString(m_Dir.Path(name).c_str(), g_TextFiles);
    CInput in("typed\n");
    std::string text;
    ASSERT_TRUE(GatherMessageText(in.Get(), text));
    EXPECT_EQ(text, "typed\n\r\nfirst\r\nline.dot\r\nend\r\n");
}

TEST_F(BodyInputTest, WithoutSourceTheTextIsCrLfAndTheFiles)
{
    WriteFile(m_Dir.Path("t.txt"), "a\nb");
    AppendString(m_Dir.Path("t.txt").c_str(), g_TextFiles);
    std::string text;
    ASSERT_TRUE(GatherMessageText(nullptr, text));
    EXPECT_EQ(text, "\r\na\r\nb");
}

TEST_F(BodyInputTest, MissingOrUnreadableFileFails)
{
    const std::string missing = m_Dir.Path("missing.txt");
    const std::string message = "sendvale: Text attachment file '" + missing + "' was not found. Aborting.\n";
    struct Case {
        std::string name;
        int verbose, debug;
        std::string err;
    };
    const Case cases[] = {
        {missing, 0, 0, ""},
        {missing, 1, 0, message},
        {missing, 0, 1, message},
        {m_Dir.Path(), 1, 0, "sendvale: Text attachment file '" + m_Dir.Path() + "' is not a regular file or a pipe. Aborting.\n"},
        {"/dev/zero", 1, 0, "sendvale: Text attachment file '/dev/zero' is not a regular file or a pipe. Aborting.\n"},
    };
    for (const Case& c : cases) {
        TestUtil::ResetDriverGlobals();
        g_Verbose = c.verbose;
        g_Debug = c.debug;
        AppendString(c.name.c_str(), g_TextFiles);
        std::string text;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(GatherMessageText(nullptr, text)) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
}

TEST_F(BodyInputTest, SourceIsReadToItsEndBeforeAFileFails)
{
    AppendString(m_Dir.Path("missing").c_str(), g_TextFiles);
    CInput in("line\nmore\n");
    std::string text;
    EXPECT_FALSE(GatherMessageText(in.Get(), text));
    EXPECT_EQ(in.Rest(), "");
}

}  // namespace
