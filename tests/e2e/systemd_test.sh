#!/bin/bash
# The Debian package under a real systemd: the .deb is built, installed with
# apt in a fresh Debian 12 root beside a local mail agent (exim4, local
# delivery only, as apt brings it), and booted in systemd-nspawn. Three
# instruments are kestsim on host pseudo-terminals: kest1 bound in as
# /dev/kest1 from the start, kest2 bound in elsewhere and linked to
# /dev/kest2 only later, as udev would once an adapter is plugged in, and
# kest0 for the single logger kestlog.service, whose console a drop-in
# replaces. Then an upgrade to a higher version, removal and purge, each
# judged against what ran before it.
# Runs as root where systemd-container and mmdebstrap can be installed;
# otherwise it says why in one line and is skipped (status 77).
# Usage: systemd_test.sh SOURCE_DIR
set -uo pipefail
SRC=$(realpath "$1")
CACHE=${2:-/tmp/kestlog-container-cache}
skip() { echo "skipped: systemd container test: $*"; exit 77; }
W=$(mktemp -d /tmp/kestlog-systemd-XXXXXX); R=$W/root
. "$SRC/tests/e2e/machines.sh"
need_machines lintian
SIMS=
cleanup() {
    set +e
    machines_down
    [ -n "$SIMS" ] && kill $SIMS && wait $SIMS
    rm -rf "$W"
}
trap cleanup EXIT

t "building the package and the Debian 12 root"
built_package >"$W/deb" &
pkg=$!
debian_root "$R" "$ROOT_PACKAGES" || exit 1
chroot "$R" useradd -m op && chroot "$R" useradd -m outsider
wait $pkg || exit 1
deb=$(cat "$W/deb")
t "package $(basename "$deb") built, root made"

# Lintian runs as an ordinary user, on a copy it may read, from a folder it
# may enter; it fails (status 1) on an error, and on not running at all.
cp "$deb" "$W/lintian.deb" && chmod 0755 "$W" && chmod 0644 "$W/lintian.deb"
lintian_out=$(cd "$W" && runuser -u nobody -- lintian lintian.deb 2>&1)
lintian_status=$?
echo "${lintian_out:-lintian: no findings} (status $lintian_status)"
ok "lintian reports no error" test $lintian_status -eq 0

t "installing the package with apt"
install_package "$R" || exit 1
chroot "$R" usermod -a -G kestlog op
echo kestlogtest >"$R/etc/hostname"
mkdir -p "$R/run/lines"
# Short watchdog and restart delay, and the daily report to op; the
# single logger without its virtual console, which a container has not.
D=$R/etc/systemd/system
mkdir -p "$D/kestlog@.service.d" "$D/kestlog-daily@.service.d" "$D/kestlog.service.d"
printf '[Service]\nWatchdogSec=3\nRestartSec=1\n' >"$D/kestlog@.service.d/test.conf"
printf '[Service]\nEnvironment=KESTLOG_REPORT_TO=op@localhost\n' >"$D/kestlog-daily@.service.d/test.conf"
printf '[Service]\nStandardInput=null\nStandardOutput=null\nTTYPath=\nTTYReset=no\nTTYVHangup=no\n' \
    >"$D/kestlog.service.d/test.conf"

# The instruments: kestsim on host pseudo-terminals, open to dialout (gid 20 in both).
line() {
    "$W/x/usr/bin/kestsim" -i 200 >"$W/$1" 2>&1 &
    SIMS="$SIMS $!"
    waitfor 10 test -s "$W/$1" || { echo "kestsim did not start"; exit 1; }
    chown root:20 "$(cat "$W/$1")" && chmod 0660 "$(cat "$W/$1")"
}
dpkg-deb -x "$deb" "$W/x"
line kest0
line kest1
line kest2
# The upgrade: the same package at a higher version, its units changed on disk.
dpkg-deb -R "$deb" "$W/up"
sed -i 's/^Version: .*/&+up1/' "$W/up/DEBIAN/control"
for u in kestlog.service kestlog@.service kestlog-daily.timer; do echo "# upgraded" >>"$W/up/lib/systemd/system/$u"; done
dpkg-deb -b "$W/up" "$R/root/kestlog-up.deb" >/dev/null

t "booting"
boot box "$R" --private-network --capability=CAP_SYS_TIME \
    --bind="$(cat "$W/kest0")":/dev/kest0 --bind="$(cat "$W/kest1")":/dev/kest1 \
    --bind="$(cat "$W/kest2")":/run/lines/kest2 || exit 1
