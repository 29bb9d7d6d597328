#include "manage/remote_settings.h"

#include <algorithm>
#include <vector>

#include "config/settings.h"
#include "manage/status.h"
#include "protocol/codecs.h"

namespace {

// Applies one remote "name=value" to s; unknown names change nothing.
void ApplyRemoteValue(TZELSettings& s, const String& name, const String& value) {
    if (const TZELSettingsKey* k = FindRemoteSettingsKey(name.View())) {
        switch (k->type) {
        case TZELKeyType::Integer: s.*(k->number) = zelDecodeInt(value); break;
        case TZELKeyType::Flag: s.*(k->number) = zelDecodeBool(value) ? 1 : 0; break;
        case TZELKeyType::FilterList: s.*(k->text) = zelDecodeStrings(value); break;
        case TZELKeyType::Text: s.*(k->text) = value; break;
        }
        return;
    }
    for (const TZELSwitch& w : ZELSwitches)
        if (w.remoteName != nullptr && name == w.remoteName) s.*(w.field) = zelDecodeBool(value) ? 1 : 0;
}

}  // namespace

void GetAgentSettings(const VTRequest&, ZELReply& reply) {
    auto s = ZELSettings.Get();
    AddStatusLines(reply, *s);
    std::vector<const TZELSettingsKey*> listed;
    for (int i = 0; i < ZELSettingsKeyCount; ++i)
        if (ZELSettingsKeys[i].listed > 0) listed.push_back(&ZELSettingsKeys[i]);
    std::sort(listed.begin(), listed.end(),
              [](const TZELSettingsKey* a, const TZELSettingsKey* b) { return a->listed < b->listed; });
    for (const TZELSettingsKey* k : listed) {
        String line = String(k->remote) + "=";
        switch (k->type) {
        case TZELKeyType::Flag: line += (s.get()->*(k->number)) ? "1" : "0"; break;
        case TZELKeyType::Integer: line += String(std::to_string(s.get()->*(k->number)).c_str()); break;
        case TZELKeyType::Text:
        case TZELKeyType::FilterList: line += s.get()->*(k->text); break;
        }
        reply.AddStringParam(line, k->type == TZELKeyType::FilterList);
    }
}

void SetAgentSettings(const VTRequest& params, ZELReply& reply) {
    auto apply = [&params](TZELSettings& s) {
        int count = params.GetParamsCount();
        for (int i = 1; i <= count; ++i) {
            String line = params.GetParam(i, true);
            int eq = line.Pos('=');
            if (eq == 0) continue;
            String name = line.Copy(1, eq - 1);
            String value = line.Copy(eq + 1, line.Length());
            name.TrimAscii();
            value.TrimAscii();
            ApplyRemoteValue(s, name, value);
        }
    };
    String err;
    if (ZELSettings.ModifyAndSave(apply, err)) reply.SetResult(TResultCode::Ok);
    else reply.SetResult(TResultCode::Failed, err);
}

void ReloadAgentSettings(const VTRequest&, ZELReply& reply) {
    String err;
    if (ZELSettings.LoadOptions(err)) reply.SetResult(TResultCode::Ok, "Ok");
    else reply.SetResult(TResultCode::Failed, err);
}
