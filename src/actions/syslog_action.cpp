#include "actions/syslog_action.h"

#include "actions/syslog_sender.h"
#include "net/exchange.h"
#include "protocol/params.h"

// Sends one syslog message over UDP. Parameters: 1 collector host, 2 port,
// 3 facility, 4 severity (0-7), 5 message (escaped).
void ProcessAct_Syslog(const VTRequest& params, ZELReply& reply) {
    String host = ParamText(params, 1);
    String text = ParamDecoded(params, 5, false);
    if (host.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    int port = 0, facility = 0, severity = 0;
    if (!ParamInt(params, 2, port, reply) || !ParamInt(params, 3, facility, reply) ||
        !ParamInt(params, 4, severity, reply))
        return;
    if (severity < 0 || severity > 7) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    String err;
    if (SendToSysLog(HostText(host), port, facility, severity, "QD ZEL", text, err)) {
        reply.SetResult(TResultCode::Ok, String("Syslog: Data to ") + host + " has been sent");
        return;
    }
    reply.SetResult(TResultCode::NotDone, err);
}