c() { on box "$@"; }
prop() { c systemctl show "$1" -p "$2" --value; }
D1=/var/lib/kestlog/kest1 D2=/var/lib/kestlog/kest2
t "booted"
ok "installing enabled and started no logger" test "$(prop kestlog.service ActiveState)" = inactive

# kest2 first, set up as before the settings moved to /etc: in its working
# directory. Its adapter is missing, and its minute of failures is mailed
# while kest1 is tried.
c install -d -o kestlog -g kestlog -m 0750 $D2
printf 'serial_port=/dev/kest2,9600,7,E,1\nsite=K2\nmaildest=op@localhost\nkessendmail=Y\n' |
    c install -o kestlog -g kestlog -m 0640 /dev/stdin $D2/kestlog.par
# The container's files, read from the host: has PATTERN TEXT
has() { local f; for f in $R$1; do grep -qs -- "$2" "$f" && return 0; done; return 1; }
ok "kest2 starts without its adapter" c systemctl enable --now kestlog@kest2
ok "kest2 waits for its line" waitfor 10 has "$D2/data/MESKES*.txt" "serial port /dev/kest2 lost"
ok "  its own kestlog.par still serves" has "$D2/data/MESKES*.txt" "site=K2"
ok "the journal holds the settings' findings" waitfor 10 \
    says "kestlog.par:1: warning: serial device /dev/kest2 does not exist now" c journalctl -u kestlog@kest2
ok "  once" test "$(c journalctl -u kestlog@kest2 -o cat | grep -c 'does not exist now')" -eq 1
ok "  and where the logger could change its settings" \
    says "the logger's user kestlog may write /var/lib/kestlog/kest2" c kestlog --check $D2/kestlog.par

t "kest1"
setup() { # the three commands of the README, the site and recipients as given
    printf 'serial_port=/dev/%s,9600,7,E,1\nsite=%s\nmaildest=%s\nkessendmail=Y\n' "$1" "$2" "$3" |
        c install -m 0640 -g kestlog /dev/stdin "/etc/kestlog/$1.par" &&
        c kestlog --check "/etc/kestlog/$1.par" >"$W/check.out" 2>&1
    local status=$?
    c systemctl enable --now "kestlog@$1" 2>/dev/null && return $status
}
ok "kest1 is set up in three commands" setup kest1 K1 'op@localhost'
ok "  the check asks the mail agent" says "^mail route to op@localhost: /usr/sbin/exim4 routes it" cat "$W/check.out"
printf 'maildest=op@localhost;operator@example.org\nkessendmail=Y\n' >"$R/root/remote.par"
c kestlog --check /root/remote.par >"$W/check.out" 2>&1
echo "  kestlog --check, a remote recipient:"; sed -n 's/^/    /p' "$W/check.out"
ok "  and names a recipient it would bounce, with its reason" says \
    "^/root/remote.par: mail recipient operator@example.org: the mail agent \(/usr/sbin/exim4\) would not deliver it: Mailing to remote domains not supported$" \
    cat "$W/check.out"
today=$(date -u +%Y%m%d)
stored() { test -s "$R/var/lib/kestlog/$1/data/KES$today.txt"; }
ok "kest1 stores kestsim's packets" waitfor 10 stored kest1
ok "systemctl status shows the status line" \
    waitfor 5 says 'Status: "last good packet [0-9:]{8}, ' c systemctl status kestlog@kest1
ok "working directory and data 0750, files 0640" \
    test "$(stat -c %a $R$D1 $R$D1/data $R$D1/data/* | sort -u | tr '\n' ' ')" = "640 750 "
ok "  its settings are those of /etc" has "$D1/data/MESKES*.txt" "site=K1"
# Read-only to the logger, where it reads them.
in_unit() { c nsenter -t "$(prop kestlog@kest1 MainPID)" -m -S "$(c id -u kestlog)" -G "$(c id -g kestlog)" "$@"; }
ok "  and it can neither change them" says "Permission denied|Read-only file system" \
    in_unit sh -c "echo site=X >>$D1/kestlog.par"
