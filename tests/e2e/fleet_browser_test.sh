#!/bin/sh
# The fleet's page in a real browser: a fleet of test sites as the archive
# holds them, the page built by kestarchive, rendered by headless Chromium
# with scripts on and off. Each cell's figure read back from the rendered
# page is the one fleet.csv gives; the console has no error; the address's
# sort and filter take effect. With FLEET_SCREENSHOT=FILE, a screenshot of
# the page is kept there (docs/fleet.png is one).
#   fleet_browser_test.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
command -v chromium >/dev/null || { echo "SKIP: no chromium"; exit 77; }
work=$(mktemp -d /tmp/kestarchive-fleet-browser-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# A day's status file for SITE: a packet a minute from minute FROM to
# before TO, but none in [HOLE_FROM, HOLE_TO); sealed (with its line in the
# record) at SEALED, or left live.
day() { # SITE DAYS_AGO FROM TO HOLE_FROM HOLE_TO SEALED|live
    site="$work/sites/$1"
    date=$(date -u -d "$2 days ago" +%Y%m%d)
    file=KES$date.txt
    target="$site/data/$file"
    [ "$7" = live ] && target="$site/live/$file"
    awk -v d="${date#20}" -v f="$3" -v t="$4" -v hf="$5" -v ht="$6" 'BEGIN {
        for (m = f; m < t; m++) if (m < hf || m >= ht)
            printf "\001KES01 %s %02d:%02d 0000\004", d, int(m / 60), m % 60 }' >"$target"
    [ "$7" = live ] && return
    printf '%s %s %s %s\n' "$file" "$(stat -c %s "$target")" "$(sha256sum <"$target" | cut -c1-64)" "$7" \
        >>"$site/record"
}
site() { # SITE ZONE ADDED_DAYS_AGO
    mkdir -p "$work/sites/$1/data" "$work/sites/$1/live"
    echo "zone=$2" >"$work/sites/$1/site.conf"
    touch -d "$3 days ago" "$work/sites/$1/site.conf"
}
now=$(date -u +%s)
minute=$(( (now % 86400) / 60 ))
site kest01 UTC 30
for ago in $(seq 16 -1 1); do day kest01 "$ago" 0 1440 0 0 "$now"; done
day kest01 0 0 "$minute" 0 0 live
site kest02 UTC 30
for ago in $(seq 16 -1 1); do day kest02 "$ago" 0 1440 600 602 "$now"; done
day kest02 3 0 1440 300 600 "$now"
site kest03 Europe/Berlin 30
for ago in $(seq 16 -1 7); do day kest03 "$ago" 0 1440 0 0 $((now - 6 * 86400)); done
site kest04 UTC 3
site kest05 UTC 30
for ago in $(seq 16 -1 1); do [ "$ago" -eq 5 ] || day kest05 "$ago" 0 1440 0 0 "$now"; done
printf '%064d  data/KES%s.txt\n' 5 "$(date -u -d '5 days ago' +%Y%m%d)" >"$work/sites/kest05/live/manifest.sha256"

"$build/kestarchive" fleet --days 14 --root "$work/sites" --out "$work/page" --cache "$work/cache" \
    --metrics "$work/fleet.prom" 2>"$work/build.log" || fail "kestarchive fleet: $(cat "$work/build.log")"
page="file://$work/page/index.html"

render() { # OUT [chromium options...] URL
    out="$1"
    shift
    timeout 120 chromium --headless --no-sandbox --disable-gpu --enable-logging=stderr --v=0 \
        --virtual-time-budget=5000 --dump-dom "$@" >"$out" 2>"$out.log" || fail "chromium $*: $(tail -3 "$out.log")"
}
render "$work/on.html" "$page"
# Scripts off: the same page with its script taken out (a browser told to
# run none gives headless Chromium nothing to dump).
sed '/^<script>$/,/^<\/script>$/d' "$work/page/index.html" >"$work/page/noscript.html"
grep -q '<script' "$work/page/noscript.html" && fail "the script is still in noscript.html"
render "$work/off.html" "file://$work/page/noscript.html"
render "$work/sorted.html" "$page#sort=-0&q=kest0*"
render "$work/filtered.html" "$page#q=kest02"

