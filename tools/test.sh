#!/usr/bin/env bash
# Installs what the build and the tests need (when run as root), then builds
# and runs every test: once on the normal build, once with AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(g++ cmake make pkg-config libev-dev libgtest-dev python3 python3-pytest socat iproute2 util-linux procps)
# Packaging checks: manual page lint, unit verification, the OpenWrt init-script test bed.
DEB_PACKAGES+=(mandoc systemd gcc busybox libjson-c-dev)
# linkhub's MQTT bridge and metrics: the client and HTTP libraries, and the broker, Prometheus
# and openssl (the test's throwaway CA) that the system tests run.
DEB_PACKAGES+=(libmosquitto-dev libmicrohttpd-dev mosquitto prometheus openssl)

need_install() {
    local missing=()
    for p in "${DEB_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    printf '%s\n' "${missing[@]}"
}

missing=$(need_install)
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "== installing: $(echo $missing)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    else
        echo "missing Debian packages (run as root to install them): $(echo $missing)" >&2
        exit 1
    fi
fi

jobs=$(nproc)

# Unit tests with their output on failure; the system tests' own summary
# (counts, skip reasons) always, their whole output on failure.
run_ctest() {
    local dir=$1
    (cd "$dir" && ctest --output-on-failure --timeout 1500 -E '^system_tests$')
    if ! (cd "$dir" && ctest --timeout 1500 -V -R '^system_tests$' >system-tests.log 2>&1); then
        cat "$dir/system-tests.log"
        echo "system tests failed in $dir" >&2
        exit 1
    fi
    grep -E '^[0-9]+: (SKIPPED|.*[0-9]+ (passed|failed))' "$dir/system-tests.log" | sed 's/^[0-9]*: /    /'
}

stage() {  # stage NAME BUILD_DIR CMAKE_ARGS...
    local name=$1 dir=$2
    shift 2
    echo "== $name: configure and build in $dir"
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" 2>&1 | grep -E 'warning|error' && { echo "build of $name is not clean" >&2; exit 1; } || true
    cmake --build "$dir" -j "$jobs" >/dev/null
    echo "== $name: tests"
    run_ctest "$dir"
}

stage "normal build" build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFW_TESTS=ON
# The benchmark in quick mode: it must run and print every figure (no timing threshold).
if [ "$(id -u)" = 0 ]; then echo "== benchmark, quick mode"; python3 tools/bench.py --quick --json build/bench-quick.json build/bin; else echo "== benchmark skipped: needs root"; fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    stage "sanitizer build" build-san -DCMAKE_BUILD_TYPE=Debug -DFW_SANITIZE=ON -DFW_TESTS=ON

if [ -x tools/cross.sh ] && [ "${FW_SKIP_CROSS:-0}" != 1 ]; then
    tools/cross.sh test
fi
echo "== all stages passed"
