// The agent's identity and connection counters, and the status request of
// the monitoring server.
#pragma once

#include <atomic>

#include "config/settings.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// The identity texts are constants; the counters are atomics that the
// listener and the sessions update and any thread may read.
struct TAgentStatus {
    const char* signature = "QdVtZLStRec";
    int version = 1;
    const char* AgentName = "QD Zelmark";
    const char* AgentPlatform = "Linux (Red Hat, Mandrake, SuSE)";
    const char* AgentVersion = "1.29";
    const char* AgentDeveloper = "The zel developers";
    int Service = 0;
    int Active = 0;
    std::atomic<int> ActiveConnections{0};
    std::atomic<int> OpenedConnections{0};
    std::atomic<int> FailedConnections{0};
};

extern TAgentStatus AgentStatus;

// "GetInfo": identity, counters, tests and actions offered and enabled, host.
void GetAgentStatus(const VTRequest& params, ZELReply& reply);

// The status lines of "GetInfo" (result "200" first) for the settings `s`;
// the settings request starts with them too.
void AddStatusLines(ZELReply& reply, const TZELSettings& s);
