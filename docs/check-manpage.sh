#!/bin/sh
# Renders a manual page as man(1) would and fails on anything groff or mandoc reports about it.
# Usage: check-manpage.sh PAGE     (exit 77: groff is not installed, nothing was checked)
page=$1
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed; $page is not checked"
    exit 77
fi
for device in utf8 ascii; do
    if ! report=$(groff -man -K utf8 -T"$device" -ww -z "$page" 2>&1) || [ -n "$report" ]; then
        echo "groff -T$device reports on $page:"
        echo "$report"
        exit 1
    fi
done
# Debian's other formatter is stricter about portable markup; where it is installed it must be
# silent too.
if command -v mandoc >/dev/null 2>&1; then
    if ! report=$(mandoc -T lint "$page" 2>&1) || [ -n "$report" ]; then
        echo "mandoc -T lint reports on $page:"
        echo "$report"
        exit 1
    fi
else
    echo "mandoc is not installed; only groff checked $page"
fi
echo "$page renders without warnings"
