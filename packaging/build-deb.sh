#!/bin/sh
# The Debian package of a build tree that is already built: build-deb.sh BUILD_DIR OUT_DIR
# leaves veltrin_<version>_<arch>.deb and its debug symbols, veltrin-dbgsym_<version>_<arch>.deb,
# in OUT_DIR.
# `make package` and the package test both make the package here.
#
# dpkg-buildpackage writes its results beside the source directory and dh writes below debian/,
# so it runs on a copy of debian/ in a scratch directory of OUT_DIR, never in the source tree.
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "$1" && pwd)
mkdir -p "$2"
out_dir=$(cd "$2" && pwd)

scratch=$(mktemp -d "$out_dir/.package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
mkdir "$scratch/veltrin"
cp -R "$source_dir/debian" "$scratch/veltrin/"
(cd "$scratch/veltrin" && VELTRIN_PREBUILT_DIR="$build_dir" dpkg-buildpackage -b -us -uc)
for result in "$scratch"/*.deb; do
    if [ -e "$result" ]; then
        mv -f "$result" "$out_dir/"
        echo "$out_dir/$(basename "$result")"
    fi
done
