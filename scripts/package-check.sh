#!/usr/bin/env bash
# Checks the Debian package as a user gets it: builds it (scripts/package.sh, unless QUOR_DEB
# names a .deb already built), runs lintian and the desktop-entry and AppStream validators on
# it, then installs it with apt into a fresh Debian 12 tree (debootstrap + chroot), runs both
# programs there and removes the package again, checking that a user's stores and NSS database
# stay as they were. Run as root; needs network access to a Debian mirror for debootstrap
# (QUOR_DEBIAN_MIRROR, default http://deb.debian.org/debian). Takes several minutes, so it is
# not part of scripts/test.sh. QUOR_KEEP_CHROOT=1 keeps the tree for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
mirror=${QUOR_DEBIAN_MIRROR:-http://deb.debian.org/debian}
started=$SECONDS
phase() { echo "== $* (at $((SECONDS - started)) s)"; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

if [ -n "${QUOR_DEB:-}" ]; then
    deb=$QUOR_DEB
else
    phase "building the package"
    bash scripts/package.sh
    deb=$(ls -t dist/quor-chain-installer_*.deb | head -n 1)
fi
[ -f "$deb" ] || fail "no package at '$deb'"
echo "package: $deb, $(stat -c %s "$deb") bytes"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Recommends\|Installed-Size\):/  \1:/p'

phase "lintian"
lintian --version
set +e
lintian --fail-on error --display-info "$deb" >"$top/dist/lintian.txt" 2>&1
code=$?
set -e
# As root lintian first says that it would rather not be; its tags are what matter here.
grep -v '^running with root privileges' "$top/dist/lintian.txt" || echo "(lintian: no tags)"
[ "$code" -eq 0 ] || fail "lintian reports errors (dist/lintian.txt)"

phase "desktop entry and AppStream metadata from the package"
unpacked=$(mktemp -d /tmp/quor-deb.XXXXXX)
root=""
cleanup() {
    rm -rf "$unpacked"
    if [ -n "$root" ]; then
        for m in proc dev/pts dev; do umount -l "$root/$m" 2>/dev/null || true; done
        # Never delete through a mount that is still there (the bind of /dev above all).
        if grep -q " $root/" /proc/mounts; then
            echo "package-check: $root still has mounts; left in place" >&2
        elif [ -z "${QUOR_KEEP_CHROOT:-}" ]; then
            rm -rf "$root"
        else
            echo "tree kept: $root"
        fi
    fi
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/quor-chain-installer.desktop" \
    && echo "desktop-file-validate: no findings"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml
dpkg-deb -c "$deb" | awk '{print "  " $6}' | grep -v '/$'

if ! command -v debootstrap >/dev/null; then
    echo "package-check: SKIPPED the install test: debootstrap is missing" \
         "(apt-get install debootstrap)"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "package-check: SKIPPED the install test: debootstrap and chroot need root"
    exit 0
fi

phase "fresh Debian 12 tree (debootstrap minbase)"
root=$(mktemp -d /tmp/quor-bookworm.XXXXXX)
# apt downloads as the _apt user, which must reach the tree.
chmod 755 "$root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log" >&2; fail "debootstrap"; }
rm -f "$root.debootstrap.log"
security=${mirror%/debian}/debian-security
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
SOURCES
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

phase "apt-get install ./dist/$(basename "$deb")"
mkdir -p "$root/root/dist"
cp "$deb" "$root/root/dist/"
cp tests/fixtures/icp-brasil/ICP-Brasilv10.crt "$root/root/"
in_root apt-get update -qq
in_root sh -c 'cd /root && apt-get install -y -q ./dist/*.deb' >"$top/dist/apt-install.log" 2>&1 \
    || { tail -n 30 "$top/dist/apt-install.log" >&2; fail "apt-get install"; }
grep -E '^(Need to get|After this operation)' "$top/dist/apt-install.log" || true

phase "the programs in the fresh tree"
for f in /usr/bin/quor-certs /usr/bin/quor-chain-installer \
         /usr/share/applications/quor-chain-installer.desktop \
         /usr/share/icons/hicolor/scalable/apps/quor-chain-installer.svg \
         /usr/share/metainfo/br.com.quorsa.quor_chain_installer.metainfo.xml \
         /usr/share/man/man1/quor-certs.1.gz /usr/share/man/man1/quor-chain-installer.1.gz \
         /usr/share/bash-completion/completions/quor-certs; do
    [ -e "$root$f" ] || fail "$f is not installed"
done
echo "--- /usr/share/applications/quor-chain-installer.desktop"
cat "$root/usr/share/applications/quor-chain-installer.desktop"
echo "--- quor-certs --help"
in_root quor-certs --help || fail "quor-certs --help"
echo "--- quor-certs show /root/ICP-Brasilv10.crt"
in_root quor-certs show /root/ICP-Brasilv10.crt || fail "quor-certs show"
echo "--- quor-chain-installer (offscreen, 5 s)"
set +e
in_root QT_QPA_PLATFORM=offscreen HOME=/tmp timeout 5 quor-chain-installer
code=$?
set -e
# 124: still showing its dialog when the time ran out, which is what a started program does.
[ "$code" -eq 124 ] || fail "quor-chain-installer ended with $code before the time ran out"
echo "quor-chain-installer was up with its dialog after 5 s"

phase "system trust in the fresh tree (its own update-ca-certificates)"
if [ -x "$root/usr/sbin/update-ca-certificates" ]; then
    in_root quor-certs system add --yes /root/ICP-Brasilv10.crt 2>/dev/null
    in_root quor-certs system list
    in_root openssl verify -CApath /etc/ssl/certs /root/ICP-Brasilv10.crt 2>/dev/null \
        || [ ! -x "$root/usr/bin/openssl" ] || fail "the root is not in the system's trust"
    grep -q "$(sed -n 2p tests/fixtures/icp-brasil/ICP-Brasilv10.crt)" \
        "$root/etc/ssl/certs/ca-certificates.crt" || fail "the root is not in the system bundle"
    in_root quor-certs system remove 6c:15:5e:d7:27:1a:90:4a:0d:c0:40:f0:c8:57:ff:53:bf:6d:b2:90 \
        2>/dev/null
    ! grep -q "$(sed -n 2p tests/fixtures/icp-brasil/ICP-Brasilv10.crt)" \
        "$root/etc/ssl/certs/ca-certificates.crt" || fail "the root stayed in the system bundle"
    ! ls "$root/etc/ssl/certs" | grep -q '^quor-' || fail "links of ours stayed in /etc/ssl/certs"
else
    echo "(ca-certificates is not installed in the tree: left out)"
fi

phase "removing the package keeps a user's stores and NSS database"
mkdir -p "$root/home/ana"
in_root HOME=/home/ana quor-certs add --yes /root/ICP-Brasilv10.crt
[ -e "$root/home/ana/.local/share/quor/certstore.db" ] || fail "no store was made"
[ -d "$root/home/ana/.pki/nssdb" ] || [ -d "$root/home/ana/.local/share/pki/nssdb" ] \
    || fail "no NSS database was made"
before=$(cd "$root/home/ana" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
in_root apt-get purge -y -q quor-chain-installer >/dev/null
[ ! -e "$root/usr/bin/quor-certs" ] || fail "quor-certs is still installed after purge"
after=$(cd "$root/home/ana" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
[ "$before" = "$after" ] || fail "purging the package changed the user's files"
echo "$after" | sed 's/^[0-9a-f]* */  kept: /'

phase "done"
echo "package-check: OK in $((SECONDS - started)) s"
