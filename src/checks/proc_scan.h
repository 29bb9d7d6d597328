// Reading /proc for the built-in process answers (no child process): the
// number of processes with a given name and the process list. Each call
// makes one pass over /proc and tolerates processes that end during it.
// Thread-safe: no shared state; each call owns its descriptors and buffers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/qdstring.h"

// Matching a process by name, as the shipped proccount.sh does. The command
// name (/proc/PID/comm up to its first line feed, blanks and tabs around
// it removed) must equal the name; the kernel keeps only its first 15
// bytes, so for a longer name the first 15 bytes must equal it and the base
// name of the program must equal the whole name: the first word of the
// command line, or, for a script started through its "#!" line, the
// script's path that follows the interpreter (the second word, or the third
// when the second is an option of the interpreter). `args` is the command
// line as the kernel keeps it (words ended by NUL bytes).
inline constexpr size_t kCommLength = 15;
bool CommMatches(std::string_view comm, std::string_view name);
bool CommandLineMatches(std::string_view args, std::string_view name);

// Counts the processes named `name` (not empty). False with err when /proc
// cannot be read.
bool CountProcesses(std::string_view name, int& count, String& err);

// Appends text to out with every control byte (0x00-0x1F, 0x7F) written as
// \xNN (two lower-case hex digits) and every backslash as \\, so a listed
// name or command line stays on its line and reads back unambiguously.
void AppendEscaped(std::string_view text, std::string& out);

// The columns of one listed process, as proclist.sh prints them:
// "%-7s %-12s %-15s %s" of pid, user, command name and command line (the
// words separated by blanks, one trailing blank removed; "[name]" when the
// command line is empty), name and command line escaped as above.
std::string ProcessLine(std::string_view pid, std::string_view user, std::string_view comm,
                        std::string_view cmdline);

// The process list: a header line, then one line per process, each line cut
// into pieces of at most 511 bytes, every piece followed by CR LF (as the
// lines of a list script's output are read). At most maxBytes bytes of lines
// are taken, the rest of the list is left out, so memory stays bounded
// however many processes run. User names come from /etc/passwd (the first
// entry with the real user id), else the number. False with err when /proc
// cannot be read.
inline constexpr int64_t kMaxProcessListBytes = 16 * 1024 * 1024;
bool ListProcesses(String& list, String& err, int64_t maxBytes = kMaxProcessListBytes);
