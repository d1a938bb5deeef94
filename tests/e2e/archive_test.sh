#!/bin/bash
# The way home under faults: a site and an archive host, each a Debian 12
# under a real systemd in systemd-nspawn, on a private bridge. The site runs
# the package, a logger fed by kestsim and the archive timer; the archive
# host runs openssh-server, each site's key restricted by the gate. Each
# fault is judged by the archive's sha256 of every file against the site's
# and by what the site still holds: no file is deleted at the site before
# the archive confirmed it, and every closed file is in the archive, byte for
# byte, after the first successful run once the fault has cleared.
# Usage: archive_test.sh SOURCE_DIR [CACHE_DIR]   (root; status 77 when it cannot run here)
set -uo pipefail
SRC=$(realpath "$1")
CACHE=${2:-/tmp/kestlog-container-cache}
skip() { echo "skipped: archive container test: $*"; exit 77; }
W=$(mktemp -d /tmp/kestlog-archive-XXXXXX)
S=$W/site A=$W/archive BR=kab$$ FS=$W/kest1fs
. "$SRC/tests/e2e/machines.sh"
need_machines ip:iproute2 tc:iproute2 ssh-keygen:openssh-client
SIMS=
cleanup() {
    set +e
    machines_down
    [ -n "$SIMS" ] && kill $SIMS && wait $SIMS
    ip link del "$BR" 2>/dev/null
    mountpoint -q "$FS" && umount "$FS"
    rm -rf "$W"
}
trap cleanup EXIT

t "building the package and the two roots"
site_and_archive_roots || exit 1
echo site >"$S/etc/hostname" && echo archive >"$A/etc/hostname"
t "package $(basename "$deb") installed at the site"

# The archive host: one user, a folder and a gated key line for each site;
# kest1's folder is a small filesystem of its own, to be filled.
echo "MaxStartups 100:30:200" >>"$A/etc/ssh/sshd_config"
mkdir -p "$A/srv/kestarchive/.ssh" "$FS"
mount -t tmpfs -o size=12m tmpfs "$FS"
archive_uid=$(chroot "$A" id -u kestarchive)
SITES="kest1 other $(seq -f site%02g 1 20 | tr '\n' ' ')"
for site in $SITES; do
    ssh-keygen -q -t ed25519 -N '' -C "$site" -f "$W/$site.key"
    echo "command=\"/usr/libexec/kestlog/kestlog-archive-gate /srv/kestarchive/$site\",restrict $(cat "$W/$site.key.pub")" \
        >>"$A/srv/kestarchive/.ssh/authorized_keys"
    mkdir -p "$A/srv/kestarchive/$site"
    install -m 0600 -o "$(chroot "$S" id -u kestlog)" "$W/$site.key" "$S/etc/kestlog/$site.archive-key"
done
echo "secret of another site" >"$A/srv/kestarchive/other/secret.txt"
chown -R "$archive_uid" "$A/srv/kestarchive" "$FS"
echo "10.77.0.2 $(cut -d' ' -f1,2 "$A/etc/ssh/ssh_host_ed25519_key.pub")" >"$S/etc/kestlog/known_hosts"

# The site's settings: the logger's and the archive's (deleting what is
# confirmed and older than three days, at once).
printf 'serial_port=/dev/kest1,9600,7,E,1\nsite=K1\nkessendmail=N\nmetrics_file=/var/lib/kestlog/kest1/kestlog.prom\n' |
    install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/kest1.par"
settings() { # NAME [MORE]: an archive settings file
    printf 'destination=kestarchive@10.77.0.2:\nkey=/etc/kestlog/%s.archive-key\n%b' "$1" "${2:-}" |
        install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/$1.archive"
}
settings kest1 "keep_days=3\ngrace_hours=0\nmetrics_file=/var/lib/kestlog/kest1/archive.prom\n"
"$W/x/usr/bin/kestsim" -i 200 >"$W/kest1" 2>&1 &
SIMS=$!
waitfor 10 test -s "$W/kest1" || { echo "kestsim did not start"; exit 1; }
chown root:20 "$(cat "$W/kest1")" && chmod 0660 "$(cat "$W/kest1")"

