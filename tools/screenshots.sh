#!/usr/bin/env bash
# Makes the documentation's pictures of the station: docs/mainwindow.png. The program runs the
# real window on the offscreen platform inside a network namespace of its own, so it needs root
# and no display.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shooter="$build_dir/tools/veltrin-screenshot"
if [ ! -x "$shooter" ]; then
    echo "screenshots: $shooter is missing; run 'make build' first" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "screenshots: the station's port is fixed, so the window runs in a private network" \
         "namespace, which needs root" >&2
    exit 1
fi
mkdir -p docs
"$shooter" main docs/mainwindow.png
echo "screenshots: wrote docs/mainwindow.png"
