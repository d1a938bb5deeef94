# Sourced by the container tests and the archive benchmark: the package and
# a Debian 12 root made once and kept (by the source's contents, by the
# packages asked for) in $CACHE, machines booted under a real systemd in
# systemd-nspawn, and the checks' bookkeeping. Needs bash, root, and
# systemd-container and mmdebstrap (installed here when missing; with
# `skip` called when that cannot be).
#
# The caller sets SRC (the source tree), W (its scratch folder) and CACHE,
# and defines skip().

# What every test machine has: the package's dependencies, a mail agent, and
# what the archive host needs (one root serves both kinds).
ROOT_PACKAGES=exim4-daemon-light,bsd-mailx,msmtp,openssh-client,openssh-server,rsync,python3,iproute2

MACHINES=""
started=$(date +%s)
pass=0
fail=0
said="" # what `says` ran printed last, shown when its check fails
t() { echo "[$(date +%T) +$(($(date +%s) - started)) s] $*"; }
says() { said=$("${@:2}" 2>&1); grep -qE -- "$1" <<<"$said"; }
ok() {
    said=""
    local began=$(date +%s) took
    if "${@:2}"; then
        took=$(($(date +%s) - began))
        pass=$((pass + 1)) && echo "ok   $1$([ $took -lt 20 ] || echo " ($took s)")"
    else
        fail=$((fail + 1)) && echo "FAIL $1" && sed 's/^/    | /' <<<"$said" | head -n 20
        return 1
    fi
}
waitfor() { # SECONDS COMMAND...: until the command succeeds, at most that long
    local end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt $end ] || return 1
        sleep 0.2
    done
}

# need_machines [COMMAND[:PACKAGE]...]: root, nspawn, mmdebstrap and these
# commands (each from the Debian package named, or of its own name).
need_machines() {
    [ "$(id -u)" -eq 0 ] || skip "needs root"
    local missing="" c
    for c in systemd-nspawn:systemd-container mmdebstrap "$@"; do
        command -v "${c%%:*}" >/dev/null || missing="$missing ${c#*:}"
    done
    if [ -n "$missing" ]; then
        # shellcheck disable=SC2086
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            $missing; } >/dev/null 2>&1 || skip "cannot install$missing"
    fi
    sources=/etc/apt/sources.list.d/debian.sources
    [ -f $sources ] || sources=/etc/apt/sources.list
    [ -f $sources ] || skip "no Debian package sources on this host"
    mkdir -p "$CACHE"
}

# The package built from the source as it is now, once for each state of it.
built_package() {
    local key
    key=$(cd "$SRC" && find . -path ./.git -prune -o -path './build*' -prune -o -type f -print0 | sort -z |
        xargs -0 sha256sum | sha256sum | cut -c1-16)
    if ! ls "$CACHE/deb-$key"/kestlog_*.deb >/dev/null 2>&1; then
        rm -rf "$CACHE"/deb-*
        sh "$SRC/scripts/package.sh" "$CACHE/deb-$key" >"$W/package.log" 2>&1 || {
            tail -n 30 "$W/package.log" >&2
            return 1
        }
    fi
    ls "$CACHE/deb-$key"/kestlog_*.deb
}

# A Debian 12 root with these packages at DIR, from a kept copy when there is one.
debian_root() {
    local dir=$1 packages=$2 tar
    tar="$CACHE/root-$(echo "$packages" | sha256sum | cut -c1-16).tar"
    if [ ! -f "$tar" ]; then
        mmdebstrap -q --variant=minbase --include="systemd,systemd-sysv,dbus,$packages" \
            bookworm "$dir" "$sources" >"$W/root.log" 2>&1 || {
            cat "$W/root.log" >&2
            return 1
        }
        tar -C "$dir" -cf "$tar.new" . && mv "$tar.new" "$tar"
    else
        mkdir -p "$dir" && tar -C "$dir" -xf "$tar"
    fi
}

