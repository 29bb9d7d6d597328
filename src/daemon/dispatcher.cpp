#include "daemon/dispatcher.h"

#include "config/settings.h"
#include "daemon/commands.h"
#include "daemon/messages.h"
#include "daemon/upgrade.h"

int ProcessVTRequest(VTRequest& request, ZELReply& reply, TZELFlags&, ThreadParams params,
                     UpgradeRec& upgrade) {
    if (!request.HasEndMark()) {
        showmessage("EndOfTransmission signal missed\n", params.Address, MSG_ERROR, 0);
        reply.SetResult(TResultCode::NoEndMark, "EndOfTransmission signal missed");
        return 0;
    }
    String word;
    VTRequest parameters;
    request.SplitCommand(word, parameters);
    if (word.IsEmpty()) {
        showmessage("Void request received\n", params.Address, MSG_ERROR, 0);
        reply.SetResult(TResultCode::NotSupported, "Void request received");
        return 0;
    }
    const TCommand* command = FindCommand(word);
    if (command == nullptr) {
        showmessage("Unknown command \"%s\"\n", params.Address, MSG_ERROR, 1, word.Data());
        reply.SetResult(TResultCode::NotSupported, String("Unknown command \"") + word + "\"");
        return 0;
    }
    if (const char* refusal = GateRefusal(command->gate, *ZELSettings.Get(), params.Address)) {
        reply.SetResult(TResultCode::NotAllowed, refusal);
        return 1;
    }
    if (command->handler == nullptr) ProcessUpgradeCode(request, parameters, reply, upgrade);
    else command->handler(parameters, reply);
    return 1;
}