ip link add "$BR" type bridge && ip link set "$BR" up
t "booting the two machines"
boot archive "$A" --network-bridge="$BR" --bind="$FS:/srv/kestarchive/kest1" || exit 1
boot site "$S" --network-bridge="$BR" --bind="$(cat "$W/kest1"):/dev/kest1" || exit 1
on archive sh -c 'ip addr add 10.77.0.2/24 dev host0 && ip link set host0 up && systemctl restart ssh'
on site sh -c 'ip addr add 10.77.0.1/24 dev host0 && ip link set host0 up'
c() { on site "$@"; }
D=/var/lib/kestlog/kest1
SD=$S$D/data AD=$FS/data
c systemctl enable --now kestlog@kest1 2>/dev/null
today=$(date -u +%Y%m%d)
waitfor 10 test -s "$SD/KES$today.txt" || { echo "the logger stores nothing"; exit 1; }
ok "kestlog-archive@kest1.timer is enabled and waits" \
    c sh -c 'systemctl enable --now kestlog-archive@kest1.timer 2>/dev/null && systemctl is-active -q kestlog-archive@kest1.timer'
t "booted; the logger logs"

# Closed files of days gone by, as the logger left them (older than its own).
plant() { # DAY [KB]: a status file and a message log of that day, closed
    local size=${2:-40}
    head -c $((size * 1024)) /dev/urandom | base64 -w 90 | sed 's/^/\x01/; s/$/\x04/' | tr -d '\n' >"$SD/KES$1.txt"
    printf '0,%s/%s/%s,10:00:00, starting KESTLOG (build 2015-Jun-19)\n' "${1:6:2}" "${1:4:2}" "${1:0:4}" \
        >"$SD/MESKES$1.txt"
    touch -d "${1:0:4}-${1:4:2}-${1:6:2} 23:59" "$SD/KES$1.txt" "$SD/MESKES$1.txt"
    chown "$(stat -c %u "$SD")" "$SD/KES$1.txt" "$SD/MESKES$1.txt"
}
# The site's closed files: all but the one written last of each kind.
closed() {
    local kind
    for kind in KES MESKES; do
        ls -t "$SD"/$kind[0-9]*.txt 2>/dev/null | tail -n +2
    done
}
# What the site has had: every closed file's sha256, before each run.
LEDGER=$W/ledger
note_site() {
    local f
    for f in $(closed); do echo "$(sha256sum <"$f" | cut -c1-64) ${f##*/}"; done >>"$LEDGER"
    sort -u -o "$LEDGER" "$LEDGER"
}
# The rule: a file gone from the site is in the archive; after a good run
# every closed file is there too, byte for byte (under its name, or beside
# a first one of its name).
in_archive() { # SHA NAME
    local base=${2%.txt} f
    for f in "$AD/$2" "$AD/$base".*.txt; do
        [ -f "$f" ] && [ "$(sha256sum <"$f" | cut -c1-64)" = "$1" ] && return 0
    done
    return 1
}
nothing_lost() {
    local sha name
    while read -r sha name; do
        [ -e "$SD/$name" ] || in_archive "$sha" "$name" || { said="$name left the site unconfirmed"; return 1; }
    done <"$LEDGER"
}
all_home() {
    local sha name f
    for f in $(closed); do
        in_archive "$(sha256sum <"$f" | cut -c1-64)" "${f##*/}" || { said="${f##*/} is not in the archive"; return 1; }
    done
}
run() { note_site; c systemctl start kestlog-archive@kest1.service 2>/dev/null; }
journal() { c journalctl -u kestlog-archive@kest1 -o cat --no-pager | grep '^kestlog-archive: ' | tail -n "${1:-1}"; }
judge() { # FAULT: the rule, and the run after the fault cleared
    ok "$1: nothing left the site unconfirmed" nothing_lost
    ok "$1: every closed file is home" all_home
    echo "    $(journal)"
}

t "a first run"
for d in 20261120 20261121 20261205 20261206; do plant $d; done
ok "a run succeeds" run
judge "first run"
ok "  the old ones were deleted, the recent kept" eval "[ ! -e $SD/KES20261120.txt ] && [ -e $SD/KES20261206.txt ]"
ok "  the archive checks its own copies against the manifest" \
    on archive sh -c "cd /srv/kestarchive/kest1 && sha256sum -c --quiet live/manifest.sha256"
ok "  today's files are in the live area" test -s "$FS/live/KES$today.txt"
ok "  and the logger's metrics" test -s "$FS/live/kestlog.prom"
ok "  the job's metrics count what was confirmed" \
    grep -qE '^kestlog_archive_files_confirmed_total\{site="K1"\} [1-9]' "$S$D/archive.prom"
ok "  kestctl status tells of the archive" says "^archive: last success .*, 0 files \(0 bytes\) pending" \
    c runuser -u kestlog -- kestctl -C $D status

