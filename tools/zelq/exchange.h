// One request/reply exchange with an agent over TCP.
#pragma once

#include <string>
#include <string_view>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

enum class TExchangeOutcome {
    Reply,      // a whole reply packet arrived
    NoReply,    // the agent closed (or reset) the connection without a whole reply
    Failed,     // could not connect, timed out, or a local failure
};

struct TExchangeResult {
    TExchangeOutcome outcome = TExchangeOutcome::Failed;
    String packet;      // the reply packet (length field included) for Reply
    std::string error;  // what went wrong otherwise
    bool timedOut = false;  // Failed because a time-out passed
};

// Connects to host:port, sends the request packet and reads one reply
// packet. timeoutMs bounds the connect, and separately the sending and
// the arrival of the whole reply.
TExchangeResult ExchangeRequest(const std::string& host, int port, int timeoutMs, const String& packet);

// The same, keeping the connection open in `conn` for more (an upgrade
// sends the executable after the first reply).
TExchangeResult ExchangeOpen(const std::string& host, int port, int timeoutMs, const String& packet, TFd& conn);
// Sends data on an open connection and reads one more reply packet; where
// names the agent in error texts.
TExchangeResult ExchangeMore(TFd& conn, const std::string& where, int timeoutMs, std::string_view data);

// A fresh session key: 16 random bytes from getrandom, as 32 hex digits.
bool NewSessionKey(String& key, std::string& err);

// One whole exchange as zelq makes it: a fresh session key, the request
// packet, the reply deciphered. Reply: text holds the reply text. NoReply
// also covers a reply that cannot be deciphered. Thread-safe: fleets call
// it from several threads at once, each exchange with its own key.
struct TAskResult {
    TExchangeOutcome outcome = TExchangeOutcome::Failed;
    bool timedOut = false;
    String text;
    std::string error;
};
TAskResult AskAgent(const std::string& host, int port, int timeoutMs, const String& password,
                    const String& requestText);
