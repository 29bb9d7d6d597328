// Temporary files that nobody else can reach by name: an unnamed file for a
// child's output, and a file under a random, exclusively created name for a
// script that has to be run by its path. Both live in the process-wide
// temporary directory (tempdir.h; "" = the current directory).
// Thread-safe; nothing throws.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// A new, empty file with no name at all (O_TMPFILE; where the file system
// cannot do that, created under a random name with O_EXCL and unlinked at
// once), open for reading and writing, close-on-exec, mode 0600. It goes
// away with its last descriptor. false with err on failure.
bool OpenUnnamedTempFile(TFd& out, String& err);

// A file created exclusively (never through a link) under a random name
// "<dir>/<stem>XXXXXX", open for writing, close-on-exec, then given the
// permission bits mode. The owner removes the name on destruction.
class TPrivateTempFile {
public:
    TPrivateTempFile() = default;
    ~TPrivateTempFile() { Remove(); }
    TPrivateTempFile(const TPrivateTempFile&) = delete;
    TPrivateTempFile& operator=(const TPrivateTempFile&) = delete;

    // false with err: nameErr true when no name could be formed (the path
    // would be too long), false when creating or setting the mode failed.
    bool Create(const char* stem, int mode, String& err, bool& nameErr, bool& modeErr);
    // Writes all of data; false on a short or failed write.
    bool Write(const String& data);
    // Closes the descriptor (a program cannot be executed while a writer
    // holds it open); false when the close reported an error.
    bool CloseFd() { return fd_.Close(); }
    const String& Name() const { return name_; }
    // Removes the name (if any) now.
    void Remove();

private:
    TFd fd_;
    String name_;
};
