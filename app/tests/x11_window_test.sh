#!/usr/bin/env bash
# Runs the window as a real X11 program under Xvfb, finds the window titled "Veltrano",
# closes it as a window manager would, and expects the program to end normally.
set -euo pipefail
bin=${1:?usage: x11_window_test.sh PATH-TO-veltrano}
here=$(cd "$(dirname "$0")" && pwd)
export QT_QPA_PLATFORM=xcb
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"  # the X libraries keep caches

session() {
  xvfb-run -a -e /dev/stderr -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
    "$1" & pid=$!
    if ! /usr/bin/python3 "$2/x11_close.py" Veltrano 60; then kill $pid; wait $pid; exit 1; fi
    for i in $(seq 1 300); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "the window did not close"; kill $pid; exit 1; fi
    wait $pid
  ' _ "$bin" "$here"
}

# xvfb-run picks a free display number; a server starting elsewhere at the same moment can
# take it first, so one more attempt is allowed.
session || { echo "retrying once" >&2; sleep 1; session; }
