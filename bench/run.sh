#!/bin/sh
# Measures what orvTQupdate itself costs beside the tool commands it has to run, side by side
# with a floor that does only the unavoidable part, and prints the ratios:
#   overhead  a run over 200 adapters and 30 info-file records (401 tool commands) against the
#             same 401 command lines run one after another by /bin/sh -c;   target <= 1.05
#   report    that run with --report, which writes and flushes a whole document after every
#             adapter, against the run without it;                            reported, no target
#   verify    that run with --verify (601 tool commands: each adapter queried again), its own
#             cost beyond its floor of 601 command lines against the plain run's; no target
#   reading   counting a 1,000,000-line list.out, the list-all command included, against the
#             same command followed by grep -c '^[0-9]' list.out;            target <= 2.0
#   memory    peak resident memory with that list.out against a 3-line one;  target <= 1.1
#   checksums a dry run that first checks 256 MiB in four packages against a SHA-256 checksum
#             file (--checksums) against sha256sum over the same four files;  target <= 0.5
# Every figure is the median over REPS repetitions; each repetition runs the contenders in
# turn, in alternating order, so that drift in the machine's load hits both alike.
# Usage: run.sh PROGRAM MINTOOL BENCHRUN SCRATCH-DIR [REPS]
set -u
if [ "$#" -lt 4 ] || [ "$#" -gt 5 ] || [ -z "$4" ] || [ "$4" = "/" ]; then
    echo "usage: run.sh PROGRAM MINTOOL BENCHRUN SCRATCH-DIR [REPS]" >&2
    exit 2
fi
program=$1 mintool=$2 benchrun=$3 scratch=$4 reps=${5:-11}
if [ "$reps" -lt 5 ]; then
    echo "run.sh: at least 5 repetitions, not $reps" >&2
    exit 2
fi

fail() {
    echo "run.sh: $*" >&2
    exit 1
}

# A working directory as the program expects one: the program, the tool as ./tarvo, an info
# file of 30 records that cover every adapter, and the adapter count the tool reports.
setup() { # DIR ADAPTERS
    mkdir -p "$1" && chmod 0755 "$1" || exit 1
    cp "$program" "$1/orvTQupdate" && cp "$mintool" "$1/tarvo" && chmod 0755 "$1/tarvo" || exit 1
    echo "$2" > "$1/bench-adapters"
    i=0
    : > "$1/info.txt"
    while [ "$i" -lt 30 ]; do
        printf '0x%04x,Bench adapter type %d,pkg%02d.bin\n' $((0x1000 + i)) $((i + 1)) $((i + 1)) >> "$1/info.txt"
        i=$((i + 1))
    done
}

# Runs a command in DIR and appends "SECONDS PEAK-KIB STATUS" to the file RESULTS.
measure() { # DIR RESULTS COMMAND...
    dir=$1 results=$2
    shift 2
    (cd "$dir" && "$benchrun" /dev/null "$@") >> "$results" || fail "could not measure $*"
}

