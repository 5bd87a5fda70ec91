#!/bin/sh
# Runs the fleet example's playbook for real, against hosts that are all this machine
# (connection: local), each with its own tool directory and simulated adapters, in this order:
#   clean       one adapter updated, one not covered        exit 0            passes, changed
#   failing     first update fails (3), second succeeds     exit 3            fails, changed
#   uncovered   no adapter covered                          exit 1, no error  passes
#   unreadable  the adapter's ID cannot be read             exit 1 + ERROR    fails
#   notool      ./tarvo is not executable                   not run           fails, no files
# First a check-mode plan of clean, uncovered and unreadable; then a rollout in batches of one
# that the failing host stops; then the rest with the old behaviour (one batch, no threshold);
# then only passing hosts. Checks the verdicts, Ansible's exit status, what the tool was asked
# and what reached each host.
# Usage: fleet_test.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR   (exit 77: no ansible-playbook)
set -u
if [ "$#" -ne 4 ] || [ -z "$4" ] || [ "$4" = "/" ]; then
    echo "usage: fleet_test.sh PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR" >&2
    exit 2
fi
program=$1 tool=$2 examples=$3 scratch=$4
if ! command -v ansible-playbook >/dev/null 2>&1; then
    echo "ansible-playbook is not installed (Debian package ansible-core); skipped"
    exit 77
fi

failures=0
check() { # DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
cd "$scratch" || exit 1
scratch=$(pwd)

# Ansible keeps its temporary files and settings under the scratch directory, reads no
# configuration of the machine's, and needs a UTF-8 locale.
export ANSIBLE_HOME="$scratch/ansible-home" ANSIBLE_LOCAL_TEMP="$scratch/ansible-tmp"
export ANSIBLE_REMOTE_TEMP="$scratch/ansible-tmp" ANSIBLE_CONFIG="$scratch/ansible.cfg"
export ANSIBLE_ASYNC_DIR="$scratch/ansible-async"
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORCE_COLOR=0
export LC_ALL=C.UTF-8 LANG=C.UTF-8
# The check-mode plan's scratch directories go here, where the test can see them gone.
export TMPDIR="$scratch/tmp"
: > ansible.cfg && mkdir tmp || exit 1

machine() { # HOST LINE...
    host=$1
    shift
    mkdir -p "hosts/$host" && cp "$tool" "hosts/$host/tarvo" || exit 1
    printf '%s\n' "$@" > "hosts/$host/tarvo-machine.txt"
}
machine clean "0x1111, KEP 4-port RAID controller" "0x4444, KEP 1-port network adapter"
machine failing "0x2222, KEP 2-port HBA, exit=3" "0x1111, KEP 4-port RAID controller"
machine uncovered "0x4444, KEP 1-port network adapter"
machine unreadable "0x1111, KEP 4-port RAID controller, query=fail"
machine notool "0x1111, KEP 4-port RAID controller"
chmod a-x hosts/notool/tarvo
all_hosts="clean failing uncovered unreadable notool"

{
    echo "all:"
    echo "  children:"
    echo "    adapter_hosts:"
    echo "      vars:"
    echo "        ansible_connection: local"
    echo "        ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
    echo "      hosts:"
    for host in $all_hosts; do
        echo "        $host:"
        echo "          orv_workdir: $scratch/hosts/$host"
    done
} > inventory.yml

cat > extra-vars.json <<JSON
{
  "orv_program": "$program",
  "orv_info_file": "$examples/info.txt",
  "orv_packages": ["$examples/packages/raid4-fw-2.10.pkg", "$examples/packages/hba2-fw-1.07.pkg"],
  "orv_poll": 1
}
JSON

playbook() { # LOG ARG...
    log=$1
    shift
    ansible-playbook -i inventory.yml -e @extra-vars.json "$examples/fleet/update.yml" "$@" > "$log" 2>&1
    status=$?
    cat "$log"
}
# The old behaviour: every host in one batch, no host stopping the others.
one_batch="-e orv_serial=0 -e orv_max_fail_percentage=100"

# HOST's line in the play recap: changed=C and failed=F; "absent" when the play never had it.
recap() { # LOG HOST CHANGED FAILED
    if [ "$3" = absent ]; then
        ! grep -Eq "^$2 +: ok=" "$1"
    else
        grep -Eq "^$2 +: ok=[0-9]+ +changed=$3 +unreachable=0 +failed=$4 " "$1"
    fi
}
# A result of HOST (the last of its kind: ok or fatal) holds TEXT.
said() { # LOG HOST ok|fatal TEXT
    awk -v start="$3: [$2]" 'index($0, start) == 1 && /{$/ { block = "" ; on = 1 }
        on { block = block $0 "\n" } /^}/ && on { on = 0; last = block } END { printf "%s", last }' "$1" |
        grep -qF -- "$4"
}
# Nothing of the run reached HOST: no program copied, no update asked for, result.out untouched.
untouched() { # HOST
    for file in orvTQupdate info.txt tarvo.log result.out; do
        [ ! -e "hosts/$1/$file" ] || return 1
    done
}

