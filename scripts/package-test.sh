#!/usr/bin/env bash
# Builds the Debian package of a configured and built tree with CPack,
# unpacks it into a scratch root (dpkg -x, nothing is installed on the
# machine) and checks what a user would get from `dpkg -i`: the programs
# run from there with only the system's libraries, the Depends field comes
# from dpkg-shlibdeps and names installed packages, and the desktop entry,
# icons and manual pages are in their places.
#
# Usage: scripts/package-test.sh [BUILD_DIR]     (default: build/default)
#   FLASHMERE_EXPECT_GUI=0   the tree was configured without the window
#   PACKAGE_KEEP=DIR         copy the .deb into DIR
set -uo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build/default}" 2>/dev/null && pwd)" || {
  echo "package-test: no build folder ${1:-build/default}" >&2
  exit 1
}
expect_gui="${FLASHMERE_EXPECT_GUI:-1}"
case "$expect_gui" in 0 | OFF | off | false | FALSE) expect_gui=0 ;; *) expect_gui=1 ;; esac

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what" >&2
    failures=$((failures + 1))
  fi
}

for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-query; do
  command -v "$tool" >/dev/null || {
    echo "package-test: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done
[ -f "$build/CPackConfig.cmake" ] || {
  echo "package-test: $build has no CPackConfig.cmake: configure it first" >&2
  exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/flashmere-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# cpack installs the tree into its own staging folder under -B; the build
# folder itself gets nothing new.
start=$(date +%s)
if ! (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
  echo "package-test: cpack failed:" >&2
  tail -n 40 "$work/cpack.log" >&2
  exit 1
fi
shopt -s nullglob
debs=("$work"/out/*.deb)
shopt -u nullglob
[ "${#debs[@]}" -eq 1 ] || {
  echo "package-test: expected one .deb, found ${#debs[@]}" >&2
  cat "$work/cpack.log" >&2
  exit 1
}
deb="${debs[0]}"
echo "built $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB) in $(($(date +%s) - start)) s"
[ -n "${PACKAGE_KEEP:-}" ] && cp "$deb" "$PACKAGE_KEEP/"

field() { dpkg-deb -f "$deb" "$1"; }
check "package name is flashmere" test "$(field Package)" = flashmere
check "architecture is the machine's" test "$(field Architecture)" = "$(dpkg --print-architecture)"
depends="$(field Depends)"
echo "Depends: $depends"
check "Depends names the Qt 6 core library (found by dpkg-shlibdeps)" \
  grep -qE '(^|, )libqt6core6' <<<"$depends"
check "Depends names the Qt 6 serial port library" grep -qE '(^|, )libqt6serialport6' <<<"$depends"
if [ "$expect_gui" = 1 ]; then
  check "Depends names the Qt 6 widgets library" grep -qE '(^|, )libqt6widgets6' <<<"$depends"
fi
# Every dependency is a real package: one this machine, which built and ran
# the programs, has installed (the first of any alternatives).
installed_deps() {
  local entry name ok=0
  while IFS= read -r entry; do
    name="$(sed -E 's/^ *//; s/[ (|].*//' <<<"$entry")"
    [ -z "$name" ] && continue
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
      echo "      not an installed package: $name" >&2
      ok=1
    fi
  done < <(tr ',' '\n' <<<"$depends")
  return $ok
}
check "every Depends entry is an installed package" installed_deps

root="$work/root"
dpkg-deb -x "$deb" "$root" || {
  echo "package-test: dpkg -x failed" >&2
  exit 1
}

files=(
  usr/bin/flashmere-cli
  usr/bin/flashmere-devsim
  usr/share/man/man1/flashmere-cli.1.gz
  usr/share/man/man1/flashmere-devsim.1.gz
  usr/share/doc/flashmere/USER_GUIDE.md
  usr/share/doc/flashmere/screenshots/window-en.png
)
if [ "$expect_gui" = 1 ]; then
  files+=(
    usr/bin/flashmere
    usr/share/man/man1/flashmere.1.gz
    usr/share/applications/flashmere.desktop
    usr/share/icons/hicolor/scalable/apps/flashmere.svg
  )
  for size in 16 22 24 32 48 64 128 256; do
    files+=("usr/share/icons/hicolor/${size}x${size}/apps/flashmere.png")
  done
fi
for f in "${files[@]}"; do
  check "$f is in the package" test -s "$root/$f"
done
for program in flashmere-cli flashmere-devsim; do
  check "$program is executable" test -x "$root/usr/bin/$program"
done

# The unpacked programs use the system's libraries only: no build folder
# on a run path, nothing missing.
no_missing_libraries() {
  local out
  out="$(env -u LD_LIBRARY_PATH ldd "$1" 2>&1)" || return 1
  if grep -q 'not found' <<<"$out"; then
    grep 'not found' <<<"$out" >&2
    return 1
  fi
  return 0
}
no_build_run_path() {
  ! readelf -d "$1" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"
}
for program in flashmere-cli flashmere-devsim $([ "$expect_gui" = 1 ] && echo flashmere); do
  check "$program finds all its libraries" no_missing_libraries "$root/usr/bin/$program"
  check "$program has no run path into the build" no_build_run_path "$root/usr/bin/$program"
done

version="$(grep -m1 -oE 'VERSION [0-9]+\.[0-9]+\.[0-9]+' CMakeLists.txt | cut -d' ' -f2)"
cli_version="$(env -u LD_LIBRARY_PATH "$root/usr/bin/flashmere-cli" --version 2>&1)"
echo "flashmere-cli --version: $cli_version"
check "installed flashmere-cli --version prints flashmere-cli $version" \
  test "$cli_version" = "flashmere-cli $version"
check "package version is $version" test "$(field Version)" = "$version"

sim_help="$(env -u LD_LIBRARY_PATH "$root/usr/bin/flashmere-devsim" --help 2>&1)"
sim_rc=$?
check "installed flashmere-devsim --help exits 0" test "$sim_rc" -eq 0
check "installed flashmere-devsim --help lists --model" grep -qF -- '--model' <<<"$sim_help"

if [ "$expect_gui" = 1 ]; then
  gui_version="$(env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen "$root/usr/bin/flashmere" --version 2>/dev/null)"
  check "installed flashmere --version prints $version" grep -qF "$version" <<<"$gui_version"
  if command -v desktop-file-validate >/dev/null; then
    check "installed desktop entry passes desktop-file-validate" \
      desktop-file-validate "$root/usr/share/applications/flashmere.desktop"
  fi
fi

man_page_reads() {
  gzip -dc "$1" | grep -q '^\.SH EXIT STATUS'
}
check "flashmere-cli.1.gz is a gzip'd manual page" man_page_reads "$root/usr/share/man/man1/flashmere-cli.1.gz"

if [ "$failures" -ne 0 ]; then
  echo "package-test: $failures check(s) failed" >&2
  exit 1
fi
echo "package-test: $(basename "$deb") installs and runs"
