#!/bin/sh
# Runs the fleet example's playbook for real against hosts that are all this machine, each with
# its own tool directory and simulated adapters, one scenario per rule, and checks the fetched
# reports and the fleet report summary.csv (parsed, never Ansible's console):
#   precheck    the info file names a package not sent: the play fails, no host touched
#   plan        --check of the whole fleet: a plan per host, no update anywhere, exit status 0
#   unreachable batches of 4: an ssh host on a closed port and a host that drops after its first
#               flash stop the rollout after their batch, though the others there passed
#   resume      batches of 3: a host updated before is skipped, one with orv_force is not; the
#               failing host stops the rollout although the others of its batch passed (threshold)
#   checksum    a canary whose staged copy of the package changes before the run is refused by
#               the program and stops the rollout
#   after       one batch, no threshold: hosts that vanish or lose an adapter after the run fail
#               the health gate, a killed job is seen as lost, a hung one is timed out; and a
#               second rollout started meanwhile changes nothing on the host the first holds
# Usage: fleet_test.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR   (exit 77: no ansible-playbook)
set -u
if [ "$#" -ne 4 ] || [ -z "$4" ] || [ "$4" = "/" ]; then
    echo "usage: fleet_test.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR" >&2
    exit 2
fi
program=$1 tool=$2 examples=$3 scratch=$4 here=$(cd "$(dirname "$0")" && pwd)
if ! command -v ansible-playbook >/dev/null 2>&1; then
    echo "ansible-playbook is not installed (Debian package ansible-core); skipped"
    exit 77
