#!/usr/bin/env bash
# Provides Qt 5.15.8 for Windows (x86_64-w64-mingw32, shared, release) in a
# prefix of its own, for the cross build of tools/windows/build.sh:
#   - nothing to do when the prefix already holds that version;
#   - else, when a ready-built archive of that version is at hand (the
#     toolchains folder beside the checkout), it is checked and unpacked;
#   - else qtbase is built from Debian's source package and Qt WebSockets
#     from its source archive (about an hour on two cores).
#
# Environment:
#   KESTREL_QT_MINGW  the prefix (default ~/.cache/kestrel/qt5-mingw64-5.15.8)
# Options:
#   --from-source            build even when a ready archive is at hand
#   --websockets-source TAR  Qt WebSockets' source archive (default: the
#                            toolchains folder's qtwebsockets-everywhere-src)
#   --jobs N                 parallel compile jobs (default: the core count)
set -euo pipefail

version=5.15.8
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
toolchains=$(cd "$repo/.." && pwd)/shared/toolchains
prefix=${KESTREL_QT_MINGW:-$HOME/.cache/kestrel/qt5-mingw64-$version}
ready_archive=$toolchains/qt5-mingw64-$version.tar.xz
ready_sha256=c08bf5a4058c7d1f37e4108c47e3135270a79bf6d8ab5f04060ab5008c5cc7f3
websockets_source=$toolchains/qtwebsockets-everywhere-src-$version.tar.xz
from_source=0
jobs=$(nproc)

while [ $# -gt 0 ]; do
    case "$1" in
        --from-source) from_source=1 ;;
        --websockets-source) websockets_source=$2; shift ;;
        --jobs) jobs=$2; shift ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "build-qt.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

# The prefix holds this version when its CMake package says so and every
# module the build uses is there.
has_version() {
    local config=$prefix/lib/cmake/Qt5Core/Qt5CoreConfigVersion.cmake
    [ -f "$config" ] && grep -q "set(PACKAGE_VERSION $version)" "$config" || return 1
    local module
    for module in Core Gui Widgets Network Test WebSockets; do
        [ -f "$prefix/bin/Qt5$module.dll" ] || return 1
    done
}

# qmake remembers the prefix it was built for; a qt.conf beside it points it
# at wherever the prefix is now.
write_qt_conf() {
    printf '[Paths]\nPrefix=..\n' >"$prefix/bin/qt.conf"
}

if has_version; then
    echo "Qt $version for MinGW is already in $prefix"
    exit 0
fi

start=$(date +%s)
mkdir -p "$(dirname "$prefix")"

if [ "$from_source" = 0 ] && [ -f "$ready_archive" ]; then
    echo "Unpacking the ready-built Qt $version for MinGW from $ready_archive"
    echo "$ready_sha256  $ready_archive" | sha256sum --check --quiet
    scratch=$(mktemp -d "$(dirname "$prefix")/.qt-unpack.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    tar -xJf "$ready_archive" -C "$scratch"
    rm -rf "$prefix"
    mv "$scratch/qt5-mingw64-$version" "$prefix"
    write_qt_conf
    has_version
    echo "Qt $version for MinGW unpacked into $prefix in $(( $(date +%s) - start )) s"
    exit 0
fi

# From source. Needs the posix-thread MinGW compilers (std::mutex) and a
# deb-src entry for Debian's qtbase source package.
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-gcc-posix; do
    command -v "$tool" >/dev/null || { echo "build-qt.sh: $tool is missing; run tools/setup-debian.sh --windows" >&2; exit 1; }
done
[ -f "$websockets_source" ] || { echo "build-qt.sh: no Qt WebSockets source at $websockets_source (--websockets-source)" >&2; exit 1; }

work=${KESTREL_QT_BUILD_DIR:-$HOME/.cache/kestrel/qt-build}
mkdir -p "$work"
# A private bin folder puts the posix-thread compilers under the plain names
# that Qt's mkspec calls (x86_64-w64-mingw32-g++ etc.).
mkdir -p "$work/bin"
for tool in gcc g++ c++; do
    ln -sf "$(command -v x86_64-w64-mingw32-$tool-posix 2>/dev/null || command -v x86_64-w64-mingw32-g++-posix)" \
        "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

cd "$work"
if ! ls -d qtbase-opensource-src-$version*/ >/dev/null 2>&1; then
    if ! apt-get source --download-only -qq qtbase-opensource-src >/dev/null 2>&1; then
        echo "build-qt.sh: apt-get source needs a deb-src entry; adding one for Debian's main archive"
        sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        echo "deb-src http://deb.debian.org/debian $codename main" | $sudo tee /etc/apt/sources.list.d/kestrel-deb-src.list >/dev/null
        $sudo apt-get update -qq
    fi
    apt-get source -qq qtbase-opensource-src
fi
src=$(ls -d "$work"/qtbase-opensource-src-$version*/ | head -n 1)

configure_line=("$src/configure" -prefix "$prefix" -opensource -confirm-license
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -release -shared -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-openssl
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg
    -qt-freetype -qt-harfbuzz -no-feature-vulkan -no-feature-tabletevent -silent)
echo "Configure line: ${configure_line[*]}"
rm -rf "$work/build-base"
mkdir -p "$work/build-base"
cd "$work/build-base"
"${configure_line[@]}"
make -j"$jobs" >"$work/make-base.log" 2>&1 || { tail -n 40 "$work/make-base.log"; exit 1; }
make install >"$work/install-base.log" 2>&1
echo "qtbase built in $(( $(date +%s) - start )) s"

cd "$work"
rm -rf "qtwebsockets-everywhere-src-$version"
tar -xJf "$websockets_source"
cd "qtwebsockets-everywhere-src-$version"
# A git archive lacks the generated headers; a .git entry makes qmake run
# syncqt, which writes them.
touch .git
"$prefix/bin/qmake" >"$work/qmake-websockets.log" 2>&1
make -j"$jobs" >"$work/make-websockets.log" 2>&1 || { tail -n 40 "$work/make-websockets.log"; exit 1; }
make install >"$work/install-websockets.log" 2>&1
write_qt_conf
has_version
echo "Qt $version for MinGW built into $prefix in $(( $(date +%s) - start )) s"
