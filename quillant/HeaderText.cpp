#include "quillant/HeaderText.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Text.h"
#include "quillant/Encoders.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"

namespace {

constexpr std::size_t MAX_LINE = 78;
constexpr std::size_t MAX_WORD = 75;
constexpr std::size_t MAX_CHARSET = 40;  // leaves room for text in every word

enum class FieldKind { UNSTRUCTURED, ADDRESSES, STRUCTURED };

const char* const ADDRESS_FIELDS[] = {
    "From", "Sender", "Reply-To", "To", "Cc", "Bcc", "Resent-From", "Resent-Sender", "Resent-To", "Resent-Cc",
    "Resent-Bcc", "Return-Path", "X-Sender", "Mail-Followup-To", "Mail-Reply-To", "Disposition-Notification-To",
    "Errors-To", "Approved", nullptr};

// Fields whose syntax has no place for an encoded-word.
const char* const STRUCTURED_FIELDS[] = {
    "Date", "Message-ID", "In-Reply-To", "References", "Resent-Date", "Resent-Message-ID", "Newsgroups",
    "Followup-To", "Path", "Distribution", "Control", "Supersedes", "Expires", "Lines", "Xref", "Received",
    "MIME-Version", nullptr};

bool IsListed(const char* const* list, const char* name)
{
    for (; *list; ++list)
        if (Platform::SameTextNoCase(*list, name))
            return true;
    return false;
}

FieldKind KindOf(const char* name)
{
    if (IsListed(ADDRESS_FIELDS, name))
        return FieldKind::ADDRESSES;
    // Of the MIME fields only the description is text.
    const std::string_view view(name);
    if (IsListed(STRUCTURED_FIELDS, name)
        || (Platform::SameTextNoCase(view.substr(0, 8), "Content-")
            && !Platform::SameTextNoCase(view, "Content-Description")))
        return FieldKind::STRUCTURED;
    return FieldKind::UNSTRUCTURED;
}

bool IsAsciiAlnum(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsIn(unsigned char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The characters both an encoded-word's and an RFC 2231 charset may hold.
bool IsCharsetName(const char* name)
{
    if (!*name || std::strlen(name) > MAX_CHARSET)
        return false;
    for (const char* p = name; *p; ++p)
        if (!IsAsciiAlnum(static_cast<unsigned char>(*p)) && !IsIn(static_cast<unsigned char>(*p), "!#$%&+-^_`{}~"))
            return false;
    return true;
}

// An MM_CHARSET that cannot stand in an encoded-word gives way to the text's own.
std::string CharsetOf(const std::string& text)
{
    const char* charset = TextPartCharset(text.c_str());
    return IsCharsetName(charset) ? charset : Platform::TextCharset(text.c_str());
}

// A well-formed UTF-8 character is never split; any other byte stands alone.
std::size_t UnitLength(const std::string& text, std::size_t at)
{
    const int n = Platform::Utf8SequenceLength(reinterpret_cast<const unsigned char*>(text.c_str()) + at);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// Q keeps only what section 5 allows in a phrase, so one form fits everywhere.
bool IsQLiteral(unsigned char c) { return IsAsciiAlnum(c) || IsIn(c, "!*+-/"); }

std::size_t QSize(std::string_view bytes)
{
    std::size_t size = 0;
    for (unsigned char c : bytes)
        size += c == ' ' || IsQLiteral(c) ? 1 : 3;
    return size;
}

std::size_t BSize(std::string_view bytes) { return 4 * ((bytes.size() + 2) / 3); }

const char HEX[] = "0123456789ABCDEF";

std::string QEncode(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == ' ') {
            out += '_';
        } else if (IsQLiteral(c)) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

// The field body being laid out, with the column of its current line.
class CFoldedLine {
public:
    explicit CFoldedLine(std::size_t column) : m_Column(column) {}

    std::size_t Room(std::size_t space) const
    {
        return m_Column + space < MAX_LINE ? MAX_LINE - m_Column - space : 0;
    }
    // A line that has nothing on it yet would gain nothing from a fold.
    bool CanBreak() const { return !m_Fresh; }

    // Folding keeps the white space: the new line starts with it (or a blank).
    void Break(const std::string& space)
    {
        const std::string indent = space.empty() ? " " : space;
        m_Text += "\r\n" + indent;
        m_Column = indent.size();
        m_Fresh = true;
    }
    void Append(const std::string& space, const std::string& atom)
    {
        m_Text += space + atom;
        m_Column += space.size() + atom.size();
        m_Fresh = false;
    }
    // Breaks before the atom when it would pass the end of the line.
    void Put(const std::string& space, const std::string& atom)
    {
        if (CanBreak() && Room(space.size()) < atom.size()) {
            Break(space);
            Append("", atom);
        } else {
            Append(space, atom);
        }
    }
    const std::string& Text() const { return m_Text; }

private:
    std::string m_Text;
    std::size_t m_Column;
    bool m_Fresh = true;
};

// Decoders drop the white space between adjacent encoded-words, so text is
// cut only between characters and every blank travels inside a word.
void PutEncoded(CFoldedLine& line, std::string space, const std::string& text, const std::string& charset)
{
    const bool base64 = 4 * BSize(text) < 3 * QSize(text);  // Q while it stays readable
    const std::string head = "=?" + charset + (base64 ? "?B?" : "?Q?");
    const std::size_t overhead = head.size() + 2;
    const std::string_view all(text);
    auto size = [&](std::size_t from, std::size_t to) {
        return overhead + (base64 ? BSize(all.substr(from, to - from)) : QSize(all.substr(from, to - from)));
    };
    // Some readers show a blank between the words of a display name: a text
    // that fits in one word is not split over two.
    const std::size_t whole = size(0, text.size());
    if (line.CanBreak() && whole <= MAX_WORD && line.Room(space.size()) < whole) {
        line.Break(space);
        space.clear();
    }
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = pos + UnitLength(text, pos);
        if (line.CanBreak() && line.Room(space.size()) < size(pos, end)) {
            line.Break(space);
            space.clear();
        }
        const std::size_t limit = std::min(MAX_WORD, line.Room(space.size()));
        while (end < text.size()) {
            const std::size_t next = end + UnitLength(text, end);
            if (size(pos, next) > limit)
                break;
            end = next;
        }
        const std::string_view piece = all.substr(pos, end - pos);
        line.Append(space, head + (base64 ? Base64Text(piece) : QEncode(piece)) + "?=");
        space = " ";
        pos = end;
    }
}

struct CWord {
    std::string m_Space;  // the white space before it
    std::string m_Text;
};

// Splits at blanks; with quotes set, blanks inside a quoted string do not.
std::vector<CWord> SplitWords(const std::string& text, bool quotes, std::string& trailing)
{
    std::vector<CWord> words;
    std::size_t i = 0;
    while (i < text.size()) {
        CWord word;
        while (i < text.size() && IsBlank(text[i]))
            word.m_Space += text[i++];
        if (i == text.size()) {
            trailing = word.m_Space;
            break;
        }
        bool quoted = false;
        for (; i < text.size() && (quoted || !IsBlank(text[i])); ++i) {
            if (quotes && quoted && text[i] == '\\' && i + 1 < text.size())
                word.m_Text += text[i++];
            else if (quotes && text[i] == '"')
                quoted = !quoted;
            word.m_Text += text[i];
        }
        words.push_back(word);
    }
    return words;
}

bool IsAtom(const std::string& word)
{
    for (unsigned char c : word)
        if (!IsAsciiAlnum(c) && !IsIn(c, "!#$%&'*+-/=?^_`{|}~"))
            return false;
    return true;
}

// A word too long for a line of its own is encoded too, as encoded-words
// can be split; so is one a decoder would take for an encoded-word.
bool NeedsEncoding(const CWord& word, bool phrase)
{
    return HasHighByte(word.m_Text.c_str()) || word.m_Text.find("=?") != std::string::npos
        || word.m_Text.size() >= MAX_LINE || (phrase && !IsAtom(word.m_Text));
}

// Runs of words that need encoding become encoded-words; the white space
// around a run stays outside it, except at the start and end of the text.
void PutWords(CFoldedLine& line, const std::string& firstSpace, const std::string& text, bool phrase)
{
    const std::string charset = CharsetOf(text);
    std::string trailing;
    const std::vector<CWord> words = SplitWords(text, false, trailing);
    for (std::size_t i = 0; i < words.size();) {
        const std::string space = i == 0 ? firstSpace : words[i].m_Space;
        if (!NeedsEncoding(words[i], phrase)) {
            line.Put(i == 0 ? space + words[0].m_Space : space, words[i].m_Text);
            ++i;
            continue;
        }
        std::string run = (i == 0 ? words[0].m_Space : "") + words[i].m_Text;
        std::size_t j = i + 1;
        for (; j < words.size() && NeedsEncoding(words[j], phrase); ++j)
            run += words[j].m_Space + words[j].m_Text;
        if (j == words.size()) {
            run += trailing;
            trailing.clear();
        }
        PutEncoded(line, space, run, charset);
        i = j;
    }
    if (!trailing.empty())
        line.Append(trailing, "");
}

// The first c outside quoted strings, comments and angle brackets.
std::size_t FindTopLevel(const std::string& text, char c, std::size_t from)
{
    bool quoted = false;
    bool angle = false;
    int comment = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char here = text[i];
        if (quoted || comment) {
            if (here == '\\')
                ++i;
            else if (quoted && here == '"')
                quoted = false;
            else if (comment && here == '(')
                ++comment;
            else if (comment && here == ')')
                --comment;
            continue;
        }
        if (here == c && !angle)
            return i;
        if (here == '"')
            quoted = true;
        else if (here == '(')
            comment = 1;
        else if (here == '<')
            angle = true;
        else if (here == '>')
            angle = false;
    }
    return std::string::npos;
}

std::string Trimmed(const std::string& text)
{
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

// The display name a reader shows: quotes removed, escapes resolved.
std::string Unquoted(const std::string& phrase)
{
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < phrase.size(); ++i) {
        if (phrase[i] == '"')
            quoted = !quoted;
        else if (quoted && phrase[i] == '\\' && i + 1 < phrase.size())
            out += phrase[++i];
        else
            out += phrase[i];
    }
    return out;
}

// Only display names are encoded: an address, whatever it holds, is left as
// it is, and so is an entry without angle brackets.
void PutAddresses(CFoldedLine& line, const std::string& value)
{
    std::vector<std::string> entries;
    for (std::size_t pos = 0; pos <= value.size();) {
        const std::size_t comma = std::min(FindTopLevel(value, ',', pos), value.size());
        const std::string entry = Trimmed(value.substr(pos, comma - pos));
        if (!entry.empty())
            entries.push_back(entry);
        pos = comma + 1;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const std::string& entry = entries[k];
        const std::string space = k == 0 ? "" : " ";
        const std::string comma = k + 1 < entries.size() ? "," : "";
        const std::size_t open = FindTopLevel(entry, '<', 0);
        const std::string phrase = open == std::string::npos ? "" : Trimmed(entry.substr(0, open));
        if (phrase.empty()) {
            line.Put(space, entry.substr(open == std::string::npos ? 0 : open) + comma);
            continue;
        }
        if (HasHighByte(phrase.c_str())) {
            PutWords(line, space, Unquoted(phrase), true);
        } else {
            std::string trailing;
            const std::vector<CWord> words = SplitWords(phrase, true, trailing);
            for (std::size_t i = 0; i < words.size(); ++i)
                line.Put(i == 0 ? space : words[i].m_Space, words[i].m_Text);
        }
        line.Put(" ", entry.substr(open) + comma);
    }
}

std::string Unfolded(const std::string& value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value.compare(i, 2, "\r\n") == 0)
            ++i;
        else
            out += value[i] == '\r' || value[i] == '\n' ? ' ' : value[i];
    }
    return out;
}

