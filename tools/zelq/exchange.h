// One request/reply exchange with an agent over TCP.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "foundation/qdstring.h"
#include "net/resolve.h"

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

// Resolves host to its addresses (IPv4 and IPv6, in the resolver's order,
// port 0) within timeoutMs: the system's resolver knows no time-out, so it
// runs on a helper thread that is left behind when the time is up (its
// answer is then dropped). A dotted IPv4 address or an IPv6 literal (with
// or without brackets) takes no lookup. false with timedOut set when the
// time passed (or at once while 64 look-ups given up earlier still wait for
// the resolver, so threads cannot pile up), with the resolver's text
// otherwise. Thread-safe.
bool ResolveWithin(const std::string& host, int timeoutMs, std::vector<TSockAddr>& addrs, bool& timedOut,
                   std::string& err);

// The resolver ResolveWithin calls (ResolveHostAddrs of net/resolve.h by
// default). Tests put one in that answers without the network; an empty
// function restores the default. Set it while no exchange runs; a resolver
// still running on a helper thread keeps the one it was given.
using TZelqResolver = std::function<bool(const std::string& host, std::vector<TSockAddr>& addrs, std::string& err)>;
void SetZelqResolver(TZelqResolver resolver);

// "host:port", or "[host]:port" for an IPv6 address: how error texts name
// an agent.
std::string AgentPlace(const std::string& host, int port);

// Connects to host:port, sends the request packet and reads one reply
// packet. A name's addresses are tried in the resolver's order, each with
// its share of the time left (net/sockets.h ConnectFirst). timeoutMs
// bounds the name resolution and the connect together,
// and separately the sending and the arrival of the whole reply; runEnd,
// when set, bounds them all as well (each stage ends by then at the
// latest, reported as a time-out).
TExchangeResult ExchangeRequest(const std::string& host, int port, int timeoutMs, const String& packet,
                                const TDeadline& runEnd = TDeadline::Never());

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
                    const String& requestText, const TDeadline& runEnd = TDeadline::Never());
