#include "zelq/show.h"

#include <cerrno>
#include <cstdio>

#include "foundation/io.h"
#include "protocol/client.h"
#include "zelq/help.h"
#include "zelq/output.h"

int ShowExchange(const TExchangeResult& ex, const String& sessionKey, const TZelqOptions& opts,
                 const char* noReplyText) {
    if (ex.outcome == TExchangeOutcome::Failed) return Complain(kExitNoConnect, ex.error);
    if (ex.outcome == TExchangeOutcome::NoReply) {
        Print(stderr, NoReplyMessage(noReplyText, ex.error) + "\n");
        return kExitNoReply;
    }
    String text;
    String decodeErr;
    if (!DecodeReplyPacket(ex.packet, sessionKey, text, decodeErr))
        return Complain(kExitNoReply, "invalid reply: " + decodeErr.Std());
    const TReplyLines reply = SplitReply(text);
    switch (opts.format) {
        case TZelqFormat::Raw: Print(stdout, text.Std()); break;
        case TZelqFormat::Json: Print(stdout, FormatJson(reply, opts.command)); break;
        case TZelqFormat::Decoded: Print(stdout, FormatDecoded(reply, IsAlignedCommand(opts.command))); break;
    }
    if (std::fflush(stdout) != 0) return Complain(kExitNoConnect, "cannot write the output: " + ErrnoText(errno).Std());
    if (reply.code == "501") {
        const std::string hint = MissingParamsHint(opts.command, opts.params.size());
        if (!hint.empty()) Complain(0, hint);
    }
    return ExitStatusForCode(reply.code);
}
