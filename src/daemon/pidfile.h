// The pid file of a daemon: created, locked for the life of the process and
// removed at every planned exit.
//
// Not thread-safe: main and the main loop (main thread) own the one object
// of the process; it owns its descriptor and removes its file on Close or
// destruction.
#pragma once

#include <string>

#include "foundation/fd.h"

class TPidFile {
public:
    TPidFile() = default;
    TPidFile(const TPidFile&) = delete;
    TPidFile& operator=(const TPidFile&) = delete;
    ~TPidFile() { Close(); }

    // Creates (or reuses) the file, takes an exclusive lock on it and writes
    // the process id. On failure returns false with the message to issue;
    // HeldByAnother() then tells whether another process holds the lock (an
    // agent already running with this pid file: this one must not serve).
    bool Create(const std::string& path, std::string& message);
    bool HeldByAnother() const { return heldByAnother_; }
    // Releases the lock and deletes the file (empties it when it cannot be
    // deleted); harmless when none is open.
    void Close();
    bool IsOpen() const { return fd_.Valid(); }

private:
    TFd fd_;
    std::string path_;
    bool heldByAnother_ = false;
};
