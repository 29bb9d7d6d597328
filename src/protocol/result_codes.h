// The result codes that open every reply, with their meanings. Shared by the
// agent and its clients. Constant tables; thread-safe.
#pragma once

#include <string_view>

enum class TResultCode {
    Ok,            // "200" success
    Failed,        // "300" a management or upgrade operation failed
    NotDone,       // "301" a test, action or information request could not be carried out
    UpgradeBusy,   // "302" another self-upgrade is in progress
    NotSupported,  // "500" not understood, not applicable or not implemented here
    WrongParams,   // "501" wrong or missing parameters
    NoEndMark,     // "502" the end-of-transmission mark is missing
    NotAllowed,    // "600" not allowed by the agent's settings
};

struct TResultCodeInfo {
    TResultCode code;
    const char* digits;   // the three digits on the wire
    const char* meaning;  // a short explanation for people
};

// One row per code, in the order of the enumeration.
extern const TResultCodeInfo kResultCodes[8];

// The three digits of a code ("200" ...).
const char* ResultDigits(TResultCode code);
// The row of the code written as `digits`, or null for an unknown code.
const TResultCodeInfo* FindResultCode(std::string_view digits);
