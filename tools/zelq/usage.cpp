#include "zelq/usage.h"

#include <cstring>

#include "protocol/command_reference.h"
#include "zelq/options.h"

#ifndef ZELQ_VERSION
#define ZELQ_VERSION "unknown"
#endif

namespace {

// "Options:" and a paragraph per row of the option table: the name and
// value in the first 16 columns (on a line of their own when they need more),
// the help lines beside and below it.
std::string OptionsHelp() {
    constexpr size_t kColumn = 16;
    std::string out = "Options:\n";
    for (const TOptionRow& row : ZelqOptionTable()) {
        std::string name = "  " + OptionName(row);
        if (row.valueName[0] != '\0') name += std::string(" ") + row.valueName;
        if (name.size() + 2 > kColumn) name += "\n" + std::string(kColumn, ' ');
        else name.append(kColumn - name.size(), ' ');
        out += name;
        for (const char* h = row.help; *h != '\0';) {
            const char* end = std::strchr(h, '\n');
            if (end == nullptr) end = h + std::strlen(h);
            if (h != row.help) out += std::string(kColumn, ' ');
            out.append(h, end);
            out += '\n';
            h = *end == '\n' ? end + 1 : end;
        }
    }
    return out;
}

}  // namespace

std::string ZelqUsageText() {
    return "usage: zelq [-H HOST] [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] [--literal]\n"
           "            [--raw | --json] COMMAND [PARAM ...]\n"
           "       zelq [-H HOST] [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] --upgrade FILE\n"
           "       zelq --plugin [-w RANGE] [-c RANGE] [--value N] [--state FILE] [--service NAME]\n"
           "            [-H HOST] [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] COMMAND [PARAM ...]\n"
           "       zelq {-H HOST[:PORT] -H HOST[:PORT] ... | --hosts FILE} [--parallel N] [--value N]\n"
           "            [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] [--json] COMMAND [PARAM ...]\n"
           "       zelq --help | --version | help [COMMAND]\n";
}

