#!/bin/bash
# The Debian package under a real systemd: the .deb is built, installed with
# apt in a fresh Debian 12 root beside a local mail agent, and booted in
# systemd-nspawn. Two instruments are kestsim on host pseudo-terminals: kest1
# bound in as /dev/kest1 from the start, kest2 bound in elsewhere and linked
# to /dev/kest2 only later, as udev would once an adapter is plugged in.
# Runs as root where systemd-container and mmdebstrap can be installed;
# otherwise it says why in one line and is skipped (status 77).
# Usage: systemd_test.sh SOURCE_DIR
set -uo pipefail
SRC=$(realpath "$1")
skip() { echo "skipped: systemd container test: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
if ! command -v systemd-nspawn >/dev/null || ! command -v mmdebstrap >/dev/null || ! command -v lintian >/dev/null; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        systemd-container mmdebstrap lintian; } >/dev/null 2>&1 ||
        skip "cannot install systemd-container, mmdebstrap and lintian"
fi
sources=/etc/apt/sources.list.d/debian.sources
[ -f $sources ] || sources=/etc/apt/sources.list
[ -f $sources ] || skip "no Debian package sources on this host"

W=$(mktemp -d /tmp/kestlog-systemd-XXXXXX); R=$W/root; CG=kestlog-systemd-$$; M=kestlogtest$$
started=$(date +%s); pass=0; fail=0
t() { echo "[$(date +%T) +$(($(date +%s) - started)) s] $*"; }
# says PATTERN COMMAND...: what the command prints matches the pattern
says() { local out; out=$("${@:2}" 2>&1); grep -qE -- "$1" <<<"$out"; }
ok() { if "${@:2}"; then pass=$((pass + 1)); echo "ok   $1"; else fail=$((fail + 1)); echo "FAIL $1"; fi; }
waitfor() { # SECONDS COMMAND...: until the command succeeds, at most that long
    local end=$(($(date +%s) + $1)); shift
    until "$@"; do [ "$(date +%s)" -lt $end ] || return 1; sleep 0.2; done
}
L=; NSPID=; SIMS=
cleanup() {
    set +e
    [ -n "$L" ] && nsenter -t "$L" -a systemctl poweroff 2>/dev/null
    [ -n "$NSPID" ] && { waitfor 20 eval '! kill -0 $NSPID 2>/dev/null' || kill -9 $NSPID; wait $NSPID; }
    [ -n "$SIMS" ] && kill $SIMS && wait $SIMS
    for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
        [ -d $h/$CG ] && find $h/$CG -depth -type d -exec rmdir {} \; 2>/dev/null
    done
    rm -rf "$W"
}
trap cleanup EXIT

t "building the package and the Debian 12 root"
sh "$SRC/scripts/package.sh" "$W/deb" >"$W/package.log" 2>&1 &
pkg=$!
mmdebstrap -q --variant=minbase --include=systemd,systemd-sysv,dbus,exim4-daemon-light,bsd-mailx,msmtp \
    --customize-hook='chroot "$1" useradd -m op' --customize-hook='chroot "$1" useradd -m outsider' \
    bookworm "$R" "$sources" >"$W/root.log" 2>&1 || { cat "$W/root.log"; exit 1; }
wait $pkg || { tail -n 30 "$W/package.log"; exit 1; }
deb=$(tail -n 1 "$W/package.log")
t "package $(basename "$deb") built, root made"

# Lintian runs as an ordinary user, on a copy it may read, from a folder it
# may enter; it fails (status 1) on an error, and on not running at all.
cp "$deb" "$W/lintian.deb" && chmod 0755 "$W" && chmod 0644 "$W/lintian.deb"
lintian_out=$(cd "$W" && runuser -u nobody -- lintian lintian.deb 2>&1)
lintian_status=$?
echo "${lintian_out:-lintian: no findings} (status $lintian_status)"
ok "lintian reports no error" test $lintian_status -eq 0

t "installing the package with apt"
cp "$deb" "$R/root/"
chroot "$R" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/root/$(basename "$deb")" >"$W/install.log" 2>&1 ||
    { cat "$W/install.log"; exit 1; }
