#!/usr/bin/env bash
# An agent's session through the official MCP client library (tests/mcp, installed by the
# test command) against a GTK form on a private headless desktop.
#   mcp_test.sh BUILD_DIR
set -euo pipefail
build=$1
. "$(dirname "$0")/desktop.sh"
/usr/bin/python3 "$root/tests/support/agent_form.py" 200 150 > "$dir/form.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$dir/form.log" && break; sleep 0.1; done
grep -q ready "$dir/form.log" || { echo "the form did not start:"; cat "$dir/form.log"; exit 1; }
"$build/tovo-control" --socket "$dir/screen.sock" > "$dir/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -S "$dir/screen.sock" ]] && break; sleep 0.1; done
status=0
node "$root/tests/mcp/agent_test.mjs" "$build/tovo-control" "$dir/screen.sock" || status=$?
if [[ $status -ne 0 ]]; then echo "--- service log"; tail -40 "$dir/service.log"; fi
exit $status