t "7: the site's key tries what it may not"
key() { c runuser -u kestlog -- "$@"; }
SSH="ssh -i /etc/kestlog/kest1.archive-key -o UserKnownHostsFile=/etc/kestlog/known_hosts -o BatchMode=yes"
c runuser -u kestlog -- sh -c "mkdir -p /tmp/t && echo forged >/tmp/t/KES20261205.txt"
ok "  to delete: refused" says "delete.* has been disabled" key rsync -e "$SSH" -r --delete /tmp/t/ kestarchive@10.77.0.2:data/
key rsync -e "$SSH" /tmp/t/KES20261205.txt kestarchive@10.77.0.2:data/ >/dev/null 2>&1
ok "  to overwrite a closed file: it is left as it was" eval "! grep -q forged $AD/KES20261205.txt"
ok "  to read another site's folder: refused" says "reading from write-only server is not allowed" \
    key rsync -e "$SSH" kestarchive@10.77.0.2:../other/secret.txt /tmp/t/
ok "  to run a shell: refused" says "only rsync is allowed" key $SSH kestarchive@10.77.0.2 cat /etc/passwd
c runuser -u kestlog -- sh -c "ln -s ../../other /tmp/t/x && mkdir /tmp/t/y && echo forged >/tmp/t/y/evil.txt"
key rsync -e "$SSH" -l /tmp/t/x kestarchive@10.77.0.2:live/ >/dev/null 2>&1
key rsync -e "$SSH" /tmp/t/y/evil.txt kestarchive@10.77.0.2:live/x/ >/dev/null 2>&1
ok "  to write through a link of its own into another site's folder: it cannot" \
    test ! -e "$A/srv/kestarchive/other/evil.txt"

t "6: a clock set back makes a name again"
printf '\001KES01 201120 00:00 another file of the same name\004' >"$SD/KES20261120.txt"
touch -d "2026-11-20 23:59" "$SD/KES20261120.txt" && chown "$(stat -c %u "$SD")" "$SD/KES20261120.txt"
# A name the archive holds that the site's record does not know (lost with
# a reinstall): only the archive's checksum can tell.
printf 'held there before\n' >"$AD/KES20261119.txt"
printf '\001KES01 191120 00:00 unknown to the record\004' >"$SD/KES20261119.txt"
touch -d "2026-11-19 23:59" "$SD/KES20261119.txt" && chown "$(stat -c %u "$SD")" "$SD/KES20261119.txt"
ok "a run succeeds" run
judge "6"
for d in 20261119 20261120; do
    ok "  KES$d.txt stored beside the first, and said so" \
        says "KES$d.txt: the archive holds another file of that name; stored as KES$d\.[0-9a-f]{8}\.txt" journal 4
    ok "  the first is as it was, beside it" test "$(ls "$AD"/KES$d*.txt | wc -l)" -eq 2
done

# A run slowed enough to be cut in the middle of a file.
slow() { settings kest1 "keep_days=3\ngrace_hours=0\nbandwidth_kbps=${1}\n"; }
mid_transfer() { ls -a "$AD" | grep -q '^\.KES'; } # rsync's temporary name, never the real one
run_bg() { note_site; c systemctl start --no-block kestlog-archive@kest1.service; }
ended() { ! c systemctl is-active -q kestlog-archive@kest1.service; }

t "1: the link goes down in the middle of a transfer, then comes back"
plant 20261207 2500
slow 250
run_bg
ok "  the transfer is under way" waitfor 30 mid_transfer
on site ip link set host0 down
sleep 3 # the outage
on site ip link set host0 up
ok "  the run ends" waitfor 120 ended
run || run # the first run after the outage, if that one failed
judge "1"

t "3: the job is killed in the middle of a run"
plant 20261208 2500
run_bg
ok "  the transfer is under way" waitfor 30 mid_transfer
c systemctl kill -s KILL kestlog-archive@kest1.service
ok "  killed" waitfor 10 ended
ok "  nothing half-sent stands under a real name" test ! -e "$AD/KES20261208.txt"
ok "  its state is whole" c runuser -u kestlog -- kestlog-archive -C $D --confirmed KES20261206.txt
slow 0
ok "a run succeeds" run
judge "3"

t "4: a file grows during the transfer"
head -c 300000 /dev/urandom | base64 -w 90 | sed 's/^/\x02/; s/$/\x04/' | tr -d '\n' >>"$SD/KES$today.txt"
slow 100
run_bg
for _ in 1 2 3 4 5; do printf '\002growing\004' >>"$SD/KES$today.txt"; sleep 0.5; done # the logger writes on
ok "  the run ends" waitfor 60 ended
slow 0
ok "a run succeeds" run
live_prefix() { cmp -s -n "$(stat -c %s "$FS/live/KES$today.txt")" "$FS/live/KES$today.txt" "$SD/KES$today.txt"; }
ok "  the archive's live copy is what the site has, up to its end" live_prefix
judge "4"

