// The POSIX profile store: line preservation, case-insensitive names,
// GetProfileString's size rule, location, modes and atomic rewrite.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "platform/Profile.h"
#include "tests/sendvale/SendvaleTestUtil.h"

namespace {

using TestUtil::CScopedEnv;
using TestUtil::CTempDir;
using TestUtil::ReadFile;
using TestUtil::WriteFile;
namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
protected:
    CTempDir m_Dir;
    std::string m_File = m_Dir.Path("sendvale.ini");
    CScopedEnv m_Env{"SENDVALE_PROFILE", m_File};

    // A profile holding content, or none for null.
    void StartWith(const char* content)
    {
        fs::remove(m_File);
        if (content)
            WriteFile(m_File, content);
    }
};

struct WriteCase {
    const char* before;  // null: no file
    const char* key;
    const char* value;
    const char* after;
};

const WriteCase WRITE_CASES[] = {
    /* 0 */ {nullptr, "HOST", "mx", "[Setup]\nHOST=mx\n"},
    /* 1 */ {"", "HOST", "mx", "[Setup]\nHOST=mx\n"},
    /* 2 */ {"; mine\n[Setup]\nHOST=old\n# note\nOrganization=Acme\n", "HOST", "new",
             "; mine\n[Setup]\nHOST=new\n# note\nOrganization=Acme\n"},
    /* 3 */ {"[ setup ]\n  host = old  \n", "HOST", "new", "[ setup ]\nhost=new\n"},
    /* 4 */ {"[Setup]\nHOST=a\n\n[Other]\nX=1\n", "Return Address", "me@example.com",
             "[Setup]\nHOST=a\nReturn Address=me@example.com\n\n[Other]\nX=1\n"},
    /* 5 */ {"[Other]\nX=1\n", "HOST", "a", "[Other]\nX=1\n\n[Setup]\nHOST=a\n"},
    /* 6 */ {"[Setup]\nHOST=a", "Organization", "b", "[Setup]\nHOST=a\nOrganization=b\n"},
    /* 7 */ {"[Setup]\r\nHOST=a\r\nX=1\r\n", "HOST", "b", "[Setup]\r\nHOST=b\r\nX=1\r\n"},
    /* 8 */ {"[Setup]\n", "HOST", "mx\n", "[Setup]\nHOST=mx\n"},
    /* 9 */ {"[Setup]\n", "HOST", "a\nb\r\n", "[Setup]\nHOST=a b\n"},
    /* 10 */ {"[Setup]\n;HOST=x\n", "HOST", "y", "[Setup]\n;HOST=x\nHOST=y\n"},
    /* 11 */ {"[Other]\nHOST=o\n[Setup]\nHOST=s\n", "HOST", "n", "[Other]\nHOST=o\n[Setup]\nHOST=n\n"},
    /* 12 */ {"[Setup]\nHOST=a\n", "HOST", "", "[Setup]\nHOST=\n"},
    /* 13 */ {"[Other]\nX=1", "HOST", "a", "[Other]\nX=1\n\n[Setup]\nHOST=a\n"},
    /* 14 */ {"[Setup]\nNNTP Passws=  secret  \n", "nntp passws", " s2 ", "[Setup]\nNNTP Passws=s2\n"},
};

TEST_F(ProfileTest, WriteChangesOnlyItsOwnLine)
{
    for (std::size_t i = 0; i < std::size(WRITE_CASES); ++i) {
        const WriteCase& c = WRITE_CASES[i];
        StartWith(c.before);
        ASSERT_TRUE(Platform::WriteProfileString("Setup", c.key, c.value)) << "case " << i;
        EXPECT_EQ(ReadFile(m_File), c.after) << "case " << i;
    }
}

struct ReadCase {
    const char* content;  // null: no file
    const char* key;
    std::size_t size;
    std::string expected;
};

const ReadCase READ_CASES[] = {
    /* 0 */ {nullptr, "HOST", 127, "def"},
    /* 1 */ {"[Setup]\nHOST = mx.example  \n", "HOST", 127, "mx.example"},
    /* 2 */ {"[SETUP]\nhost=mx\n", "HOST", 127, "mx"},
    /* 3 */ {"[Setup]\r\nHOST=mx\r\n", "HOST", 127, "mx"},
    /* 4 */ {"[Setup]\nOrganization=x\n", "HOST", 127, "def"},
    /* 5 */ {"[Other]\nHOST=o\n", "HOST", 127, "def"},
    /* 6 */ {"[Setup]\n;HOST=x\n#HOST=y\n", "HOST", 127, "def"},
    /* 7 */ {"[Setup]\nHOST=first\nHOST=second\n", "HOST", 127, "first"},
    /* 8 */ {"[Setup]\nURL=a=b\n", "URL", 127, "a=b"},
    /* 9 */ {"[Setup]\nHOST=abcdef\n", "HOST", 4, "abc"},
    /* 10 */ {"[Setup]\nHOST=abcdef\n", "HOST", 1, ""},
    /* 11 */ {"[Setup]\nHOST=\n", "HOST", 127, ""},
    /* 12 */ {"[Setup]\nHOST=s\n[Other]\nX=1\n[Setup]\nY=2\n", "HOST", 127, "s"},
    /* 13 */ {"HOST=outside\n[Setup]\n", "HOST", 127, "def"},
};

