#!/usr/bin/env bash
# Installs what building and testing Kestrel needs on a fresh Debian 12
# machine: the compiler, CMake, Qt 5 from Debian's packages, and the small
# tools the tests and the README's examples use.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5network5 libqt5test5
    netcat-openbsd
    binutils-mingw-w64-x86-64
)

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}"
