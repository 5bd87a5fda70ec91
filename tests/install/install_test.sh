#!/bin/sh
# Installs a build tree under a scratch prefix and fails unless the prefix holds exactly the
# files named, no more, the program among them executable and its manual page in section 8.
# Usage: install_test.sh CMAKE BUILD-DIR SCRATCH-DIR PROGRAM PAGE [FILE...]
#        (PROGRAM, PAGE and FILE relative to the prefix)
set -u
if [ "$#" -lt 5 ] || [ -z "$3" ] || [ "$3" = "/" ]; then
    echo "usage: install_test.sh CMAKE BUILD-DIR SCRATCH-DIR PROGRAM PAGE [FILE...]" >&2
    exit 2
fi
cmake=$1 build=$2 scratch=$3 program=$4 page=$5
shift 3

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
"$cmake" --install "$build" --prefix "$scratch/prefix" > "$scratch/install.log" || { cat "$scratch/install.log"; exit 1; }
printf '%s\n' "$@" | LC_ALL=C sort > "$scratch/expected"
(cd "$scratch/prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) > "$scratch/actual"
if ! diff -u "$scratch/expected" "$scratch/actual"; then
    echo "the install tree differs from the files expected (- expected, + installed)"
    exit 1
fi
if ! [ -f "$scratch/prefix/$program" ] || ! [ -x "$scratch/prefix/$program" ]; then
    echo "$program is not an executable file"
    exit 1
fi
if ! head -n 1 "$scratch/prefix/$page" | grep -q '^\.TH ORVTQUPDATE 8 '; then
    echo "$page does not say it is in section 8: $(head -n 1 "$scratch/prefix/$page")"
    exit 1
fi
echo "installed: $(tr '\n' ' ' < "$scratch/actual")"
