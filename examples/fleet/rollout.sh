#!/bin/sh
# The steps that update.yml runs on a host, around its tool directory DIR and this rollout's hold
# HOLD (DIR/.orvTQupdate-rollout). Errors go to standard error; 75 means the host is busy.
#   rollout.sh hold DIR HOLD OWNER SUMS     take the hold: ./tarvo there, no other rollout, no run;
#                                           keep OWNER and the checksum lines SUMS in it
#   rollout.sh run HOLD LIMIT MODE INFO PACKAGE...   (in HOLD, as the detached job) put the staged
#                                           files in place under the program's lock (MODE plan:
#                                           only the missing packages, as links) and run it
#   rollout.sh watch JOB-FILE HOLD          one look at the run, as JSON, then once it is over the
#                                           last lines of every result file
#   rollout.sh recheck DIR HOLD INFO        the health gate's dry run; prints its report
#   rollout.sh release HOLD                 remove what a plan linked, and the hold
busy="another rollout or run is in progress on this host"
started() { # PID: when the process started, since boot (empty if there is none)
    sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f20
}
step=$1
shift
case $step in
hold)
    cd "$1" || exit
    [ -x tarvo ] || { echo "$1/tarvo is missing or not executable; nothing was copied" >&2; exit 1; }
    mkdir -m 0700 "$2" 2>/dev/null || { echo "$busy: $2 is held ($(cat "$2/owner" 2>/dev/null)); nothing was copied" >&2; exit 75; }
    flock -n . true || { rmdir "$2"; echo "$busy: an orvTQupdate run holds $1; nothing was copied" >&2; exit 75; }
    echo "$3" > "$2/owner" && printf '%s\n' "$4" > "$2/sums.sha256"
    ;;
run)
    hold=$1 limit=$2 mode=$3 info=$4
    shift 4
    # Ansible's async wrapper (the parent of this job's module) writes the job file at the end.
    wrapper=$(sed 's/.*) //' "/proc/$PPID/stat" | cut -d' ' -f2)
    echo "$wrapper $(started "$wrapper")" > job
    for f in orvTQupdate "$info" "$@"; do [ -f "$f" ] || { echo "$f was not staged" >&2; exit 1; }; done
    if [ "$mode" = plan ]; then
        # shellcheck disable=SC2016 # the inner shell expands $f
        flock -n -E 75 .. sh -c 'for f; do [ -e "../$f" ] || ln -- "$f" ..; done' link "$@"
    else
        flock -n -E 75 .. mv -f -- orvTQupdate "$info" "$@" ..
    fi || { rc=$?; [ $rc -ne 75 ] || echo "$busy: an orvTQupdate run holds the directory" >&2; exit $rc; }
    if [ "$mode" = plan ]; then
        set -- "$hold/orvTQupdate" --dry-run --checksums "$hold/sums.sha256" --report "$hold/run.json" "$hold/$info"
    else
        set -- ./orvTQupdate --checksums "$hold/sums.sha256" --report "$hold/run.json" "$info"
    fi
    # The run holds the hold's lock, and so do the tool commands it starts, for as long as they live.
    cd .. && exec timeout -s KILL "$limit" flock "$hold" "$@"
    ;;
watch)
    job=$(cat "$1" 2>/dev/null) || job=null
    flock -n -E 75 "$2" true
    [ $? -eq 75 ] && held=true || held=false
    read -r pid start 2>/dev/null < "$2/job" && [ "$(started "$pid")" != "$start" ] && alive=false || alive=true
    run=$(cat "$2/run.json" 2>/dev/null) || run=null
    printf '{"job": %s, "held": %s, "alive": %s, "run": %s}\n' "${job:-null}" "$held" "$alive" "${run:-null}" | tr -d '\n'
    echo
    if ! $held && cd "$2/.."; then tail -v -n 10 -- result.out result-*.out 2>/dev/null || true; fi
    ;;
recheck)
    cd "$1" && ./orvTQupdate --dry-run --checksums "$2/sums.sha256" --report "$2/check.json" "$3" > /dev/null
    cat "$2/check.json"
    ;;
release)
    # Not while a run still holds the hold's lock (the host dropped out of the play meanwhile).
    # shellcheck disable=SC3013 # -ef (the same file), as dash and bash have it
    cd "$1" && for f in *; do [ ! "../$f" -ef "$f" ] || rm -f -- "../$f"; done
    cd .. && flock -n "$1" rm -rf -- "$1"
    ;;
*)
    echo "usage: rollout.sh hold|run|watch|recheck|release ..." >&2
    exit 2
    ;;
esac
