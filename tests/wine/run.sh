#!/bin/sh
# Runs a Windows program of a cross build under Wine: the tests' emulator.
#
#   run.sh BUILD_FOLDER PROGRAM [ARGUMENT...]   run one program
#   run.sh --start BUILD_FOLDER                 make and boot the Wine prefix now
#   run.sh --stop BUILD_FOLDER                  end that prefix's wineserver
#
# The prefix lives in BUILD_FOLDER/wine-prefix (unless WINEPREFIX is set), so
# no test touches the user's own. Its wineserver runs persistently (-p) and
# wineboot is run once, both with their output detached: a server or boot
# that holds on to ctest's pipes makes ctest wait forever. The DLLs of the
# build folder are found through WINEPATH.
set -e

start() {
    build=$1
    export WINEPREFIX="${WINEPREFIX:-$build/wine-prefix}"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        wineserver -p </dev/null >/dev/null 2>&1 || true
        if [ ! -f "$WINEPREFIX/.penmora-booted" ]; then
            wineboot -i </dev/null >/dev/null 2>&1
            wineserver -w </dev/null >/dev/null 2>&1 || true
            wineserver -p </dev/null >/dev/null 2>&1 || true
            touch "$WINEPREFIX/.penmora-booted"
        fi
    ) 9>"$WINEPREFIX.lock"
}

wine_program() {
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "run.sh: no wine64 found" >&2
    exit 127
}

case "$1" in
--start)
    start "$(cd "$2" && pwd)"
    exit 0
    ;;
--stop)
    export WINEPREFIX="${WINEPREFIX:-$(cd "$2" && pwd)/wine-prefix}"
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
esac

build=$(cd "$1" && pwd)
shift
start "$build"
# The virtual reader and other DLLs of the build, and the cross runtime's.
dlls=$(find "$build" -name wine-prefix -prune -o -name '*.dll' -printf 'Z:%h\n' 2>/dev/null | sort -u | tr '\n' ';')
for runtime in /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib; do
    [ -d "$runtime" ] && dlls="${dlls}Z:$runtime;"
done
export WINEPATH="${dlls}${WINEPATH:-}"
exec "$(wine_program)" "$@"
