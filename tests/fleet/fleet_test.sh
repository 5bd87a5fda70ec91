#!/bin/sh
# Runs the fleet example's playbook for real, against four hosts that are all this machine
# (connection: local), each with its own working directory and simulated adapters:
#   clean       one adapter updated, one not covered        exit 0            passes
#   uncovered   no adapter covered                          exit 1, no error  passes
#   failing     first update fails (3), second succeeds     exit 3            fails
#   unreadable  the adapter's ID cannot be read             exit 1 + ERROR    fails
# and checks the verdict on each host, Ansible's own exit status, and what the tool was asked.
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
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORCE_COLOR=0
export LC_ALL=C.UTF-8 LANG=C.UTF-8
: > ansible.cfg

machine() { # HOST LINE...
    host=$1
    shift
    mkdir -p "hosts/$host" && cp "$tool" "hosts/$host/tarvo" || exit 1
    printf '%s\n' "$@" > "hosts/$host/tarvo-machine.txt"
}
machine clean "0x1111, KEP 4-port RAID controller" "0x4444, KEP 1-port network adapter"
machine uncovered "0x4444, KEP 1-port network adapter"
machine failing "0x2222, KEP 2-port HBA, exit=3" "0x1111, KEP 4-port RAID controller"
machine unreadable "0x1111, KEP 4-port RAID controller, query=nokey"

{
    echo "all:"
    echo "  children:"
    echo "    adapter_hosts:"
    echo "      vars:"
    echo "        ansible_connection: local"
    echo "        ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
    echo "      hosts:"
    for host in clean uncovered failing unreadable; do
        echo "        $host:"
        echo "          orv_workdir: $scratch/hosts/$host"
    done
} > inventory.yml

cat > extra-vars.json <<JSON
{
  "orv_program": "$program",
  "orv_info_file": "$examples/info.txt",
  "orv_packages": ["$examples/packages/raid4-fw-2.10.pkg", "$examples/packages/hba2-fw-1.07.pkg",
                   "$examples/packages/raid8-fw-3.02.pkg"]
}
JSON

playbook() { # LOG ARG...
    log=$1
    shift
    ansible-playbook -i inventory.yml -e @extra-vars.json "$examples/fleet/update.yml" "$@" > "$log" 2>&1
}

playbook all.log
status=$?
cat all.log
check "ansible-playbook reports failed hosts (exit status 2, got $status)" [ "$status" -eq 2 ]

# The play recap gives each host's verdict: failed=0 or failed=1.
recap() { # LOG HOST FAILED
    grep -Eq "^$2 +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=$3 " "$1"
}
check "clean host passes" recap all.log clean 0
check "host with nothing covered passes" recap all.log uncovered 0
check "host with a failing adapter fails" recap all.log failing 1
check "host whose adapter ID cannot be read fails" recap all.log unreadable 1

check "clean host: the covered adapter got its package" \
    [ "$(cat hosts/clean/tarvo.log 2>/dev/null)" = "1 0x1111 raid4-fw-2.10.pkg" ]
check "failing host: both adapters were tried, the later success after the failure" \
    [ "$(cat hosts/failing/tarvo.log 2>/dev/null)" = "$(printf '1 0x2222 hba2-fw-1.07.pkg\n2 0x1111 raid4-fw-2.10.pkg')" ]
check "host with nothing covered: no update was asked for" [ ! -e hosts/uncovered/tarvo.log ]
check "host whose ID cannot be read: no update was asked for" [ ! -e hosts/unreadable/tarvo.log ]

# With only passing hosts the whole play passes.
playbook passing.log --limit clean,uncovered
status=$?
check "ansible-playbook passes when every host passes (exit status 0, got $status)" [ "$status" -eq 0 ]
[ "$status" -eq 0 ] || cat passing.log

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