ok "  nor replace them" says "Device or resource busy" in_unit rm -f $D1/kestlog.par
kctl() { c runuser -u "$1" -- kestctl -C $D1 status; }
# The sandbox still lets it read the clock's synchronisation state.
ok "a member of the group gets kestctl status" says "^system clock: (not )?synchronised" kctl op
ok "a user outside the group is refused" says "[Pp]ermission denied" kctl outsider
for score in kestlog@kest1:2.5 kestlog-daily@kest1:2.0; do
    got=$(c systemd-analyze security "${score%:*}" 2>/dev/null | sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "systemd-analyze security ${score%:*}: $got"
    ok "${score%:*} scores at most ${score#*:}" awk "BEGIN { exit !($got <= ${score#*:}) }"
done

t "the single logger"
printf 'serial_port=/dev/kest0,9600,7,E,1\nsite=K0\nmaildest=op@localhost\nkessendmail=Y\n' |
    c install -m 0640 -g kestlog /dev/stdin /etc/kestlog/kestlog.par
ok "kestlog.service starts" c systemctl enable --now kestlog.service
ok "  and stores its packets" waitfor 10 test -s "$R/var/lib/kestlog/data/KES$today.txt"
ok "  with the settings of /etc" has "/var/lib/kestlog/data/MESKES*.txt" "site=K0"

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
# Not before its loss was mailed: a line back within the minute it went is
# no failed minute, and no alert.
ok "kest2's alert goes while its line is away" waitfor 70 \
    says "alert mail handed to the mail agent" c journalctl -u kestlog@kest2
c ln -s /run/lines/kest2 /dev/kest2
ok "kest2 logs once its line is there" waitfor 15 stored kest2
ok "kest2's line reopened" has "$D2/data/MESKES*.txt" "reopened"
ok "the alert mail reaches the local mailbox" waitfor 70 has /var/mail/op "Subject: kesfail"
# kest1's alert may be the one that came first: kest2's is waited for.
ok "  and says what failed" waitfor 70 has /var/mail/op "^  serial port /dev/kest2 lost: No such file or directory, at "
# (once kest1's own alert, of the kill and the hang, has been handed over)
ok "kestctl test-mail: handed to the agent" waitfor 60 says "^test mail handed to the mail agent for op@localhost$" \
    c runuser -u op -- kestctl -C $D1 test-mail
ok "  and delivered" waitfor 20 has /var/mail/op "kestlog test mail from site K1"
ok "kestctl status: handed over, never sent" says "last alert .+ handed to the mail agent$" \
    c runuser -u op -- kestctl -C $D2 status
echo "  journalctl -u kestlog@kest2:"
c journalctl -u kestlog@kest2 -o short-iso --no-pager | grep 'kestlog\[' | sed 's/^/    /'

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
loggers="kestlog.service kestlog@kest1.service kestlog@kest2.service"
timers="kestlog-daily.timer kestlog-daily@kest1.timer kestlog-daily@kest2.timer"
states() { local u; for u in "$@"; do prop "$u" ActiveState; done | sort -u | tr '\n' ' '; }
pids() { local u; for u in $loggers; do prop "$u" MainPID; done | tr '\n' ' '; }
# A logger enabled once and stopped since: an upgrade must not start it.
c systemctl start kestlog@kest9 2>/dev/null
c systemctl stop kestlog@kest9
ok "before the upgrade: every logger and timer runs" test "$(states $loggers $timers)" = "active "
before_pids=$(pids)
apt install /root/kestlog-up.deb >"$W/upgrade.log"
ok "an upgrade restarts every logger and timer that ran" test "$(states $loggers $timers)" = "active "
none_old() { local p; for p in $(pids); do case " $before_pids " in *" $p "*) return 1 ;; esac; done; }
ok "  each on the new program" none_old
ok "  having reloaded the units first" eval '! grep -q "changed on disk" "$W/upgrade.log"'
ok "  and starts nothing that was not running" test "$(prop kestlog@kest9.service ActiveState)" = inactive
size() { stat -c %s "$R$D1/data/KES$today.txt"; }
before=$(size)
ok "before removal: every logger and timer runs" test "$(states $loggers $timers)" = "active "
ok "apt remove" says "Removing kestlog" apt remove kestlog
ok "  stops every logger and timer" test "$(states $loggers $timers)" = "inactive "
ok "  and leaves none failed" test -z "$(c systemctl list-units --failed --no-legend --plain 'kestlog*')"
ok "apt purge says the data are kept" says "the measured data in /var/lib/kestlog are kept" apt purge kestlog
ok "  and keeps them" test "$(size)" -ge $before
ok "  and the settings in /etc" test -s "$R/etc/kestlog/kest1.par"
ok "  and removes the instances' enable links" \
    test -z "$(find "$R/etc/systemd/system" -name 'kestlog*@*' -type l)"
apt install /root/$(basename "$deb") >/dev/null
ok "installing again starts no logger" test "$(states $loggers)" = "inactive "
ok "  until it is started" c systemctl enable --now kestlog@kest1 2>/dev/null
ok "it appends to the same day's files" waitfor 10 eval 'test "$(size)" -gt $before'

t "done: $pass passed, $fail failed"
[ $fail -eq 0 ]
