#!/usr/bin/env bash
# Makes the documentation's pictures of the station (the main window, the compose, settings and
# membership dialogs) and checks, from the same run, that each window says what it is meant to:
# beside each picture the program writes the window's texts and tab order, which must match
# tests/screens/<name>.tree line for line ('#' lines there are comments). Each window is drawn
# twice, at scale 1 and at scale 2 (QT_SCALE_FACTOR=2, as on a high-density screen), and must say
# the same at both; a text that its control cuts off shows as a "clipped" line, which no .tree
# expects. The pictures are those at scale 1; the About, recipient and group dialogs are checked
# the same way but not pictured.
#
#   tools/screenshots.sh [BUILD_DIR [OUTPUT_DIR]]     (defaults: build, docs)
#
# Exit status: 0 drawn and matching, 1 a window differs or cannot be drawn, 77 cannot run here.
#
# The windows are drawn on an Xvfb display, as a desktop draws them. The station's port is fixed,
# so the program runs the station inside a private network namespace, which needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
out_dir="${2:-docs}"
shooter="$build_dir/tools/veltrin-screenshot"
screens=(main compose settings members)
# Windows only checked, not pictured in the documentation.
checked=(about recipient group)

if [ ! -x "$shooter" ]; then
    echo "screenshots: $shooter is missing; run 'make build' first" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "screenshots: skipped: the station's port is fixed, so the window runs in a" \
         "private network namespace, which needs root" >&2
    exit 77
fi
if ! command -v xvfb-run >/dev/null; then
    echo "screenshots: skipped: xvfb-run is missing (Debian package xvfb); run 'make deps'" >&2
    exit 77
fi
mkdir -p "$out_dir"
trees="$(mktemp -d)"
mkdir -p "$trees/x2"
trap 'rm -rf "$trees"' EXIT

# One display for all the pictures; -a picks a free display number.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    set -e
    shooter="$1"; out_dir="$2"; trees="$3"; shift 3
    for screen in "$@"; do
        "$shooter" "$screen" "$trees/$screen.png"
        QT_SCALE_FACTOR=2 "$shooter" "$screen" "$trees/x2/$screen.png"
    done' _ "$shooter" "$out_dir" "$trees" "${screens[@]}" "${checked[@]}"

status=0
for screen in "${screens[@]}" "${checked[@]}"; do
    for scale in 1 2; do
        drawn="$trees/$screen.tree"
        [ "$scale" = 1 ] || drawn="$trees/x2/$screen.tree"
        if ! diff -u --label "tests/screens/$screen.tree" \
                --label "$screen (as drawn at scale $scale)" \
                <(grep -v '^#' "tests/screens/$screen.tree") "$drawn"; then
            echo "screenshots: $screen does not say what it should at scale $scale" >&2
            status=1
        fi
    done
done
for screen in "${screens[@]}"; do
    cp "$trees/$screen.png" "$out_dir/$screen.png"
    echo "screenshots: wrote $out_dir/$screen.png"
done
exit "$status"
