#!/usr/bin/env bash
# Builds the Debian package dist/quor-chain-installer_<version>_<arch>.deb with debhelper.
# The build runs in a copy of the tree under a temporary folder, so the worktree gets no
# build leftovers and dpkg-buildpackage writes nothing beside it.
# Needs the packages of scripts/install-deps.sh (debhelper, dpkg-dev and the build's libraries).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
project_version=$(sed -n 's/^project(quor-chain-installer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$project_version" ]; then
    echo "package.sh: debian/changelog says $version, CMakeLists.txt says $project_version" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)

work=$(mktemp -d /tmp/quor-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
src=$work/quor-chain-installer-$version
mkdir -p "$src"
# The files of the tree (committed or not), never build folders or other ignored files.
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar -C "$top" --null -T - -cf - | tar -C "$src" -xf -

jobs=$(nproc)
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed (last lines above)" >&2
    exit 1
}

mkdir -p dist
deb=quor-chain-installer_${version}_${arch}.deb
mv "$work/$deb" "dist/$deb"
echo "dist/$deb ($(du -k "dist/$deb" | cut -f1) KiB)"
