#!/bin/sh
# Every option a program's --help names stands in its manual page.
set -eu
source_dir="$1"
build_dir="$2"
status=0
for program in kestlog kestctl kestsim kestreport; do
    page="$source_dir/man/$program.1"
    # The page as its reader sees it: roff's escaped minus signs are minus signs.
    text=$(sed 's/\\-/-/g' "$page")
    options=$("$build_dir/$program" --help | grep -oE '(^|[ ,(])--?[a-zA-Z][a-zA-Z-]*' | sed 's/^[ ,(]//' | sort -u)
    [ -n "$options" ] || { echo "FAIL: $program --help names no option"; status=1; }
    for option in $options; do
        printf '%s\n' "$text" | grep -qE -- "(^|[^a-zA-Z-])$option([^a-zA-Z-]|$)" ||
            { echo "FAIL: $program: $option is in --help but not in $page"; status=1; }
    done
done
[ "$status" -eq 0 ] && echo "every option of every --help is in its manual page"
exit $status
