#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "quillant/Encoders.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace {

using TestUtil::Captured;

std::string EncodeStream(void (*encoder)(FILE*, FILE*), const std::string& input)
{
    TestUtil::CFilePtr in(std::tmpfile());
    std::fwrite(input.data(), 1, input.size(), in.get());
    std::rewind(in.get());
    return Captured([&](FILE* out) { encoder(in.get(), out); });
}

std::string EncodeText(void (*encoder)(const char*, FILE*), const std::string& input)
{
    return Captured([&](FILE* out) { encoder(input.c_str(), out); });
}

std::string Repeat(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

const std::string A57 = std::string(57, 'A');  // "AAA" is "QUFB"

struct CBase64Row {
    int m_Row;
    bool m_Stream;
    std::string m_Input;
    std::string m_Expected;
};

TEST(Base64, LinesPaddingAndEnds)
{
    const CBase64Row rows[] = {
        {1, true, "", ""},
        {2, false, "", ""},
        {3, true, "M", "TQ==\r\n"},
        {4, true, "Ma", "TWE=\r\n"},
        {5, true, "Man", "TWFu\r\n"},
        {6, false, "M", "TQ==\r\n"},
        {7, true, A57, Repeat("QUFB", 19) + "\r\n"},
        {8, true, A57 + "A", Repeat("QUFB", 19) + "\r\nQQ==\r\n"},
        {9, true, A57 + A57, Repeat(Repeat("QUFB", 19) + "\r\n", 2)},
        {10, false, std::string(54, 'A'), Repeat("QUFB", 18) + "\r\n"},
        {11, true, std::string(54, 'A'), Repeat("QUFB", 18) + "\r\n"},
        {12, false, std::string(55, 'A'), Repeat("QUFB", 18) + "\r\nQQ==\r\n"},
        {13, false, std::string(108, 'A'), Repeat(Repeat("QUFB", 18) + "\r\n", 2)},
        {14, false, "\xFF\xFE\xFD", "//79\r\n"},
        {15, true, std::string("\0\0\0\xFF", 4), "AAAA/w==\r\n"},
        // The text form ends at the first zero byte.
        {16, false, std::string("ab\0cd", 5), "YWI=\r\n"},
    };
    for (const CBase64Row& row : rows) {
        const std::string got = row.m_Stream ? EncodeStream(Base64EncodeStream, row.m_Input)
                                             : EncodeText(Base64EncodeText, row.m_Input);
        EXPECT_EQ(got, row.m_Expected) << "row " << row.m_Row;
    }
}

TEST(Base64, GroupPadding)
{
    struct {
        int b1, b2, b3, pad;
        const char* expected;
    } rows[] = {
        {0x4D, 0x61, 0x6E, 0, "TWFu"},
        {0x4D, 0x61, 0, 1, "TWE="},
        {0x4D, 0, 0, 2, "TQ=="},
        {255, 255, 255, 0, "////"},
        {0, 0, 0, 0, "AAAA"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Captured([&](FILE* out) { Base64EncodeGroup(row.b1, row.b2, row.b3, row.pad, out); }),
                  row.expected) << row.b1 << "," << row.b2 << "," << row.pad;
    }
}

struct CQPRow {
    int m_Row;
    std::string m_Input;
    std::string m_Expected;
};

const std::string A72 = std::string(72, 'a');
const std::string A73 = std::string(73, 'a');

// Every row holds no zero byte, so the stream and text forms must agree.
TEST(QuotedPrintable, BothForms)
{
    const CQPRow rows[] = {
        {1, "", ""},
        {2, "abc", "abc=\r\n"},
        {3, "abc\n", "abc\n"},
        {4, A72, A72 + "=\r\n"},
        {5, A73, A73 + "=\r\n"},
        {6, A73 + "b", A73 + "=\r\nb=\r\n"},
        {7, A72 + "\n", A72 + "\n"},
        {8, A73 + "\n", A73 + "=\r\n\n"},
        // White-space guard before a bare LF.
        {9, "a \n", "a =\n\n"},
        {10, "a\t\nb\n", "a\t=\n\nb\n"},
        {11, A72 + " \n", A72 + " =\r\n\n"},
        {12, "\xFF", "=FF=\r\n"},
        {13, "\x7F\x0C", "=7F=0C=\r\n"},
        {14, "=", "=3D=\r\n"},
        {15, "a\tb ~", "a\tb ~=\r\n"},
        {16, "\x01\x1F\x80", "=01=1F=80=\r\n"},
        {17, std::string(69, 'a') + "=", std::string(69, 'a') + "=3D=\r\n"},
        {18, std::string(70, 'a') + "=x", std::string(70, 'a') + "=3D=\r\nx=\r\n"},
        // CR LF is one line end: no soft break inside it, no count, same guard.
        {19, A72 + "\r\n", A72 + "\r\n"},
        {20, A73 + "\r\n", A73 + "=\r\n\r\n"},
        {21, std::string(71, 'a') + "\r\nb", std::string(71, 'a') + "\r\nb=\r\n"},
        // The guard before CR LF is "=" CR LF: the text gains no bare LF.
        {22, "a \r\n", "a =\r\n\r\n"},
        {23, "a\t\r\nb", "a\t=\r\n\r\nb=\r\n"},
        {24, "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
        // A CR without its LF is data.
        {25, "a\rb", "a=0Db=\r\n"},
        {26, "a\r", "a=0D=\r\n"},
        {27, "\r\r\n", "=0D\r\n"},
        {28, " \r\r\n", " =0D\r\n"},
        {29, std::string(70, 'a') + "\rb", std::string(70, 'a') + "=0D=\r\nb=\r\n"},
        {30, "\n\r\n", "\n\r\n"},
    };
    for (const CQPRow& row : rows) {
        EXPECT_EQ(EncodeText(QPEncodeText, row.m_Input), row.m_Expected) << "text row " << row.m_Row;
        EXPECT_EQ(EncodeStream(QPEncodeStream, row.m_Input), row.m_Expected) << "stream row " << row.m_Row;
    }
}

TEST(QuotedPrintable, StreamEncodesZeroBytes)
{
    EXPECT_EQ(EncodeStream(QPEncodeStream, std::string("a\0b", 3)), "a=00b=\r\n");
    EXPECT_EQ(EncodeText(QPEncodeText, std::string("a\0b", 3)), "a=\r\n");
}

// The stream form reads in blocks; a CR LF or a guard that straddles two
// blocks must come out as within one.
TEST(QuotedPrintable, LineEndAcrossReadBlocks)
{
    for (std::size_t at : {49151u, 49152u, 98303u}) {
        for (const std::string& end : {std::string("\r\n"), std::string(" \r\n"), std::string("\r")}) {
            std::string input(at, 'x');
            for (std::size_t i = 50; i < at; i += 51)
                input[i] = '\n';
            input += end + "tail";
            const std::string stream = EncodeStream(QPEncodeStream, input);
            EXPECT_EQ(stream, EncodeText(QPEncodeText, input)) << at;
        }
    }
}

TEST(Base64, StreamAcrossReadBlocksMatchesWholeLines)
{
    // 3 * 49152 + 2 bytes: several blocks and a padded tail.
    const std::string input(3 * 49152 + 2, '\xAB');
    const std::string out = EncodeStream(Base64EncodeStream, input);
    const std::size_t groups = (input.size() + 2) / 3;
    const std::size_t lines = (groups + 18) / 19;
    EXPECT_EQ(out.size(), groups * 4 + lines * 2);
    EXPECT_EQ(out.compare(0, 78, std::string(Repeat("q6ur", 19)) + "\r\n"), 0);
    EXPECT_EQ(out.substr(out.size() - 6), "q6s=\r\n");
}

// An input of 256 MiB that counts what it served; /dev/full fails every write.
// The encoder must stop at the first failed write, not read on to the end.
TEST(Encoders, FirstFailedWriteEndsTheEncoding)
{
    const std::pair<const char*, void (*)(FILE*, FILE*)> rows[] = {
        {"quoted-printable", QPEncodeStream},
        {"base64", Base64EncodeStream},
        {"copy", [](FILE* in, FILE* out) {
             CQuillant mail;
             mail.AddPart("", PART_RAW);
             mail.m_Parts->WriteFileBody(in, out);
         }},
    };
    for (const auto& [name, encoder] : rows) {
        cookie_io_functions_t io{};
        io.read = [](void* served, char* buffer, std::size_t size) -> ssize_t {
            std::size_t& count = *static_cast<std::size_t*>(served);
            if (count >= (std::size_t(256) << 20))
                return 0;
            std::memset(buffer, '\n', size);
            count += size;
            return static_cast<ssize_t>(size);
        };
        std::size_t served = 0;
        TestUtil::CFilePtr in(fopencookie(&served, "r", io));
        TestUtil::CFilePtr out(std::fopen("/dev/full", "w"));
        ASSERT_TRUE(in && out);
        encoder(in.get(), out.get());
        EXPECT_TRUE(std::ferror(out.get())) << name;
        EXPECT_LT(served, std::size_t(1) << 20) << name;
    }
}

}  // namespace
