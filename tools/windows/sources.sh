#!/usr/bin/env bash
# Fetches the sources of the libraries that Debian packages for the Linux
# build but that the Windows build compiles itself, from Debian's own source
# packages (the upstream archive Debian ships, checked against its SHA-256),
# and unpacks them under ~/.cache/kestrel/sources (or $KESTREL_SOURCES).
# Prints, one per line, NAME=FOLDER for each, which tools/windows/build.sh
# hands to CMake.
set -euo pipefail

cache=${KESTREL_SOURCES:-$HOME/.cache/kestrel/sources}
mkdir -p "$cache"
pool=http://deb.debian.org/debian/pool/main

# fetch NAME URL SHA256 FOLDER-IN-ARCHIVE
fetch() {
    local name=$1 url=$2 sha256=$3 inner=$4
    local archive=$cache/$(basename "$url")
    if [ ! -d "$cache/$inner" ]; then
        if [ ! -f "$archive" ] || ! echo "$sha256  $archive" | sha256sum -c --quiet - 2>/dev/null; then
            curl -fsSL --retry 3 -o "$archive.part" "$url"
            echo "$sha256  $archive.part" | sha256sum -c --quiet - \
                || { echo "sources.sh: $url is not the archive expected" >&2; rm -f "$archive.part"; exit 1; }
            mv "$archive.part" "$archive"
        fi
        tar -xzf "$archive" -C "$cache"
    fi
    echo "$name=$cache/$inner"
}

fetch KESTREL_QRCODEGEN_SOURCE \
    "$pool/q/qr-code-generator/qr-code-generator_1.8.0.orig.tar.gz" \
    2ec0a4d33d6f521c942eeaf473d42d5fe139abcfa57d2beffe10c5cf7d34ae60 \
    QR-Code-generator-1.8.0/cpp

fetch KESTREL_MDNSD_SOURCE \
    "$pool/m/mdnsd/mdnsd_0.12.orig.tar.gz" \
    3ff069f16bef5c19b97386a3da5f1524d8cddf41157c75f220eeb9a81869dc82 \
    mdnsd-0.12/libmdnsd
