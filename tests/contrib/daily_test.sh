#!/bin/sh
# The daily job on a data directory laid out by hand, on a given day: the
# report of yesterday, mailed; which old files are compressed and which are
# left; deletion only when asked.
set -eu
source_dir="$1"
build_dir="$2"
work=$(mktemp -d /tmp/kestlog-daily-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site/data" "$work/bin"
cat >"$work/bin/mail" <<'MAIL'
#!/bin/sh
{ echo "mail $*"; cat; } >>"$MAIL_LOG"
MAIL
chmod +x "$work/bin/mail"
data="$work/site/data"
printf '\001K0001 150630 10:00 ....\004\001K0001 150630 10:01 ....\004' >"$data/KES20150630.txt"
for f in KES20150601 KES20150616 KES20150617 KES20150701 MESKES20150501 MESKES20150520 KES20150602 \
    MESKES20000101 MESKES19991231; do
    echo "$f" >"$data/$f.txt"
done
# A site whose clock battery is dead: the log written last has neither the
# first name nor the last.
touch -d "2015-06-01" "$data"/MESKES20150520.txt "$data"/MESKES20150501.txt "$data"/MESKES19991231.txt
touch "$data/MESKES20000101.txt"
echo "older copy" | gzip >"$data/KES20150602.txt.gz"
echo "long ago" | gzip >"$data/KES20150301.txt.gz"

run() {
    PATH="$work/bin:$build_dir:$PATH" MAIL_LOG="$work/mail.log" KESTLOG_DIR="$work/site" KESTLOG_TODAY=2015-07-01 \
        "$@" timeout 120 sh "$source_dir/contrib/kestlog-daily" $daily_args 2>"$work/stderr" # 124: it hung
}
daily_args="" # the job's own arguments
fail() { echo "FAIL: $1"; ls -l "$data" "$work/site/reports" 2>&1; cat "$work/stderr"; exit 1; }
run env KESTLOG_REPORT_TO="ops@example.org night@example.org"

grep -q "^10    *2 *2/60 " "$work/site/reports/2015-06-30.txt" || fail "no report of yesterday's packets"
grep -q "<svg" "$work/site/reports/2015-06-30.svg" || fail "no picture"
grep -q "^mail -s kestlog report WXX 2015-06-30 ops@example.org night@example.org$" "$work/mail.log" ||
    fail "not mailed"
for f in KES20150601 KES20150616 MESKES20150501 MESKES20150520 MESKES19991231; do
    [ -f "$data/$f.txt.gz" ] && [ ! -e "$data/$f.txt" ] || fail "$f not compressed"
done
for f in KES20150617 KES20150701 MESKES20000101 KES20150630; do
    [ -f "$data/$f.txt" ] && [ ! -e "$data/$f.txt.gz" ] || fail "$f compressed"
done
[ -f "$data/KES20150602.txt" ] && [ "$(gunzip -c "$data/KES20150602.txt.gz")" = "older copy" ] ||
    fail "an existing .gz was overwritten"
grep -q "KES20150602.txt.gz exists already" "$work/stderr" || fail "the left file is not named"
[ -f "$data/KES20150301.txt.gz" ] || fail "deleted without being asked"

run env KESTLOG_DELETE_AFTER_DAYS=100
[ ! -e "$data/KES20150301.txt.gz" ] || fail "not deleted when asked"
[ -f "$data/MESKES20150501.txt.gz" ] || fail "deleted too much"

# Planted as a group member could once: a link and a second hard link in
# data/, a FIFO at the report's old temporary name, a link at the picture, a
# newer file that only looks like a log. Each is left or replaced, never
# written through; the rest of the job is done, and then it fails.
echo secret >"$work/secret"
ln -s "$work/secret" "$data/KES20150603.txt"
echo "two names" >"$data/KES20150604.txt"
ln "$data/KES20150604.txt" "$work/second-name"
mkfifo "$work/site/reports/2015-06-30.txt.new"
rm -f "$work/site/reports/2015-06-30.svg"
ln -s "$work/secret" "$work/site/reports/2015-06-30.svg"
echo old >"$data/KES20150605.txt"
touch "$data/MESKESjunk.txt"
status=0
run env || status=$?
[ "$status" -eq 1 ] || fail "planted files: status $status, not 1"
[ "$(cat "$work/secret")" = secret ] || fail "written through a link"
[ -L "$data/KES20150603.txt" ] || fail "the planted link was touched"
grep -q "KES20150603.txt: not a regular file, skipped" "$work/stderr" || fail "the link is not named"
[ -f "$data/KES20150604.txt" ] || fail "a file with two names was compressed"
[ -f "$data/KES20150605.txt.gz" ] || fail "the job stopped at the first refusal"
[ -f "$data/MESKES20000101.txt" ] || fail "the log being written was compressed"
[ ! -L "$work/site/reports/2015-06-30.svg" ] && grep -q "<svg" "$work/site/reports/2015-06-30.svg" ||
    fail "the picture was not put in place of the link"
grep -q "^10 " "$work/site/reports/2015-06-30.txt" || fail "no report beside the FIFO"
rm -f "$data/KES20150603.txt" "$data/KES20150604.txt" "$work/second-name" "$data/MESKESjunk.txt"

# gzip's refusal alone (a file with a second name) is a failure too.
echo "two names" >"$data/KES20150606.txt"
ln "$data/KES20150606.txt" "$work/second-name"
status=0
run env || status=$?
[ "$status" -eq 1 ] || fail "a file gzip refused: status $status, not 1"
[ -f "$data/KES20150606.txt" ] || fail "a file with two names was compressed"
rm -f "$data/KES20150606.txt" "$work/second-name"

# A chosen day, with no data, mailed under the site of the logger's
# settings; reports older than the setting are pruned, the rest kept.
printf 'site=NONE\nsite=\t ALPS extra\n' >"$work/site/kestlog.par"
touch "$work/site/reports/2014-05-01.txt" "$work/site/reports/2014-05-01.svg" "$work/site/reports/2014-07-01.txt"
: >"$work/mail.log"
daily_args="--day 2015-01-10"
run env KESTLOG_REPORT_TO=ops@example.org KESTLOG_KEEP_REPORTS_DAYS=365 || fail "a chosen day: $(cat "$work/stderr")"
[ -f "$work/site/reports/2015-01-10.txt" ] || fail "no report of the chosen day"
grep -q "^mail -s kestlog report ALPS 2015-01-10 ops@example.org$" "$work/mail.log" ||
    fail "not mailed under the settings' site: $(head -n 1 "$work/mail.log")"
[ ! -e "$work/site/reports/2014-05-01.txt" ] && [ ! -e "$work/site/reports/2014-05-01.svg" ] ||
    fail "an old report was kept"
[ -f "$work/site/reports/2014-07-01.txt" ] || fail "a report within the setting was pruned"
status=0
daily_args="--day 2015-02-30"
run env || status=$?
[ "$status" -eq 2 ] || fail "a day that does not exist: status $status, not 2"
daily_args=""

# Where the files go home, the daily job deletes none, confirmed or not:
# kestlog-archive alone does, asking the archive once more first.
mkdir -p "$work/site/archive"
sum() { echo "$1" | sha256sum | cut -c1-64; }
echo confirmed >"$data/KES20150310.txt" && echo pending >"$data/KES20150311.txt"
cat >"$work/site/archive/state" <<STATE
kestlog-archive state 1
file KES20150310.txt 10 $(sum confirmed) KES20150310.txt 1 2
file KES20150311.txt 8 $(sum pending) KES20150311.txt 1 0
STATE
run env KESTLOG_DELETE_AFTER_DAYS=100
for f in KES20150310 KES20150311; do
    [ -f "$data/$f.txt.gz" ] || fail "$f deleted by the daily job where the files go home"
    grep -q "$f.txt.gz: kept: files that go home are deleted by kestlog-archive alone" "$work/stderr" ||
        fail "$f: kept without a word"
done
rm -rf "$work/site/archive"

# A file kestreport cannot read whole: the report still goes out, then the job fails.
: >"$work/mail.log"
printf '\001K0001 150630 10:05 ....\004' | gzip | head -c 20 >"$data/KES20150701.txt.gz"
rm -f "$data/KES20150701.txt"
if run env KESTLOG_REPORT_TO=ops@example.org KESTLOG_TODAY=2015-07-02; then fail "an incomplete report counted as a success"; fi
grep -q "^mail -s kestlog report" "$work/mail.log" || fail "the incomplete report was not mailed"
grep -q "could not read all of" "$work/stderr" || fail "the failure is not said: $(cat "$work/stderr")"

# No data directory: a failure, and nothing made.
if KESTLOG_DIR="$work/nowhere" sh "$source_dir/contrib/kestlog-daily" 2>"$work/stderr"; then
    fail "a missing data directory counted as a success"
fi
grep -q "^kestlog-daily: $work/nowhere/data: no such directory$" "$work/stderr" || fail "not said: $(cat "$work/stderr")"
[ ! -e "$work/nowhere" ] || fail "made something for a missing directory"

# Run by hand from its install folder: the kestreport beside it, not PATH's.
mkdir -p "$work/installed"
cp "$source_dir/contrib/kestlog-daily" "$work/installed/"
printf '#!/bin/sh\necho "kestreport: site BESIDE, stub"\n' >"$work/installed/kestreport"
chmod +x "$work/installed/kestreport"
KESTLOG_DIR="$work/site" KESTLOG_TODAY=2015-07-01 PATH="/usr/bin:/bin" sh "$work/installed/kestlog-daily" 2>"$work/stderr" ||
    fail "run by hand: $(cat "$work/stderr")"
grep -q "BESIDE" "$work/site/reports/2015-06-30.txt" || fail "kestreport beside it not used"
echo "daily job: report, mail, compression, deletion and failures as expected"
