#!/usr/bin/env bash
# Builds the Windows installer and ZIP of a windows-full build with CPack,
# then, in a private Wine prefix: installs silently, runs the installed
# programs' --version, checks the Start menu entries, uninstalls silently and
# checks that the files are gone. Usage: scripts/windows-installer-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
wine=$(sed -n 's/^FLASHMERE_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
work="$build/installer-test"
rm -rf "$work" && mkdir -p "$work"
export WINEPREFIX="$work/wine-prefix" WINEDEBUG=-all
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -B "$work/out" >/dev/null) || fail "cpack"
installer="$work/out/flashmere-$version-win64.exe"
zip="$work/out/flashmere-$version-win64.zip"
[ -f "$installer" ] || fail "no $installer"
[ -f "$zip" ] || fail "no $zip"
listing=$(unzip -Z1 "$zip")
for f in bin/flashmere.exe bin/flashmere-cli.exe doc/USER_GUIDE.html; do
  grep -qx "flashmere-$version-win64/$f" <<<"$listing" || fail "the ZIP lacks $f"
done
! grep -qi '\.dll$' <<<"$listing" || fail "the ZIP holds a DLL"

"$wine" cmd /c "exit 0" >/dev/null 2>&1
"$wine" "$installer" /S '/D=C:\Flashmere'
"$wineserver" -w
root="$WINEPREFIX/drive_c/Flashmere"
for f in bin/flashmere.exe bin/flashmere-cli.exe doc/USER_GUIDE.html Uninstall.exe; do
  [ -f "$root/$f" ] || fail "not installed: $f"
done
menu=$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Flashmere*' -name '*.lnk' | sort)
grep -q '/Programs/Flashmere/Flashmere.lnk$' <<<"$menu" ||
  fail "no Start menu entry for the window in the folder Flashmere: $menu"
grep -q '/Programs/Flashmere/Flashmere user guide.lnk$' <<<"$menu" ||
  fail "no Start menu entry for the guide in the folder Flashmere: $menu"

cli_version=$("$wine" 'C:\Flashmere\bin\flashmere-cli.exe' --version)
[ "$cli_version" = "flashmere-cli $version" ] || fail "flashmere-cli.exe --version: $cli_version"
# The window writes its text in text mode, "\r\n" on Windows.
window_version=$("$wine" 'C:\Flashmere\bin\flashmere.exe' --version | tr -d '\r')
[ "$window_version" = "Flashmere $version" ] || fail "flashmere.exe --version: $window_version"

"$wine" 'C:\Flashmere\Uninstall.exe' /S
"$wineserver" -w
[ ! -e "$root" ] || fail "left after uninstalling: $(find "$root" | head)"
[ -z "$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Flashmere*' 2>/dev/null)" ] ||
  fail "Start menu entries left after uninstalling"
echo "installer ok: $(basename "$installer") ($(du -k "$installer" | cut -f1) KiB), $(basename "$zip")"
