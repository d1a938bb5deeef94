#!/bin/sh
# The shipped timers over 400 days from 1 March 2028 (both changes of the
# clocks, a leap year's end) in a zone with daylight saving time: each
# elapses at its period and never skips or repeats an hour, as systemd
# computes it (systemd-analyze calendar with a base time).
# Usage: timers_test.sh SOURCE_DIR
set -u
src="$1"
command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze"; exit 77; }
base='2028-03-01 00:00:00 UTC'
days=400
status=0
# timer, seconds between elapses (weekly: a week, give or take the hour the clocks moved)
while read -r timer period slack; do
    calendar=$(sed -n 's/^OnCalendar=//p' "$src/contrib/$timer")
    n=$((days * 86400 / period))
    bad=$(TZ=Europe/Berlin systemd-analyze calendar --iterations="$n" --base-time="$base" "$calendar" |
        sed -n 's/.*(in UTC): ... //p' | date -u -f - +%s |
        awk -v p="$period" -v s="$slack" 'NR > 1 && ($1 - last < p - s || $1 - last > p + s) {
            printf "@%d after @%d: %d s apart\n", $1, last, $1 - last; exit }
            { last = $1; n++ } END { if (n < 2) print "no elapses" }')
    if [ -n "$bad" ]; then
        # shellcheck disable=SC2086
        set -- $bad
        [ "$1" = "no" ] || bad="$(date -u -d "$1" '+%F %T UTC') after $(date -u -d "${3%:}" '+%T'): $4 s apart"
        echo "FAIL $timer ($calendar): $bad"
        status=1
    else
        echo "ok   $timer ($calendar): every $period s for $days days"
    fi
done <<EOF
kestlog-archive@.timer 3600 0
kestlog-daily.timer 86400 0
kestlog-daily@.timer 86400 0
kestarchive-fleet.timer 300 0
kestarchive-seal-all.timer 900 0
kestarchive-scrub.timer 604800 3600
EOF
exit $status
