// Child processes: running a program for the agent without a shell.
//
// A command line is split into arguments here (SplitCommandLine) and the
// program is started directly, found along PATH like execvp does (a file
// without "#!" runs under /bin/sh, as execvp runs it). Every child:
//   - starts a new session before it executes anything, so its process
//     group is its own and a time limit kills the whole group;
//   - gets its standard streams from descriptors the caller owns (or
//     /dev/null), every other descriptor of the agent closed;
//   - starts with every signal at its default disposition and an empty
//     signal mask (the agent ignores SIGPIPE; its children must not);
//   - is always reaped: by the call that waits for it, or, when it outlives
//     a start-only look or a kill, by one process-wide reaper thread that
//     holds its process descriptor. Nothing here ever waits for "any child",
//     so other code's children are never taken.
// A failed exec is reported through a close-on-exec pipe; no file is named
// or created. Time limits run on the monotonic clock.
//
// Thread-safety: every function may be called from any number of threads at
// once. Nothing here throws.
#pragma once

#include <cstdint>

#include "foundation/qdstring.h"

// ---- Command lines ------------------------------------------------------

inline constexpr int kMaxChildArgs = 23;        // arguments after splitting
inline constexpr int kChildArgBufferSize = 1024; // all texts + their NULs

// Splits a command line (up to its first NUL byte) into arguments:
//   - blanks and tabs separate arguments; a run of them makes no argument;
//   - an argument that begins with " or ' runs to the next occurrence of the
//     same quote (or to the end); the quotes are removed, nothing escapes
//     anything, and scanning resumes right after the closing quote ('' is
//     an empty argument);
//   - at most kMaxChildArgs arguments are kept; splitting stops before the
//     first argument whose text and NUL no longer fit, with the others, in
//     kChildArgBufferSize bytes.
// The first argument is the program.
TStrList SplitCommandLine(const char* line);

// ---- Running a child ----------------------------------------------------

enum class TChildWait {
    StartOnly,  // look once, up to 1 s; a child still running keeps running
    UntilEnd,   // wait however long it takes
    Deadline,   // kill its process group killAfterMs after the start
};

struct TChildOptions {
    // Working directory; null or "" = the agent's. A directory that cannot
    // be entered is ignored (the child runs in the agent's directory).
    const char* workDir = nullptr;
    // Descriptors for the child's 0, 1, 2 and 3, owned by the caller (they
    // stay open in the agent). -1 means /dev/null for 0 to 2 and "closed"
    // for 3. The same descriptor may be given for several of them.
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    int fd3 = -1;
    TChildWait wait = TChildWait::UntilEnd;
    int64_t killAfterMs = 0;  // Deadline only; <= 0 kills at once
    // The child's environment (null-terminated, owned by the caller);
    // null = the agent's own.
    char* const* envp = nullptr;
    // Above 0: the largest file the child and its descendants may write
    // (RLIMIT_FSIZE, soft and hard, at most the agent's own hard limit). A
    // write beyond it raises SIGXFSZ, which ends the writer; the file keeps
    // exactly this many bytes.
    int64_t maxFileBytes = 0;
};

struct TChildStatus {
    enum TKind {
        NotStarted,  // no child: pipe, /dev/null or fork failed (error = errno)
        ExecFailed,  // the program could not be executed (error = errno)
        Running,     // StartOnly: still running after the look
        Exited,      // ended by itself; exitCode = status 0..255
        Signaled,    // ended by a signal (also the kill of a time limit)
        KillFailed,  // the time limit passed and the kill was refused
    };
    TKind kind = NotStarted;
    int exitCode = 0;
    int signal = 0;       // Signaled
    int error = 0;        // NotStarted, ExecFailed, KillFailed
    bool timedOut = false;  // the time limit passed (Signaled or KillFailed)
};

// Starts args[0] with args as its argument vector and waits as opt says.
// An empty args fails without forking (ExecFailed, ENOENT). A child that
// ends by itself may leave background processes of its own running; only a
// time limit kills the group.
TChildStatus RunChild(const TStrList& args, const TChildOptions& opt);

// ---- The classic interface ------------------------------------------------

// Time limits in milliseconds for RunProgram and RunProgramWithFiles.
inline constexpr int kChildNoWait = -1;   // start, look once for 1 s, return
inline constexpr int kChildNoLimit = 0;   // wait until the program ends
// Any other value L: the group is killed (L / 1000 + 1) seconds after the
// start (a negative L: at once).

// Sets opt.wait and opt.killAfterMs for a time limit in these terms.
void SetChildTimeLimit(TChildOptions& opt, int timeLimitMs);

// Runs the command line (split by SplitCommandLine) with standard input,
// output and error on the named files (null = /dev/null; an input file that
// cannot be opened reads as /dev/null, an output file that cannot be opened
// as /dev/null; output files are created or truncated, and one name given
// for both output and error is opened once, so the two streams share one
// offset). The names are opened as given, following links: pass only names
// the agent controls, or use RunChild with descriptors. workDir as in
// TChildOptions.
// Returns true when the program ran (exitCode = its exit status; with
// kChildNoWait also when it is still running, exitCode = 0, or when it was
// ended by a signal within the look), false with err set to one of:
//   "fork error", "cannot terminate process", "abnormal termination",
//   "exec error: <system text>" ("exec error" alone with kChildNoWait).
// An empty command line gives "exec error: No such file or directory".
bool RunProgramWithFiles(const char* cmdline, const char* workDir, const char* inFile, const char* outFile,
                         const char* errFile, int timeLimitMs, int& exitCode, String& err);
// RunProgramWithFiles with all three streams on /dev/null.
bool RunProgram(const char* cmdline, const char* workDir, int timeLimitMs, int& exitCode, String& err);

// The outcome RunProgramWithFiles gives for a status: true for a program
// that ran (exitCode set), false with its text in err.
bool ChildStatusText(const TChildStatus& st, bool startOnly, int& exitCode, String& err);
