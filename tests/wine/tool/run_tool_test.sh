#!/usr/bin/env bash
# run_tool_test.sh EMULATOR TEST_PROGRAM SCREENSHOT_PNG DUMP_FIXTURE_SYS
# Runs the tray tool's Wine test on a display and in a prefix of its own: an
# Xvfb server, and a copy of the run's prefix with its own persistent
# wineserver (the shell's tray lives in the prefix's explorer, which shows on
# the display the server first saw). The emulated dump driver is registered
# in the copy. Takes the screenshot and the clicks the test asks for.
set -euo pipefail
emulator=$1 program=$2 screenshot=$3 driver=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)

base=${WINEPREFIX:-$root/build/wine-prefix}
# The copy is taken of a prefix whose server has ended and so saved the
# registry: a running server's files may still hold what a finished test set
# and removed since, such as the settings test's Run value, whose program the
# copy's boot would then start beside the tool. The next program of the run
# starts the run's server again.
"$root/scripts/wine-prefix" up  # the run's prefix exists from here on
"$root/scripts/wine-prefix" down
# Beside the run's prefix, so the run's own cleanup finds this server and
# display even if this script is killed outright.
work=$(mktemp -d "$(dirname "$base")/tool-test.XXXXXX")
cleanup() {
  [[ -n ${helper:-} ]] && kill "$helper" 2>/dev/null || true
  WINEPREFIX=$work/prefix "$root/scripts/wine-prefix" down || true
  "$root/scripts/stop-xvfb" "$work/xvfb.pid"
  rm -rf "$work"
}
trap cleanup EXIT
# A run cut short (CTest's timeout) still ends the display and the server.
trap 'exit 1' INT TERM
cp -a "$base" "$work/prefix"
rm -f "$work/prefix.lock"
export WINEPREFIX=$work/prefix

display=$("$root/scripts/start-xvfb" "$work/xvfb.pid") || { echo "no display for Xvfb" >&2; exit 1; }
export DISPLAY=$display

# The copy's own server starts on this display; the driver is registered
# there, since the run's server may not have saved its registrations yet.
"$root/scripts/wine-prefix" up
"$root/sim/winepc/driver/dump-fixture" install "$driver" >/dev/null

mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot" "$screenshot.request" "$screenshot.done"
export QN38_TOOL_SCREENSHOT=$screenshot
# Wine hands the environment to the Windows program. It asks for what only the
# display can do by writing one line to $screenshot.request: "screenshot"
# (or "screenshot NAME", beside it), "left-click X Y", "right-click X Y" or
# "keys KEY..."; it waits for what follows on its side.
(
  while kill -0 $$ 2>/dev/null; do
    if [[ -e $screenshot.request ]]; then
      read -r action args < <(tr -d '\r' <"$screenshot.request") || true
      rm -f "$screenshot.request"
      case $action in
      # The tray and its balloon lie in the screen's top left corner.
      screenshot)
        target=$screenshot
        [[ -n $args ]] && target=$(dirname "$screenshot")/$(basename "$args")
        xwd -root -display "$DISPLAY" | convert xwd:- -crop 400x160+0+0 +repage "$target"
        ;;
      left-click | right-click)
        read -r x y <<<"$args"
        button=3
        [[ $action == left-click ]] && button=1
        xdotool mousemove "$x" "$y" click "$button"
        ;;
      keys)
        # shellcheck disable=SC2086 # one word a key
        xdotool key $args
        ;;
      esac
      touch "$screenshot.done"
    fi
    sleep 0.2
  done
) &
helper=$!

status=0
"$emulator" "$program" --gtest_brief=1 || status=$?
rm -f "$screenshot.done"
exit $status
