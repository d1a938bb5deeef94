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
for f in KES20150601 KES20150616 KES20150617 KES20150701 MESKES20150501 MESKES20150520 KES20150602; do
    echo "$f" >"$data/$f.txt"
done
echo "older copy" | gzip >"$data/KES20150602.txt.gz"
echo "long ago" | gzip >"$data/KES20150301.txt.gz"

run() {
    PATH="$work/bin:$build_dir:$PATH" MAIL_LOG="$work/mail.log" KESTLOG_DIR="$work/site" KESTLOG_TODAY=2015-07-01 \
        "$@" sh "$source_dir/contrib/kestlog-daily" 2>"$work/stderr"
}
fail() { echo "FAIL: $1"; ls -l "$data" "$work/site/reports" 2>&1; cat "$work/stderr"; exit 1; }
run env KESTLOG_REPORT_TO="ops@example.org night@example.org"

grep -q "^10    *2 *2/60 " "$work/site/reports/2015-06-30.txt" || fail "no report of yesterday's packets"
grep -q "<svg" "$work/site/reports/2015-06-30.svg" || fail "no picture"
grep -q "^mail -s kestlog report 2015-06-30 ops@example.org night@example.org$" "$work/mail.log" || fail "not mailed"
for f in KES20150601 KES20150616 MESKES20150501; do
    [ -f "$data/$f.txt.gz" ] && [ ! -e "$data/$f.txt" ] || fail "$f not compressed"
done
for f in KES20150617 KES20150701 MESKES20150520 KES20150630; do
    [ -f "$data/$f.txt" ] && [ ! -e "$data/$f.txt.gz" ] || fail "$f compressed"
done
[ -f "$data/KES20150602.txt" ] && [ "$(gunzip -c "$data/KES20150602.txt.gz")" = "older copy" ] ||
    fail "an existing .gz was overwritten"
grep -q "KES20150602.txt.gz exists already" "$work/stderr" || fail "the left file is not named"
[ -f "$data/KES20150301.txt.gz" ] || fail "deleted without being asked"

run env KESTLOG_DELETE_AFTER_DAYS=100
[ ! -e "$data/KES20150301.txt.gz" ] || fail "not deleted when asked"
[ -f "$data/MESKES20150501.txt.gz" ] || fail "deleted too much"
echo "daily job: report, mail, compression and deletion as expected"
