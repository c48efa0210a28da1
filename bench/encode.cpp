// Streams a file through one of the transfer encoders:
//   encode base64|qp|base64text|qptext|header:NAME|param:NAME INPUT OUTPUT
// "-" names standard input or output. The text forms read the whole input
// into memory first (and stop at its first zero byte), as a text part does.
// header:NAME writes the header line "NAME: value" the writer would, and
// param:NAME the extended parameter NAME of an attachment, for the input.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "quillant/Encoders.h"
#include "quillant/HeaderText.h"
#include "quillant/Quillant.h"

namespace {

struct CFileCloser {
    void operator()(FILE* f) const
    {
        if (f != stdin && f != stdout)
            std::fclose(f);
    }
};
using CFilePtr = std::unique_ptr<FILE, CFileCloser>;

FILE* Open(const char* name, const char* mode, FILE* standard)
{
    return std::strcmp(name, "-") == 0 ? standard : std::fopen(name, mode);
}

bool ReadAll(FILE* in, std::string& text)
{
    char block[48 * 1024];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0)
        text.append(block, got);
    return !std::ferror(in);
}

bool Encode(const char* mode, FILE* in, FILE* out)
{
    if (std::strcmp(mode, "base64") == 0) {
        Base64EncodeStream(in, out);
    } else if (std::strcmp(mode, "qp") == 0) {
        QPEncodeStream(in, out);
    } else {
        std::string text;
        if (!ReadAll(in, text))
            return false;
        text.resize(std::strlen(text.c_str()));
        if (std::strcmp(mode, "base64text") == 0) {
            Base64EncodeText(text.c_str(), out);
        } else if (std::strncmp(mode, "header:", 7) == 0) {
            CHeaderField field;
            field.m_Name = mode + 7;
            field.m_Value = text;
            WriteHeaders(&field, out);
        } else if (std::strncmp(mode, "param:", 6) == 0) {
            std::fputs(ExtendedParameter(mode + 6, text.c_str()).c_str(), out);
        } else {
            QPEncodeText(text.c_str(), out);
        }
    }
    return !std::ferror(in);
}

bool KnownMode(const char* mode)
{
    for (const char* known : {"base64", "qp", "base64text", "qptext"})
        if (std::strcmp(mode, known) == 0)
            return true;
    return (std::strncmp(mode, "header:", 7) == 0 && mode[7]) || (std::strncmp(mode, "param:", 6) == 0 && mode[6]);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || !KnownMode(argv[1])) {
        std::fprintf(stderr, "usage: encode base64|qp|base64text|qptext|header:NAME|param:NAME INPUT OUTPUT\n");
        return 2;
    }
    CFilePtr in(Open(argv[2], "rb", stdin));
    if (!in) {
        std::fprintf(stderr, "encode: cannot open '%s'\n", argv[2]);
        return 1;
    }
    CFilePtr out(Open(argv[3], "wb", stdout));
    if (!out) {
        std::fprintf(stderr, "encode: cannot create '%s'\n", argv[3]);
        return 1;
    }
    if (!Encode(argv[1], in.get(), out.get())) {
        std::fprintf(stderr, "encode: cannot read '%s'\n", argv[2]);
        return 1;
    }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
        std::fprintf(stderr, "encode: cannot write '%s'\n", argv[3]);
        return 1;
    }
    return 0;
}
