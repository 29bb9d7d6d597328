#include "daemon/dispatcher.h"

#include "config/settings.h"
#include "daemon/audit.h"
#include "daemon/commands.h"
#include "daemon/messages.h"
#include "daemon/upgrade.h"
#include "manage/remote_settings.h"

namespace {

// Runs a handler that changes or reloads the settings, and records what it did.
void RunAudited(const TCommand& command, const VTRequest& parameters, ZELReply& reply, const TNetAddress& client) {
    auto before = ZELSettings.Get();
    command.handler(parameters, reply);
    const String code = reply.ResultCode();
    if (command.handler == ReloadAgentSettings) {
        if (code == "200") {
            showmessage("Configuration reloaded\n", client, MSG_AUDIT, 0);
        } else {
            // The reply's text after the code: the load's error.
            String why = reply.Length() > 4 ? reply.Copy(5, reply.Length() - 4) : String();
            showmessage("Configuration reload failed, the settings in force are kept: %s\n", client, MSG_AUDIT, 1,
                        why.Data());
        }
        return;
    }
    // SetSettings: the names whose values changed, never a value.
    const String names = ChangedSettingNames(*before, *ZELSettings.Get());
    if (code == "200")
        showmessage("Settings changed remotely: %s\n", client, MSG_AUDIT, 1, names.IsEmpty() ? "none" : names.Data());
    else if (!names.IsEmpty())
        showmessage("Settings changed remotely, but not saved (%s): %s\n", client, MSG_AUDIT, 1, code.Data(),
                    names.Data());
    else
        showmessage("Settings change refused (%s), nothing changed\n", client, MSG_AUDIT, 1, code.Data());
}

}  // namespace

bool ProcessVTRequest(VTRequest& request, ZELReply& reply, TZELFlags&, ThreadParams params,
                      UpgradeRec& upgrade, const char** word) {
    if (word != nullptr) *word = nullptr;
    if (!request.HasEndMark()) {
        showmessage("EndOfTransmission signal missed\n", params.Address, MSG_ERROR, 0);
        reply.SetResult(TResultCode::NoEndMark, "EndOfTransmission signal missed");
        return false;
    }
    String commandWord;
    VTRequest parameters;
    request.SplitCommand(commandWord, parameters);
    if (commandWord.IsEmpty()) {
        showmessage("Void request received\n", params.Address, MSG_ERROR, 0);
        reply.SetResult(TResultCode::NotSupported, "Void request received");
        return false;
    }
    const TCommand* command = FindCommand(commandWord);
    if (command == nullptr) {
        showmessage("Unknown command \"%s\"\n", params.Address, MSG_ERROR, 1, commandWord.Data());
        reply.SetResult(TResultCode::NotSupported, String("Unknown command \"") + commandWord + "\"");
        return false;
    }
    if (word != nullptr) *word = command->word;
    if (const char* refusal = GateRefusal(command->gate, *ZELSettings.Get(), params.Address)) {
        reply.SetResult(TResultCode::NotAllowed, refusal);
        String text("Request \"");
        text += command->word;
        text += "\" refused: ";
        text += refusal;
        text += " (600)";
        AuditRefusal(TRefusal::Gate, params.Address, text, command);
        return true;
    }
    if (command->handler == nullptr) {
        ProcessUpgradeCode(request, parameters, reply, upgrade);
        // Refused before any byte of the image: the reply's text after the code.
        if (reply.ResultCode() == "300") {
            const String why = reply.Length() > 4 ? reply.Copy(5, reply.Length() - 4) : String();
            showmessage("%s\n", params.Address, MSG_AUDIT, 1, UpgradeRefusalLine(why).Data());
        }
    } else if (command->handler == SetAgentSettings || command->handler == ReloadAgentSettings)
        RunAudited(*command, parameters, reply, params.Address);
    else command->handler(parameters, reply);
    return true;
}
