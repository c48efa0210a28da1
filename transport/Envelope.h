// Envelope addresses and news groups taken from the receiver list and the
// sender header, in the protocol's own syntax.
#pragma once

#include <functional>
#include <string>
#include <vector>

// "<address>" for one receiver or sender text: the part inside "<...>" when
// there is one (a missing ">" takes the rest), else the text itself.
std::string EnvelopeAddress(const std::string& text);

// The envelope receivers of a receiver list, each "<address>": entries are
// separated by ","; an entry holding "<" gives the one address inside the
// brackets, any other entry gives each of its blank-separated words. Empty
// addresses are dropped.
std::vector<std::string> EnvelopeReceivers(const std::string& list);
void EachEnvelopeReceiver(const std::string& list, const std::function<void(const std::string&)>& take);

// The reverse path for MAIL FROM: the sender's "<address>", or the null path
// "<>" when the message has no usable sender.
std::string EnvelopeSender(const char* xSender);

// The first newsgroup of a receiver list (its first word), or "".
std::string FirstNewsgroup(const std::string& list);