# install_package ROOT [DEB]: the package ($deb) installed in the root, with apt.
install_package() {
    local package=${2:-$deb}
    cp "$package" "$1/root/"
    chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/root/$(basename "$package")" \
        >"$W/install.log" 2>&1 || {
        cat "$W/install.log" >&2
        return 1
    }
}

# A site and an archive host: the site's package built ($deb, its files
# unpacked in $W/x) and installed in the root $S; the archive host's package
# ($host_deb) installed in the root $A beside it.
site_and_archive_roots() {
    built_package >"$W/deb" &
    local pkg=$!
    debian_root "$S" "$ROOT_PACKAGES" && debian_root "$A" "$ROOT_PACKAGES" || return 1
    wait $pkg || return 1
    deb=$(cat "$W/deb")
    host_deb=$(ls "$(dirname "$deb")"/kestlog-archive-host_*.deb)
    dpkg-deb -x "$deb" "$W/x"
    install_package "$S" "$deb" && install_package "$A" "$host_deb"
}

# add_site NAME: the site added on the archive host as its guide says, from
# the public key $W/NAME.key.pub; its private key installed at the site as
# /etc/kestlog/NAME.archive-key.
add_site() {
    [ -f "$W/$1.key" ] || ssh-keygen -q -t ed25519 -N '' -C "$1" -f "$W/$1.key"
    cp "$W/$1.key.pub" "$A/root/$1.key.pub"
    on archive kestarchive add-site "$1" "/root/$1.key.pub" "${@:2}" >"$W/add-site.log" 2>&1 ||
        { cat "$W/add-site.log" >&2; return 1; }
    install -m 0600 -o "$(chroot "$S" id -u kestlog)" "$W/$1.key" "$S/etc/kestlog/$1.archive-key"
}

# boot NAME ROOT NSPAWN_ARGS...: boots it in a cgroup of its own; LEADER_NAME
# holds its systemd's process id, NSPID_NAME nspawn's.
boot() {
    local name=$1 root=$2 cg=kestlog-$1-$$
    shift 2
    (
        for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
            [ -d $h ] && mkdir -p $h/$cg && echo $BASHPID >$h/$cg/cgroup.procs
        done
        if [ ! -d /sys/fs/cgroup/unified ] && [ -f /sys/fs/cgroup/cgroup.controllers ]; then
            mkdir -p /sys/fs/cgroup/$cg && echo $BASHPID >/sys/fs/cgroup/$cg/cgroup.procs
        fi
        SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" -M "$name$$" -b --register=no \
            --keep-unit --system-call-filter=bpf --console=read-only "$@"
    ) >"$W/console-$name" 2>&1 </dev/null &
    local nspid=$!
    eval "NSPID_$name=$nspid"
    MACHINES="$MACHINES $name"
    local leader
    for _ in $(seq 300); do
        leader=$(pgrep -P $nspid -x systemd) &&
            nsenter -t "$leader" -a systemctl is-system-running 2>/dev/null | grep -qE 'running|degraded' && break
        leader=""
        sleep 0.2
    done
    [ -n "$leader" ] || {
        cat "$W/console-$name" >&2
        return 1
    }
    eval "LEADER_$name=$leader"
}

# on NAME COMMAND...: runs it in the machine.
on() {
    local leader
    eval "leader=\${LEADER_$1}"
    shift
    nsenter -t "$leader" -a "$@"
}

# Powers every machine off, waits for it, and removes its cgroups.
machines_down() {
    local name nspid
    for name in $MACHINES; do
        on "$name" systemctl poweroff 2>/dev/null
    done
    for name in $MACHINES; do
        eval "nspid=\${NSPID_$name}"
        waitfor 20 eval "! kill -0 $nspid 2>/dev/null" || kill -9 "$nspid"
        wait "$nspid" 2>/dev/null
        for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
            [ -d $h/kestlog-$name-$$ ] && find $h/kestlog-$name-$$ -depth -type d -exec rmdir {} \; 2>/dev/null
        done
    done
    MACHINES=""
}
