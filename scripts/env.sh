# Shared settings of the build and test scripts; sourced, not run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
DEPS_DIR=${DEPS_DIR:-$ROOT/.deps}
# KESTRUP_JOBS: how many compilers and tests run at once (default: one per core).
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
WINEBIN=/usr/lib/wine
export PATH=$WINEBIN:$PATH

# A persistent, warmed-up wineserver keeps every later wine start fast and
# stops ctest from hanging on a server that lingers after a test.
wine_start() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine64 cmd /c exit </dev/null >/dev/null 2>&1
  # Keep the desktop process busy for the whole run: left idle it exits, and
  # the next program that needs it starts it again with that program's
  # stderr, on which ctest then waits (for ever when a headless console of a
  # test's child started it).
  # `wine_start minimized` keeps it out of sight on a real display.
  if [ "${1:-}" = minimized ]; then
    wine64 start /min /wait notepad.exe </dev/null >/dev/null 2>&1 &
  else
    wine64 notepad.exe </dev/null >/dev/null 2>&1 &
  fi
}
wine_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}

# make_prefix PREFIX GRAPHICS: makes the Wine prefix once and sets its
# graphics driver ("null": windows, dialogs and timers run without a
# display; "x11": they draw on $DISPLAY).
make_prefix() {
  if [ ! -f "$1/system.reg" ]; then
    mkdir -p "$1"
    WINEPREFIX=$1 WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX=$1 wineserver -w
  fi
  if ! grep -qs "\"Graphics\"=\"$2\"" "$1/user.reg"; then
    (
      export WINEPREFIX=$1
      wine_start
      wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$2" /f </dev/null >/dev/null 2>&1
      wine_stop
    )
  fi
}
