#!/bin/sh
# Lints manual pages: groff must format each without a single warning.
# Usage: check_man_pages.sh GROFF PAGE...
set -u
groff=$1
shift
status=0
for page in "$@"; do
    out=$("$groff" -man -ww -z "$page" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        echo "$page: groff -man -ww -z reported (status $rc):"
        echo "$out"
        status=1
    fi
done
exit $status
