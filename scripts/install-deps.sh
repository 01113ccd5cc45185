#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the demo and the benchmarks need.
# Run as root (or through sudo). Safe to run again.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev openssl
  libboost-dev libboost-iostreams-dev libboost-date-time-dev libboost-regex-dev
  libcurl4-openssl-dev curl
  libsqlite3-dev sqlite3
  libarchive-dev unzip
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libnss3-dev libnss3-tools
  tinyproxy
  libproxy-dev libproxy1v5 libproxy1-plugin-gsettings libproxy1-plugin-kconfig
  libproxy1-plugin-webkit libkf5config-bin
  dbus dconf-gsettings-backend gsettings-desktop-schemas libglib2.0-bin
  xvfb xauth
  clang libclang-rt-14-dev
  python3
  debhelper dpkg-dev lintian debootstrap
  appstream desktop-file-utils man-db bash-completion ca-certificates
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# tinyproxy's package starts a system daemon; the tests run their own instances.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet tinyproxy 2>/dev/null; then
  $SUDO systemctl stop tinyproxy || true
fi
