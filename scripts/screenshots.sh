#!/bin/bash
# Takes the screenshots of the main window shown in the documentation: one of
# each page (Options, Manual Mode, Timer Mode), running kestrune-demo on its
# simulated boards inside a virtual X server.
#
#   scripts/screenshots.sh [path/to/kestrune-demo] [output directory]
#
# Defaults: build/bin/kestrune-demo and docs/screenshots, both relative to
# the top of the source tree. Writes options.png, manual.png and timer.png.
#
# Needs: xvfb (xvfb-run), xdotool, imagemagick (import, convert).
#   apt-get install -y xvfb xdotool imagemagick
#
# Pages are switched by clicking their tab headers. So that the pictures show
# a working window, Relay Board 1 is first picked on the Options page and a few
# relays are switched on in Manual Mode; KESTRUNE_SHOTS_PLAIN=1 skips that.
#
# All positions are in pixels from the top-left corner of the window's client
# area and can be overridden should the window's layout change:
#   KESTRUNE_TAB_XS       x of the three tab headers, left to right
#   KESTRUNE_TAB_Y        y of the tab headers
#   KESTRUNE_COMBO_XY     the drop-down arrow of the board selector
#   KESTRUNE_RELAY_XYS    x y pairs of the Manual Mode buttons to click
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SELF="$ROOT/scripts/$(basename "${BASH_SOURCE[0]}")"

abspath() {
    case "$1" in
        /*) echo "$1" ;;
        *) echo "$ROOT/$1" ;;
    esac
}

DEMO=$(abspath "${1:-build/bin/kestrune-demo}")
OUT=$(abspath "${2:-docs/screenshots}")

die() {
    echo "screenshots: $*" >&2
    exit 1
}

# First pass: check the tools, then run the second pass inside a fresh virtual
# X server of a known size and depth.
if [ -z "${KESTRUNE_SHOTS_IN_XVFB:-}" ]; then
    [ -x "$DEMO" ] || die "no executable $DEMO (build the tree first, or pass its path)"
    for tool in xvfb-run xdotool import convert; do
        command -v "$tool" >/dev/null || die "$tool not found (apt-get install -y xvfb xdotool imagemagick)"
    done
    mkdir -p "$OUT"
    export KESTRUNE_SHOTS_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$SELF" "$DEMO" "$OUT"
fi

# Tab header centres: the tab widget starts at x=48 and its header strip runs
# along its top edge.
read -r -a TAB_XS <<<"${KESTRUNE_TAB_XS:-73 139 215}"
TAB_Y=${KESTRUNE_TAB_Y:-9}
read -r -a COMBO_XY <<<"${KESTRUNE_COMBO_XY:-472 172}"
# Relays 1, 3, 6 and 8.
read -r -a RELAY_XYS <<<"${KESTRUNE_RELAY_XYS:-242 73 242 193 530 193 530 73}"
PLAIN=${KESTRUNE_SHOTS_PLAIN:-}
PAGES=(options manual timer)

# The demo has no command-line options; keep its settings out of the user's
# own configuration and make the look independent of the desktop it runs on.
export QT_QPA_PLATFORM=xcb
export QT_QPA_PLATFORMTHEME=
export QT_SCALE_FACTOR=1
export QT_AUTO_SCREEN_SCALE_FACTOR=0
XDG_CONFIG_HOME=$(mktemp -d)
export XDG_CONFIG_HOME

"$DEMO" >/dev/null 2>&1 &
demo_pid=$!
cleanup() {
    kill "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" 2>/dev/null || true
    rm -rf "$XDG_CONFIG_HOME"
}
trap cleanup EXIT

win=$(timeout 30 xdotool search --sync --onlyvisible --name Kestrune | head -n 1) \
    || die "the Kestrune window did not appear within 30 s"
[ -n "$win" ] || die "the Kestrune window did not appear"
kill -0 "$demo_pid" 2>/dev/null || die "kestrune-demo exited early"
sleep 1.5   # let it lay itself out and paint

# Window geometry: X, Y, WIDTH, HEIGHT. There is no window manager, so these
# are the client area's position and size on the root window.
eval "$(xdotool getwindowgeometry --shell "$win")"
echo "screenshots: window $win at ${X},${Y} size ${WIDTH}x${HEIGHT}" >&2

# Clicks at a point of the client area.
click_at() {
    xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1
    sleep 0.4
}

declare -A sums=()
for i in "${!PAGES[@]}"; do
    page=${PAGES[$i]}
    click_at "${TAB_XS[$i]}" "$TAB_Y"
    if [ -z "$PLAIN" ]; then
        case "$page" in
            options)
                # Open the board list and take the entry it highlights, the first.
                click_at "${COMBO_XY[0]}" "${COMBO_XY[1]}"
                sleep 0.4
                xdotool key Return
                ;;
            manual)
                for ((k = 0; k + 1 < ${#RELAY_XYS[@]}; k += 2)); do
                    click_at "${RELAY_XYS[$k]}" "${RELAY_XYS[$((k + 1))]}"
                done
                ;;
        esac
    fi
    # Move the pointer off the window so that no hover highlight is captured.
    xdotool mousemove --sync 0 0
    sleep 0.8
    file="$OUT/$page.png"
    import -silent -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$file"
    # Strip time stamps so that an unchanged window gives an unchanged file.
    convert "$file" -strip -define png:exclude-chunks=date,time "$file"
    sum=$(convert "$file" -format '%#' info:)
    if [ -n "${sums[$sum]:-}" ]; then
        echo "screenshots: warning: $page.png looks the same as ${sums[$sum]}.png;" \
             "the tab positions (KESTRUNE_TAB_XS) may need adjusting" >&2
    fi
    sums[$sum]=$page
    echo "screenshots: wrote $file" >&2
done
