#!/usr/bin/env bash
# Starts the agent built in $1 in the foreground with a local configuration.
set -euo pipefail
build_dir=${1:-build/release}
if [ ! -x "$build_dir/src/daemon/zel" ]; then
    echo "The agent itself is not built yet: this checkout has the foundation libraries only."
    echo "The build and 'make test' work; 'make run' will start the agent once the daemon is in."
    exit 0
fi
