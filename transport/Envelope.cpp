#include "transport/Envelope.h"

#include "quillant/Globals.h"

#include <cstring>

namespace {

// A CR or LF would end the command line early and start a command of its own.
const char BLANKS[] = " \t\r\n";

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

std::string Inside(const std::string& text)
{
    const std::size_t open = text.find('<');
    if (open == std::string::npos)
        return text;
    const std::size_t close = text.find('>', open + 1);
    return text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

std::string Trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

}  // namespace

std::string EnvelopeAddress(const std::string& text)
{
    return "<" + Trimmed(WithoutLineBreaks(Inside(text))) + ">";
}

std::vector<std::string> EnvelopeReceivers(const std::string& list)
{
    std::vector<std::string> receivers;
    for (const std::string& entry : Split(list, ",")) {
        const std::vector<std::string> words =
            entry.find('<') != std::string::npos ? std::vector<std::string>{entry} : Split(entry, BLANKS);
        for (const std::string& word : words) {
            const std::string address = EnvelopeAddress(word);
            if (address != "<>")
                receivers.push_back(address);
        }
    }
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
