// The agent's identity and connection counters, and the status and settings
// requests of the monitoring server.
#pragma once

#include <atomic>

#include "protocol/reply.h"
#include "protocol/request.h"

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
void GetAgentStatus(const VTRequest& req, ZELReply& reply);
// "GetSettings": the status followed by the logging, password and access settings.
void GetAgentSettings(const VTRequest& req, ZELReply& reply);
// "SetSettings": name=value lines; the changes are saved to the configuration file.
void SetAgentSettings(const VTRequest& req, ZELReply& reply);
