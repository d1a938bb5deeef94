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
need_machines ip:iproute2 tc:iproute2 ssh-keygen:openssh-client faketime
SIMS= CUTTER=
cleanup() {
    set +e
    [ -n "$CUTTER" ] && pkill -P $CUTTER sleep && kill $CUTTER
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

# The archive host as its guide says: the package, and one add-site a site;
# kest1's folder is a small filesystem of its own, to be filled.
mkdir -p "$FS" "$A/srv/kestarchive/kest1"
mount -t tmpfs -o size=32m tmpfs "$FS"
install -d -o "$(chroot "$A" id -u kestvault)" "$A/var/lib/prometheus/node-exporter"
cp "$(ls /usr/lib/*/faketime/libfaketime.so.1 | head -n 1)" "$S/usr/local/lib/"
echo "10.77.0.2 $(cut -d' ' -f1,2 "$A/etc/ssh/ssh_host_ed25519_key.pub")" >"$S/etc/kestlog/known_hosts"

# The site's settings: the logger's and the archive's (deleting what is
# confirmed and older than three days, at once).
printf 'serial_port=/dev/kest1,9600,7,E,1\nsite=K1\nkessendmail=N\nmetrics_file=/var/lib/kestlog/kest1/kestlog.prom\n' |
    install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/kest1.par"
settings() { # NAME [MORE]: an archive settings file
    printf 'destination=%s@10.77.0.2:\nkey=/etc/kestlog/%s.archive-key\n%b' "$1" "$1" "${2:-}" |
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
SITES="kest1 other $(seq -f site%02g 1 20 | tr '\n' ' ')"
# "other" kept its files in the layout before sealing: adopted, they are sealed.
on archive sh -c 'mkdir -p /srv/kestarchive/other/data && echo before >/srv/kestarchive/other/data/KES20200101.txt'
for site in $SITES; do add_site "$site" || exit 1; done
ok "a folder of the layout before sealing is adopted: its files sealed and recorded" \
    says "^kestvault 440 data/KES20200101.txt KES20200101.txt 7 $(echo before | sha256sum | cut -c1-64) " \
    on archive sh -c 'cd /srv/kestarchive/other && stat -c "%U %a %n" data/KES20200101.txt | tr "\n" " " && cat record'

ok "the sites' sshd rules leave the rest of sshd's settings as they were" \
    says "^x11forwarding yes" on archive sshd -T -C user=root,host=x,addr=10.0.0.1
ok "the sealer waits for pushes" on archive systemctl is-active -q kestarchive-seal.path
ok "no other local user reads the archive" says "Permission denied" \
    on archive runuser -u nobody -- ls /srv/kestarchive/kest1
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
# The site's closed files: all but the one written last of each kind (of
# those not written under a clock since set back).
closed() {
    local kind f newest latest=$(($(date +%s) + 300))
    for kind in KES MESKES; do
        newest=$(stat -c '%Y %n' "$SD"/$kind[0-9]*.txt 2>/dev/null | awk -v l=$latest '$1 <= l' | sort -n |
            tail -n 1 | cut -d' ' -f2-)
        for f in "$SD"/$kind[0-9]*.txt; do [ -e "$f" ] && [ "$f" != "$newest" ] && echo "$f"; done
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
    ok "$1: every closed file is home" all_home ||
        on archive journalctl -u 'kestarchive-seal*' -o cat --no-pager -n 8 | sed 's/^/    archive: /'
    echo "    $(journal)"
}

t "a first run"
# Yesterday's is recent whatever the day the test runs (no fault below plants a day after 2026-12-08).
recent=$(date -u -d yesterday +%Y%m%d)
for d in 20261120 20261121 20261205 "$recent"; do plant $d; done
ok "a run succeeds" run
judge "first run"
ok "  the old ones were deleted, the recent kept" eval "[ ! -e $SD/KES20261120.txt ] && [ -e $SD/KES$recent.txt ]"
ok "  the archive checks its own copies against the manifest" \
    on archive sh -c "cd /srv/kestarchive/kest1 && sha256sum -c --quiet live/manifest.sha256"
ok "  today's files are in the live area" test -s "$FS/live/KES$today.txt"
ok "  and the logger's metrics" test -s "$FS/live/kestlog.prom"
ok "  the job's metrics count what was confirmed" \
    grep -qE '^kestlog_archive_files_confirmed_total\{site="K1"\} [1-9]' "$S$D/archive.prom"
ok "  kestctl status tells of the archive" says "^archive: last success .*, 0 files \(0 bytes\) pending" \
    c runuser -u kestlog -- kestctl -C $D status

t "7: a stolen key tries what it may not"
# On the archive host, as the site's user, without ssh where it can: rsync's
# -e hands the command to the gate as sshd would (SSH_ORIGINAL_COMMAND), or
# the user acts past the gate altogether. Judged by what the archive holds
# afterwards, byte for byte, and by what the key got back.
cat >"$A/usr/local/bin/as-sshd" <<'SH'
#!/bin/sh
shift
SSH_ORIGINAL_COMMAND="$*" exec /usr/libexec/kestlog/kestlog-archive-gate /srv/kestarchive/kest1
SH
chmod 0755 "$A/usr/local/bin/as-sshd"
# Another site's sealed file, which the key must not reach either.
on archive sh -c 'echo held >/srv/kestarchive/other/incoming/KES20261101.txt &&
    echo "$(echo held | sha256sum | cut -c1-64)  data/KES20261101.txt" >/srv/kestarchive/other/live/manifest.sha256 &&
    systemctl start kestarchive-seal-all.service'
sealed_now() { on archive sh -c 'cd /srv/kestarchive && sha256sum kest1/data/* other/data/* kest1/record other/record; stat -c "%n %U %a" kest1/data/* kest1/data'; }
before_attacks=$(sealed_now)
on archive runuser -u kest1 -- sh -c 'mkdir -p /tmp/a/empty && cd /tmp/a && echo forged >KES20261205.txt &&
    echo forged >./--delete && ln -s /srv/kestarchive/kest1/data l && cp /bin/true setuid && chmod 4755 setuid'
kernel_denied="(Permission denied|Operation not permitted)"
as_key() { on archive runuser -u kest1 -- sh -c "cd /tmp/a && $1"; }
# WHAT | what the key's user runs (in /tmp/a) | what it must be told
while IFS='|' read -r what cmd expected; do
    [ -n "$what" ] || continue
    ok "  $what: $expected" says "$expected" as_key "$cmd"
done <<'TABLE'
read a sealed file back|rsync -e as-sshd x:data/KES20261205.txt got; ls got|reading from the archive is not allowed
read it back through the receiver's block checksums|rsync -e as-sshd -B 16 --partial-dir=.partial --copy-dest=../data KES20261205.txt x:incoming/|option -B16 is not allowed
delete|rsync -e as-sshd -r --delete empty/ x:data/|not allowed
overwrite directly|rsync -e as-sshd KES20261205.txt x:data/|target data/ is not allowed
overwrite through a hard link|rsync -e as-sshd -H --partial-dir=.partial KES20261205.txt x:incoming/|option -H is not allowed
send a link|rsync -e as-sshd -l l x:live/|option -l is not allowed
make a setuid file|rsync -e as-sshd -p setuid x:live/|option -p is not allowed
make a device|rsync -e as-sshd -D /dev/null x:live/|option -D is not allowed
a name that looks like an option|rsync -e as-sshd KES20261205.txt x:--delete|target ./--delete is not allowed
a folder made from the command|rsync -e as-sshd KES20261205.txt x:incoming/a/b/|target incoming/a/b/ is not allowed
another site's folder|rsync -e as-sshd --append-verify KES20261205.txt x:../other/live/|target ../other/live/ is not allowed
write its own log file over a sealed one|rsync -e as-sshd -t -M--log-file=../data/KES20261205.txt KES20261205.txt x:live/|option --log-file=../data/KES20261205.txt is not allowed
past the gate: write a sealed file|echo forged >>/srv/kestarchive/kest1/data/KES20261205.txt|Permission denied
past the gate: make it writable|chmod 644 /srv/kestarchive/kest1/data/KES20261205.txt|Operation not permitted
past the gate: rename it|mv /srv/kestarchive/kest1/data/KES20261205.txt /srv/kestarchive/kest1/data/x|Permission denied
past the gate: remove it|rm -f /srv/kestarchive/kest1/data/KES20261205.txt|Permission denied
past the gate: link it into live/|ln /srv/kestarchive/kest1/data/KES20261205.txt /srv/kestarchive/kest1/live/KES20261205.txt|Operation not permitted
past the gate: change the folder's mode|chmod 777 /srv/kestarchive/kest1/data|Operation not permitted
past the gate: read another site's|cat /srv/kestarchive/other/record|Permission denied
TABLE
# Sent through the live route under a sealed name, and a file named like an
# option into incoming/: stored there, and nothing sealed changes.
as_key "rsync -e as-sshd --append-verify KES20261205.txt x:live/ && rsync -e as-sshd --partial-dir=.partial -- ./--delete x:incoming/" >/dev/null 2>&1
# A folder planted at the name of a file the site will send (fault 1's).
as_key "mkdir -p /srv/kestarchive/kest1/incoming/KES20261207.txt/deep"
on archive systemctl start kestarchive-seal-all.service
ok "  afterwards every sealed byte, owner and mode is as it was" test "$(sealed_now)" = "$before_attacks"
ok "  the planted name is out of the way" test ! -e "$FS/incoming/KES20261207.txt"
ok "  and said so" says "incoming/KES20261207.txt: not a regular file: moved out of the way" \
    on archive journalctl -u kestarchive-seal-all -o cat --no-pager
# A connection held open by the key keeps no push out.
KEYSSH="ssh -i /etc/kestlog/kest1.archive-key -o UserKnownHostsFile=/etc/kestlog/known_hosts -o BatchMode=yes"
c runuser -u kestlog -- sh -c "sleep 600 | $KEYSSH kest1@10.77.0.2 rsync --server -tze.LsfxCIvu --timeout=600 . live/ >/dev/null 2>&1 &"
ok "  a run while the key holds a connection open succeeds" run
ok "  a shell: refused" says "refused: only rsync is allowed" c runuser -u kestlog -- $KEYSSH kest1@10.77.0.2 cat /etc/passwd
c pkill -u kestlog -f "rsync --server" 2>/dev/null

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
mid_transfer() { ls -a "$FS/incoming" | grep -q '^\.KES'; } # rsync's temporary name, never the real one
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

t "3: the job is stopped, then killed, in the middle of a run"
plant 20261208 2500
today_size=$(stat -c %s "$SD/KES$today.txt")
run_bg
ok "  the transfer is under way" waitfor 30 mid_transfer
ok "  the present went first: today's file is home up to where the run began" \
    test "$(stat -c %s "$FS/live/KES$today.txt")" -ge "$today_size"
c systemctl stop kestlog-archive@kest1.service
ok "  a stop leaves a line that says so" says "failed: stopped by SIGTERM before the run ended" journal 3
run_bg
ok "  the transfer is under way" waitfor 30 mid_transfer
c systemctl kill -s KILL kestlog-archive@kest1.service
ok "  killed" waitfor 10 ended
ok "  nothing half-sent stands under a real name" test ! -e "$AD/KES20261208.txt" -a ! -e "$FS/incoming/KES20261208.txt"
ok "  its state is whole" says "^archive: last success" c runuser -u kestlog -- kestctl -C $D status
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
install -m 0640 -o "$(chroot "$S" id -u kestlog)" "$W/kest1.key" "$S/etc/kestlog/group.archive-key"
pending() { sed -n 's/^pending_files //p' "$S$D/archive/state"; }
ssh-keygen -q -t ed25519 -N '' -f "$W/impostor"
echo "10.77.0.2 $(cut -d' ' -f1,2 "$W/impostor.pub")" >"$S/etc/kestlog/impostor_known_hosts"
bad() { # WHY KEY [DESTINATION] [MORE]: a run with these settings fails, saying why
    printf 'destination=kest1@10.77.0.2:%s\nkey=/etc/kestlog/%s\nkeep_days=3\ngrace_hours=0\n%b' "${3:-}" "$2" "${4:-}" |
        install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/bad.archive"
    note_site
    ok "  $1" says "^kestlog-archive: failed: $1" \
        eval "! c runuser -u kestlog -- kestlog-archive -C $D --settings /etc/kestlog/bad.archive"
    echo "    $(grep -m1 failed <<<"$said")"
}
bad "key /etc/kestlog/none.archive-key: No such file or directory" none.archive-key
bad "key /etc/kestlog/root-only.archive-key: Permission denied" root-only.archive-key
bad "the archive host refused the key" stranger.archive-key
bad "the local key cannot be used" group.archive-key
ok "  and --check says so first" says "group.archive-key is readable by its group: ssh refuses it" \
    c kestlog-archive --check --settings /etc/kestlog/bad.archive
bad "the archive refused it: kestlog-archive-gate: refused: target ro/live/ is not allowed" kest1.archive-key ro
bad "the archive host's key is not the one known \(it offered SHA256:$(ssh-keygen -lf "$A/etc/ssh/ssh_host_ed25519_key.pub" | cut -d' ' -f2 | cut -c8- | tr '+/' '..')\)" \
    kest1.archive-key "" "known_hosts=/etc/kestlog/impostor_known_hosts\n"
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

K1="keep_days=3\nmetrics_file=/var/lib/kestlog/kest1/archive.prom\n"
metric() { sed -n "s/^$1{site=\"K1\"} //p" "$S$D/archive.prom"; }

t "9: the archive's copy rots after it was confirmed"
plant 20261101
settings kest1 "metrics_file=/var/lib/kestlog/kest1/archive.prom\n"
ok "a run confirms it, and deletes nothing" run
on archive sh -c 'f=/srv/kestarchive/kest1/data/KES20261101.txt; chmod u+w $f &&
    printf X | dd of=$f bs=1 seek=100 conv=notrunc 2>/dev/null && chmod u-w $f'
settings kest1 "${K1}grace_hours=0\n"
ok "  the run that would delete it asks the archive again, and fails" eval '! run'
ok "  saying why" says "failed: checksum mismatch: the archive's copy of KES20261101.txt .*: kept, to be sent again" journal 6
ok "  the site keeps its copy, the good one" test -e "$SD/KES20261101.txt"
ok "a run succeeds" run
judge "9"
ok "  a good copy stored beside the rotted one" test "$(ls "$AD"/KES20261101.*.txt | wc -l)" -eq 1
on archive systemctl start kestarchive-scrub.service
ok "  the scrub finds the rotted copy" says "scrub: kest1: data/KES20261101.txt: now .*changed since it was sealed" \
    on archive journalctl -u kestarchive-scrub -o cat --no-pager
ok "  and the archive's metrics say so" grep -q 'kestarchive_scrub_files{site="kest1",result="changed"} 1' \
    "$A/var/lib/prometheus/node-exporter/kestarchive.prom"

t "10: a link cut every 90 seconds, and a file that takes longer"
plant 20261102 1600
settings kest1 "${K1}grace_hours=0\nbandwidth_kbps=16\n"
before=$(metric kestlog_archive_sent_bytes_total)
( while sleep 90; do on site ss -K dst 10.77.0.2 >/dev/null 2>&1; on archive ss -K dst 10.77.0.1 >/dev/null 2>&1; done ) &
CUTTER=$!
cut_runs=0
until run; do
    cut_runs=$((cut_runs + 1))
    [ $cut_runs -lt 4 ] || break
done
pkill -P $CUTTER sleep; kill $CUTTER && wait $CUTTER 2>/dev/null
CUTTER=
judge "10"
ok "  it arrived after a cut, each run going on from the last ($cut_runs cut)" test $cut_runs -ge 1 -a $cut_runs -lt 4
crossed=$(($(metric kestlog_archive_sent_bytes_total) - before))
ok "  what crossed, cut runs counted too, is no more than the file ($crossed of $(stat -c %s "$SD/KES20261102.txt" 2>/dev/null || echo 2.1M) bytes)" \
    test "$crossed" -gt 1000000 -a "$crossed" -lt 2200000
settings kest1 "${K1}grace_hours=0\n"

t "11: the site's clock a year ahead for one run, and back"
plant 20261103
settings kest1 "${K1}grace_hours=24\n"
ok "a run confirms it" run
ahead=$(date -u -d '+365 days' +%Y%m%d)
printf '\001KES01 written under a clock a year ahead\004' >"$SD/KES$ahead.txt"
touch -d '+365 days' "$SD/KES$ahead.txt" && chown "$(stat -c %u "$SD")" "$SD/KES$ahead.txt"
mismatches=$(metric kestlog_archive_checksum_mismatches_total)
note_site
c runuser -u kestlog -- env LD_PRELOAD=/usr/local/lib/libfaketime.so.1 FAKETIME=+365d FAKETIME_DONT_FAKE_MONOTONIC=1 \
    kestlog-archive -C $D --settings /etc/kestlog/kest1.archive 2>/dev/null
ok "  under it, a file confirmed minutes before keeps its day of grace" test -e "$SD/KES20261103.txt"
ok "back on time, a run succeeds" run
ok "  and another" run
now=$(date +%s)
ok "  no time in the future in the state" awk -v now="$now" '$1 ~ /^last_/ && $2 > now + 60 { exit 1 }' "$S$D/archive/state"
ok "  nor in the metrics" test "$(metric kestlog_archive_last_success_timestamp_seconds)" -le $((now + 60))
ok "  today's growing file is stored no more than once" test "$(grep -c "^file KES$today.txt " "$S$D/archive/state")" -le 1
ok "  no false mismatch" test "$(metric kestlog_archive_checksum_mismatches_total)" = "$mismatches"
judge "11"

t "12: a confirmed file changed at the site"
plant 20261105
ok "a run confirms it" run
printf 'X' | dd of="$SD/KES20261105.txt" bs=1 seek=10 conv=notrunc 2>/dev/null
plant 20261106
ok "  the next run finds it, and says so" says "failed: checksum mismatch: KES20261105.txt changed at the site after the archive confirmed it" \
    eval "run; journal 4"
ok "  and sends the rest all the same" in_archive "$(sha256sum <"$SD/KES20261106.txt" | cut -c1-64)" KES20261106.txt
ok "  and counts it" test "$(metric kestlog_archive_checksum_mismatches_total)" -gt "$mismatches"
settings kest1 "${K1}grace_hours=0\n"
run
ok "  and keeps it, past its grace too" test -e "$SD/KES20261105.txt"
ok "  while the archive keeps what was confirmed" says "KES20261105.txt" sh -c "grep KES20261105 '$FS/record'"

t "13: two sites given one folder"
c install -d -o kestlog -g kestlog /var/lib/kestlog/kest2/data
printf '\001KES01 another site\004' >"$S/var/lib/kestlog/kest2/data/KES20261106.txt"
printf '\001KES01 another site\004' >"$S/var/lib/kestlog/kest2/data/KES20261107.txt"
touch -d "2026-11-06 23:59" "$S/var/lib/kestlog/kest2/data/KES20261106.txt"
chown -R "$(stat -c %u "$SD")" "$S/var/lib/kestlog/kest2"
install -m 0600 -o "$(chroot "$S" id -u kestlog)" "$W/kest1.key" "$S/etc/kestlog/kest2.archive-key"
printf 'destination=kest1@10.77.0.2:\nkey=/etc/kestlog/kest2.archive-key\n' |
    install -m 0640 -g "$(chroot "$S" id -g kestlog)" /dev/stdin "$S/etc/kestlog/kest2.archive"
manifest=$(sha256sum <"$FS/live/manifest.sha256")
ok "  the second is refused, and told why" says "folder kest1 belongs to site site:/var/lib/kestlog/kest1, and this is site site:/var/lib/kestlog/kest2" \
    c runuser -u kestlog -- kestlog-archive -C /var/lib/kestlog/kest2 --settings /etc/kestlog/kest2.archive
ok "  the first's manifest is as it was" test "$(sha256sum <"$FS/live/manifest.sha256")" = "$manifest"

t "14: a site over its bound harms no other"
on archive sh -c 'printf "max_bytes=300000\nmax_files=100\n" >/srv/kestarchive/site01/site.conf'
head -c 400000 /dev/urandom >"$S/var/lib/kestlog/site01/data/KES20261103.txt"
touch -d "2026-11-03 23:59" "$S/var/lib/kestlog/site01/data/KES20261103.txt"
chown -R "$(stat -c %u "$SD")" "$S/var/lib/kestlog/site01"
ok "  its push is refused, and told why" says "the archive is full: .*File too large|over its bound" \
    c runuser -u kestlog -- kestlog-archive -C /var/lib/kestlog/site01 --settings /etc/kestlog/site01.archive
ok "  its folder stays within it" test "$(du -sb "$A/srv/kestarchive/site01" | cut -f1)" -lt 400000
printf '\001K02 261103 10:00 z\004' >"$S/var/lib/kestlog/site02/data/KES20261103.txt"
chown -R "$(stat -c %u "$SD")" "$S/var/lib/kestlog/site02"
ok "  another site pushes as before" c runuser -u kestlog -- kestlog-archive -C /var/lib/kestlog/site02 --settings /etc/kestlog/site02.archive
t "15: the fleet's page: built after real pushes, a site cut off, a catch-up"
ok "  the archive host's unit builds it" on archive systemctl start kestarchive-fleet.service
ok "  with kest1's row and today's cell" grep -q "href=kest1/$today.html>" "$A/var/www/kestarchive/index.html"
ok "  whose figures come from today's live file" \
    awk -F, -v d="${today:0:4}-${today:4:2}-${today:6:2}" '$1 == "kest1" && $2 == d && $6 > 0 { f = 1 } END { exit !f }' \
    "$A/var/www/kestarchive/fleet.csv"
ok "  and the fleet's metrics" grep -q 'kestarchive_site_last_push_timestamp_seconds{site="kest1"} [1-9]' \
    "$A/var/lib/prometheus/node-exporter/kestarchive-fleet.prom"
# By hand from here, with a threshold of a minute, into a folder of the test's own.
fleet() { on archive kestarchive fleet --days 45 --silent-after 1 --out /var/tmp/fleet --cache /var/tmp/fleet-cache \
    --metrics /var/tmp/fleet.prom 2>/dev/null; }
day_of() { date -u -d "$1 days ago" +%Y%m%d; }
# Three days in a row of the last forty that neither the site nor the
# archive has a file of (the faults above planted days of their own).
unused() { [ ! -e "$SD/KES$(day_of "$1").txt" ] && ! ls "$AD/KES$(day_of "$1")".* >/dev/null 2>&1; }
for first in $(seq 3 40); do unused "$first" && unused $((first - 1)) && unused $((first - 2)) && break; done
DAYS="$first $((first - 1)) $((first - 2))"
# "good,not yet arrived,line lost" minutes of kest1's day in fleet.csv.
minutes() { d=$(day_of "$1") && awk -F, -v d="${d:0:4}-${d:4:2}-${d:6:2}" '$1 == "kest1" && $2 == d { print $6 "," $11 "," $9 }' \
    "$A/var/tmp/fleet/fleet.csv"; }
silent_is() { fleet && grep -q "kestarchive_site_silent{site=\"kest1\"} $1" "$A/var/tmp/fleet.prom"; }
days_are() { # "GOOD,NOT_YET_ARRIVED,LOST": each of those days' minutes, by the page built now
    local ago
    fleet || { said="kestarchive fleet failed"; return 1; }
    for ago in $DAYS; do
        [ "$(minutes $ago)" = "$1" ] || { said="$(day_of $ago): $(minutes $ago)"; return 1; }
    done
}
# The three days, held by the site, a packet a minute, sent slowly and cut
# off: the manifest that names them goes first, the days themselves after.
for ago in $DAYS; do
    d=$(day_of $ago)
    awk -v d="${d:2}" 'BEGIN { srand(); for (m = 0; m < 1440; m++)
        printf "\001KES01 %s %02d:%02d %04x%04x%04x%04x\004", d, int(m / 60), m % 60, rand() * 65536, rand() * 65536,
            rand() * 65536, rand() * 65536 }' >"$SD/KES$d.txt"
    touch -d "${d:0:4}-${d:4:2}-${d:6:2} 23:59" "$SD/KES$d.txt" && chown "$(stat -c %u "$SD")" "$SD/KES$d.txt"
done
settings kest1 "${K1}grace_hours=0\nbandwidth_kbps=8\n"
run_bg
ok "  the days are on their way" waitfor 60 mid_transfer
ok "  kest1 is not silent while it pushes" silent_is 0
on site ip link set host0 down
ok "  the run ends, cut off" waitfor 120 ended
ok "  the days the site holds are not yet arrived, none lost" days_are 0,1440,0
ok "  cut off, it turns silent in the metrics once its threshold passes" waitfor 150 silent_is 1
ok "  and on the page" grep -q '>kest1</a><td[^>]*>[^<]*<td class="v bad"[^>]*>[^<]*: silent' "$A/var/tmp/fleet/index.html"
on site ip link set host0 up
settings kest1 "${K1}grace_hours=0\n"
# The first run after an outage may find the way not open yet (as in 1).
again() { run || { echo "    the first run after the outage: $(journal 2 | tr '\n' ' ')"; run; }; }
ok "a run succeeds" again
home_days() {
    local ago f
    for ago in $DAYS; do
        f=KES$(day_of $ago).txt
        in_archive "$(grep " $f\$" "$LEDGER" | cut -c1-64)" "$f" || { said="$f is not in the archive"; return 1; }
    done
}
ok "  the three days are home" home_days || echo "    $(journal 3 | tr '\n' ' ')"
ok "  caught up, they are their real figures, never lost between" days_are 1440,0,0
ok "  and kest1 is silent no more" silent_is 0

t "done: $pass passed, $fail failed"
[ $fail -eq 0 ]
