#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "quillant/ArpaDate.h"
#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

const char* const NONE = "<none>";

std::string Join(const std::vector<std::string>& entries)
{
    std::string joined;
    for (std::size_t i = 0; i < entries.size(); ++i)
        joined += (i ? "," : "") + entries[i];
    return joined;
}

// Folds come from the header list itself, not from the receivers.
std::string Unfolded(std::string value)
{
    for (std::size_t at; (at = value.find("\r\n\t")) != std::string::npos;)
        value.erase(at, 3);
    return value;
}

using TestUtil::RaisedBy;

// Each test runs in a fresh folder, since list files name each other
// without a path.
class ReceiversTest : public TestUtil::CInTempFolderTest {
protected:
    void SetUp() override
    {
        g_Verbose = 0;
        g_Debug = 0;
    }
    void TearDown() override { g_Verbose = 0; }
    static void Write(const std::string& name, const std::string& content) { TestUtil::WriteFile(name, content); }
    std::string Header(const char* name) { return m_Mail.GetHeader(name, NONE); }
    std::vector<std::string> HeaderNames()
    {
        std::vector<std::string> names;
        for (CHeaderField* f = m_Mail.m_Headers.get(); f; f = f->m_Next.get())
            names.push_back(f->m_Name);
        return names;
    }

    CQuillant m_Mail;
};

TEST_F(ReceiversTest, MixedCallsFillHeadersAndReceiverList)
{
    m_Mail.AddTo("a@x");
    m_Mail.AddCc("c@x");
    m_Mail.AddBcc("b@x");
    m_Mail.AddTo("Dee <d@x>");
    m_Mail.AddCc("");
    EXPECT_EQ("a@x,Dee <d@x>", Header("To"));
    EXPECT_EQ("c@x,", Header("Cc"));
    EXPECT_EQ(NONE, Header("Bcc"));
    EXPECT_EQ("a@x,c@x,b@x,Dee <d@x>,", m_Mail.m_Receivers.value());
    EXPECT_EQ((std::vector<std::string>{"To", "Cc"}), HeaderNames());
}

TEST_F(ReceiversTest, EmptyFirstReceiverIsAnEmptyEntry)
{
    EXPECT_FALSE(m_Mail.m_Receivers.has_value());
    m_Mail.AddBcc("");
    ASSERT_TRUE(m_Mail.m_Receivers.has_value());
    EXPECT_EQ("", *m_Mail.m_Receivers);
    m_Mail.AddTo("a@x");
    EXPECT_EQ(",a@x", *m_Mail.m_Receivers);
    EXPECT_EQ(nullptr, m_Mail.m_Headers->m_Next);  // only "To"
}

TEST_F(ReceiversTest, NewsModeTakesGroupsAndRefusesCopies)
{
    m_Mail.m_NewsMode = 1;
    m_Mail.AddTo("comp.lang.c");
    m_Mail.AddTo("alt.test");
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[&] { m_Mail.AddCc("c@x"); }, "Cc (Carbon Copy) is not legal in News posting mode. Aborting.\n"},
        {[&] { m_Mail.AddBcc("b@x"); }, "Bcc (Blind Carbon Copy) is not legal in News posting mode. Aborting.\n"},
    };
    for (const auto& [call, message] : refusals) {
        for (int verbose : {0, 1}) {
            g_Verbose = verbose;
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(1, RaisedBy(call));
            EXPECT_EQ(verbose ? message : "", ::testing::internal::GetCapturedStderr());
        }
    }
    EXPECT_EQ(1, m_Mail.m_ErrorCode);
    EXPECT_EQ("comp.lang.c,alt.test", Header("Newsgroups"));
    EXPECT_EQ("comp.lang.c,alt.test", *m_Mail.m_Receivers);
    EXPECT_EQ((std::vector<std::string>{"Newsgroups"}), HeaderNames());
}