# The median of column COLUMN of FILE.
median() { # FILE COLUMN
    cut -d' ' -f"$2" "$1" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Every run must have ended with the expected exit status, or its figures mean nothing.
expectStatus() { # FILE STATUS
    awk -v want="$2" '$3 != want { bad = 1 } END { exit bad }' "$1" ||
        fail "a run in $1 did not end with exit status $2"
}

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
cd "$scratch" || exit 1
scratch=$(pwd)

# --- overhead: 200 adapters, 30 records, every adapter covered and updated.
over=$scratch/overhead
setup "$over" 200
{
    echo "./tarvo -listall > list.out"
    i=1
    while [ "$i" -le 200 ]; do
        echo "./tarvo -c $i -list > ssdid.out"
        echo "./tarvo -c $i -updatepkg pkg$(printf '%02d' $(( (i - 1) % 30 + 1 ))).bin > result.out"
        i=$((i + 1))
    done
} > "$over/floor.txt"
# With --verify, each update is followed by the adapter's query again; in a directory of its
# own, so that the files only it leaves (config-N-after.out) are not the plain run's to remove.
verify=$scratch/verify
setup "$verify" 200
awk '{ print } / -updatepkg / { sub(/ -updatepkg .*/, " -list > ssdid.out"); print }' "$over/floor.txt" > "$verify/floor-verify.txt"
[ "$(wc -l < "$verify/floor-verify.txt")" -eq 601 ] || fail "the --verify floor does not hold 601 command lines"
# The floor must be the very command lines the program runs: its debug output shows them.
(cd "$over" && ./orvTQupdate info.txt DEBUG > debug.txt)
[ $? -eq 0 ] || fail "the 200-adapter run did not end with exit status 0"
[ "$(grep -c 'completed successfully' "$over/debug.txt")" -eq 200 ] || fail "not all 200 adapters were updated"
{
    echo "./tarvo -listall > list.out"
    sed -n -e 's/^Running command:  //p' -e '/^\.\/tarvo -c [0-9]* -updatepkg /p' "$over/debug.txt"
} | cmp -s - "$over/floor.txt" || fail "the floor's command lines differ from the program's"
(cd "$verify" && ./orvTQupdate --verify info.txt DEBUG > debug-verify.txt) || fail "the run with --verify did not end with exit status 0"
[ "$(grep -c 'answers with ID' "$verify/debug-verify.txt")" -eq 200 ] || fail "not all 200 adapters were verified"
{
    echo "./tarvo -listall > list.out"
    sed -n -e 's/^Running command:  //p' -e '/^\.\/tarvo -c [0-9]* -updatepkg /p' "$verify/debug-verify.txt"
} | cmp -s - "$verify/floor-verify.txt" || fail "the --verify floor's command lines differ from the program's"

# --- reading and memory: 999,998 adapters make a list.out of 1,000,000 lines (a header and a
# closing line around them); one adapter makes a 3-line one.
big=$scratch/big
small=$scratch/small
setup "$big" 999998
setup "$small" 1
printf '%s\n' "./tarvo -listall > list.out" "grep -c '^[0-9]' list.out" > "$big/floor.txt"
(cd "$big" && ./orvTQupdate info.txt > out.txt)
[ $? -eq 231 ] || fail "the 1,000,000-line run did not end with exit status 231"
grep -q '^ERROR: 999998 adapters found' "$big/out.txt" || fail "the 1,000,000-line run did not count 999998 adapters"
[ "$(wc -l < "$big/list.out")" -eq 1000000 ] || fail "list.out does not have 1,000,000 lines"
(cd "$big" && [ "$(sh floor.txt)" = "999998" ]) || fail "grep does not count 999998 adapters"
(cd "$small" && ./orvTQupdate info.txt > out.txt) || fail "the 3-line run did not end with exit status 0"
[ "$(wc -l < "$small/list.out")" -eq 3 ] || fail "the small list.out does not have 3 lines"

# --- checksums: four packages of 64 MiB, listed in SUMS as sha256sum writes it, each checked
# by a dry run over four adapters before their queries.
sums=$scratch/checksums
setup "$sums" 4
i=1
: > "$sums/info.txt"
while [ "$i" -le 4 ]; do
    printf '0x%04x,Bench adapter type %d,pkg%02d.bin\n' $((0x1000 + i - 1)) "$i" "$i" >> "$sums/info.txt"
    head -c $((64 << 20)) /dev/urandom > "$sums/pkg0$i.bin" || fail "could not write pkg0$i.bin"
    i=$((i + 1))
done
(cd "$sums" && sha256sum pkg01.bin pkg02.bin pkg03.bin pkg04.bin > SUMS) || fail "sha256sum could not make SUMS"
(cd "$sums" && ./orvTQupdate --checksums SUMS --dry-run info.txt > out.txt)
[ $? -eq 0 ] || fail "the dry run with --checksums did not end with exit status 0"
[ "$(grep -c '^Would run:' "$sums/out.txt")" -eq 4 ] || fail "the dry run with --checksums does not show 4 updates"
# The check must really read the packages: one changed digit of a digest stops the run.
awk 'NR == 3 { $0 = (substr($0, 1, 1) == "0" ? "1" : "0") substr($0, 2) } { print }' "$sums/SUMS" > "$sums/BAD"
(cd "$sums" && ./orvTQupdate --checksums BAD --dry-run info.txt > bad.txt)
[ $? -eq 231 ] || fail "the dry run with a wrong digest did not end with exit status 231"
grep -q '^ERROR: The update package pkg03.bin of line 3 does not match' "$sums/bad.txt" ||
    fail "the dry run with a wrong digest does not name pkg03.bin"

r=1
while [ "$r" -le "$reps" ]; do
    if [ $((r % 2)) -eq 1 ]; then
        measure "$over" "$scratch/over-program" ./orvTQupdate info.txt
        measure "$over" "$scratch/over-floor" "$benchrun" --serial floor.txt
        measure "$over" "$scratch/report-program" ./orvTQupdate --report run.json info.txt
        measure "$verify" "$scratch/verify-program" ./orvTQupdate --verify info.txt
        measure "$verify" "$scratch/verify-floor" "$benchrun" --serial floor-verify.txt
        measure "$big" "$scratch/read-program" ./orvTQupdate info.txt
        measure "$big" "$scratch/read-floor" "$benchrun" --serial floor.txt
        measure "$small" "$scratch/small-program" ./orvTQupdate info.txt
        measure "$sums" "$scratch/sums-program" ./orvTQupdate --checksums SUMS --dry-run info.txt
        measure "$sums" "$scratch/sums-floor" sha256sum pkg01.bin pkg02.bin pkg03.bin pkg04.bin
    else
        measure "$sums" "$scratch/sums-floor" sha256sum pkg01.bin pkg02.bin pkg03.bin pkg04.bin
        measure "$sums" "$scratch/sums-program" ./orvTQupdate --checksums SUMS --dry-run info.txt
        measure "$small" "$scratch/small-program" ./orvTQupdate info.txt
        measure "$big" "$scratch/read-floor" "$benchrun" --serial floor.txt
        measure "$big" "$scratch/read-program" ./orvTQupdate info.txt
        measure "$verify" "$scratch/verify-floor" "$benchrun" --serial floor-verify.txt
        measure "$verify" "$scratch/verify-program" ./orvTQupdate --verify info.txt
        measure "$over" "$scratch/report-program" ./orvTQupdate --report run.json info.txt
        measure "$over" "$scratch/over-floor" "$benchrun" --serial floor.txt
        measure "$over" "$scratch/over-program" ./orvTQupdate info.txt
    fi
    r=$((r + 1))
done
expectStatus "$scratch/over-program" 0
expectStatus "$scratch/over-floor" 0
expectStatus "$scratch/report-program" 0
expectStatus "$scratch/verify-program" 0
expectStatus "$scratch/verify-floor" 0
expectStatus "$scratch/read-program" 231
expectStatus "$scratch/read-floor" 0
expectStatus "$scratch/small-program" 0
expectStatus "$scratch/sums-program" 0
expectStatus "$scratch/sums-floor" 0

overProgram=$(median "$scratch/over-program" 1)
overFloor=$(median "$scratch/over-floor" 1)
reportProgram=$(median "$scratch/report-program" 1)
verifyProgram=$(median "$scratch/verify-program" 1)
verifyFloor=$(median "$scratch/verify-floor" 1)
readProgram=$(median "$scratch/read-program" 1)
readFloor=$(median "$scratch/read-floor" 1)
rssBig=$(median "$scratch/read-program" 2)
rssSmall=$(median "$scratch/small-program" 2)
sumsProgram=$(median "$scratch/sums-program" 1)
sumsFloor=$(median "$scratch/sums-floor" 1)

awk -v reps="$reps" -v op="$overProgram" -v of="$overFloor" -v rp="$readProgram" -v rf="$readFloor" \
    -v mb="$rssBig" -v ms="$rssSmall" -v sp="$sumsProgram" -v sf="$sumsFloor" -v rr="$reportProgram" \
    -v vp="$verifyProgram" -v vf="$verifyFloor" 'BEGIN {
    verdict["1"] = "met"; verdict["0"] = "NOT met"
    printf "Medians over %d alternating repetitions\n", reps
    printf "overhead  200 adapters, 401 commands: program %.3f s, /bin/sh -c floor %.3f s, ratio %.3f (target <= 1.05: %s)\n",
        op, of, op / of, verdict[(op / of <= 1.05) ""]
    printf "report    the same run with --report (201 documents, each written whole and flushed to the disk): %.3f s, ratio %.3f to the run without it (no target)\n",
        rr, rr / op
    printf "verify    the same run with --verify (601 commands): program %.3f s, floor %.3f s, ratio %.3f; own cost %.1f ms against %.1f ms without it (no target)\n",
        vp, vf, vp / vf, (vp - vf) * 1000, (op - of) * 1000
    printf "reading   1,000,000-line list.out: program %.3f s, list-all + grep -c %.3f s, ratio %.3f (target <= 2.0: %s)\n",
        rp, rf, rp / rf, verdict[(rp / rf <= 2.0) ""]
    printf "memory    peak RSS with 1,000,000 lines %d KiB, with 3 lines %d KiB, ratio %.3f (target <= 1.1: %s)\n",
        mb, ms, mb / ms, verdict[(mb / ms <= 1.1) ""]
    printf "checksums 256 MiB in 4 packages: program dry run with --checksums %.3f s, sha256sum %.3f s, ratio %.3f (target <= 0.5: %s)\n",
        sp, sf, sp / sf, verdict[(sp / sf <= 0.5) ""]
}'
