#!/usr/bin/env bash
# Makes Kestrel-<version>-setup.exe from the Windows build (build-win64, or
# $BUILD_DIR) with NSIS (kestrel.nsi), holding what the zip holds, and tries
# it under Wine in a fresh prefix of its own: a silent install, kestreld.exe
# serving from the installed folder, an upgrade in place that keeps the
# user's settings, a refusal while Kestrel runs, and a silent uninstall that
# removes files, shortcuts and entry but keeps the settings.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(cd "${BUILD_DIR:-build-win64}" && pwd)
work=$(mktemp -d)
source tools/windows/wine.sh
# The prefix's Wine server ends, and has saved its registry, before the prefix goes.
trap '{ WINEPREFIX=$work/prefix "$wineserver" -k; WINEPREFIX=$work/prefix "$wineserver" -w; } 2>/dev/null || true; rm -rf "$work"' EXIT

version=$(BUILD_DIR=$build bash tools/windows/stage.sh "$work/Kestrel")
makeInstaller() { # VERSION OUTFILE
    makensis -V2 -DVERSION="$1" -DSTAGE="$work/Kestrel" -DRESOURCES="$root/resources" -DOUTFILE="$2" \
        tools/windows/kestrel.nsi
}
setup=$root/Kestrel-$version-setup.exe
makeInstaller "$version" "$setup"
echo "$setup: $(du -k "$setup" | cut -f1) KiB"

# The test, in a prefix of its own: nothing of the build on Wine's paths.
fail() { echo "installer.sh: $*" >&2; exit 1; }
export WINEPREFIX=$work/prefix
"$wine" wineboot --init >/dev/null 2>&1
drive=$WINEPREFIX/drive_c
installed="$drive/Program Files/Kestrel"
user=$(ls "$drive/users" | grep -v -x -e Public | head -1)
settings="$drive/users/$user/AppData/Roaming/Kestrel"
shortcut="$drive/users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kestrel/Kestrel.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel'
entry() { "$wine" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/.*$1 *REG_[A-Z_]* *//p"; }
installedVersion() { entry DisplayVersion; }

# First without a working netsh, as on a Windows without its firewall service:
# the install goes on and says so.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;netsh.exe=d" "$wine" "$setup" /S || fail "the silent install failed ($?)"
[ -f "$installed/Kestrel.exe" ] && [ -f "$installed/kestreld.exe" ] && [ -f "$installed/Uninstall.exe" ] \
    || fail "the programs are not in $installed"
[ -f "$shortcut" ] || fail "no Start-menu shortcut $shortcut"
[ -d "$settings" ] || fail "no settings folder $settings"
[ "$(installedVersion)" = "$version" ] || fail "the uninstall entry says \"$(installedVersion)\", not $version"
[ "$(entry QuietUninstallString)" = "\"C:\\Program Files\\Kestrel\\Uninstall.exe\" /S" ] \
    || fail "quiet uninstall string \"$(entry QuietUninstallString)\""
[ "$(grep -c "^Firewall: no inbound rule" "$installed/install.log")" = 2 ] \
    || fail "install.log does not say that the firewall rules failed: $(cat "$installed/install.log")"

# kestreld.exe from the installed folder, started where the shortcut starts
# Kestrel, serves the simulated locomotive.
startKestreld "$settings" "C:\\Program Files\\Kestrel\\kestreld.exe" "$work/log"
loco=$("$wine" "C:\\Program Files\\Kestrel\\kestrel-cli.exe" --port "$port" loco | tr -d '\r') \
    || fail "the installed kestreld.exe does not serve: $(cat "$work/log")"
[ "$loco" = "Kestrel.:.Railsim.:.Class 66 Demonstrator" ] || fail "the installed kestreld.exe serves \"$loco\""
grep -q "AppData/Roaming/Kestrel/kestrel.ini" "$work/log" || fail "kestreld.exe reads no settings in $settings: $(cat "$work/log")"

# While it runs, a setup refuses, and changes nothing.
status=0
"$wine" "$setup" /S || status=$?
[ "$status" = 3 ] || fail "a setup while kestreld.exe runs ended with $status, not 3"
kill "$server"
wait "$server" 2>/dev/null || true

# A newer version upgrades in place: one entry, the settings kept.
printf '[trainsim]\r\npath=C:/Kept\r\n' >> "$settings/kestrel.ini"
newer=${version%.*}.$(( ${version##*.} + 1 ))
makeInstaller "$newer" "$work/newer-setup.exe"
"$wine" "$work/newer-setup.exe" /S || fail "the upgrade failed"
[ "$(installedVersion)" = "$newer" ] || fail "after the upgrade the entry says \"$(installedVersion)\", not $newer"
[ "$(grep -c "^Firewall: inbound rule for .* added" "$installed/install.log")" = 2 ] \
    || fail "install.log does not say that the firewall rules were added: $(cat "$installed/install.log")"
[ "$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null | grep -c 'Kestrel')" = 1 ] \
    || fail "more than one uninstall entry after the upgrade"
grep -q "path=C:/Kept" "$settings/kestrel.ini" || fail "the upgrade lost the settings"
echo "Upgraded in place to $newer, settings kept, firewall rules added (and logged as failed without netsh)"

# The silent uninstall starts a copy of itself and returns: wait for its end.
"$wine" "C:\\Program Files\\Kestrel\\Uninstall.exe" /S
for _ in $(seq 100); do
    [ -e "$installed/Kestrel.exe" ] || [ -n "$(installedVersion)" ] || break
    sleep 0.2
done
[ ! -e "$installed" ] || fail "files left in $installed: $(ls "$installed")"
[ ! -e "$shortcut" ] || fail "the shortcut is left"
[ -z "$(installedVersion)" ] || fail "the uninstall entry is left"
grep -q "path=C:/Kept" "$settings/kestrel.ini" || fail "the uninstall removed the settings"
echo "Uninstalled: files, shortcut and entry gone, settings kept. Installer test passed."
