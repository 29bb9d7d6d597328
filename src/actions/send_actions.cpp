#include "actions/send_actions.h"

#include "actions/send_data.h"
#include "protocol/params.h"

// Sends one or two pieces of data to a host over TCP ("0") or UDP (any
// other protocol text) and answers once the first has been sent.
// Parameters: 1 host, 2 port, 3 protocol, 4 first data (escaped), 5 pause
// in seconds before the second data (at most the bound of the action's
// steps, 120: "501" beyond it), 6 second data (escaped, may be empty).
void ProcessAct_TCPSend(const VTRequest& params, ZELReply& reply) {
    TSendPlan plan;
    plan.host = ParamText(params, 1);
    plan.first = ParamDecoded(params, 4, false);
    plan.second = ParamDecoded(params, 6, false);
    plan.tcp = ParamText(params, 3) == "0";
    if (plan.host.IsEmpty() || plan.first.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    if (!ParamInt(params, 2, plan.port, reply)) return;
    if (!ParamInt(params, 5, plan.pauseSec, reply)) return;
    // The pause stays within the bound of the action's steps.
    if (plan.pauseSec > kSendActionBoundMs / 1000) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }

    String err;
    if (!SendDataOneWay(plan, kSendActionBoundMs, err)) {
        reply.SetResult(TResultCode::NotDone, err);
        return;
    }
    reply.SetResult(TResultCode::Ok, "Data has been sent");
}
