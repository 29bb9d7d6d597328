#include "zelq/usage.h"

#ifndef ZELQ_VERSION
#define ZELQ_VERSION "unknown"
#endif

std::string ZelqUsageText() {
    return "usage: zelq [-H HOST] [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] [--literal]\n"
           "            [--raw | --json] COMMAND [PARAM ...]\n"
           "       zelq [-H HOST] [-p PORT] [-t SECONDS] [-P PASSWORD | -f FILE] --upgrade FILE\n"
           "       zelq --help | --version\n";
}

std::string ZelqHelpText() {
    return ZelqUsageText() +
           R"(
Sends one request to a zel agent and prints its reply.

The request is the COMMAND word, then each PARAM as one parameter line.

Options:
  -H HOST       the agent's host name or address (default 127.0.0.1)
  -p PORT       the agent's port (default 1055)
  -t SECONDS    time-out for the connect and for the reply (default 10)
  -P PASSWORD   the agent's password (visible to other users in the process
                list while zelq starts; prefer -f or ZEL_PASSWORD)
  -f FILE       read the password from the first line of FILE
                Without -P and -f the password is taken from the environment
                variable ZEL_PASSWORD. It is never printed.
  --literal     send parameters starting with @ as they are written
  --upgrade FILE
                replace the agent's executable by FILE (101 bytes to just
                under 10 MiB): announces its size, sends it with its digest
                and prints both replies; the agent then restarts itself.
                The agent needs allowupdates=1 and this host in updateaddr.
  --raw         print the reply text exactly as received
  --json        print {"code": "...", "lines": [...]} with the decoded lines
  --help        show this help
  --version     show the version

Parameters:
  @FILE         the content of FILE as one parameter, its line breaks
                escaped as %0D and %0A (scripts, messages, multi-line texts)
  @-            the same for standard input
  A parameter written on the command line must not hold a line break.

Output:
  The first line is the result code and its meaning, then each value line
  with %0D%0A, %0A and %0D shown as line breaks. For GetInfo and GetSettings
  the name=value lines are shown in two columns.

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
  zelq --raw GetInfo > reply.txt

The parameters of each command are listed in the agent's documentation.
)";
}

std::string ZelqVersionText() { return std::string("zelq ") + ZELQ_VERSION + "\n"; }
