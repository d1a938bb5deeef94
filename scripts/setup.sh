# Sourced by the scripts here: installs what the build and the tests need
# (Debian), then configures and builds into $build. A script may ask for more
# packages (extra_packages) and CMake options (cmake_options) first.
packages="g++ cmake make pkg-config libgtest-dev libsystemd-dev zlib1g-dev faketime libfaketime util-linux strace rsync openssh-client systemd tzdata ${extra_packages:-}"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    as_root=""
    [ "$(id -u)" -eq 0 ] || as_root="sudo"
    $as_root apt-get update -qq
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" ${cmake_options:--DKESTLOG_WERROR=ON}
cmake --build "$build" -j"$(nproc)"
