// Byte-level rules of the transport: the data's wire form, chunking, where a
// reply ends, envelope addresses, server names and the spool folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "transport/Envelope.h"
#include "transport/ServerName.h"
#include "transport/Spool.h"
#include "transport/Wire.h"

namespace {

struct WireCase {
    const char* input;
    const char* wire;
};

// Every line end becomes CR LF; every line that starts with "." gets another.
const WireCase WIRE_CASES[] = {
    {"", ""},
    {".", ".."},
    {".\n", "..\r\n"},
    {"..\n", "...\r\n"},
    {". x\n", ".. x\r\n"},
    {"a\n.\nb", "a\r\n..\r\nb"},
    {"x.y\n", "x.y\r\n"},
    {"a\nb\n", "a\r\nb\r\n"},
    {"a\rb", "a\r\nb"},
    {"a\r\nb", "a\r\nb"},
    {"\r\r\n", "\r\n\r\n"},
    {"\n\r", "\r\n\r\n"},
    {"\n\n", "\r\n\r\n"},
    {"a\r", "a\r\n"},
    {"\r.\r\n.", "\r\n..\r\n.."},
    {"a\r\n.\r\n", "a\r\n..\r\n"},
};

std::string Encode(const std::string& text, std::size_t split)
{
    CWireEncoder encoder;
    std::string out;
    encoder.Encode(text.data(), split, out);
    encoder.Encode(text.data() + split, text.size() - split, out);
    return out;
}

// The result must not depend on where the text was cut into read blocks: a
// CR at the end of one block, a dot at the start of the next.
TEST(WireEncoder, CanonicalFormWhereverTheInputIsCut)
{
    for (const WireCase& c : WIRE_CASES) {
        const std::string input = c.input;
        for (std::size_t split = 0; split <= input.size(); ++split)
            EXPECT_EQ(Encode(input, split), c.wire) << "input '" << input << "' cut at " << split;
    }
}

// The wire form as ForEachWirePiece hands it on, read in blocks of the
// given size; runs are checked against the file's bytes at their offset.
std::string Pieces(const std::string& spoolBytes, std::size_t blockSize, std::size_t& runBytes,
                   std::size_t& largestSend)
{
    FILE* spool = std::tmpfile();
    EXPECT_NE(spool, nullptr);
    std::fwrite(spoolBytes.data(), 1, spoolBytes.size(), spool);
    std::rewind(spool);
    std::string wire;
    runBytes = largestSend = 0;
    EXPECT_TRUE(ForEachWirePiece(
        spool, blockSize,
        [&](const char* data, std::size_t size) {
            largestSend = std::max(largestSend, size);
            wire.append(data, size);
        },
        [&](std::int64_t offset, const char* data, std::size_t size) {
            EXPECT_EQ(spoolBytes.compare(static_cast<std::size_t>(offset), size, data, size), 0);
            runBytes += size;
            wire.append(data, size);
        }));
    std::fclose(spool);
    return wire;
}

TEST(WirePieces, SameWireFormWhateverTheReadBlocks)
{
    std::size_t runs, largest;
    for (const WireCase& c : WIRE_CASES)
        for (std::size_t block : {1, 2, 3, 5, 4096})
            EXPECT_EQ(Pieces(c.input, block, runs, largest), c.wire) << "'" << c.input << "' in blocks of " << block;
}

// A base64 body is already in wire form: it goes out as runs straight from
// the file, whatever is around it, and gathered bytes stay within a block.
TEST(WirePieces, LongRunsInWireFormGoOutFromTheFile)
{
    std::string line = std::string(76, 'Q') + "\r\n";
    std::string body;
    while (body.size() < 300000)
        body += line;
    const std::string text = "a\n.b\n" + std::string(70000, 'x') + "\n";  // LF ends need the encoder
    const std::string spool = "Subject: x\r\n\r\n" + text + body + text;
    for (std::size_t block : {std::size_t(65536), SPOOL_BLOCK_SIZE}) {
        std::size_t runs, largest;
        std::string expected;
        CWireEncoder().Encode(spool.data(), spool.size(), expected);
        EXPECT_EQ(Pieces(spool, block, runs, largest), expected);
        EXPECT_GE(runs, body.size() - 2 * MIN_FILE_RUN);
        EXPECT_LE(largest, block + 2);
    }
}

TEST(ReplyScanner, EndsAtTheFirstLineWithoutContinuationMark)
{
    struct Row {
        const char* bytes;
        std::size_t used;
        bool complete;
    };
    const Row rows[] = {
        {"250 ok\r\n", 8, true},
        {"250 ok\r\nextra", 8, true},
        {"250-a\r\n250 b\r\n", 14, true},
        {"250-a\r\n250-b\r\n", 14, false},
        {"250-a\r\n", 7, false},
        {"250 ok\n", 7, false},           // a bare LF ends no line
        {"250 ok\r", 7, false},
        {"2\r\n", 3, true},                // short lines are final
        {"250\r\n", 5, true},
        {"\r\n", 2, true},
        {"250-a\r\n25", 9, false},
        {"500-x\rx\r\n500 y\r\n", 16, true},  // a CR inside a line is no line end
    };
    for (const Row& r : rows) {
        CReplyScanner scanner;
        bool complete = true;
        EXPECT_EQ(scanner.Scan(r.bytes, std::strlen(r.bytes), complete), r.used) << r.bytes;
        EXPECT_EQ(complete, r.complete) << r.bytes;
    }
}

TEST(ReplyScanner, StateCrossesReceives)
{
    const std::string reply = "250-first\r\n250-second\r\n250 last\r\nNEXT";
    for (std::size_t split = 0; split <= reply.size(); ++split) {
        CReplyScanner scanner;
        bool complete = false;
        std::size_t used = scanner.Scan(reply.data(), split, complete);
        if (!complete)
            used += scanner.Scan(reply.data() + split, reply.size() - split, complete);
        EXPECT_TRUE(complete) << split;
        EXPECT_EQ(used, reply.size() - 4) << split;
    }
}

TEST(Envelope, ReceiversInProtocolSyntax)
{
    struct Row {
        const char* list;
        std::vector<std::string> receivers;
    };
    const Row rows[] = {
        {"a@x.example", {"<a@x.example>"}},
        {"a@x.example,b@y.example", {"<a@x.example>", "<b@y.example>"}},
        {"<a@x.example>", {"<a@x.example>"}},
        {"John Doe <jd@example.com>", {"<jd@example.com>"}},
        {"John Doe <jd@example.com>,b@y", {"<jd@example.com>", "<b@y>"}},
        {"a@x b@y", {"<a@x>", "<b@y>"}},            // no brackets: split at blanks
        {" a@x ,, b@y ", {"<a@x>", "<b@y>"}},
        {"Name <a@x", {"<a@x>"}},                  // no ">": the rest
        {"", {}},
        {",,", {}},
        {"<>", {}},
        {"a@x\r\nRSET", {"<a@x>", "<RSET>"}},       // a line break never reaches the wire
        {"N <a@x\r\nQUIT>", {"<a@x  QUIT>"}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(EnvelopeReceivers(r.list), r.receivers) << r.list;
}

TEST(Envelope, SenderAndFirstNewsgroup)
{
    EXPECT_EQ(EnvelopeSender("me@example.com"), "<me@example.com>");
    EXPECT_EQ(EnvelopeSender("<me@example.com>"), "<me@example.com>");
    EXPECT_EQ(EnvelopeSender("Me <me@example.com>"), "<me@example.com>");
    EXPECT_EQ(EnvelopeSender(nullptr), "<>");
    EXPECT_EQ(EnvelopeSender("(NULL)"), "<>");
    EXPECT_EQ(EnvelopeSender(""), "<>");

    EXPECT_EQ(FirstNewsgroup("comp.lang.c"), "comp.lang.c");
    EXPECT_EQ(FirstNewsgroup("comp.lang.c,alt.test"), "comp.lang.c");
    EXPECT_EQ(FirstNewsgroup(" ,alt.test"), "alt.test");
    EXPECT_EQ(FirstNewsgroup(""), "");
}

TEST(ServerName, HostAndPort)
{
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Row rows[] = {
        {"mail.example.com", true, "mail.example.com", 25},
        {"mail.example.com:2525", true, "mail.example.com", 2525},
        {"127.0.0.1:1", true, "127.0.0.1", 1},
        {"host:65535", true, "host", 65535},
        {"[::1]", true, "::1", 25},
        {"[::1]:119", true, "::1", 119},
        {"::1", true, "::1", 25},
        {"fe80::1:2", true, "fe80::1:2", 25},
        {"", true, "", 25},
        {":2525", true, "", 2525},
        {"host:", false, "", 0},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:25x", false, "", 0},
        {"host:-1", false, "", 0},
        {"host:0000025", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
        {"[::1]:", false, "", 0},
    };
    for (const Row& r : rows) {
        std::string host;
        int port = 0;
        ASSERT_EQ(ParseServerName(r.text, 25, host, port), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(host, r.host) << r.text;
            EXPECT_EQ(port, r.port) << r.text;
        }
    }
}

class SpoolFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* v : VARIABLES) {
            const char* value = std::getenv(v);
            m_Saved.emplace_back(value ? value : "", value != nullptr);
            unsetenv(v);
        }
        m_Dir = std::filesystem::temp_directory_path() / ("sendvale-spool-" + std::to_string(Platform::CurrentProcessId()));
        std::filesystem::create_directories(m_Dir / "a");
        std::filesystem::create_directories(m_Dir / "b");
    }
    void TearDown() override
    {
        for (std::size_t i = 0; i < m_Saved.size(); ++i) {
            if (m_Saved[i].second)
                setenv(VARIABLES[i], m_Saved[i].first.c_str(), 1);
            else
                unsetenv(VARIABLES[i]);
        }
        std::filesystem::remove_all(m_Dir);
    }
    static constexpr const char* VARIABLES[] = {"MAIL_TEMP", "TEMP", "TMP", "TMPDIR"};
    std::vector<std::pair<std::string, bool>> m_Saved;
    std::filesystem::path m_Dir;
};

TEST_F(SpoolFolder, FirstVariableSetWinsAndMissingFoldersFallBack)
{
    const std::string a = (m_Dir / "a").string();
    const std::string b = (m_Dir / "b").string();
    const std::string missing = (m_Dir / "missing").string();
    struct Row {
        std::vector<std::pair<const char*, std::string>> env;
        std::string folder;
    };
    const Row rows[] = {
        {{}, "/tmp"},
        {{{"MAIL_TEMP", a}, {"TMP", b}}, a},
        {{{"TEMP", a}, {"TMP", b}}, a},
        {{{"TMP", b}, {"TMPDIR", a}}, b},
        {{{"TMPDIR", a}}, a},
        {{{"MAIL_TEMP", missing}, {"TMP", b}}, "/tmp"},  // the first set one decides
        {{{"MAIL_TEMP", a + "/"}}, a + "/"},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        for (const char* v : VARIABLES)
            unsetenv(v);
        for (const auto& e : rows[i].env)
            setenv(e.first, e.second.c_str(), 1);
        EXPECT_EQ(SpoolDirectory(), rows[i].folder) << "row " << i;
    }
}

TEST_F(SpoolFolder, NamesAreNeverCutAndFilesAreNew)
{
    const std::string a = (m_Dir / "a").string();
    setenv("MAIL_TEMP", (a + "/").c_str(), 1);
    char name[SPOOL_NAME_SIZE];
    FILE* file = nullptr;
    ASSERT_EQ(GetTempMailFile(name, file), SpoolStatus::CREATED);
    EXPECT_EQ(std::string(name).rfind(a + "/~mail", 0), 0u) << name;  // no doubled separator
    std::fclose(file);

    // A second call never reuses the name, even though the file still exists.
    char second[SPOOL_NAME_SIZE];
    ASSERT_EQ(GetTempMailFile(second, file), SpoolStatus::CREATED);
    EXPECT_STRNE(name, second);
    std::fclose(file);

    std::filesystem::path deep = m_Dir;
    while (deep.string().size() < SPOOL_NAME_SIZE)
        deep /= "deeper-folder";
    std::filesystem::create_directories(deep);
    setenv("MAIL_TEMP", deep.string().c_str(), 1);
    EXPECT_EQ(GetTempMailFile(name, file), SpoolStatus::NAME_TOO_LONG);
    EXPECT_EQ(file, nullptr);
}

}  // namespace
