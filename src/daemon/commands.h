// The command table: every command word of the protocol, its handler and
// its gate, the permission the settings must grant before the handler runs.
// Constant; thread-safe.
#pragma once

#include <netinet/in.h>

#include "config/settings.h"
#include "foundation/qdstring.h"
#include "net/address.h"
#include "protocol/handler.h"

enum class TGateKind {
    Open,     // never refused
    Test,     // a test switch: refused with "test is not allowed"
    Action,   // an action switch: refused with "operation is not allowed"
    AnyTest,  // a predicate over the test switches: refused as a test
    Manage,   // allowmanage and manageaddr: "Operation is not allowed"
    Upgrade,  // allowupdates and updateaddr: "Operation is not allowed"
};

struct TGate {
    TGateKind kind = TGateKind::Open;
    int TZELSettings::*sw = nullptr;              // Test and Action
    bool (*allows)(const TZELSettings&) = nullptr;  // AnyTest
};

struct TCommand {
    const char* word;  // compared exactly, case-sensitively
    THandler handler;  // null: the dispatcher's own upgrade start, which needs
                       // the session's upgrade record
    TGate gate;
};

extern const TCommand kCommandTable[];
extern const int kCommandCount;

// The row of the command word, or null for an unknown word.
const TCommand* FindCommand(const String& word);

// Null when the gate admits the request from `client`
// under the settings `s`; otherwise the text of the "600" refusal.
const char* GateRefusal(const TGate& gate, const TZELSettings& s, const TNetAddress& client);
