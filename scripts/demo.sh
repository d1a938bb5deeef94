#!/bin/sh
# The logger against the instrument simulator, no instrument needed.
#   sh scripts/demo.sh [SECONDS]
# At a terminal it runs until you type quit (or Ctrl-C). Otherwise it runs for
# SECONDS (default 20) and then types "quit" for you.
# KESTLOG_DEMO_DIR: the scratch working directory (default: build/demo).
# KESTLOG_DEMO_MAIL: an address for the alert e-mail (default: e-mail off).
set -eu
cd "$(dirname "$0")/.."
if [ "${KESTLOG_DEMO_PREBUILT:-}" = 1 ]; then
    build="${BUILD_DIR:-build}"  # the tests run it on the build they test
else
    echo "demo: installing what is missing and building (the first time takes a few minutes)"
    . scripts/setup.sh >/dev/null
fi
seconds="${1:-20}"
bin="$(cd "$build" && pwd)"
demo="${KESTLOG_DEMO_DIR:-$bin/demo}"
mkdir -p "$demo"
cd "$demo"

# Packets every two seconds; now and then a fault word, a message packet and
# a broken frame.
rm -f kestsim.out
"$bin/kestsim" --interval 2000 --wait 1000 --fault 0000,0000,0000,0029,0000,0000,8000 \
    --stx-every 4 --broken 15 >kestsim.out 2>kestsim.err &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
tries=0
until [ -s kestsim.out ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then
        echo "demo: kestsim did not start:" >&2
        cat kestsim.err >&2
        exit 1
    fi
    sleep 0.1
done
line=$(head -n 1 kestsim.out)

if [ -n "${KESTLOG_DEMO_MAIL:-}" ]; then
    mail="maildest=$KESTLOG_DEMO_MAIL
kessendmail=Y"
else
    mail="kessendmail=N"
fi
cat >kestlog.par <<PAR
KESTLOG.PAR_updated=$(date +%Y-%m-%d)
serial_port=$line,9600,7,E,1
site=DEMO
$mail
PAR

echo "demo: kestsim sends on $line; kestlog runs in $demo"
status=0
if [ -t 0 ]; then
    echo "demo: type help, kesrawdon, kesrawdoff, comment <text> or quit (and Enter)"
    "$bin/kestlog" || status=$?
else
    echo "demo: running for $seconds s, then typing quit"
    { sleep "$seconds"; printf 'quit\n'; } | "$bin/kestlog" || status=$?
fi

kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
echo
echo "demo: kestlog ended with status $status. Its files are in $demo/data:"
ls -l "$demo/data"
exit "$status"
