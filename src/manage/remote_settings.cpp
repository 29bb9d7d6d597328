#include "manage/remote_settings.h"

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "manage/remote_changes.h"
#include "manage/status.h"

void GetAgentSettings(const VTRequest&, ZELReply& reply) {
    auto s = ZELSettings.Get();
    AddStatusLines(reply, *s);
    std::vector<const TZELSettingsKey*> listed;
    for (int i = 0; i < kSettingsKeyCount; ++i)
        if (kSettingsKeys[i].listed > 0) listed.push_back(&kSettingsKeys[i]);
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

namespace {

// Names of other agent versions are skipped, but each is worth a log line.
void ReportUnknownNames(const TRemoteChanges& changes) {
    for (const String& name : changes.unknown)
        SettingsWarning(String("SetSettings: unknown setting name '") + name + "' skipped");
    if (changes.unknownCount > static_cast<int>(changes.unknown.size()))
        SettingsWarning(String("SetSettings: ") +
                        std::to_string(changes.unknownCount - static_cast<int>(changes.unknown.size())).c_str() +
                        " more unknown setting names skipped");
}

}  // namespace

void SetAgentSettings(const VTRequest& params, ZELReply& reply) {
    // Read, decoded and checked before the settings lock: the lock is held
    // only to apply a few dozen values and rewrite the file.
    TRemoteChanges changes = ParseRemoteChanges(params.View());
    ReportUnknownNames(changes);
    String err;
    if (!CheckRemoteChanges(changes, err)) {  // the whole request is refused
        reply.SetResult(TResultCode::Failed, err);
        return;
    }
    // A file this process may not rewrite (an agent serving as a user of
    // its own) refuses the whole change: nothing is applied.
    if (!CheckConfigWritable(ZELSettings.Get()->cfgfile, err)) {
        reply.SetResult(TResultCode::Failed, err);
        return;
    }
    auto apply = [&changes](TZELSettings& s) { ApplyRemoteChanges(changes, s); };
    if (ZELSettings.ModifyAndSave(apply, err)) reply.SetResult(TResultCode::Ok);
    else reply.SetResult(TResultCode::Failed, err);
}

void ReloadAgentSettings(const VTRequest&, ZELReply& reply) {
    String err;
    if (ZELSettings.LoadOptions(err)) {
        ReportAddressProblems(*ZELSettings.Get());
        reply.SetResult(TResultCode::Ok, "Ok");
    } else {
        reply.SetResult(TResultCode::Failed, err);
    }
}
