// The exit codes of the agent's process, for main and the main loop. A
// detached daemon that ends before it serves passes its code on to the
// starting process.
#pragma once

#include "crypto/twofish.h"

enum class TExitCode : int {
    // Stopped by the server or by SIGTERM; also the starting process of
    // daemon mode once the detached one serves.
    Ok = 0,
    // A command-line error (after the help text), settings that cannot be
    // loaded, a pid file held by another agent, or an agent that cannot
    // serve as the account of its `user` setting ("Cannot serve as user
    // NAME: REASON").
    BadConfiguration = 1,
    // The daemon could not detach (fork failed).
    DetachFailed = 2,
    // A cipher self-check failed, or the cipher met a fatal error (the
    // cipher's own stop, Twofish_fatal, ends with this number too).
    CipherFailed = 3,
    // The listening socket could not be opened: at start-up, after a fatal
    // accept error, or when neither the new nor the previous port opens
    // after a port change.
    ListenFailed = 4,
};

constexpr int ExitStatus(TExitCode code) { return static_cast<int>(code); }
static_assert(ExitStatus(TExitCode::CipherFailed) == kTwofishFatalExit, "the cipher's own stop exits as CipherFailed");

// Every code, for the checks of the documentation.
inline constexpr TExitCode kAllExitCodes[] = {TExitCode::Ok, TExitCode::BadConfiguration, TExitCode::DetachFailed,
                                              TExitCode::CipherFailed, TExitCode::ListenFailed};