fi
failures=0
check() { # DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" && scratch=$(pwd) || exit 1

# Ansible keeps its files under the scratch directory and reads no configuration of the machine's.
export ANSIBLE_HOME="$scratch/ansible" ANSIBLE_LOCAL_TEMP="$scratch/ansible/tmp" ANSIBLE_CONFIG="$scratch/ansible.cfg"
export ANSIBLE_REMOTE_TEMP="$scratch/ansible/tmp" ANSIBLE_ASYNC_DIR="$scratch/ansible/async"
export ANSIBLE_CONNECTION_PLUGINS="$here/connection_plugins" ANSIBLE_PIPELINING=1
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_HOST_KEY_CHECKING=0 LC_ALL=C.UTF-8 LANG=C.UTF-8
: > ansible.cfg
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# HOST INVENTORY-VARS MACHINE-LINE...: a tool directory with the stand-in tool, and its host.
host() {
    mkdir -m 0755 "hosts" "hosts/$1" 2>/dev/null; install -m 0755 "$tool" "hosts/$1/tarvo" || exit 1
    name=$1 vars=$2
    shift 2
    printf '%s\n' "$@" > "hosts/$name/tarvo-machine.txt"
    echo "        $name: {orv_workdir: $scratch/hosts/$name, $vars}" >> inventory.yml
}
printf '%s\n' all: "  children:" "    adapter_hosts:" "      vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3}" "      hosts:" > inventory.yml
ok="0x1111, KEP 4-port RAID controller"
host canary "orv_force: true" "$ok" "0x4444, KEP 1-port network adapter"
host sshdown "ansible_connection: ssh, ansible_host: 127.0.0.1, ansible_port: $closed_port" "$ok"
host dropped "ansible_connection: flaky, flaky_down: $scratch/hosts/dropped/result-1.out" "$ok" "$ok, ms=4000"
host peer "" "$ok"
host failing "" "0x1111, KEP 4-port RAID controller, exit=3" "$ok"
host tampered "ansible_connection: flaky, flaky_corrupt: $scratch/hosts/tampered/.orvTQupdate-rollout/raid4-fw-2.10.pkg" "$ok"
host later "" "$ok"
host gone "ansible_connection: flaky, flaky_down: $scratch/hosts/gone/result-1.out, flaky_from_reconnect: true" "$ok"
host shrinking "" "$ok" "0x2222, KEP 2-port HBA"
host lost "orv_timeout: 40" "0x1111, KEP 4-port RAID controller, ms=30000"
host hung "orv_timeout: 2" "0x1111, KEP 4-port RAID controller, ms=30000"
host busy "orv_settle_seconds: 6" "0x1111, KEP 4-port RAID controller, ms=1000"
# The new firmware takes the HBA of "shrinking" away: the tool lists it no more after the flash.
mv hosts/shrinking/tarvo hosts/shrinking/tarvo.real
printf '%s\n' '#!/bin/sh' './tarvo.real "$@"; status=$?' \
    '[ "$3" != -updatepkg ] || sed -i /0x2222/d tarvo-machine.txt' 'exit $status' > hosts/shrinking/tarvo
chmod 0755 hosts/shrinking/tarvo

head -n 1 "$examples/info.txt" > info.txt
cat > vars.json <<JSON
{"orv_program": "$program", "orv_info_file": "$scratch/info.txt", "orv_packages": ["$examples/packages/raid4-fw-2.10.pkg"],
 "orv_report_dir": "$scratch/reports", "orv_poll": 1, "orv_settle_seconds": 0, "orv_health_timeout": 3}
JSON
playbook() { # LOG ARG...: runs the playbook, sets $status
    log=$1
    shift
    ansible-playbook -f 10 -i inventory.yml -e @vars.json "$examples/fleet/update.yml" "$@" > "$log" 2>&1
    status=$?
    echo "--- $log: ansible-playbook exit status $status"
}
one_batch="-e orv_serial=0 -e orv_max_fail_percentage=100"

# What the fleet report says: the outcome of HOST, or with a third word its adapters' states.
summary() { # DIR HOST [states]
    python3 - "$@" <<'PY'
import csv, sys
rows = [r for r in csv.DictReader(open(sys.argv[1] + "/summary.csv")) if r["host"] == sys.argv[2]]
print(" ".join(r["state"] for r in rows) if len(sys.argv) > 3 else rows[0]["outcome"] if rows else "absent")
PY
}
said() { # DIR HOST TEXT: the reasons that summary.md gives for HOST hold TEXT
    awk -v h="### $2" '$0 == h { on = 1; next } /^### / { on = 0 } on' "$1/summary.md" | grep -qF -- "$3"
}
report() { # HOST EXPRESSION: a member of the host's fetched report (Python, on the document d)
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "reports/$1.json" "$2"
}
lines() { # HOST: the updates the stand-in tool was asked for
    if [ -e "hosts/$1/tarvo.log" ]; then wc -l < "hosts/$1/tarvo.log"; else echo 0; fi
}
untouched() { # HOST: nothing of a rollout reached the host's tool directory
    for f in orvTQupdate info.txt tarvo.log .orvTQupdate-rollout; do [ ! -e "hosts/$1/$f" ] || return 1; done
}
is() { [ "$1" = "$2" ]; }

playbook precheck.log -e "orv_info_file=$examples/info.txt"
check "precheck: the play fails" is "$status" 2
check "precheck: no host touched" eval 'for h in canary peer later busy; do untouched $h || exit 1; done'
check "precheck: says which package is not sent" grep -q 'the info file names packages that are not sent: .*hba2-fw-1.07.pkg' precheck.log

playbook plan.log --check --limit canary,later $one_batch
check "plan: the play passes (exit status 0)" is "$status" 0
check "plan: outcomes and the adapters' states" is "$(summary reports/check canary)/$(summary reports/check canary states)" "would update/would update not covered"
check "plan: no update asked for, no file or hold left, no record of a run" \
    eval '[ ! -e reports/canary.json ] && for h in canary later; do [ "$(lines $h)" = 0 ] &&
          [ "$(ls -A hosts/$h)" = "$(printf "list.out\nssdid.out\ntarvo\ntarvo-machine.txt")" ] || exit 1; done'

playbook unreachable.log --limit canary,sshdown,dropped,peer,later -e orv_serial=4
check "unreachable: the play fails" is "$status" 2
for pair in canary=updated sshdown=unreachable dropped=unreachable peer=updated later="not touched"; do
    check "unreachable: ${pair%%=*} is ${pair#*=}" is "$(summary reports "${pair%%=*}")" "${pair#*=}"
done
check "unreachable: the host after the stop is not touched" untouched later
check "unreachable: the dropped host was flashed" is "$(lines dropped)" 2

playbook resume.log --limit canary,peer,failing,later -e orv_serial=3
check "resume: the play fails" is "$status" 2
for pair in canary=updated peer="already updated" failing=failed later="not touched"; do
    check "resume: ${pair%%=*} is ${pair#*=}" is "$(summary reports "${pair%%=*}")" "${pair#*=}"
done
check "resume: the updated host is not flashed again, unless forced" is "$(lines peer) $(lines canary)" "1 2"
check "resume: the failed adapter in the fetched report and the summary" \
    is "$(report failing '[(a["state"], a["exit_code"]) for a in d["adapters"]]') $(summary reports failing states)" \
    "[('failed', 3), ('updated', 0)] failed updated"
check "resume: the failure shows the adapter's tool output" said reports failing "Update failed with error code 3."
check "resume: the host after the stop is not touched" untouched later

playbook checksum.log --limit tampered,later
check "checksum: the canary whose package changed fails, the play too" is "$status/$(summary reports tampered)" "2/refused"
check "checksum: the program refused it, nothing was flashed" \
    eval 'said reports tampered "raid4-fw-2.10.pkg of line 1 does not match its SHA-256" && [ "$(lines tampered)" = 0 ]'
check "checksum: the host after the stop is not touched" untouched later

# The first rollout runs in the background; the second starts once the busy host's run is over,
# while the first still holds it (the host waits its settle time before the health gate).
cat > vars-b.json <<JSON
{"orv_info_file": "$scratch/b/info-b.txt", "orv_packages": ["$scratch/b/raid4-fw-2.10.pkg"], "orv_report_dir": "$scratch/reports-b"}
JSON
mkdir -p b && echo "0x1111,KEP 4-port RAID controller,raid4-fw-2.10.pkg" > b/info-b.txt && echo "other" > b/raid4-fw-2.10.pkg
(playbook after.log --limit gone,shrinking,lost,hung,busy $one_batch; echo "$status" > after.status) &
first=$!
until [ -e hosts/lost/tarvo.log ] && [ -e hosts/busy/result-1.out ] || ! kill -0 "$first" 2>/dev/null; do sleep 0.2; done
# The lost host's job dies as in a crash: Ansible's module, timeout(1), the program, the tool.
stat() { sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f"$2"; } # PID FIELD: 2 parent, 3 group
for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/cwd")" = "$scratch/hosts/lost" ] && [ "$(cat "$p/comm")" = tarvo ]; then
        group=$(stat "${p#/proc/}" 3) module=$(stat "$(stat "$group" 2)" 3)
        [ "$module" = "$(stat $$ 3)" ] || env kill -s KILL -- "-$module" "-$group" # never the test's own
    fi