TEST_F(ProfileTest, ReadGivesTrimmedValueOrDefault)
{
    for (std::size_t i = 0; i < std::size(READ_CASES); ++i) {
        const ReadCase& c = READ_CASES[i];
        StartWith(c.content);
        char out[128] = "garbage";
        const std::size_t n = Platform::GetProfileString("Setup", c.key, "def", out, c.size);
        EXPECT_EQ(std::string(out), c.expected) << "case " << i;
        EXPECT_EQ(n, c.expected.size()) << "case " << i;
    }
}

TEST_F(ProfileTest, ReadKeepsAtMostSizeLessOneCharacters)
{
    WriteFile(m_File, "[Setup]\nHOST=" + std::string(200, 'h') + "\n");
    char out[128];
    Platform::GetProfileString("Setup", "HOST", "", out, 127);
    EXPECT_EQ(std::string(out), std::string(126, 'h'));
}

TEST_F(ProfileTest, WrittenValueReadsBack)
{
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "Return Address", "Jo <jo@example.com>\n"));
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "HOST", "mx:2525"));
    char out[128];
    Platform::GetProfileString("Setup", "return address", "", out, 127);
    EXPECT_STREQ(out, "Jo <jo@example.com>");
    Platform::GetProfileString("SETUP", "host", "", out, 127);
    EXPECT_STREQ(out, "mx:2525");
}

TEST_F(ProfileTest, CreatesPrivateFolderAndFile)
{
    const std::string nested = m_Dir.Path("a/b/sendvale.ini");
    CScopedEnv env("SENDVALE_PROFILE", nested);
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "NNTP Passws", "secret"));
    const auto mask = fs::perms::all;
    EXPECT_EQ(fs::status(m_Dir.Path("a")).permissions() & mask, fs::perms::owner_all);
    EXPECT_EQ(fs::status(m_Dir.Path("a/b")).permissions() & mask, fs::perms::owner_all);
    EXPECT_EQ(fs::status(nested).permissions() & mask,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A reader that opened the old file still sees it whole: the new content
// arrived under a new file, not by rewriting the old one in place.
TEST_F(ProfileTest, RewriteReplacesTheFileAndLeavesNoTemporaries)
{
    WriteFile(m_File, "[Setup]\nHOST=old\n");
    std::ifstream oldReader(m_File, std::ios::binary);
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "HOST", "new"));
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "Organization", "Acme"));
    const std::string seen(std::istreambuf_iterator<char>(oldReader), {});
    EXPECT_EQ(seen, "[Setup]\nHOST=old\n");
    EXPECT_EQ(ReadFile(m_File), "[Setup]\nHOST=new\nOrganization=Acme\n");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_Dir.Path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"sendvale.ini"});
}

TEST_F(ProfileTest, WritesThroughASymbolicLink)
{
    const std::string real = m_Dir.Path("real.ini");
    WriteFile(real, "[Setup]\nHOST=old\n");
    fs::create_symlink(real, m_File);
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "HOST", "new"));
    EXPECT_TRUE(fs::is_symlink(m_File));
    EXPECT_EQ(ReadFile(real), "[Setup]\nHOST=new\n");
}

TEST_F(ProfileTest, UnusableLocationFailsAndChangesNothing)
{
    const std::string blocker = m_Dir.Path("blocker");
    WriteFile(blocker, "not a folder");
    CScopedEnv env("SENDVALE_PROFILE", blocker + "/sendvale.ini");
    EXPECT_FALSE(Platform::WriteProfileString("Setup", "HOST", "mx"));
    EXPECT_EQ(ReadFile(blocker), "not a folder");
    char out[128];
    Platform::GetProfileString("Setup", "HOST", "def", out, 127);
    EXPECT_STREQ(out, "def");
}

TEST_F(ProfileTest, DefaultLocationFollowsXdgThenHome)
{
    CScopedEnv noProfile("SENDVALE_PROFILE", std::nullopt);
    {
        CScopedEnv xdg("XDG_CONFIG_HOME", m_Dir.Path("xdg"));
        EXPECT_EQ(Platform::ProfileLocation(), m_Dir.Path("xdg") + "/sendvale/sendvale.ini");
        ASSERT_TRUE(Platform::WriteProfileString("Setup", "HOST", "x"));
        EXPECT_EQ(ReadFile(m_Dir.Path("xdg/sendvale/sendvale.ini")), "[Setup]\nHOST=x\n");
    }
    CScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    CScopedEnv home("HOME", m_Dir.Path("home"));
    EXPECT_EQ(Platform::ProfileLocation(), m_Dir.Path("home") + "/.config/sendvale/sendvale.ini");
    ASSERT_TRUE(Platform::WriteProfileString("Setup", "HOST", "h"));
    EXPECT_EQ(ReadFile(m_Dir.Path("home/.config/sendvale/sendvale.ini")), "[Setup]\nHOST=h\n");
}

}  // namespace
