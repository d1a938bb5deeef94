#!/bin/sh
# Makes contrib/example-day.svg: a day of the logger against kestsim on a clock
# 600 times fast (a day in 144 s), with fault words, broken frames, a quiet
# spell of the instrument, the line lost and back, an operator's comment, a
# power cut (the logger killed and its status file torn), the status file
# refusing writes for a while, and a stop and restart; then kestreport draws
# it into BUILD_DIR/example-day/day.svg.
#   sh scripts/example-day.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
bin="$(cd "${1:-build}" && pwd)"
work="$bin/example-day"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
rate=600
t0=$(date +%s)
at() { sleep "$(awk -v t0="$t0" -v target="$1" -v now="$(date +%s.%N)" 'BEGIN { d = t0 + target - now; print (d > 0 ? d : 0) }')"; }
clock() { date -u -d "@$((1434412800 + ($(date +%s) - t0) * rate))" "+%Y-%m-%d %H:%M:%S"; }

sim() {
    "$bin/kestsim" --link ttyKEST --interval 50 --stx-every 10 --broken 700 --silence 1800:2000 \
        --fault 0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0000,0029,0000,8000 \
        >sim.out 2>&1 &
    echo $!
}
logger() {
    faketime -f "@$(clock) x$rate" "$bin/kestlog" </dev/null >>console.txt 2>>stderr.txt &
    echo $!
}
printf 'serial_port=%s/ttyKEST,9600,7,E,1\nsite=DEMO\nkessendmail=N\n' "$work" >kestlog.par
sim_pid=$(sim)
sleep 0.5
log_pid=$(logger)

at 40   # about 06:40: the adapter unplugged for half an hour
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
at 43
sim_pid=$(sim)
at 54   # about 09:00
"$bin/kestctl" -C "$work" comment window cleaned >/dev/null
at 70   # about 11:40: a power cut, twenty minutes long
pkill -KILL -f "$bin/kestlog" || true
sleep 0.2
printf '\001K0001 1506' >>"data/KES20150616.txt"
head -c 3000 /dev/zero >>"data/KES20150616.txt"
at 72
log_pid=$(logger)
at 90   # 15:00: the status file refuses writes for ten minutes
pkill -STOP -f "$bin/kestlog"  # so that no packet recreates it between the two steps
mv data/KES20150616.txt data/KES20150616.txt.kept
mkdir data/KES20150616.txt
pkill -CONT -f "$bin/kestlog"
at 91
rmdir data/KES20150616.txt
mv data/KES20150616.txt.kept data/KES20150616.txt
at 108  # 18:00: stopped for maintenance for half an hour
pkill -TERM -f "$bin/kestlog" || true
at 111
log_pid=$(logger)
at 144
pkill -TERM -f "$bin/kestlog" || true
kill "$sim_pid" 2>/dev/null || true
sleep 0.5
TZ=UTC faketime '2015-06-17 08:00:00' "$bin/kestreport" --tz UTC --day 2015-06-16 --svg "$work/day.svg" data
