#!/usr/bin/env bash
# Starts the agent built in $1 in the foreground with a local configuration.
# The first run creates the runtime folder run/ (git-ignored) with a
# configuration file, a random password, logs and a temporary folder; later
# runs reuse it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$top/build/release}" && pwd)
agent="$build_dir/src/daemon/zel"
client="$build_dir/tools/zelq"
runtime="$top/run"
cfg="$runtime/zel.cfg"
port=1055

if [ ! -x "$agent" ]; then
    echo "error: the agent was not built ($agent is missing)" >&2
    exit 1
fi

umask 077
mkdir -p "$runtime/logs" "$runtime/tmp"
if [ ! -f "$cfg" ]; then
    password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
    cat > "$cfg" <<CFG
# zel configuration for a local run (created by make run)
host=127.0.0.1
port=$port
password=$password
zelpath=$agent
tmpdir=$runtime/tmp
oklogfile=$runtime/logs/ok.log
badlogfile=$runtime/logs/bad.log
verboselogfile=$runtime/logs/verbose.log
logsuccess=1
logfails=1
filteractive=0
allowmanage=1
manageaddr=127.0.0.1
allowupdates=0
updateaddr=127.0.0.1
proccntscript=
cpuusagescript=
proclistscript=
CFG
    echo "Created $cfg with a new random password."
else
    # The agent may have been built in another place since the first run.
    sed -i "s|^zelpath=.*|zelpath=$agent|" "$cfg"
fi
# The process, CPU and process-list answers are the agent's own: the three
# script settings are empty (a configuration from an earlier run that named
# the scripts of scripts/site/ is changed to that); a script of your own is
# left alone.
for entry in proccntscript=proccount.sh cpuusagescript=cpuusage.sh proclistscript=proclist.sh; do
    key=${entry%%=*}
    file=${entry#*=}
    if ! grep -q "^$key=" "$cfg"; then
        echo "$key=" >> "$cfg"
    else
        sed -i "s|^$key=.*/scripts/site/$file\$|$key=|" "$cfg"
    fi
done

password=$(sed -n 's/^password=//p' "$cfg" | tail -n 1)
port=$(sed -n 's/^port=//p' "$cfg" | tail -n 1)
echo
echo "Agent: 127.0.0.1:$port   password: $password   configuration: $cfg"
if [ -x "$client" ]; then
    echo "Query it from another terminal with:"
    echo "  ZEL_PASSWORD='$password' $client -p $port GetInfo"
fi
echo
exec "$agent" -i -v "$cfg"
