#include "protocol/command_reference.h"

namespace {

using G = TCommandGroup;
using V = TValueType;

// Replies many commands share.
constexpr TResultRef kTestOff{"600", "test is not allowed (the command's switch is off)"};
constexpr TResultRef kActionOff{"600", "operation is not allowed (the action's switch is off)"};
constexpr TResultRef kManageOff{"600", "Operation is not allowed (allowmanage is off or the address is not in manageaddr)"};
constexpr TResultRef kNotHere[] = {{"500", "Not applicable for UNIX/Linux"}};
constexpr TResultRef kNotYet[] = {{"500", "not implemented yet"}};
// The port of a probe or a send: a number beyond 0-65535 is no address.
constexpr const char kPortRange[] = "1 to 65535; a number beyond 0 to 65535 is answered 301 \"Invalid argument\"";

constexpr TParamRef kNoParams[1] = {};
constexpr std::span<const TParamRef> kNone{kNoParams, 0};
constexpr TValueRef kNoValues[1] = {};
constexpr std::span<const TValueRef> kNothing{kNoValues, 0};

// --- TEST-UNC
constexpr TParamRef kUncParams[] = {
    {1, "PATH", "a path on the volume to measure (one trailing backslash is dropped)", "", "an existing path"},
};
constexpr TValueRef kUncValues[] = {
    {"total", V::Int64, "B", "the size of the volume"},
    {"free", V::Int64, "B", "the free space, the reserved blocks included"},
    {"available", V::Int64, "B", "the space available to unprivileged users (what df shows as available)"},
};
constexpr TValueRef kUncFail[] = {
    {"error", V::Escaped, "", "the system's description of the error"},
};
constexpr TResultRef kUncResults[] = {
    {"200", "total, free and available bytes"},
    {"301", "the system's error text, as a value"},
    {"501", "Path not specified"},
    kTestOff,
};

// --- TEST-FolderSize
constexpr TParamRef kFolderSizeParams[] = {
    {1, "PATH", "a folder, a file or a wildcard pattern (*.log) whose matching files are summed", "", ""},
    {2, "RECURSE", "1: add the sub-folders (with the same pattern)", "0", "1 or 0"},
    {8, "MACROS", "1: replace %newestfile%, %oldestfile%, %newestfolder% and %oldestfolder% in PATH", "0", "1 or 0"},
};
constexpr TValueRef kSizeValue[] = {
    {"size", V::Int64, "B", "the total size of the matching files"},
};
constexpr TResultRef kFolderSizeResults[] = {
    {"200", "the size"},
    {"301", "Folder/File doesn`t exist or access denied"},
    kTestOff,
};

// --- TEST-FileExists
constexpr TParamRef kFileExistsParams[] = {
    {1, "PATH", "the file or folder; a wildcard pattern takes the first match", "", ""},
    {7, "MACROS", "1: replace %newestfile%, %oldestfile%, %newestfolder% and %oldestfolder% in PATH", "0", "1 or 0"},
};
constexpr TValueRef kFileExistsValues[] = {
    {"size", V::Int64, "B", "the size"},
    {"changed", V::Time, "", "the status-change time (ctime)"},
    {"modified", V::Time, "", "the modification time (mtime)"},
    {"path", V::Escaped, "", "the path examined (the match of a pattern)"},
    {"age_unit", V::Text, "", "the unit of the next value, always min"},
    {"age", V::Int, "min", "minutes since the last modification"},
};
constexpr TResultRef kFileExistsResults[] = {
    {"200", "size, times, path and age"},
    {"301", "no such file or acess denied"},
    kTestOff,
};

// --- TEST-FileCompare
constexpr TParamRef kFileCompareParams[] = {
    {1, "MODE", "1: compare two files; 2: search the content of the second file in the first; 3: search a text in the first file", "", "1, 2 or 3"},
    {2, "FILE", "the first file", "", "an existing file"},
    {3, "SECOND", "mode 1 and 2: the second file; mode 3: the text to search for", "", ""},
    {4, "BY-TIME", "mode 1: compare the modification times; mode 3: case-sensitive search", "0", "1 or 0"},
    {5, "BY-SIZE", "mode 1: compare the sizes; mode 3: whole words only", "0", "1 or 0"},
    {6, "BY-CONTENT", "mode 1: compare the contents (up to the end of the shorter file)", "0", "1 or 0"},
    {9, "MACROS-2", "mode 2: macros in FILE", "0", "1 or 0"},
    {11, "MACROS-3", "mode 3: macros in FILE", "0", "1 or 0"},
    {12, "MACROS-1", "mode 1: macros in FILE", "0", "1 or 0"},
    {13, "MACROS-1B", "mode 1: macros in SECOND", "0", "1 or 0"},
};
constexpr TValueRef kFileCompareValues[] = {
    {"match", V::Bool, "", "mode 1: the files are equal; mode 2 and 3: found"},
};
constexpr TResultRef kFileCompareResults[] = {
    {"200", "equal or found"},
    {"301", "File doesn`t exist; The size of the second file cannot exceed 8Mb; I/O Error"},
    {"501", "Wrong parameter (a MODE other than 1, 2 or 3, once FILE is found)"},
    kTestOff,
};

// --- TEST-FileCRC
constexpr TParamRef kFileCrcParams[] = {
    {1, "FILE", "the file (no pattern, no macros)", "", "a readable file"},
};
constexpr TValueRef kFileCrcValues[] = {
    {"crc", V::Int64, "", "the CRC-32 of the content, 0 to 4294967295"},
};
constexpr TResultRef kFileCrcResults[] = {
    {"200", "the checksum"},
    {"301", "File is not specified; Cannot open file; Read error"},
    kTestOff,
};

// --- TEST-CountFiles
constexpr TParamRef kCountFilesParams[] = {
    {1, "FOLDER", "the folder", "the agent's working directory", ""},
    {2, "MASK", "the names to count, with wildcards (* counts every file)", "", "a wildcard pattern such as * or *.log"},
    {3, "RECURSE", "1: count in the sub-folders too", "0", "1 or 0"},
    {4, "MODE", "0 every file; 1 older than VALUE minutes; 2 newer than VALUE minutes; 3 bigger than VALUE bytes; "
                "4 smaller than VALUE bytes; 5 the sub-folders instead of the files", "0",
     "0 to 5, read as far as it is a number (abc is 0, 3x is 3)"},
    {5, "VALUE", "the minutes or bytes of MODE 1 to 4", "0", "an integer"},
    {11, "MACROS", "1: macros in FOLDER", "0", "1 or 0"},
};
constexpr TValueRef kCountValue[] = {
    {"count", V::Int, "", "the number of matching entries"},
};
constexpr TResultRef kCountFilesResults[] = {
    {"200", "the count (0 when MASK matches nothing)"},
    {"301", "Folder doesn`t exist or access denied; Cannot read the whole folder tree (a folder could not "
            "be read to its end, or descriptors or memory ran out)"},
    {"501", "Wrong parameter (MODE outside 0 to 5, or VALUE not a number)"},
    kTestOff,
};

// --- TEST-Process
constexpr TParamRef kProcessParams[] = {
    {1, "UNUSED", "not used; give an empty text", "ignored", ""},
    {2, "NAME", "the process name: the command name as the kernel keeps it, or a program's base name when it is longer than 15 bytes", "", ""},
};
constexpr TValueRef kProcessValues[] = {
    {"count", V::Int, "", "the number of processes of that name (the agent itself included when it matches)"},
};
constexpr TResultRef kProcessResults[] = {
    {"200", "the count"},
    {"301", "ProcCnt script doesn't exist; cannot get temp file; Cannot execute script; Cannot get script results; Script error"},
    {"501", "Name of the process is not specified"},
    kTestOff,
};

// --- TEST-CPU
constexpr TValueRef kCpuValues[] = {
    {"usage", V::Real, "%", "the CPU usage of all processors, 0 to 100"},
};
constexpr TResultRef kCpuResults[] = {
    {"200", "the usage"},
    {"301", "CPUUsage script doesn't exist; cannot get temp file; Cannot execute script; Cannot get script results; Script error"},
    kTestOff,
};

// --- TEST-ExternalPrg
constexpr TParamRef kExternalParams[] = {
    {1, "COMMAND", "the command line (split into arguments, no shell)", "", ""},
    {2, "UNUSED", "not used", "ignored", ""},
    {3, "UNUSED", "not used", "ignored", ""},
    {4, "LIMIT", "time limit in milliseconds; -1 starts the program without waiting", "0 (no limit)", "an integer"},
};
constexpr TValueRef kExitValue[] = {
    {"exit_code", V::Int, "", "the program's exit status (0 for a program started with -1)"},
};
constexpr TResultRef kExternalResults[] = {
    {"200", "the exit code"},
    {"301", "the reason it could not run: fork error; exec error: REASON (exec error alone with LIMIT -1); abnormal "
            "termination (ended by a signal, the time limit's included); cannot terminate process"},
    {"501", "Wrong parameter; Command line to execute is not specified"},
    kTestOff,
};

// --- TEST-TCP
constexpr TParamRef kTcpParams[] = {
    {1, "HOST", "the host to probe: an IPv4 address, an IPv6 address (::1 or [::1]) or a name", "", ""},
    {2, "PORT", "the TCP port", "", kPortRange},
    {3, "TIMEOUT", "time-out in milliseconds", "0 (120000)",
     "an integer; below 0 is answered 301 \"Invalid argument\" without connecting"},
    {4, "DATA", "bytes to send after connecting, %0D/%0A for line breaks", "nothing is sent", ""},
    {5, "RECEIVE", "bytes to read back; 0 awaits no answer", "0", "0 to 8192 (more or negative: 8192)"},
};
constexpr TValueRef kProbeValues[] = {
    {"time", V::Int, "ms", "the time the exchange took"},
    {"received", V::Escaped, "", "the bytes received (empty when RECEIVE is 0)"},
};
constexpr TValueRef kProbeFail[] = {
    {"error", V::Text, "", "what failed (Timeout, a socket error, empty when the peer closed)"},
    {"reason", V::Int, "", "0 time-out, -2 name, -3 socket, -4 send, -5 receive, -6 connection"},
};
constexpr TResultRef kTcpResults[] = {
    {"200", "time and bytes received"},
    {"301", "error text and reason code, as values"},
    {"501", "Wrong parameter (PORT, TIMEOUT or RECEIVE not a number)"},
    kTestOff,
};

// --- TEST-UDP
constexpr TParamRef kUdpParams[] = {
    {1, "HOST", "the host to probe: an IPv4 address, an IPv6 address (::1 or [::1]) or a name", "", ""},
    {2, "PORT", "the UDP port", "", kPortRange},
    {3, "TIMEOUT", "time-out per attempt in milliseconds, used in whole seconds (at least 1)", "0 (1 s)", "an integer"},
    {4, "ATTEMPTS", "the number of datagrams to try", "",
     "1 or more, and ATTEMPTS times the time-out in whole seconds (each at least 1) at most 120"},
    {5, "DATA", "the datagram, %0D/%0A for line breaks", "", "not empty"},
    {6, "RECEIVE", "bytes to read back; 0 awaits no answer", "0", "0 to 8192 (more or negative: 8192)"},
};
constexpr TResultRef kUdpResults[] = {
    {"200", "time and bytes received"},
    {"301", "error text and reason code, as values"},
    {"501", "Wrong parameter (PORT, TIMEOUT, ATTEMPTS or RECEIVE not a number, ATTEMPTS below 1 or above the "
            "120 s bound, or DATA empty)"},
    kTestOff,
};

// --- TEST-TextLog, TEST-TextLog2
constexpr TParamRef kTextLogParams[] = {
    {1, "FILE", "the log file; a wildcard pattern takes the first match", "", ""},
    {2, "TEXT", "the text or search expression, %0D/%0A escaped", "", ""},
    {3, "POSITION", "the position returned by the previous request", "0", "an integer"},
    {4, "SIZE", "the size returned by the previous request; with TIME 0 too (a first request) the end of the log is "
                "recorded and nothing reported; 0 with a TIME (the log was empty) reads the log from its start",
     "0", "an integer"},
    {5, "TIME", "the time returned by the previous request", "0", "an integer"},
    {6, "EXPRESSION", "1: TEXT is a search expression (AND, OR, NOT, brackets, quoted texts)", "0", "1 or 0"},
    {7, "SCANALL", "1: read to the end and report the last matching line", "0", "1 or 0"},
    {8, "CASE", "1: case-sensitive", "0", "1 or 0"},
    {9, "WHOLEWORD", "1: whole words only", "0", "1 or 0"},
};
#define ZEL_TEXTLOG_VALUES                                                                          \
    {"result", V::Int64, "", "0: no new matching line; otherwise the matching line's offset"},      \
    {"line", V::Escaped, "", "the matching line, its first 1024 characters"},                      \
    {"more", V::Bool, "", "another matching line follows: ask again with the state below"},        \
    {"position", V::Int64, "B", "state for the next request: the position"},                       \
    {"size", V::Int64, "B", "state for the next request: the size"},                               \
    {"time", V::Int64, "s", "state for the next request: the modification time (seconds since 1970)"}, \
    {"current_size", V::Int64, "B", "the size of the log now"}
constexpr TValueRef kTextLogValues[] = {ZEL_TEXTLOG_VALUES};
constexpr TValueRef kTextLog2Values[] = {
    ZEL_TEXTLOG_VALUES,
    {"alarm", V::Bool, "", "1: the line met the alarm condition; 0: the reset condition, or no line"},
};
#undef ZEL_TEXTLOG_VALUES
constexpr TResultRef kTextLogResults[] = {
    {"200", "result, line, more flag and the state"},
    {"301", "File does not exist; File \"NAME\" not found; Cannot open file; Cannot read file; fseek error"},
    {"501", "Wrong parameter (POSITION, SIZE or TIME not a number)"},
    kTestOff,
};
constexpr TParamRef kTextLog2Params[] = {
    {1, "FILE", "the log file; a wildcard pattern takes the first match", "", ""},
    {2, "POSITION", "the position returned by the previous request", "0", "an integer"},
    {3, "SIZE", "the size returned by the previous request; with TIME 0 too (a first request) the end of the log is "
                "recorded and nothing reported; 0 with a TIME (the log was empty) reads the log from its start",
     "0", "an integer"},
    {4, "TIME", "the time returned by the previous request", "0", "an integer"},
    {5, "SCANALL", "1: read to the end and report the last matching line", "0", "1 or 0"},
    {6, "ALARM", "the alarm text or expression, %0D/%0A escaped", "", ""},
    {7, "ALARM-EXPRESSION", "1: ALARM is a search expression", "0", "1 or 0"},
    {8, "ALARM-CASE", "1: ALARM is case-sensitive", "0", "1 or 0"},
    {9, "ALARM-WHOLEWORD", "1: ALARM matches whole words only", "0", "1 or 0"},
    {10, "USE-RESET", "1: also look for the reset condition", "0", "1 or 0"},
    {11, "RESET", "the reset text or expression", "", ""},
    {12, "RESET-EXPRESSION", "1: RESET is a search expression", "0", "1 or 0"},
    {13, "RESET-CASE", "1: RESET is case-sensitive", "0", "1 or 0"},
    {14, "RESET-WHOLEWORD", "1: RESET matches whole words only", "0", "1 or 0"},
};

// --- TEST-ShellScript
constexpr TParamRef kShellScriptParams[] = {
    {1, "TEMPLATE", "the command line; %script% becomes the script file, %params% the script's parameters", "", ""},
    {2, "SCRIPT", "the script, %0D/%0A escaped (zelq: @FILE)", "", ""},
    {3, "PARAMS", "the text for %params%", "", ""},
    {4, "LIMIT", "time limit in seconds", "0 (no limit)", "an integer, read as far as it is a number (abc is 0)"},
    {5, "LINES", "the number of output lines to return", "0", "an integer, read as far as it is a number (abc is 0)"},
};
constexpr TValueRef kShellScriptValues[] = {
    {"result", V::Escaped, "", "the first line beginning with scriptres:, else the last line of output"},
    {"output", V::Escaped, "", "the first LINES lines of output"},
};
constexpr TResultRef kShellScriptResults[] = {
    {"200", "the result line and the output"},
    {"301", "Cannot get temp file; Cannot create temp file; Cannot set exec flag for script; "
            "cannot create temp file (the script could not be written); Script execution error: ...; "
            "Cannot get script results"},
    kTestOff,
};

// --- ACT-ExternalCmd
constexpr TParamRef kExternalCmdParams[] = {
    {1, "COMMAND", "the command line (split into arguments, no shell)", "", ""},
    {2, "FOLDER", "the working directory", "unchanged", ""},
    {3, "UNUSED", "not used, but must be a number", "0", "an integer"},
    {4, "LIMIT", "time limit in milliseconds; -1 starts the command without waiting", "0 (no limit)", "an integer"},
};
constexpr TResultRef kExternalCmdResults[] = {
    {"200", "the exit code"},
    {"301", "the reason it could not run, as for TEST-ExternalPrg: fork error; exec error: REASON; abnormal "
            "termination; cannot terminate process"},
    {"501", "Wrong parameter; Command line to execute is not specified"},
    kActionOff,
};

// --- ACT-TCPUDPsend
constexpr TParamRef kSendParams[] = {
    {1, "HOST", "the destination: an IPv4 address, an IPv6 address (::1 or [::1]) or a name", "", ""},
    {2, "PORT", "the port", "", kPortRange},
    {3, "PROTOCOL", "0: TCP; anything else: UDP", "UDP", "0 or 1"},
    {4, "DATA", "the data, %0D/%0A escaped", "", "not empty"},
    {5, "PAUSE", "seconds to wait before sending DATA2", "0", "at most 120 (below 0: no pause)"},
    {6, "DATA2", "second data, sent after PAUSE", "nothing", ""},
};
constexpr TValueRef kMessageValue[] = {
    {"message", V::Text, "", "the confirmation"},
};
constexpr TResultRef kSendResults[] = {
    {"200", "Data has been sent"},
    {"301", "the socket's error text (\"Invalid argument\" for a port beyond 0 to 65535)"},
    {"501", "Wrong parameter (HOST or DATA empty, PORT or PAUSE not a number, PAUSE above 120)"},
    kActionOff,
};

// --- ACT-Syslog
constexpr TParamRef kSyslogParams[] = {
    {1, "HOST", "the syslog collector: an IPv4 address, an IPv6 address (::1 or [::1]) or a name", "", ""},
    {2, "PORT", "its UDP port", "", "1 to 65535 (514 as a rule); a number beyond 0 to 65535 is answered 301 "
                                     "\"Invalid argument\""},
    {3, "FACILITY", "the facility number", "", "an integer, 0 to 23 as a rule"},
    {4, "SEVERITY", "the severity", "", "0 to 7"},
    {5, "MESSAGE", "the message, %0D/%0A escaped", "", ""},
};
constexpr TResultRef kSyslogResults[] = {
    {"200", "Syslog: Data to HOST has been sent"},
    {"301", "Cannot resolve server name to IP address, or another socket error"},
    {"501", "Wrong parameter (HOST empty, PORT, FACILITY or SEVERITY not a number, SEVERITY outside 0 to 7)"},
    kActionOff,
};

// --- GetProcessesList
constexpr TValueRef kProcessesValues[] = {
    {"processes", V::Escaped, "", "a header line, then one line per process: pid, user, command name and command line"},
};
constexpr TResultRef kProcessesResults[] = {
    {"200", "the list"},
    {"301", "ProcList script doesn't exist; cannot get temp file; Cannot execute script; Cannot get script results"},
    kTestOff,
};

// --- GetFilesList
constexpr TParamRef kFilesListParams[] = {
    {1, "FOLDER", "the folder (a file's path lists its folder)", "/", ""},
    {2, "MASK", "the file names to list, with wildcards (not applied to sub-folders)", "*", ""},
    {3, "FOLDERS", "1: list the sub-folders", "0", "1 or 0"},
    {4, "FILES", "1: list the files", "0", "1 or 0"},
    {5, "HIDDEN", "1: include names beginning with a dot", "0", "1 or 0"},
    {6, "SYSTEM", "1: include devices, pipes and sockets", "0", "1 or 0"},
    {7, "SIZE", "1: add each entry's size", "0", "1 or 0"},
    {8, "CTIME", "1: add each entry's status-change time", "0", "1 or 0"},
    {9, "MTIME", "1: add each entry's modification time", "0", "1 or 0"},
};
constexpr TValueRef kFilesListValues[] = {
    {"folder", V::Escaped, "", "the folder listed, with its trailing /"},
    {"count", V::Int, "", "the number of entries"},
    {"lines_per_entry", V::Int, "", "lines per entry: 2 plus one per SIZE, CTIME, MTIME"},
    {"entries", V::Entries, "", "per entry: name, attribute bits (1 read-only, 2 hidden, 4 system, 16 folder), then size, ctime, mtime as asked"},
};
constexpr TResultRef kFilesListResults[] = {
    {"200", "folder, count, lines per entry and the entries (count 0 for a folder that cannot be read)"},
    {"600", "test is not allowed (every file and log test is off)"},
};

// --- GetInfo, GetSettings
#define ZEL_STATUS_VALUES                                                                                   \
    {"AgentName", V::Text, "", "the agent's name"},                                                         \
    {"AgentPlatform", V::Text, "", "the platform it reports"},                                              \
    {"AgentVersion", V::Text, "", "the protocol identity the server expects (not the package version)"},    \
    {"AgentDeveloper", V::Text, "", "the developer"},                                                       \
    {"Service", V::Bool, "", "always 0"},                                                                   \
    {"Active", V::Bool, "", "always 0"},                                                                    \
    {"ActiveConnections", V::Int, "", "sessions running now, this one included"},                           \
    {"OpenedConnections", V::Int, "", "sessions since start-up"},                                           \
    {"FailedConnections", V::Int, "", "connections refused by the address filter"},                         \
    {"Available tests", V::Escaped, "", "the 13 test names, one per line"},                                 \
    {"Enabled tests", V::Text, "", "one 1 or 0 per test name, in the same order"},                          \
    {"Port", V::Int, "", "the port setting"},                                                               \
    {"Timeout", V::Int, "ms", "the timeout setting"},                                                       \
    {"Comment", V::Text, "", "the comment setting"},                                                        \
    {"Available actions", V::Escaped, "", "the 3 action names, one per line"},                              \
    {"Enabled actions", V::Text, "", "one 1 or 0 per action name"},                                         \
    {"HostName", V::Text, "", "the host's name"},                                                           \
    {"RunningOS", V::Text, "", "system name, release and version"},                                         \
    {"OSUpdates", V::Text, "", "always: not implemented"}
constexpr TValueRef kInfoValues[] = {ZEL_STATUS_VALUES};
constexpr TValueRef kSettingsValues[] = {
    ZEL_STATUS_VALUES,
    {"LogOkConn", V::Bool, "", "the logsuccess setting"},
    {"LogBadConn", V::Bool, "", "the logfails setting"},
    {"OkLogFile", V::Text, "", "the oklogfile setting"},
    {"BadLogFile", V::Text, "", "the badlogfile setting"},
    {"Password", V::Text, "", "the password, in plain text"},
    {"IPFiltering", V::Bool, "", "the filteractive setting"},
    {"IPFilterAddr", V::Escaped, "", "the filterlist setting, one entry per line"},
    {"IPFilterMarks", V::Text, "", "the filtermarks setting"},
    {"AllowUpdates", V::Bool, "", "the allowupdates setting"},
    {"AllowRManage", V::Bool, "", "the allowmanage setting"},
    {"UpdateAddr", V::Text, "", "the updateaddr setting"},
    {"ManageAddr", V::Text, "", "the manageaddr setting"},
};
#undef ZEL_STATUS_VALUES
constexpr TResultRef kInfoResults[] = {{"200", "one name=value line each"}};
constexpr TResultRef kSettingsResults[] = {{"200", "the GetInfo lines, then the settings lines"}, kManageOff};

constexpr TParamRef kSetSettingsParams[] = {
    {1, "NAME=VALUE", "one setting per parameter, by its remote name: Comment, Port, Timeout, Password, LogOkConn, "
                      "LogBadConn, OkLogFile, BadLogFile, IPFiltering, IPFilterAddr, IPFilterMarks, AllowUpdates, "
                      "AllowRManage, UpdateAddr, ManageAddr, or a test's or an action's switch by the name GetInfo "
                      "lists it under, except Shell Script: that switch has no remote name and is set in the file "
                      "only (see zel.cfg(5))",
     "nothing changes; the file is written again",
     "a switch or flag 0 or 1; Port 1 to 65535; Timeout a number (0: 4000); IPFilterAddr entries separated by "
     "blanks or %0D%0A; a line without = and an unknown name are skipped (the agent logs each name)"},
};
constexpr TResultRef kSetSettingsResults[] = {
    {"200", "no text: the settings are in force and saved"},
    {"300", "a value refused, and nothing changes: \"Invalid value of NAME: 'VALUE' (REASON); settings not "
            "changed\" (VALUE with control bytes as %XX and cut after 64 bytes, a Password's as (not shown); REASON: 0 or 1 expected, a port "
            "number from 1 to 65535 expected, a number expected, a line break cannot be saved, or the item of an "
            "address list that does not parse, as in Invalid IP address (ITEM) specified), or \"Password cannot be empty: settings not changed\"; when the "
            "agent may not rewrite the file (it serves as a user without access), \"Cannot rewrite configuration "
            "file '...': no write access to FOLDER (REASON)\" or \"... cannot read FILE (REASON)\" and nothing "
            "changes; otherwise why the file could not be written (the settings stay in force)"},
    kManageOff,
};
constexpr TResultRef kReloadCfgResults[] = {{"200", "Ok"}, {"300", "why the file could not be read"}, kManageOff};
constexpr TResultRef kOkResults[] = {{"200", "Ok"}, kManageOff};

constexpr TParamRef kUpgradeParams[] = {
    {1, "SIZE", "the size of the new executable in bytes", "", "101 to 10485759"},
};
constexpr TResultRef kUpgradeResults[] = {
    {"200", "send the executable and its checksum on the same connection; a second reply follows"},
    {"300", "why the upgrade could not be prepared or checked: \"Upgrade image refused: ...\" when the image fails "
            "its self-check, \"Wrong CRC\", \"Write error\"; \"Upgrade refused: cannot replace PATH: no write "
            "access to FOLDER (REASON)\" before anything is sent when the agent may not replace its executable"},
    {"302", "another upgrade is in progress"},
    {"501", "Wrong file parameter(s)"},
    {"600", "Operation is not allowed (allowupdates is off or the address is not in updateaddr)"},
};

constexpr const char kStub[] = "Answered at once with 500 and \"Not applicable for UNIX/Linux\": its subject exists on "
                               "another operating system.";
constexpr const char kNotDone[] = "Answered at once with 500 and \"not implemented yet\": this agent does not carry it out.";

constexpr TCommandRef kCommands[] = {
    {"TEST-UNC", G::Test, "unc", "space on the volume holding a path",
     "One statfs call: the volume's size, its free space and the space available to users that are not root.",
     kUncParams, kUncValues, false, kUncFail, kUncResults, "zelq TEST-UNC /var"},
    {"TEST-DiskSpace", G::Test, "none", "drive space of another operating system; use TEST-UNC", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq TEST-DiskSpace"},
    {"TEST-FolderSize", G::Test, "foldersize", "the total size of a folder or of the files matching a pattern", "",
     kFolderSizeParams, kSizeValue, false, kNothing, kFolderSizeResults, "zelq TEST-FolderSize /var/log 1"},
    {"TEST-FileExists", G::Test, "fileexists", "whether a file exists, its size, times and age", "",
     kFileExistsParams, kFileExistsValues, false, kNothing, kFileExistsResults, "zelq TEST-FileExists /etc/hostname"},
    {"TEST-FileCompare", G::Test, "comparefiles", "compares two files, or searches a file for another's content or a text",
     "Parameters 4 to 6 mean different things by MODE; the macro flags sit at positions that depend on MODE too.",
     kFileCompareParams, kFileCompareValues, false, kNothing, kFileCompareResults,
     "zelq TEST-FileCompare 3 /var/log/syslog error 0 1"},
    {"TEST-FileCRC", G::Test, "filecrc", "the CRC-32 checksum of a file", "",
     kFileCrcParams, kFileCrcValues, false, kNothing, kFileCrcResults, "zelq TEST-FileCRC /etc/passwd"},
    {"TEST-CountFiles", G::Test, "countfiles", "the number of files in a folder matching a mask, age or size",
     "MASK is needed: an empty mask matches nothing, so the count is 0.",
     kCountFilesParams, kCountValue, false, kNothing, kCountFilesResults, "zelq TEST-CountFiles /var/spool/mail '*' 0 1 60"},
    {"TEST-Process", G::Test, "process", "the number of processes of a name",
     "Counted by the agent in one pass over /proc, with no child process. When proccntscript names a site script, "
     "that script is run instead, with NAME as its argument.",
     kProcessParams, kProcessValues, false, kNothing, kProcessResults, "zelq TEST-Process '' sshd"},
    {"TEST-Service", G::Test, "none", "a service of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq TEST-Service"},
    {"TEST-NTLog", G::Test, "none", "an event log of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq TEST-NTLog"},
    {"TEST-CPU", G::Test, "cpuusage", "the CPU usage",
     "Measured by the agent from /proc/stat: the usage over the last complete second (sampled once a second "
     "once the first TEST-CPU has come, so that request waits about a second). When cpuusagescript names "
     "a site script, that script is run instead.",
     kNone, kCpuValues, false, kNothing, kCpuResults, "zelq TEST-CPU"},
    {"TEST-PerfCounter", G::Test, "none", "a performance counter of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq TEST-PerfCounter"},
    {"TEST-Script", G::Test, "none", "an older script test; use TEST-ShellScript", kNotDone,
     kNone, kNothing, false, kNothing, kNotYet, "zelq TEST-Script"},
    {"TEST-SNMP", G::Test, "none", "an SNMP query", kNotDone,
     kNone, kNothing, false, kNothing, kNotYet, "zelq TEST-SNMP"},
    {"TEST-ExternalPrg", G::Test, "external", "runs a program and reports its exit code", "",
     kExternalParams, kExitValue, false, kNothing, kExternalResults, "zelq TEST-ExternalPrg '/usr/bin/test -d /srv' '' '' 5000"},
    {"TEST-Ping", G::Test, "none", "an ICMP ping", kNotDone,
     kNone, kNothing, false, kNothing, kNotYet, "zelq TEST-Ping"},
    {"TEST-TCP", G::Test, "tcp", "connects to a TCP port from the agent, optionally sends and reads",
     "A name's first IPv4 and first IPv6 address are tried in the resolver's order.",
     kTcpParams, kProbeValues, false, kProbeFail, kTcpResults, "zelq TEST-TCP 127.0.0.1 22 5000 '' 0"},
    {"TEST-UDP", G::Test, "udp", "sends a UDP datagram from the agent and reads the answer",
     "A name's first IPv4 and first IPv6 address are tried in the resolver's order.",
     kUdpParams, kProbeValues, false, kProbeFail, kUdpResults, "zelq TEST-UDP 127.0.0.1 53 2000 3 x 512"},
    {"TEST-TextLog", G::Test, "textlog", "new lines of a growing log that hold a text",
     "The agent keeps no state: each reply carries the position, size and time the next request sends back. "
     "A first request (SIZE 0) records the end of the log. zelq --plugin keeps the state itself.",
     kTextLogParams, kTextLogValues, false, kNothing, kTextLogResults,
     "zelq TEST-TextLog /var/log/syslog error 0 0 0"},
    {"TEST-TextLog2", G::Test, "textlog", "new lines of a growing log with an alarm and a reset condition",
     "As TEST-TextLog, with the state first and two conditions.",
     kTextLog2Params, kTextLog2Values, false, kNothing, kTextLogResults,
     "zelq TEST-TextLog2 /var/log/syslog 0 0 0 0 error 0 0 0 1 recovered 0 0 0"},
    {"TEST-ShellScript", G::Test, "shellscript", "runs a script sent with the request and returns its scriptres: line",
     "The script is written to a temporary file and run through TEMPLATE; its output goes back, "
     "the line beginning with scriptres: first.",
     kShellScriptParams, kShellScriptValues, false, kNothing, kShellScriptResults,
     "zelq TEST-ShellScript '/bin/sh %script% %params%' @check.sh '' 30 10"},
    {"ACT-ExternalCmd", G::Action, "executeaction", "runs a command line", "",
     kExternalCmdParams, kExitValue, false, kNothing, kExternalCmdResults,
     "zelq ACT-ExternalCmd '/usr/bin/logger zel' '' 0 5000"},
    {"ACT-TCPUDPsend", G::Action, "tcpudpaction", "sends data over TCP or UDP, optionally twice", "",
     kSendParams, kMessageValue, false, kNothing, kSendResults, "zelq ACT-TCPUDPsend 127.0.0.1 9999 1 hello"},
    {"ACT-Syslog", G::Action, "syslogaction", "sends a syslog message over UDP", "",
     kSyslogParams, kMessageValue, false, kNothing, kSyslogResults, "zelq ACT-Syslog 127.0.0.1 514 1 5 'zel says hello'"},
    {"GetProcessesList", G::Listing, "process", "the process list",
     "Listed by the agent in one pass over /proc (control bytes as \\xNN, at most 16 MiB). "
     "When proclistscript names a site script, the lines it prints are the list instead.",
     kNone, kProcessesValues, false, kNothing, kProcessesResults, "zelq GetProcessesList"},
    {"GetServicesList", G::Listing, "none", "the services of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq GetServicesList"},
    {"GetEventLogFiles", G::Listing, "none", "the event logs of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq GetEventLogFiles"},
    {"GetEventLogSources", G::Listing, "none", "the event sources of another operating system", kStub,
     kNone, kNothing, false, kNothing, kNotHere, "zelq GetEventLogSources"},
    {"GetDriveList", G::Listing, "none", "a list of drives; not implemented yet (GetFilesList lists folders)", kNotDone,
     kNone, kNothing, false, kNothing, kNotYet, "zelq GetDriveList"},
    {"GetFilesList", G::Listing, "any of foldersize, countfiles, fileexists, filecrc, comparefiles, textlog",
     "lists a folder, for browsing while a test is set up",
     "Folders come first, then files, in the order the directory yields them; symbolic links are never listed.",
     kFilesListParams, kFilesListValues, false, kNothing, kFilesListResults, "zelq GetFilesList /var/log '*.log' 0 1 0 0 1 0 1"},
    {"GetInfo", G::Management, "none", "the agent's identity, counters, tests and host", "",
     kNone, kInfoValues, true, kNothing, kInfoResults, "zelq GetInfo"},
    {"GetSettings", G::Management, "allowmanage, manageaddr", "GetInfo's lines and the settings, the password included", "",
     kNone, kSettingsValues, true, kNothing, kSettingsResults, "zelq GetSettings"},
    {"SetSettings", G::Management, "allowmanage, manageaddr", "changes settings and writes the configuration file",
     "The request is checked whole before anything changes: a Port outside 1 to 65535 or not a number, a Timeout "
     "that is not a number, a switch or flag other than 0 or 1, a line break in a text, an IPFilterAddr, ManageAddr "
     "or UpdateAddr entry that does not parse, or an empty Password is answered 300, and nothing is applied or "
     "saved. The previous file is kept beside the new one as FILE.Old.",
     kSetSettingsParams, kNothing, false, kNothing, kSetSettingsResults, "zelq SetSettings 'Comment=web server 2' Timeout=20000"},
    {"ReloadCfg", G::Management, "allowmanage, manageaddr", "reads the configuration file again",
     "The same as SIGHUP.", kNone, kMessageValue, false, kNothing, kReloadCfgResults, "zelq ReloadCfg"},
    {"ReloadApp", G::Management, "allowmanage, manageaddr", "restarts the agent after the reply",
     "The agent executes itself again with the same command line.",
     kNone, kMessageValue, false, kNothing, kOkResults, "zelq ReloadApp"},
    {"QUIT", G::Management, "allowmanage, manageaddr", "stops the agent after the reply", "",
     kNone, kMessageValue, false, kNothing, kOkResults, "zelq QUIT"},
    {"UpgradeCode", G::Management, "allowupdates, updateaddr", "replaces the agent's executable and restarts it",
     "The executable and its checksum follow the first reply on the same connection; zelq --upgrade FILE does all of it.",
     kUpgradeParams, kNothing, false, kNothing, kUpgradeResults, "zelq --upgrade ./zel"},
};

}  // namespace

std::span<const TCommandRef> CommandReference() { return kCommands; }

const TCommandRef* FindCommandRef(std::string_view word) {
    for (const TCommandRef& c : kCommands)
        if (word == c.word) return &c;
    return nullptr;
}

const char* ValueTypeName(TValueType type) {
    switch (type) {
    case V::Int: return "integer";
    case V::Int64: return "64-bit integer";
    case V::Real: return "real";
    case V::Time: return "time";
    case V::Bool: return "boolean";
    case V::Text: return "text";
    case V::Escaped: return "escaped text";
    case V::Entries: return "entries";
    }
    return "";
}

int RequiredParamCount(const TCommandRef& ref) {
    int n = 0;
    for (const TParamRef& p : ref.params)
        if (p.fallback[0] == '\0' && p.position > n) n = p.position;
    return n;
}
