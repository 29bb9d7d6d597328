// Printing the outcome of one exchange the way zelq prints replies.
#pragma once

#include "foundation/qdstring.h"
#include "zelq/exchange.h"
#include "zelq/options.h"

// Prints the reply of `ex` (deciphered with sessionKey) in opts.format on
// standard output, or the failure on standard error (noReplyText for an
// agent that closed without a reply). Returns zelq's exit status for it.
int ShowExchange(const TExchangeResult& ex, const String& sessionKey, const TZelqOptions& opts,
                 const char* noReplyText);
