#!/bin/bash
# The way home, measured on a site and an archive host booted in containers
# (as tests/e2e/archive_test.sh boots them), printed as it goes:
# - bytes on the wire: a day of status packets at one a second, pushed
#   hourly (the growing file appended each hour, then closed): against the
#   aim of 1.1 times the day's new bytes after compression, plus 10 kB a run;
# - catching up: DAYS (default 7) days offline over a 1 Mbit/s link (tc tbf):
#   against the aim of 1.2 times the time the link needs for the bytes sent;
# - a run with nothing new: its time and its bytes on the wire.
# Bytes on the wire are the site's link's, both ways, from the kernel's
# counters: every frame whole, and what TCP carried (ssh's own bytes, the
# frames less 66 bytes of Ethernet, IP and TCP headers each), which the aims
# are judged on. Root; exits 77 (and says why) where containers cannot run.
# Usage: bench/archive.sh [DAYS] [BUILD_DIR]
set -uo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
DAYS=${1:-7}
BUILD=$(realpath "${2:-$SRC/build}")
CACHE=$BUILD/container-cache
skip() { echo "skipped: archive benchmark: $*"; exit 77; }
W=$(mktemp -d /tmp/kestlog-archive-bench-XXXXXX)
S=$W/site A=$W/archive BR=kbb$$
. "$SRC/tests/e2e/machines.sh"
need_machines ip:iproute2 tc:iproute2 ssh-keygen:openssh-client
[ -x "$BUILD/reportbench" ] || skip "no $BUILD/reportbench (build first)"
cleanup() {
    set +e
    machines_down
    ip link del "$BR" 2>/dev/null
    rm -rf "$W"
}
trap cleanup EXIT

t "building the package and the two roots"
site_and_archive_roots || exit 1
echo "10.77.0.2 $(cut -d' ' -f1,2 "$A/etc/ssh/ssh_host_ed25519_key.pub")" >"$S/etc/kestlog/known_hosts"
printf 'destination=bench@10.77.0.2:\nkey=/etc/kestlog/bench.archive-key\n' >"$S/etc/kestlog/bench.archive"
SD=$S/var/lib/kestlog/bench/data
mkdir -p "$SD"
chown -R "$(chroot "$S" id -u kestlog)" "$S/var/lib/kestlog/bench"
# The instrument's days, one packet a second.
(cd "$W" && "$BUILD/reportbench" --generate $((DAYS + 1))) || exit 1
mapfile -t STATUS < <(ls "$W/data"/KES*.txt)

ip link add "$BR" type bridge && ip link set "$BR" up
boot archive "$A" --network-bridge="$BR" || exit 1
boot site "$S" --network-bridge="$BR" || exit 1
on archive sh -c 'ip addr add 10.77.0.2/24 dev host0 && ip link set host0 up && systemctl restart ssh'
on site sh -c 'ip addr add 10.77.0.1/24 dev host0 && ip link set host0 up'
add_site bench || exit 1
LINK=$(ip -o link show master "$BR" | sed -n 's/^[0-9]*: \(vb-site[^@:]*\).*/\1/p')
SHAPED=$(ip -o link show master "$BR" | sed -n 's/^[0-9]*: \(vb-archive[^@:]*\).*/\1/p')
counter() { echo $(($(cat /sys/class/net/$LINK/statistics/rx_$1) + $(cat /sys/class/net/$LINK/statistics/tx_$1))); }
wire() { echo "$(counter bytes) $(counter packets)"; }
since() { # BEFORE: frame bytes and carried bytes since then
    local now=($(wire)) was=($1)
    echo "$((now[0] - was[0])) $((now[0] - was[0] - 66 * (now[1] - was[1])))"
}
both() { local b=($1); echo "$(kb ${b[1]}) carried, $(kb ${b[0]}) in frames"; }
run() { on site runuser -u kestlog -- kestlog-archive -C /var/lib/kestlog/bench --settings /etc/kestlog/bench.archive; }
put() { # FILE NAME [BYTES] [TOUCH]: into the site's data/, cut at a packet's end, as the logger would leave it
    local bytes=${3:-$(stat -c %s "$1")}
    head -c "$bytes" "$1" >"$SD/$2"
    [ -n "${4:-}" ] && touch -d "$4" "$SD/$2"
    chown "$(stat -c %u "$SD")" "$SD/$2"
}
kb() { awk "BEGIN { printf \"%.1f kB\", $1 / 1000 }"; }
t "booted"

t "a day of status packets, pushed hourly"
day=${STATUS[-1]}
name=${day##*/}
size=$(stat -c %s "$day")
compressed=$(gzip -c "$day" | wc -c)
before=$(wire)
runs=0
for hour in $(seq 1 24); do
    cut=$(head -c $((size * hour / 24)) "$day" | LC_ALL=C grep -aob $'\004' | tail -n 1 | cut -d: -f1)
    put "$day" "$name" $((cut + 1))
    run >/dev/null 2>"$W/run.log" || { cat "$W/run.log"; exit 1; }
    runs=$((runs + 1))
    echo "  hour $hour: $(both "$(since "$before")") so far"
done
put "${STATUS[-2]}" "KES99991231.txt" 100 # the next day's file: the day's is closed
run >/dev/null 2>"$W/run.log" || { cat "$W/run.log"; exit 1; }
runs=$((runs + 1))
sent=$(since "$before")
aim=$((compressed * 11 / 10 + 10000 * runs))
echo "  the day: $size bytes, $compressed after gzip; $runs runs put $(both "$sent") on the wire (aim for what is carried: at most $(kb $aim))"
on site rm -f /var/lib/kestlog/bench/data/KES99991231.txt

t "a run with nothing new"
before=$(wire)
begun=$(date +%s%N)
run >/dev/null 2>&1
echo "  $(((($(date +%s%N) - begun) / 1000000))) ms, $(both "$(since "$before")") on the wire"

t "$DAYS days offline, then over a 1 Mbit/s link"
for i in $(seq 0 $((DAYS - 1))); do
    f=${STATUS[$i]}
    put "$f" "${f##*/}" "" "2020-01-01 00:00"
done
week=0
for i in $(seq 0 $((DAYS - 1))); do week=$((week + $(stat -c %s "${STATUS[$i]}"))); done
tc qdisc add dev "$SHAPED" root tbf rate 1mbit burst 32kbit latency 400ms
before=$(wire)
begun=$(date +%s%N)
run 2>&1 | tail -n 1
elapsed_ms=$((($(date +%s%N) - begun) / 1000000))
sent=$(since "$before")
link_ms=$((${sent% *} * 8 / 1000)) # every frame, at 1 Mbit/s: a millisecond for each 1000 bits
echo "  $week bytes of files; $(both "$sent") on the wire in $elapsed_ms ms; the link needs $link_ms ms for them:" \
    "$(awk "BEGIN { printf \"%.2f\", $elapsed_ms / $link_ms }") times (aim: at most 1.2)"
tc qdisc del dev "$SHAPED" root
t "done"