done
playbook second.log --limit busy -e @vars-b.json
wait "$first"
check "after: the play fails" is "$(cat after.status)" 2
for pair in gone=unhealthy shrinking=unhealthy lost=lost hung="timed out" busy=updated; do
    check "after: ${pair%%=*} is ${pair#*=}" is "$(summary reports "${pair%%=*}")" "${pair#*=}"
done
check "after: the gate says the host did not answer" said reports gone "Wait for the host to answer again"
check "after: the gate says the dry run lists other adapters" said reports shrinking "the dry run after the run lists 1 adapters (0x1111), the run found 2"
check "after: the lost run names its adapter and the tool's last output" \
    eval 'said reports lost "while the run was at adapter 1" && said reports lost "Applying package raid4-fw-2.10.pkg"'
check "after: the timeout names the adapter" said reports hung "killed at orv_timeout (2 s) while the run was at adapter 1"
check "second: the busy host fails, the play too" is "$status/$(summary reports-b busy)" "2/busy"
check "second: it says why" said reports-b busy "another rollout or run is in progress on this host"
check "second: nothing of it reached the host" \
    eval 'cmp -s hosts/busy/raid4-fw-2.10.pkg "$examples/packages/raid4-fw-2.10.pkg" && [ ! -e hosts/busy/info-b.txt ] && [ "$(lines busy)" = 1 ]'
check "after: the hold is released" [ ! -e hosts/busy/.orvTQupdate-rollout ]

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