# Check mode: a plan per host, and not one update command anywhere.
playbook plan.log --check --limit clean,uncovered,unreadable $one_batch
check "check mode: ansible-playbook reports the host that would fail (exit status 2, got $status)" [ "$status" -eq 2 ]
for host in clean uncovered unreadable; do
    check "check mode: no update on $host and no file left in its tool directory" untouched "$host"
done
check "check mode: the dry run ran in the tool directory" [ -s hosts/clean/list.out ]
check "check mode: clean host would be updated, and is changed" \
    eval 'said plan.log clean ok "would be updated" && recap plan.log clean 1 0'
check "check mode: host with nothing covered, unchanged" \
    eval 'said plan.log uncovered ok "nothing on this host is covered" && recap plan.log uncovered 0 0'
check "check mode: host whose ID cannot be read fails" said plan.log unreadable fatal "would fail on this host"
check "check mode: the scratch directories are gone" [ -z "$(ls "$scratch/tmp")" ]

# The default rollout: one host per batch, and the failing second host ends it.
playbook rollout.log
check "rollout: ansible-playbook reports a failed host (exit status 2, got $status)" [ "$status" -eq 2 ]
check "rollout: clean host passes, changed" recap rollout.log clean 1 0
check "rollout: partly updated failing host is changed and failed" recap rollout.log failing 1 1
check "rollout: failure message lists the failed adapter" \
    said rollout.log failing fatal "Update of adapter 1 failed with return code:  768."
check "rollout: failure message shows the failed adapter's tool output" \
    said rollout.log failing fatal "Update failed with error code 3."
check "rollout: the play says that it stops and which hosts it leaves" \
    grep -qF "The rollout stops after this batch: failing failed (1 of 1 hosts, orv_max_fail_percentage 0). Not touched: uncovered, unreadable, notool." rollout.log
for host in uncovered unreadable notool; do
    check "rollout: $host, in a later batch, is not in the play and not touched" \
        eval "recap rollout.log $host absent && untouched $host"
done
check "rollout: clean host: the covered adapter got its package" \
    [ "$(cat hosts/clean/tarvo.log 2>/dev/null)" = "1 0x1111 raid4-fw-2.10.pkg" ]
check "rollout: failing host: both adapters were tried, the later success after the failure" \
    [ "$(cat hosts/failing/tarvo.log 2>/dev/null)" = "$(printf '1 0x2222 hba2-fw-1.07.pkg\n2 0x1111 raid4-fw-2.10.pkg')" ]

# The rest in one batch: a failed host does not stop the others.
playbook rest.log --limit uncovered,unreadable,notool $one_batch
check "one batch: ansible-playbook reports failed hosts (exit status 2, got $status)" [ "$status" -eq 2 ]
check "one batch: host with nothing covered passes, unchanged" recap rest.log uncovered 0 0
check "one batch: host whose adapter ID cannot be read fails" recap rest.log unreadable 0 1
check "one batch: failure message holds the ERROR line and the tool's standard error" \
    eval 'said rest.log unreadable fatal "ERROR: Could not read the ID of adapter 1" &&
          said rest.log unreadable fatal "tarvo: adapter 1 does not answer"'
check "one batch: host without an executable tool fails with a clear message" \
    said rest.log notool fatal "tarvo is missing or not executable on this host"
check "one batch: host without an executable tool gets no files" untouched notool
check "one batch: the run reached the hosts with the tool" [ -e hosts/unreadable/orvTQupdate ]
check "one batch: no update was asked for where none is covered or readable" \
    eval '[ ! -e hosts/uncovered/tarvo.log ] && [ ! -e hosts/unreadable/tarvo.log ]'

# With only passing hosts the whole play passes.
playbook passing.log --limit clean,uncovered $one_batch
check "ansible-playbook passes when every host passes (exit status 0, got $status)" [ "$status" -eq 0 ]

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
