// Body bytes through quoted-printable or base64 (stream or text encoder)
// and then the wire form, read from the spool in blocks of 1 to 64 bytes or
// whole; with the top bit of the first byte the body is repeated past the
// length at which runs go out straight from the file.
// Invariants: the wire form is the same however the spool is read; it has
// only CR LF line ends, no line over 1000 octets with its CR LF and no line
// that is a lone "."; quoted-printable lines hold at most 76 characters and
// never end in white space, base64 lines at most 76; removing the doubled
// dots gives the encoding back (line ends canonical), and decoding gives the
// body back (base64 exactly, quoted-printable up to line ends; text only to
// its first NUL).
#include <cstring>

#include "quillant/Encoders.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "transport/Wire.h"

namespace {

std::string WireOf(const std::string& encoded, std::size_t blockSize)
{
    CFilePtr spool = Fuzz::FileOf(encoded);
    std::string wire;
    std::int64_t expectedOffset = 0;
    const bool read = ForEachWirePiece(
        spool.get(), blockSize, [&](const char* data, std::size_t size) { wire.append(data, size); },
        [&](std::int64_t offset, const char* data, std::size_t size) {
            Fuzz::Require(offset >= expectedOffset && encoded.compare(static_cast<std::size_t>(offset), size,
                                                                      data, size) == 0,
                          "a run sent straight from the file is the file's bytes");
            expectedOffset = offset + static_cast<std::int64_t>(size);
            wire.append(data, size);
        });
    Fuzz::Require(read, "the spool can be read");
    return wire;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool base64 = data[0] & 1;
    const bool stream = data[0] & 2;
    const std::size_t blockSize = data[0] & 4 ? (data[0] >> 3 & 15) * 4 + 1 : SPOOL_BLOCK_SIZE;
    std::string body(Fuzz::Bytes(data + 1, size - 1));
    if (data[0] & 0x80 && !body.empty())
        while (body.size() < MIN_FILE_RUN + 4096)
            body += body;
    if (!stream)
        body.resize(std::strlen(body.c_str()));

    CFilePtr in = Fuzz::FileOf(body);
    CFilePtr out(std::tmpfile());
    Fuzz::Require(out != nullptr, "temporary file");
    if (base64)
        stream ? Base64EncodeStream(in.get(), out.get()) : Base64EncodeText(body.c_str(), out.get());
    else
        stream ? QPEncodeStream(in.get(), out.get()) : QPEncodeText(body.c_str(), out.get());
    std::fflush(out.get());
    const std::string encoded = Fuzz::ContentOf(out.get());

    const std::string wire = WireOf(encoded, blockSize);
    Fuzz::Require(wire == WireOf(encoded, SPOOL_BLOCK_SIZE), "the wire form does not depend on the block size");
    Fuzz::Require(Fuzz::OnlyCrLf(wire), "only CR LF line ends on the wire");
    std::string unstuffed;
    for (std::string_view line : Fuzz::Lines(wire)) {
        Fuzz::Require(line.size() + 2 <= 1000, "no wire line over 1000 octets");
        Fuzz::Require(line != ".", "no wire line is a lone dot");
        if (!line.empty() && line[0] == '.')
            line.remove_prefix(1);
        unstuffed.append(line.data(), line.size()).append("\r\n");
    }
    const std::string canonical = Fuzz::Canonical(encoded);
    if (!unstuffed.empty() && (canonical.size() < 2 || canonical.compare(canonical.size() - 2, 2, "\r\n") != 0))
        unstuffed.resize(unstuffed.size() - 2);
    Fuzz::Require(unstuffed == canonical, "removing the doubled dots gives the encoding back");

    for (std::string_view line : Fuzz::Lines(canonical)) {
        Fuzz::Require(line.size() <= 76, "encoded lines hold at most 76 characters");
        if (!base64)
            Fuzz::Require(line.empty() || (line.back() != ' ' && line.back() != '\t'),
                          "no quoted-printable line ends in white space");
    }
    std::string decoded;
    if (base64) {
        Fuzz::Require(Fuzz::DecodeBase64(canonical, decoded) && decoded == body, "base64 decodes to the body");
    } else {
        Fuzz::Require(Fuzz::DecodeQuotedPrintable(canonical, decoded), "quoted-printable is well formed");
        Fuzz::Require(Fuzz::Canonical(decoded) == Fuzz::Canonical(body), "quoted-printable decodes to the body");
    }
    return 0;
}
