#!/bin/sh
# `cmake --install` must put both programs in bin, the manual page in man and
# the site examples in the documentation directory.
set -eu
build_dir="$1"
prefix=$(mktemp -d /tmp/kestlog-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
status=0
for f in bin/kestlog bin/kestctl bin/kestsim bin/kestreport bin/kestlog-daily bin/kestlog-archive bin/kestarchive \
    libexec/kestlog/kestlog-archive-gate; do
    [ -x "$prefix/$f" ] || { echo "FAIL: $f not installed as a program"; status=1; }
done
examples="$prefix/share/doc/kestlog/examples"
for f in share/man/man1/kestlog.1 share/man/man1/kestctl.1 share/man/man1/kestreport.1 share/man/man1/kestsim.1 share/man/man1/kestlog-daily.1 share/man/man1/kestlog-archive.1 \
    share/doc/kestlog/examples/kestlog.service share/doc/kestlog/examples/kestlog.archive \
    share/doc/kestlog/examples/kestlog-archive@.service share/doc/kestlog/examples/kestlog-archive@.timer \
    share/doc/kestlog/examples/kestlog-daily.service share/doc/kestlog/examples/kestlog-daily.timer \
    share/doc/kestlog/examples/kestlog-alerts.yml share/doc/kestlog/examples/kestarchive-alerts.yml \
    share/man/man8/kestarchive.8 etc/ssh/sshd_config.d/kestarchive-sshd.conf \
    share/doc/kestlog/examples/kestlog@.service share/doc/kestlog/examples/kestlog-daily@.service \
    share/doc/kestlog/examples/kestlog-daily@.timer etc/kestlog/mail.rc etc/kestlog/msmtprc \
    share/doc/kestlog/examples/kestlog.par share/doc/kestlog/examples/99-kestlog.rules \
    share/doc/kestlog/README.md share/doc/kestlog/docs/guide.md share/doc/kestlog/docs/installing.md share/doc/kestlog/docs/archive.md; do
    [ -s "$prefix/$f" ] || { echo "FAIL: $f missing"; status=1; }
done
"$prefix/bin/kestsim" --help | grep -q "^usage: kestsim" || { echo "FAIL: kestsim --help"; status=1; }
if command -v groff >/dev/null; then
    for page in man1/kestlog.1 man1/kestctl.1 man1/kestreport.1 man1/kestsim.1 man1/kestlog-daily.1 \
        man1/kestlog-archive.1 man8/kestarchive.8; do
        warnings=$(groff -man -ww -z "$prefix/share/man/$page" 2>&1)
        [ -z "$warnings" ] || { echo "FAIL: the manual page $page has faults: $warnings"; status=1; }
    done
fi
# The units run the installed program and mail through the installed route,
# and systemd finds nothing wrong with them (a template is verified as one of
# its instances), nor too much exposure in their sandbox.
[ -x "$prefix/libexec/kestlog/sendmail" ] || { echo "FAIL: libexec/kestlog/sendmail not installed as a program"; status=1; }
grep -q "^set sendmail=$prefix/libexec/kestlog/sendmail$" "$prefix/etc/kestlog/mail.rc" || { echo "FAIL: mail.rc: sendmail"; status=1; }
for unit in kestlog.service kestlog@.service; do
    grep -q "^ExecStart=$prefix/bin/kestlog --wait-for-line$" "$examples/$unit" || { echo "FAIL: $unit: ExecStart"; status=1; }
done
# The settings of /etc, read-only in each logger's working directory.
grep -q "^BindReadOnlyPaths=-$prefix/etc/kestlog/kestlog.par:/var/lib/kestlog/kestlog.par$" "$examples/kestlog.service" ||
    { echo "FAIL: kestlog.service: settings"; status=1; }
grep -q "^BindReadOnlyPaths=-$prefix/etc/kestlog/%i.par:/var/lib/kestlog/%i/kestlog.par$" "$examples/kestlog@.service" ||
    { echo "FAIL: kestlog@.service: settings"; status=1; }
# Every link of the installed README leads to an installed file.
for link in $(grep -o '](\([^)]*\))' "$prefix/share/doc/kestlog/README.md" | sed 's/^](\(.*\))$/\1/'); do
    [ -e "$prefix/share/doc/kestlog/$link" ] || { echo "FAIL: the installed README links to $link, which is not installed"; status=1; }
done
for unit in kestlog.service kestlog@.service kestlog-daily.service kestlog-daily@.service; do
    grep -q "^Environment=MAILRC=$prefix/etc/kestlog/mail.rc$" "$examples/$unit" || { echo "FAIL: $unit: MAILRC"; status=1; }
done
if command -v systemd-analyze >/dev/null; then
    units=$(mktemp -d /tmp/kestlog-units-XXXXXX)
    cp "$examples/kestlog.service" "$units/kestlog.service"
    cp "$examples/kestlog@.service" "$units/kestlog@kest1.service"
    cp "$examples/kestlog-daily.service" "$examples/kestlog-daily.timer" "$units/"
    cp "$examples/kestlog-daily@.service" "$units/kestlog-daily@kest1.service"
    cp "$examples/kestlog-daily@.timer" "$units/kestlog-daily@kest1.timer"
    cp "$examples/kestlog-archive@.service" "$units/kestlog-archive@kest1.service"
    cp "$examples/kestlog-archive@.timer" "$units/kestlog-archive@kest1.timer"
    host_units="kestarchive-seal.path kestarchive-seal.service kestarchive-seal-all.service kestarchive-seal-all.timer
        kestarchive-scrub.service kestarchive-scrub.timer kestarchive-fleet.service kestarchive-fleet.timer"
    for unit in $host_units; do cp "$examples/$unit" "$units/"; done
    for unit in kestlog.service kestlog@kest1.service kestlog-daily.service kestlog-daily.timer \
        kestlog-daily@kest1.service kestlog-daily@kest1.timer kestlog-archive@kest1.service kestlog-archive@kest1.timer \
        $host_units; do
        # Documentation= names the manual pages installed here.
        out=$(MANPATH="$prefix/share/man" systemd-analyze verify "$units/$unit" 2>&1) || { echo "FAIL: systemd-analyze verify $unit: $out"; status=1; }
        [ -z "$out" ] || { echo "FAIL: systemd-analyze verify $unit says: $out"; status=1; }
        echo "systemd-analyze verify $unit: ${out:-no findings}"
    done
    # Exposure, from 0 to 100: at most 25 for the loggers, 20 for the daily and archive jobs and the
    # archive host's.
    for limit in kestlog.service:25 kestlog@kest1.service:25 kestlog-daily.service:20 kestlog-daily@kest1.service:20 \
        kestlog-archive@kest1.service:20 kestarchive-seal.service:20 kestarchive-seal-all.service:20 \
        kestarchive-scrub.service:20 kestarchive-fleet.service:20; do
        unit=${limit%:*}
        out=$(systemd-analyze security --offline=yes --threshold="${limit#*:}" "$units/$unit" 2>&1) ||
            { echo "FAIL: systemd-analyze security $unit: $(echo "$out" | tail -n 1)"; status=1; }
        echo "systemd-analyze security $unit: $(echo "$out" | tail -n 1)"
    done
    # The archive's timer pushes in every hour, the repeated one of the
    # night the clocks go back included.
    calendar=$(sed -n 's/^OnCalendar=//p' "$examples/kestlog-archive@.timer")
    elapses=$(TZ=Europe/Berlin systemd-analyze calendar --iterations=4 --base-time='2026-10-25 01:30:00' "$calendar" |
        grep -cE '(Next elapse|Iter\. #[0-9]): Sun 2026-10-25 0[23]:00:00')
    [ "$elapses" -eq 3 ] || { echo "FAIL: kestlog-archive@.timer ($calendar) runs $elapses times, not 3, in 02:00-03:59 on the night the clocks go back"; status=1; }
    rm -rf "$units"
else
    echo "skipped: systemd-analyze verify (no systemd-analyze here)"
fi
# The example alerting rules load in Prometheus.
if command -v promtool >/dev/null; then
    out=$(promtool check rules "$examples/kestlog-alerts.yml" "$examples/kestarchive-alerts.yml" 2>&1) ||
        { echo "FAIL: promtool: $out"; status=1; }
    echo "promtool check rules: $(echo "$out" | tail -n 1)"
    # Each rule fires after the time its summary says, and not before.
    for rules in alerts kestarchive_alerts; do
        cp "$(dirname "$0")/contrib/${rules}_test.yml" "$examples/"
        out=$(cd "$examples" && promtool test rules ${rules}_test.yml 2>&1) || { echo "FAIL: promtool test rules: $out"; status=1; }
        echo "promtool test rules $rules: $(echo "$out" | tail -n 1)"
    done
else
    echo "skipped: promtool check rules (no promtool here)"
fi
exit $status
