# Sourced by the tools that run the program under Wine: a private prefix under build/, one
# wineserver kept alive for the whole run, and an Xvfb display when none is set.
# Call wine_env_start once; wine_env_stop runs on exit.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="$root/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
xvfb_pid=

# Wine's 32-bit loader runs only where the kernel runs 32-bit programs, which some virtual
# machines do not (an emulator registered for them would make the x86 tests take hours).
# Without it, the 64-bit loader runs Wine's own programs, and the x86 tests are skipped.
if /usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    VANTREL_X86_RUNS=1
else
    VANTREL_X86_RUNS=
    export WINELOADER=/usr/lib/wine/wine64
    wine() { /usr/lib/wine/wine64 "$@"; }
fi

wine_env_stop() {
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}

wine_env_start() {
    trap wine_env_stop EXIT
    export VANTREL_WINE_STARTED=1
    if [ -z "${DISPLAY:-}" ]; then
        for n in $(seq 90 120); do
            [ -e "/tmp/.X11-unix/X$n" ] && continue
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            xvfb_pid=$!
            export DISPLAY=":$n"
            for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
            break
        done
    fi
    mkdir -p "$root/build"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Making the Wine prefix (once, about 15 s)"
        wine wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    wineserver -p >/dev/null 2>&1 </dev/null
    # Xvfb runs no window manager: unmanaged windows spare every window's destruction a
    # two-second wait for a manager that never answers.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
    # The screen at 100 %, whatever an earlier run that changed it for a test left behind.
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 </dev/null
    # Start Wine's own services now, outside any pipe that a test runner waits on:
    # they would otherwise inherit the runner's output and keep it open.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
}
