#!/bin/sh
# Replays the transcripts in the manual page's EXAMPLES (the example blocks whose first line is a
# "$ " command) in a copy of the demo, and fails unless the real output is the page's, empty
# lines included, so that the two cannot drift apart. Trailing spaces are not compared: a roff
# source cannot keep them.
# Usage: check-manpage-example.sh PAGE PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR
set -u
if [ "$#" -ne 5 ] || [ -z "$5" ] || [ "$5" = "/" ]; then
    echo "usage: check-manpage-example.sh PAGE PROGRAM TOOL EXAMPLES-DIR SCRATCH-DIR" >&2
    exit 2
fi
page=$1 program=$2 tool=$3 examples=$4 scratch=$5

rm -rf "$scratch" && mkdir -p "$scratch/run" && chmod 0755 "$scratch/run" || exit 1
cp "$program" "$scratch/run/orvTQupdate" && cp "$tool" "$scratch/run/tarvo" && chmod 0755 "$scratch/run/tarvo" &&
    cp "$examples/info.txt" "$examples/tarvo-machine.txt" "$examples"/packages/*.pkg "$scratch/run/" || exit 1

# The transcript lines of EXAMPLES, with the roff escapes that the page uses taken out.
awk '
    /^\.SH / { inside = ($0 == ".SH EXAMPLES") }
    inside && /^\.EX/ { block = 1; first = 1; next }
    inside && /^\.EE/ { block = 0; next }
    block {
        if (first && substr($0, 1, 2) != "$ ") block = 0
        first = 0
        if (block) print
    }' "$page" |
    sed -e 's/\\&//g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g' > "$scratch/transcript" || exit 1
if ! grep -q '^\$ ' "$scratch/transcript"; then
    echo "no example transcript found in $page"
    exit 1
fi

sed -n 's/^\$ //p' "$scratch/transcript" > "$scratch/commands.sh"
grep -v '^\$ ' "$scratch/transcript" > "$scratch/expected"
(cd "$scratch/run" && sh ../commands.sh 2>&1) | sed 's/ *$//' > "$scratch/actual"
if ! diff -u "$scratch/expected" "$scratch/actual"; then
    echo "the EXAMPLES of $page differ from a real run (- page, + run)"
    exit 1
fi
echo "the EXAMPLES of $page are a real run's output ($(wc -l < "$scratch/expected") lines)"