chroot "$R" usermod -a -G kestlog op
echo kestlogtest >"$R/etc/hostname"
mkdir -p "$R/run/lines"
# Short watchdog and restart delay, and the daily report to op.
D=$R/etc/systemd/system
mkdir -p "$D/kestlog@.service.d" "$D/kestlog-daily@.service.d"
printf '[Service]\nWatchdogSec=3\nRestartSec=1\n' >"$D/kestlog@.service.d/test.conf"
printf '[Service]\nEnvironment=KESTLOG_REPORT_TO=op@localhost\n' >"$D/kestlog-daily@.service.d/test.conf"

# The instruments: kestsim on host pseudo-terminals, open to dialout (gid 20 in both).
line() {
    "$W/x/usr/bin/kestsim" -i 200 >"$W/$1" 2>&1 &
    SIMS="$SIMS $!"
    waitfor 10 test -s "$W/$1" || { echo "kestsim did not start"; exit 1; }
    chown root:20 "$(cat "$W/$1")" && chmod 0660 "$(cat "$W/$1")"
}
dpkg-deb -x "$deb" "$W/x"
line kest1
line kest2

t "booting"
(
    for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ -d $h ] && mkdir $h/$CG && echo $BASHPID >$h/$CG/cgroup.procs
    done
    if [ ! -d /sys/fs/cgroup/unified ] && [ -f /sys/fs/cgroup/cgroup.controllers ]; then
        mkdir /sys/fs/cgroup/$CG && echo $BASHPID >/sys/fs/cgroup/$CG/cgroup.procs
    fi
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$R" -M $M -b --register=no --keep-unit \
        --private-network --system-call-filter=bpf --console=read-only --capability=CAP_SYS_TIME \
        --bind="$(cat "$W/kest1")":/dev/kest1 --bind="$(cat "$W/kest2")":/run/lines/kest2
) >"$W/console" 2>&1 </dev/null &
NSPID=$!
booted() {
    L=$(pgrep -P $NSPID -x systemd) && nsenter -t "$L" -a systemctl is-system-running 2>/dev/null |
        grep -qE 'running|degraded'
}
waitfor 60 booted || { cat "$W/console"; exit 1; }
c() { nsenter -t "$L" -a "$@"; }
prop() { c systemctl show "$1" -p "$2" --value; }
D1=/var/lib/kestlog/kest1 D2=/var/lib/kestlog/kest2
t "booted"
ok "installing enabled and started no logger" test "$(prop kestlog.service ActiveState)" = inactive

# kest2 first: its adapter is missing, and its minute of failures is mailed
# while kest1 is tried.
setup() { # the three commands of the README
    printf 'serial_port=/dev/%s,9600,7,E,1\nsite=WXX\nmaildest=op@localhost\nkessendmail=Y\n' "$1" |
        c install -D -m 0640 /dev/stdin "/var/lib/kestlog/$1/kestlog.par" &&
        c kestlog --check "/var/lib/kestlog/$1/kestlog.par" >/dev/null 2>&1 &&
        c systemctl enable --now "kestlog@$1" 2>/dev/null
}
# The container's files, read from the host: has PATTERN TEXT
has() { local f; for f in $R$1; do grep -qs -- "$2" "$f" && return 0; done; return 1; }
ok "kest2 starts without its adapter" setup kest2
ok "kest2 waits for its line" waitfor 10 has "$D2/data/MESKES*.txt" "serial port /dev/kest2 lost"
ok "the journal holds the --check findings" \
    says "kestlog.par:1: warning: serial device /dev/kest2 does not exist now" c journalctl -u kestlog@kest2

t "kest1"
ok "kest1 is set up in three commands" setup kest1
today=$(date -u +%Y%m%d)
stored() { test -s "$R/var/lib/kestlog/$1/data/KES$today.txt"; }
ok "kest1 stores kestsim's packets" waitfor 10 stored kest1
ok "systemctl status shows the status line" \
    waitfor 5 says 'Status: "last good packet [0-9:]{8}, ' c systemctl status kestlog@kest1
ok "working directory and data 0750, files 0640" \
    test "$(stat -c %a $R$D1 $R$D1/data $R$D1/data/* | sort -u | tr '\n' ' ')" = "640 750 "