t "2: the archive's disk fills, then frees"
plant 20261204 1000
head -c $(($(df --output=avail -B1 "$FS" | tail -n 1) - 200000)) /dev/zero >"$FS/filler"
ok "  the run fails" eval '! run'
ok "  and says why" says "failed: the archive is full" journal 3
echo "    $(journal 3 | grep -m1 failed)"
ok "  nothing left the site unconfirmed" nothing_lost
rm -f "$FS/filler"
ok "a run succeeds" run
judge "2"

t "5: a week offline, then catching up"
on site ip link set host0 down
for d in 20261010 20261011 20261012 20261013 20261014 20261015 20261016; do plant $d 100; done
ok "  the run fails" eval '! run'
ok "  and says why" says "failed: the archive host is unreachable" journal 3
echo "    $(journal 3 | grep -m1 failed)"
ok "  nothing left the site unconfirmed" nothing_lost
on site ip link set host0 up
ok "a run succeeds" run
judge "5"
ok "  the week came home" says "confirmed 1[0-9]," journal

t "bad settings: a one-line reason, and nothing deleted or forgotten"
plant 20261203
ssh-keygen -q -t ed25519 -N '' -C stranger -f "$W/stranger.key"
install -m 0600 -o "$(chroot "$S" id -u kestlog)" "$W/stranger.key" "$S/etc/kestlog/stranger.archive-key"
install -m 0600 "$W/kest1.key" "$S/etc/kestlog/root-only.archive-key"
install -d -m 0755 "$FS/ro"
pending() { sed -n 's/^pending_files //p' "$S$D/archive/state"; }
bad() { # WHY KEY [DESTINATION]: a run with these settings fails, saying why
    printf 'destination=kestarchive@10.77.0.2:%s\nkey=/etc/kestlog/%s\nkeep_days=3\ngrace_hours=0\n' "${3:-}" "$2" |
        install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/bad.archive"
    note_site
    ok "  $1" says "^kestlog-archive: failed: $1" \
        eval "! c runuser -u kestlog -- kestlog-archive -C $D --settings /etc/kestlog/bad.archive"
    echo "    $(grep -m1 failed <<<"$said")"
}
bad "key /etc/kestlog/none.archive-key: No such file or directory" none.archive-key
bad "key /etc/kestlog/root-only.archive-key: Permission denied" root-only.archive-key
bad "the archive host refused the key" stranger.archive-key
bad "the destination is not writable" kest1.archive-key ro
ok "  the day stays pending, at the site" eval '[ "$(pending)" -ge 2 ] && [ -e "$SD/KES20261203.txt" ]'
ok "  nothing left the site unconfirmed" nothing_lost
ok "a run succeeds" run
judge "bad settings"

t "8: twenty sites push to one archive host at the same moment"
for n in $(seq -f %02g 1 20); do
    c install -d -o kestlog -g kestlog /var/lib/kestlog/site$n/data
    printf '\001K%s 261101 10:00 x\004' "$n" >"$S/var/lib/kestlog/site$n/data/KES20261101.txt"
    printf '\001K%s 261102 10:00 y\004' "$n" >"$S/var/lib/kestlog/site$n/data/KES20261102.txt"
    touch -d "2026-11-01 23:59" "$S/var/lib/kestlog/site$n/data/KES20261101.txt"
    chown -R "$(stat -c %u "$SD")" "$S/var/lib/kestlog/site$n"
    settings site$n
done
c sh -c 'for n in $(seq -f %02g 1 20); do
    runuser -u kestlog -- kestlog-archive -C /var/lib/kestlog/site$n --settings /etc/kestlog/site$n.archive \
        2>/tmp/site$n.log & done; wait' 2>/dev/null
fleet_home() {
    local n
    for n in $(seq -f %02g 1 20); do
        cmp -s "$S/var/lib/kestlog/site$n/data/KES20261101.txt" "$A/srv/kestarchive/site$n/data/KES20261101.txt" &&
            grep -q "^confirmed_total 1$" "$S/var/lib/kestlog/site$n/archive/state" ||
            { said="site$n: $(cat "$S/tmp/site$n.log")"; return 1; }
    done
}
ok "  every one is home, confirmed" fleet_home
t "done: $pass passed, $fail failed"
[ $fail -eq 0 ]
