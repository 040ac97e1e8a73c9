#!/usr/bin/env bash
# Installs what building and testing Kestrel needs on a fresh Debian 12
# machine: the compiler, CMake, Qt 5 (with Qt WebSockets) from Debian's
# packages, qrcodegen for the pairing link's QR code, mdnsd for announcing
# Kestrel on the network, and the tools the tests and the README's examples
# use: Chromium for the cab page's browser test; Xvfb, xterm, ImageMagick and
# zbarimg to read the QR code kestreld draws on a terminal the way a phone
# would; iproute2 and python3-zeroconf to browse for the announcement in a
# network namespace of the test's own.
#
#   tools/setup-debian.sh            the Linux build and its tests
#   tools/setup-debian.sh --windows  also the Windows cross build and its
#                                    tests under Wine: MinGW-w64 with posix
#                                    threads, Wine, zip, NSIS for the installer,
#                                    curl for the libraries' Debian sources
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5network5 libqt5test5 libqt5websockets5-dev
    libqrcodegencpp-dev libmdnsd-dev
    netcat-openbsd python3 chromium
    xvfb xterm xfonts-base imagemagick zbar-tools
    iproute2 python3-zeroconf
    binutils-mingw-w64-x86-64
)
for argument in "$@"; do
    case "$argument" in
        --windows) packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 zip unzip xz-utils nsis curl) ;;
        *) echo "setup-debian.sh: unknown option $argument" >&2; exit 2 ;;
    esac
done

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}"
