#!/bin/sh
# Runs the update utility against the stand-in tool in a fresh scratch directory and shows
# everything an operator would see, followed by the run's exit status and the tool's log.
# Usage: demo.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR
set -u
if [ "$#" -ne 4 ] || [ -z "$4" ] || [ "$4" = "/" ]; then
    echo "usage: demo.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR" >&2
    exit 2
fi
program=$1 tool=$2 examples=$3 scratch=$4

# A scratch directory left from an earlier demo would still hold its tarvo.log.
# Only its owner may change the directory, whatever the umask: the program refuses it otherwise.
rm -rf "$scratch" && mkdir -p "$scratch" && chmod 0755 "$scratch" || exit 1
cp "$program" "$scratch/orvTQupdate" &&
    cp "$tool" "$scratch/tarvo" && chmod 0755 "$scratch/tarvo" &&
    cp "$examples/info.txt" "$examples/tarvo-machine.txt" "$scratch/" &&
    cp "$examples"/packages/*.pkg "$scratch/" || exit 1

cd "$scratch" || exit 1
echo "=== $scratch\$ ./orvTQupdate --verify --report run.json info.txt"
./orvTQupdate --verify --report run.json info.txt
status=$?
echo "=== orvTQupdate exit status: $status"
echo "=== tarvo.log (adapter, ID, package of every update the tool was asked for):"
cat tarvo.log
echo "=== $scratch\$ ./orvTQupdate --history"
./orvTQupdate --history
# The demo machine has a failing adapter on purpose: a non-zero status is the expected result.
exit 0
