#include "transport/Envelope.h"

#include "quillant/Globals.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

std::vector<std::string> Split(const std::string& text, const char* separators)
{
    std::vector<std::string> words;
    std::size_t start = text.find_first_not_of(separators);
    while (start != std::string::npos) {
        const std::size_t end = text.find_first_of(separators, start);
        words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
    }
    return words;
}

// A CR or LF would end the command line early and start a command of its own.
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The part inside "<...>" (a missing ">" takes the rest), else the text.
std::string_view Inside(std::string_view text)
{
    const std::size_t open = text.find('<');
    if (open == std::string_view::npos)
        return text;
    text.remove_prefix(open + 1);
    return text.substr(0, text.find('>'));
}

void AppendEnvelopeAddress(std::string_view text, std::string& out)
{
    text = Inside(text);
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    out += '<';
    const std::size_t from = out.size();
    out.append(text.data(), text.size());
    for (const char lineEnd : {'\r', '\n'})
        for (std::size_t at = out.find(lineEnd, from); at != std::string::npos; at = out.find(lineEnd, at + 1))
            out[at] = ' ';
    out += '>';
}

}  // namespace

std::string EnvelopeAddress(const std::string& text)
{
    std::string address;
    AppendEnvelopeAddress(text, address);
    return address;
}

// One pass without a string per entry: ten thousand receivers are common.
void EachEnvelopeReceiver(const std::string& list, const std::function<void(const std::string&)>& take)
{
    std::string address;
    const auto give = [&](std::string_view text) {
        address.clear();
        AppendEnvelopeAddress(text, address);
        if (address != "<>")
            take(address);
    };
    const std::string_view all(list);
    for (std::size_t start = 0; start <= all.size();) {
        const std::size_t comma = std::min(all.find(',', start), all.size());
        const std::string_view entry = all.substr(start, comma - start);
        start = comma + 1;
        if (entry.find('<') != std::string_view::npos) {
            give(entry);
            continue;
        }
        for (std::size_t i = 0; i < entry.size();) {
            while (i < entry.size() && IsBlank(entry[i]))
                ++i;
            const std::size_t first = i;
            while (i < entry.size() && !IsBlank(entry[i]))
                ++i;
            if (i > first)
                give(entry.substr(first, i - first));
        }
    }
}

std::vector<std::string> EnvelopeReceivers(const std::string& list)
{
    std::vector<std::string> receivers;
    EachEnvelopeReceiver(list, [&](const std::string& address) { receivers.push_back(address); });
    return receivers;
}

// "(NULL)" is what the writer stores when a message had no sender at all.
std::string EnvelopeSender(const char* xSender)
{
    if (!xSender || std::strcmp(xSender, "(NULL)") == 0)
        return "<>";
    return EnvelopeAddress(xSender);
}

std::string FirstNewsgroup(const std::string& list)
{
    const std::vector<std::string> groups = Split(list, ", \t\r\n");
    return groups.empty() ? "" : groups.front();
}
