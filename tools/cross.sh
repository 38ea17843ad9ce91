#!/usr/bin/env bash
# The target: little-endian 32-bit MIPS (mipsel-linux-gnu).
#
#   tools/cross.sh build   install what is missing (as root), then build the
#                          five daemons and the unit tests in build-mipsel
#                          with the size-minded release configuration
#   tools/cross.sh test    build, then run the unit tests and the system tests
#                          that need no namespaces under qemu-mipsel-static
#   tools/cross.sh size    build, then print each daemon's stripped size and
#                          fail if one needs libstdc++ or libgcc_s at run time
set -euo pipefail
cd "$(dirname "$0")/.."

TARGET=mipsel-linux-gnu
BUILD_DIR=build-mipsel
DAEMONS=(serstream serdgram streamhop dgramhop streamhop-cli)
BUILD_PACKAGES=(cmake make gcc-$TARGET g++-$TARGET binutils-$TARGET libev-dev:mipsel libgtest-dev:mipsel
                qemu-user-static)
TEST_PACKAGES=(python3 python3-pytest socat iproute2 procps util-linux)

usage() {
    echo "usage: $0 build|test|size" >&2
    exit 2
}

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

install_packages() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages (run as root to install them): $(echo $missing)" >&2
        exit 1
    fi
    echo "== cross: installing $(echo $missing)"
    if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
        dpkg --add-architecture mipsel
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

build() {
    install_packages "${BUILD_PACKAGES[@]}"
    echo "== cross: configure and build in $BUILD_DIR"
    cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/$TARGET.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DFW_SMALL=ON >/dev/null
    local log
    log=$(cmake --build "$BUILD_DIR" -j "$(nproc)" 2>&1) || { echo "$log" >&2; exit 1; }
    if echo "$log" | grep -E 'warning:|error:'; then
        echo "cross build is not clean" >&2
        exit 1
    fi
}

run_tests() {
    install_packages "${TEST_PACKAGES[@]}"
    build
    # The toolchain file names the emulator: ctest runs the unit tests under
    # it, and the system tests get it as FW_WRAP (namespace tests deselected).
    echo "== cross: tests under qemu-mipsel-static"
    (cd "$BUILD_DIR" && ctest --output-on-failure --timeout 1500 -E '^system_tests$')
    # The system tests' summary (counts, skip reasons) always, their whole
    # output on failure.
    if ! (cd "$BUILD_DIR" && ctest --timeout 1500 -V -R '^system_tests$' >system-tests.log 2>&1); then
        cat "$BUILD_DIR/system-tests.log"
        echo "system tests failed under emulation" >&2
        exit 1
    fi
    grep -E '^[0-9]+: (SKIPPED|.*[0-9]+ (passed|failed))' "$BUILD_DIR/system-tests.log" | sed 's/^[0-9]*: /    /'
}

size() {
    build >&2
    local d f tmp needed bad=0
    tmp=$(mktemp -d)
    echo "| daemon | stripped size (bytes) | NEEDED |"
    echo "|---|---:|---|"
    for d in "${DAEMONS[@]}"; do
        f=$BUILD_DIR/bin/$d
        $TARGET-strip -o "$tmp/$d" "$f"
        needed=$($TARGET-readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        echo "| $d | $(stat -c %s "$tmp/$d") | ${needed% } |"
        if echo "$needed" | grep -qE 'libstdc\+\+|libgcc_s'; then
            echo "$d needs libstdc++ or libgcc_s at run time: $needed" >&2
            bad=1
        fi
    done
    rm -rf "$tmp"
    return $bad
}

[ $# = 1 ] || usage
case $1 in
    build) build ;;
    test) run_tests ;;
    size) size ;;
    *) usage ;;
esac
