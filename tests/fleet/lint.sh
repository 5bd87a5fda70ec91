#!/bin/sh
# Lints the fleet rollout: ansible-lint with the production profile over the playbook and the
# collection (examples/fleet/.ansible-lint) and the collection's tarball built; then shellcheck
# over this script at every severity and over the project's other shell scripts at warning and
# above.
# Usage: lint.sh SOURCE-DIR   (exit 77: neither ansible-lint nor shellcheck is installed)
set -u
source_dir=$1
status=77
if command -v ansible-lint >/dev/null 2>&1; then
    # ansible-lint 6.13 finds the collection in the parent of ANSIBLE_COLLECTIONS_PATH.
    (cd "$source_dir/examples/fleet" &&
        ANSIBLE_COLLECTIONS_PATH="$PWD/collections/ansible_collections" ansible-lint --offline --nocolor) &&
        status=0 || status=1
    built=$(mktemp -d)
    ansible-galaxy collection build --output-path "$built" \
        "$source_dir/examples/fleet/collections/ansible_collections/orv/fleet" && [ -s "$built/orv-fleet-1.0.0.tar.gz" ] ||
        status=1
    rm -rf "$built"
else
    echo "ansible-lint is not installed (Debian package ansible-lint); not run"
fi
if command -v shellcheck >/dev/null 2>&1; then
    [ "$status" = 77 ] && status=0
    shellcheck "$0" || status=1
    (cd "$source_dir" && shellcheck --severity=warning .ci/run .ci/deps .ci/checks &&
        find . \( -name 'build*' -o -name .git \) -prune -o -name '*.sh' -exec shellcheck --severity=warning {} +) ||
        status=1
else
    echo "shellcheck is not installed; not run"
fi
exit "$status"