std::string ZelqHelpText() {
    return ZelqUsageText() +
           R"(
Sends one request to a zel agent and prints its reply.

The request is the COMMAND word, then each PARAM as one parameter line.
'zelq help' lists the commands, 'zelq help COMMAND' shows one's parameters
and reply values (all of them: man zel-commands). "--" ends the options:
the word after it is the COMMAND even when it begins with "-".

)" + OptionsHelp() + R"(
Parameters:
  @FILE         the content of FILE as one parameter, its line breaks
                escaped as %0D and %0A (scripts, messages, multi-line texts)
  @-            the same for standard input
  A parameter written on the command line must not hold a line break.

Output:
  The first line is the result code and its meaning, then each value line
  with %0D%0A, %0A and %0D shown as line breaks. For GetInfo and GetSettings
  the name=value lines are shown in two columns. When the agent answers 501
  to a request with too few parameters, standard error names them.
  --json prints {"code", "values", "raw"}: each value under its name (zelq
  help COMMAND), numbers as numbers, times also as NAME_iso (ISO 8601, the
  agent's local time), flags as true/false, the text of another reply as
  "text"; raw holds the value lines as received.

Plugin mode:
  zelq --plugin prints one line, "SERVICE STATUS: text | performance data",
  and exits 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN, as the plugins of
  Nagios, Icinga, Naemon, Checkmk and Sensu do.

  A RANGE alerts when the value lies outside it; "@" alerts inside instead:
    10        below 0 or above 10        ~:10     above 10
    10:       below 10                   10:20    below 10 or above 20
    @10:20    from 10 to 20, both included
  Numbers may be negative and have a fraction. CRITICAL is checked first,
  then WARNING; a range not given never alerts.

  The value judged, by command (--value N chooses another value line):
    TEST-FolderSize   the size (B)            TEST-CountFiles  the count
    TEST-UNC          the bytes available to users (B, line 3: what df
                      shows); the free bytes with --value 2
    TEST-Process      the count               TEST-ExternalPrg the exit code
    TEST-CPU          the usage (%)
    TEST-TCP, TEST-UDP  the time taken (ms)   TEST-FileCRC     the checksum
    TEST-FileExists   found: 1, or 0 when the agent answers "no such file";
                      -c 1: unless -w or -c is given (CRITICAL when missing)
    TEST-FileCompare  equal or found (1 or 0); -c 1: unless -w or -c is given
    TEST-TextLog      the number of lines appended since the last run that
                      match; -c 0 unless -w or -c is given
    TEST-TextLog2     the alarm: 1 from a line meeting the alarm condition
                      until a line meeting the reset condition; -c 0 unless
                      -w or -c is given
  Other commands have no default value: "200" is OK, with the first value
  line as the text (a TEST-ShellScript's "scriptres:" line, say).
  The performance data carries the value, its unit (B, ms, %), the ranges,
  and the least and greatest values where they are known.

  Text-log tests are given without their three state parameters (position,
  size, time): zelq keeps them in the state file, so each run reports only
  the lines appended since the run before. The first run records the end
  of the log and reports nothing. TEST-TextLog: FILE TEXT [EXPRESSION SCANALL
  CASE WHOLEWORD]; TEST-TextLog2: FILE [SCANALL ALARM-FILTER (4) USE-RESET
  RESET-FILTER (4)]. A run asks again while the agent has more matching lines
  (up to 100 exchanges; the rest follow in the next run). The state is
  written only after every exchange succeeded, so a failed run loses no line.

  Replies and failures:
    "200"                      the value against the ranges
    "300", "301"               CRITICAL with the agent's text (a missing
                               file, a failed probe or script)
    "500", "501", "502", "600" UNKNOWN with the agent's text
    could not connect, timed out
                               CRITICAL
    no reply (wrong password, filtered address)
                               UNKNOWN
    a wrong command line       UNKNOWN

Several agents:
  With -H given more than once, or --hosts FILE (one HOST[:PORT] per line;
  blank lines and text after "#" are ignored), zelq sends the same request
  to every agent, at most --parallel at a time, each with its own session
  key and its own time-out. It prints one line per agent, in the order
  given, as soon as that agent and every one before it are done:
    HOST:PORT <tab> CODE <tab> VALUE LINE <tab> VALUE LINE ...
  the value lines as received (escaped, control characters as \xNN), or
    HOST:PORT <tab> timeout|noreply|error <tab> REASON
  and at the end
    # N hosts: A answered, F failed, T timed out (WALL s; SUM s one after another)
  With --json each line is {"host", "port", "code", "values", "raw"} (as
  for one agent) or {"host", "port", "failure", "error"}, and the last is {"summary": {...}}.
  When standard error is a terminal and the list holds 20 agents or more,
  the progress is shown there. The exit status is the worst agent's (the
  highest of the statuses below).

Result codes:
  200  success
  300  operation failed (a management or upgrade operation)
  301  could not be carried out (a test, action or information request)
  302  another upgrade in progress
  500  not understood or not supported
  501  wrong or missing parameters
  502  end-of-transmission mark missing
  600  not allowed by the agent's settings

Exit status:
  0   the agent answered 200
  1   the agent answered 300, 301 or 302
  2   the agent answered 500, 501, 502, 600 (or a code zelq does not know)
  3   the agent closed the connection without a reply (wrong password,
      filtered address or invalid packet)
  4   could not connect, or timed out
  64  wrong command line, or a file it names cannot be read
  Plugin mode has its own: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.

Examples:
  export ZEL_PASSWORD=secret
  zelq GetInfo                                  status of the local agent
  zelq -H 10.0.0.5 -p 1055 -f ~/.zelpw GetSettings
  zelq SetSettings "Comment=web server 2" "Timeout=20000"
  zelq TEST-FileExists /var/log/syslog          a file test
  zelq TEST-ShellScript '/bin/sh %script% %params%' @check.sh '' 30 10
                    run check.sh on the agent (parameters: command template,
                    script, script parameters, time limit in seconds, number
                    of output lines to return)
  printf 'echo scriptres: ok\n' | zelq TEST-ShellScript '/bin/sh %script%' @- '' 10 5
  zelq --json GetInfo | jq .code
  zelq --json TEST-FileExists /etc/hostname | jq .values.size
  zelq help TEST-CountFiles                     the parameters of a command
  zelq --raw GetInfo > reply.txt
  zelq --plugin -H web1 -f ~/.zelpw -w 10000000000: -c 5000000000: TEST-UNC /var
                    WARNING below 10 GB free on /var, CRITICAL below 5 GB
  zelq --plugin -H web1 -w 500 -c 2000 TEST-TCP 127.0.0.1 80 5000 '' 0
                    the agent's time to connect to its own web server (ms)
  zelq --plugin -H web1 TEST-TextLog /var/log/app.log 'disk error'
                    CRITICAL when a new line holds "disk error"
  zelq --hosts fleet.txt --value 3 GetInfo      which version runs where
  zelq --hosts fleet.txt TEST-UNC / | awk -F'\t' '$2 == 200 && $4 < 5e9'
                    the agents with less than 5 GB free on /

The parameters and reply values of every command: zelq help COMMAND, and
the manual page zel-commands(7).
)";
}

std::string ZelqVersionText() {
    return std::string("zelq ") + ZELQ_VERSION + " (agent protocol " + kAgentProtocolVersion + ")\n";
}
