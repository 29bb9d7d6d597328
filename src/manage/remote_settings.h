// The settings requests of the monitoring server: read, change and reload
// the agent's settings. Each handler takes one settings snapshot; changes
// go through the settings store, which serialises them (see config/settings.h).
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// "GetSettings": the status lines followed by the logging, password and
// access settings, named and ordered by the settings table.
void GetAgentSettings(const VTRequest& params, ZELReply& reply);
// "SetSettings": name=value lines; the changes are saved to the
// configuration file ("200"), or "300" with the save's error text. A
// request with a value refused (see CheckRemoteChanges) or that would empty
// the password is refused whole ("300" naming the setting and the value,
// nothing applied or saved). Unknown names are skipped, each with a log
// line (SettingsWarning).
void SetAgentSettings(const VTRequest& params, ZELReply& reply);
// "ReloadCfg": reads the configuration file again; "200" "Ok" (and one log
// line per problem of the address lists), or "300" with the load's error
// text (the settings in force then stay).
void ReloadAgentSettings(const VTRequest& params, ZELReply& reply);