kctl() { c runuser -u "$1" -- kestctl -C $D1 status; }
# The sandbox still lets it read the clock's synchronisation state.
ok "a member of the group gets kestctl status" says "^system clock: (not )?synchronised" kctl op
ok "a user outside the group is refused" says "[Pp]ermission denied" kctl outsider
for score in kestlog@kest1:2.5 kestlog-daily@kest1:2.0; do
    got=$(c systemd-analyze security "${score%:*}" 2>/dev/null | sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "systemd-analyze security ${score%:*}: $got"
    ok "${score%:*} scores at most ${score#*:}" awk "BEGIN { exit !($got <= ${score#*:}) }"
done

t "kill and hang"
restarts() { test "$(prop kestlog@kest1 NRestarts)" = "$1" && test "$(prop kestlog@kest1 ActiveState)" = active; }
c systemctl kill --kill-who=main -s KILL kestlog@kest1
ok "SIGKILL: restarted" waitfor 10 restarts 1
ok "the restart records the unclean end" \
    waitfor 10 has "$D1/data/MESKES*.txt" "ended without stopping"
c systemctl kill --kill-who=main -s STOP kestlog@kest1
ok "SIGSTOP: the watchdog restarts it" waitfor 15 restarts 2
ok "  because of the watchdog" says "Watchdog timeout" c journalctl -u kestlog@kest1

t "plugging in kest2"
c ln -s /run/lines/kest2 /dev/kest2
ok "kest2 logs once its line is there" waitfor 15 stored kest2
ok "kest2's line reopened" has "$D2/data/MESKES*.txt" "reopened"
ok "the alert mail reaches the local mailbox" waitfor 70 has /var/mail/op "Subject: kesfail"

t "the daily timer"
# A status file of long ago, whole packets as the logger wrote them.
c runuser -u kestlog -- cp $D1/data/KES$today.txt $D1/data/KES20260101.txt
at=$(date -u -d '+4 sec' +%T)
mkdir -p "$D/kestlog-daily@kest1.timer.d"
printf '[Timer]\nOnCalendar=\nOnCalendar=*-*-* %s UTC\nAccuracySec=1s\nRandomizedDelaySec=0\n' "$at" \
    >"$D/kestlog-daily@kest1.timer.d/test.conf"
c systemctl daemon-reload
ok "the daily report mail arrives" \
    waitfor 30 has /var/mail/op "Subject: kestlog report .* $(date -u -d yesterday +%F)"
# The report is mailed first; the compression follows.
ok "old files are compressed" waitfor 10 test -f $R$D1/data/KES20260101.txt.gz
daily_done() {
    [ -n "$(prop kestlog-daily@kest1 ExecMainExitTimestamp)" ] &&
        test "$(prop kestlog-daily@kest1 ActiveState)$(prop kestlog-daily@kest1 ExecMainStatus)" = inactive0
}
ok "the daily job succeeded" waitfor 10 daily_done

t "upgrade, remove, purge, install again"
apt() { c env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" 2>&1; }
pkg=/root/$(basename "$deb")
pid=$(prop kestlog@kest1 MainPID)
apt install --reinstall $pkg >/dev/null
new_pid() { local p; p=$(prop kestlog@kest1 MainPID); [ "$p" != 0 ] && [ "$p" != "$pid" ]; }
ok "an upgrade restarts the running loggers" waitfor 10 new_pid
size() { stat -c %s "$R$D1/data/KES$today.txt"; }
before=$(size)
ok "apt remove" says "Removing kestlog" apt remove kestlog
ok "  stops the loggers" test "$(prop kestlog@kest1 ActiveState)" != active
ok "apt purge says the data are kept" says "the measured data in /var/lib/kestlog are kept" apt purge kestlog
ok "  and keeps them" test "$(size)" -ge $before
apt install $pkg >/dev/null
ok "installing again starts no logger" \
    test "$(prop kestlog.service ActiveState)$(prop kestlog@kest1 ActiveState)" = inactiveinactive
ok "  until it is started" c systemctl enable --now kestlog@kest1 2>/dev/null
ok "it appends to the same day's files" waitfor 10 eval 'test "$(size)" -gt $before'

t "done: $pass passed, $fail failed"
[ $fail -eq 0 ]