bool IsAttributeChar(unsigned char c) { return IsAsciiAlnum(c) || IsIn(c, "!#$&+-.^_`|~"); }

void AppendPercent(std::string& out, std::string_view bytes)
{
    for (unsigned char c : bytes) {
        if (IsAttributeChar(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
}

}  // namespace

std::string EncodeHeaderValue(const char* name, const std::string& value)
{
    const FieldKind kind = KindOf(name);
    if (kind == FieldKind::STRUCTURED || !HasHighByte(value.c_str()))
        return value;
    CFoldedLine line(std::strlen(name) + 2);
    const std::string text = Unfolded(value);
    if (kind == FieldKind::ADDRESSES)
        PutAddresses(line, text);
    else
        PutWords(line, "", text, false);
    return line.Text();
}

std::string ExtendedParameter(const char* attribute, const char* value)
{
    const std::string text = value;
    const std::string start = CharsetOf(text) + "''";
    std::string whole = std::string(attribute) + "*=" + start;
    AppendPercent(whole, text);
    if (1 + whole.size() <= MAX_LINE)
        return ";\r\n\t" + whole;
    // Every line but the last ends in ';': each keeps room for it.
    std::string out;
    for (std::size_t pos = 0, n = 0; pos < text.size(); ++n) {
        std::string line = "\t" + std::string(attribute) + "*" + std::to_string(n) + "*=" + (n == 0 ? start : "");
        for (bool empty = true; pos < text.size(); empty = false) {
            const std::size_t unit = UnitLength(text, pos);
            std::string piece;
            AppendPercent(piece, std::string_view(text).substr(pos, unit));
            if (!empty && line.size() + piece.size() + 1 > MAX_LINE)
                break;
            line += piece;
            pos += unit;
        }
        out += ";\r\n" + line;
    }
    return out;
}
