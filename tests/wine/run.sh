#!/bin/sh
# Runs a Windows program of a cross build under Wine: the tests' emulator.
#
#   run.sh BUILD_FOLDER PROGRAM [ARGUMENT...]   run one program
#   run.sh --start BUILD_FOLDER                 make and boot the Wine prefix now
#   run.sh --stop BUILD_FOLDER                  end that prefix's wineserver
#
# The prefix lives in BUILD_FOLDER/wine-prefix (unless WINEPREFIX is set), so
# no test touches the user's own; its windows go to a virtual X server
# (Xvfb) that runs as long as the prefix's wineserver. Its wineserver runs persistently (-p);
# wineboot and a program that holds the desktop (desktop_keeper.exe) run with
# their output detached: a server, boot or desktop that holds on to ctest's
# pipes makes ctest wait until the test's timeout. The DLLs of the
# build folder are found through WINEPATH. The host's tools are started for
# the tests by host_broker.py, whose port is in PENMORA_HOST_BROKER.
set -e
here=$(cd "$(dirname "$0")" && pwd)

# True while the prefix's services.exe runs.
system_running() {
    for pid in $(pgrep -f 'system32.services\.exe' || true); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            return 0
        fi
    done
    return 1
}

# keep_running NAME COMMAND...: starts COMMAND in the background with its
# output detached, unless the one started as NAME still runs, and waits until
# it has written what it tells (a display, a port) to its descriptor 3, which
# is the file "$WINEPREFIX/.NAME".
keep_running() {
    name=$1
    shift
    if kill -0 "$(cat "$WINEPREFIX/.$name-pid" 2>/dev/null)" 2>/dev/null; then
        return
    fi
    rm -f "$WINEPREFIX/.$name"
    "$@" 3>"$WINEPREFIX/.$name" </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$WINEPREFIX/.$name-pid"
    for _ in $(seq 100); do
        [ -s "$WINEPREFIX/.$name" ] && break
        sleep 0.1
    done
}

start() {
    build=$1
    export WINEPREFIX="${WINEPREFIX:-$build/wine-prefix}"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    mkdir -p "$WINEPREFIX"
    # Nothing started here may inherit the lock's descriptor (9>&-), or it
    # would hold the lock for as long as it runs.
    (
        flock 9
        # Windows need a display: a virtual X server of the prefix's own.
        keep_running xvfb Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24
        export DISPLAY=":$(head -n1 "$WINEPREFIX/.xvfb")"
        # The tests start the host's tools through a broker of the prefix's own.
        keep_running host-broker python3 "$here/host_broker.py" 3
        wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
        # The prefix's system programs (services, the desktop, the device
        # hosts) run as long as its server. Started by a test, they would
        # inherit its output and keep ctest reading it until the test's
        # timeout; wineboot starts them here, with their output detached.
        # A boot after the first is a restart (-r): a full boot would also
        # start what the user's Run key names, and there the service's copy
        # that registered last would take the fixed ports from every test
        # after it.
        if ! system_running; then
            if [ -f "$WINEPREFIX/.penmora-booted" ]; then
                wineboot -r </dev/null >/dev/null 2>&1 9>&-
            else
                wineboot -i </dev/null >/dev/null 2>&1 9>&-
                touch "$WINEPREFIX/.penmora-booted"
            fi
        fi
        # The desktop's manager, started here and kept for as long as the
        # server runs (see desktop_keeper.cpp).
        keeper="$build/tests/wine/desktop_keeper.exe"
        if [ -f "$keeper" ]; then
            keep_running desktop-keeper sh -c 'exec "$0" "$1" >&3 2>/dev/null' "$(wine_program)" "$keeper"
        fi
    ) 9>"$WINEPREFIX.lock"
    export DISPLAY=":$(head -n1 "$WINEPREFIX/.xvfb")"
    PENMORA_HOST_BROKER=$(cat "$WINEPREFIX/.host-broker")
    export PENMORA_HOST_BROKER
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
    for server in desktop-keeper host-broker xvfb; do
        if [ -f "$WINEPREFIX/.$server-pid" ]; then
            kill "$(cat "$WINEPREFIX/.$server-pid")" 2>/dev/null || true
        fi
        rm -f "$WINEPREFIX/.$server-pid" "$WINEPREFIX/.$server"
    done
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