TEST_F(ReceiversTest, ListFileLinesBecomeEntries)
{
    const std::string a126(126, 'a');
    const std::string a74(74, 'a');
    const struct {
        std::string content;
        std::vector<std::string> entries;
    } rows[] = {
        /* 0 */ {"a@x\n# comment\n\tb@x\nc@x, d@x\n", {"a@x", "", "", "c@x"}},
        /* 1 */ {"John Doe <jd@x>  \n'Q' \"R\" q-r_s.t@x\n", {"John Doe <jd@x>  ", "'Q' \"R\" q-r_s.t@x"}},
        /* 2 */ {"a@x;b@x\nplus+tag@x\ncaf\xc3\xa9@x\ncr@x\r\n", {"a@x", "plus", "caf", "cr@x"}},
        /* 3 */ {"\n\nlast@x", {"", "", "last@x"}},
        /* 4 */ {a126 + "\n" + a74 + "\n", {a126, a74}},
        /* 5 */ {a126 + "\n", {a126}},
        /* 6 */ {std::string("a@x\0b@y\nc@x\n", 12), {"a@x", "c@x"}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        CQuillant mail;
        Write("list.txt", rows[i].content);
        mail.AddTo("@list.txt");
        const std::string joined = Join(rows[i].entries);
        EXPECT_EQ(joined, mail.m_Receivers.value_or(NONE)) << "row " << i;
        EXPECT_EQ(joined, Unfolded(mail.GetHeader("To", NONE))) << "row " << i;
    }
    CQuillant empty;
    Write("empty.txt", "");
    empty.AddTo("@empty.txt");
    EXPECT_FALSE(empty.m_Receivers.has_value());
    EXPECT_EQ(nullptr, empty.m_Headers);
}

TEST_F(ReceiversTest, NestedListFilesAreReadInPlace)
{
    Write("outer.txt", "a@x\n@inner.txt\nz@x\n");
    Write("inner.txt", "b@x\nc@x");
    m_Mail.AddCc("@outer.txt");
    EXPECT_EQ("a@x,b@x,c@x,z@x", Header("Cc"));
    EXPECT_EQ("a@x,b@x,c@x,z@x", *m_Mail.m_Receivers);
}

TEST_F(ReceiversTest, BadListFilesRaiseOneAndKeepEarlierEntries)
{
    Write("outer.txt", "a@x\n@nope.txt\nz@x\n");
    Write("self.txt", "s@x\n@self.txt\n");
    Write("one.txt", "@two.txt\n");
    Write("two.txt", "b@x\n@one.txt\n");
    Write("long.txt", "a@x\n" + std::string(200, 'a') + "\nz@x\n");
    const std::string longLine = "Receiver '" + std::string(127, 'a') + "...' is longer than 126 characters. Aborting.\n";
    fs::create_directory("sub");
    const struct {
        const char* argument;
        const char* message;
        const char* receivers;
    } rows[] = {
        {"@", "Failed to open address file '@'. Aborting.\n", NONE},
        {"@missing.txt", "Failed to open address file '@missing.txt'. Aborting.\n", NONE},
        {"@outer.txt", "Failed to open address file '@nope.txt'. Aborting.\n", "a@x"},
        {"@self.txt", "Address file '@self.txt' includes itself. Aborting.\n", "s@x"},
        {"@one.txt", "Address file '@one.txt' includes itself. Aborting.\n", "b@x"},
        {"@sub", "Address file '@sub' is not a regular file or a pipe. Aborting.\n", NONE},
        {"@/dev/zero", "Address file '@/dev/zero' is not a regular file or a pipe. Aborting.\n", NONE},
        {"@long.txt", longLine.c_str(), "a@x"},
    };
    for (const auto& row : rows) {
        for (int verbose : {0, 1}) {
            CQuillant mail;
            g_Verbose = verbose;
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(1, RaisedBy([&] { mail.AddTo(row.argument); })) << row.argument;
            EXPECT_EQ(verbose ? row.message : "", ::testing::internal::GetCapturedStderr());
            EXPECT_EQ(row.receivers, mail.m_Receivers.value_or(NONE)) << row.argument;
        }
    }
}

TEST_F(ReceiversTest, ListFileChainIsLimitedToSixteen)
{
    for (int depth : {16, 17}) {
        const std::string prefix = "d" + std::to_string(depth) + "-";
        for (int i = 1; i < depth; ++i)
            Write(prefix + std::to_string(i), "@" + prefix + std::to_string(i + 1) + "\n");
        Write(prefix + std::to_string(depth), "end@x\n");
        CQuillant mail;
        g_Verbose = 1;
        ::testing::internal::CaptureStderr();
        const int code = RaisedBy([&] { mail.AddTo(("@" + prefix + "1").c_str()); });
        const std::string message = ::testing::internal::GetCapturedStderr();
        if (depth == 16) {
            EXPECT_EQ(0, code);
            EXPECT_EQ("end@x", mail.m_Receivers.value_or(NONE));
        } else {
            EXPECT_EQ(1, code);
            EXPECT_EQ("Address files nested too deeply at '@d17-17'. Aborting.\n", message);
            EXPECT_FALSE(mail.m_Receivers.has_value());
        }
    }
}

TEST_F(ReceiversTest, OutsideValuesStayOnOneLineAndWithinLimits)
{
    m_Mail.SetSubject("Hi\r\nBcc: evil@x");
    m_Mail.SetFrom("Me\n<me@x\r>");
    EXPECT_EQ("Hi  Bcc: evil@x", Header("Subject"));
    EXPECT_EQ("Me <me@x >", Header("From"));
    EXPECT_EQ("me@x ", Header("X-Sender"));

    CQuillant mail;
    mail.SetSender(("<" + std::string(200, 's') + ">").c_str());
    EXPECT_EQ(std::string(127, 's'), mail.GetHeader("X-Sender", NONE));
}

TEST_F(ReceiversTest, HundredThousandReceiversAtMost)
{
    std::string many;
    for (int i = 0; i < 99999; ++i)
        many += "m@x\n";
    Write("many", many);
    m_Mail.AddTo("first@x");
    m_Mail.AddTo("@many");
    g_Verbose = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(1, RaisedBy([&] { m_Mail.AddCc("last@x"); }));
    EXPECT_EQ("More than 100000 receivers at 'last@x'. Aborting.\n", ::testing::internal::GetCapturedStderr());
}

TEST_F(ReceiversTest, SenderIsTheAddressInsideAngleBrackets)
{
    const std::pair<const char*, const char*> rows[] = {
        {"Jane Roe <jane@x>", "jane@x"}, {"jane@x", "jane@x"}, {"Jane <jane@x", "jane@x"},
        {"<a@x> (b) <c@x>", "a@x"},      {"", ""},             {"a>b", "a"},
    };
    for (const auto& [text, sender] : rows) {
        m_Mail.SetSender(text);
        EXPECT_EQ(sender, Header("X-Sender")) << text;
    }
}

TEST_F(ReceiversTest, FromAddsSenderOnlyWhenMissing)
{
    m_Mail.SetFrom("Jane <jane@x>");
    EXPECT_EQ((std::vector<std::string>{"From", "X-Sender"}), HeaderNames());
    EXPECT_EQ("jane@x", Header("X-Sender"));
    m_Mail.SetFrom("Joe <joe@x>");
    EXPECT_EQ("Joe <joe@x>", Header("From"));
    EXPECT_EQ("jane@x", Header("X-Sender"));
}

TEST_F(ReceiversTest, PriorityOneToFiveOnly)
{
    for (int ignored : {0, -1, 6})
        m_Mail.SetPriority(ignored);
    EXPECT_EQ(NONE, Header("X-Priority"));
    for (int priority : {1, 5, 3})
        m_Mail.SetPriority(priority);
    EXPECT_EQ("3", Header("X-Priority"));
}

TEST_F(ReceiversTest, DateIsSetOnce)
{
    Platform::ClockOverride clock{1796611380, 1, 1};
    Platform::SetClockOverride(&clock);
    char first[32];
    MakeArpaDateAt(first, clock.time);
    m_Mail.SetDate();
    clock.time += 3600;
    m_Mail.SetDate();
    Platform::SetClockOverride(nullptr);
    EXPECT_EQ(first, Header("Date"));
}

}  // namespace
