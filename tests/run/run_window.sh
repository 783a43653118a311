#!/usr/bin/env bash
# Starts the program that scripts/run.sh would start, from the build in
# BUILD_DIR, on a private Xvfb, and passes once its main window is mapped on
# that display (xwininfo -root -tree); fails if it is not within 60 s or the
# program exits first. On a desk with an FTDI board attached that is the
# real window, which opens board 1 but switches nothing.
#
#   tests/run/run_window.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
for tool in Xvfb xwininfo; do
    command -v "$tool" >/dev/null || { echo "$tool not found (scripts/deps.sh test installs it)"; exit 1; }
done
program=$("$source_dir/scripts/run.sh" --print-program "$build_dir")
[[ -x $program ]] || { echo "scripts/run.sh would start $program, which is not there"; exit 1; }

work=$(mktemp -d)
server=0 window=0
cleanup() {
    ((window == 0)) || kill "$window" 2>/dev/null || true
    ((server == 0)) || kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to fd 3. Another
# X server starting at the same moment (a second test run) can still take
# that display from it: then it is started again.
for attempt in 1 2 3; do
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    server=$!
    for _ in $(seq 100); do
        [[ -s $work/display ]] && break
        sleep 0.1
    done
    [[ -s $work/display ]] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
    export DISPLAY=:$(head -n 1 "$work/display")
    for _ in $(seq 50); do
        kill -0 "$server" 2>/dev/null && xwininfo -root >/dev/null 2>&1 && break 2
        sleep 0.1
    done
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=0
    echo "Xvfb on $DISPLAY did not answer (attempt $attempt)"
done
((server != 0)) || { echo "no Xvfb of its own could be started:"; cat "$work/xvfb.log"; exit 1; }

# Its settings and labels.dat go into the scratch folder, not the user's.
(cd "$work" && XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=xcb exec "$program") >"$work/program.log" 2>&1 &
window=$!
for _ in $(seq 600); do
    if xwininfo -root -tree | grep -q '"Kestrune '; then
        echo "$(basename "$program") ($program): its window appeared on $DISPLAY"
        exit 0
    fi
    kill -0 "$window" 2>/dev/null || { echo "$program exited before its window appeared:"; cat "$work/program.log"; exit 1; }
    sleep 0.1
done
echo "no window of $program appeared on $DISPLAY within 60 s:"
cat "$work/program.log"
exit 1