# The figures as fleet.csv gives them, "site/yyyymmdd figure" a line ("-" for none expected).
awk -F, 'NR > 1 { d = $2; gsub("-", "", d); print $1 "/" d " " ($3 == "" ? "-" : $3) }' "$work/page/fleet.csv" |
    sort >"$work/csv"
for mode in on off; do
    # Each day cell as the browser built it: its link, and the figure it shows.
    grep -oE 'href="kest[0-9]+/[0-9]{8}\.html">[^<]*<' "$work/$mode.html" |
        sed -E 's/href="([^"]*)\.html">([^<]*)</\1 \2/' | sort >"$work/cells.$mode"
    [ "$(wc -l <"$work/cells.$mode")" -eq 70 ] || fail "scripts $mode: $(wc -l <"$work/cells.$mode") cells, not 5 sites x 14 days"
    cmp -s "$work/csv" "$work/cells.$mode" ||
        fail "scripts $mode: the page's figures differ from fleet.csv: $(diff "$work/csv" "$work/cells.$mode" | head -5)"
done
# Spot checks of what the figures mean: a two-minute dip, a day of five
# hours silent, a day the site holds, a site added three days ago.
for want in "kest02/$(date -u -d '4 days ago' +%Y%m%d) 99" "kest02/$(date -u -d '3 days ago' +%Y%m%d) 79" \
    "kest05/$(date -u -d '5 days ago' +%Y%m%d) 0" "kest04/$(date -u -d '4 days ago' +%Y%m%d) -" \
    "kest04/$(date -u -d '1 days ago' +%Y%m%d) 0"; do
    grep -qx "$want" "$work/cells.on" || fail "no cell $want: $(grep "${want% *}" "$work/cells.on")"
done
grep -q 'kest05/[0-9]*\.html' "$work/on.html" && grep -qE 'class="p" style="--g:0"><a href="kest05/' "$work/on.html" ||
    fail "the day kest05 holds is not striped as not yet arrived"
# The script ran without error, and the page is whole without it.
grep -q '<input id="q" placeholder' "$work/on.html" || fail "scripts on: the filter is not shown"
grep -q '<input id="q" hidden=""' "$work/off.html" || fail "scripts off: a filter is shown that cannot work"
for mode in on off sorted filtered; do
    ! grep -E 'CONSOLE|Uncaught' "$work/$mode.html.log" || fail "scripts $mode: the console has errors"
done
# Worst first without scripts: the site added and never heard from, then the silent one.
order=$(grep -oE '<tr><th><a href="kest[0-9]+/' "$work/off.html" | grep -oE 'kest[0-9]+' | tr '\n' ' ')
[ "$order" = "kest04 kest03 kest02 kest01 kest05 " ] || fail "not worst first: $order"
order=$(grep -oE '<tr( hidden="")?><th><a href="kest[0-9]+/' "$work/sorted.html" | grep -oE 'kest[0-9]+' | tr '\n' ' ')
[ "$order" = "kest05 kest04 kest03 kest02 kest01 " ] || fail "#sort=-0 did not sort by name, descending: $order"
shown=$(grep -oE '<tr><th><a href="kest[0-9]+/' "$work/filtered.html" | grep -oE 'kest[0-9]+' | tr '\n' ' ')
[ "$shown" = "kest02 " ] || fail "#q=kest02 shows $shown"
# The metrics say the same of the silent site.
grep -q 'kestarchive_site_silent{site="kest03"} 1' "$work/fleet.prom" || fail "kest03 is not silent in the metrics"
grep -q 'kestarchive_site_silent{site="kest01"} 0' "$work/fleet.prom" || fail "kest01 is silent in the metrics"

shot="${FLEET_SCREENSHOT:-$work/fleet.png}"
timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1500,420 \
    --screenshot="$shot" "$page" >/dev/null 2>&1 || fail "chromium --screenshot"
[ -s "$shot" ] || fail "no screenshot"
[ "$status" -eq 0 ] && echo "the page's 70 cells say what fleet.csv says, with scripts on and off; no console errors"
exit "$status"
