#!/usr/bin/env bash
# Checks that a manual page and a program's --help tell the same story:
#   every long option that --help prints (of the program and of each of its
#   subcommands) is described in the page, and every option the page
#   describes is one that --help prints; every subcommand has its own
#   section; every exit code that --help lists is in EXIT STATUS; the
#   title line names the version that --version prints.
# Where groff is installed the page must also format without warnings.
#
# Usage: man_help_check.sh PAGE.1 PROGRAM
set -uo pipefail
page="$1"
program="$2"
name="$(basename "$program")"
failures=0
fail() {
  echo "FAIL ($name): $*" >&2
  failures=$((failures + 1))
}

[ -r "$page" ] || { echo "no manual page $page" >&2; exit 1; }
[ -x "$program" ] || { echo "no program $program" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

# The help of the program, then of every subcommand it lists.
if ! "$program" --help >"$work/help" 2>&1; then
  fail "$name --help exited non-zero"
fi
subcommands="$(sed -n '/^Subcommands:/,/^$/p' "$work/help" | awk 'NF && !/^Subcommands:/ {print $1}')"
for sub in $subcommands; do
  if ! "$program" "$sub" --help >>"$work/help" 2>&1; then
    fail "$name $sub --help exited non-zero"
  fi
done

grep -oE -- '--[a-zA-Z][a-zA-Z0-9-]*' "$work/help" | sort -u >"$work/help-options"
[ -s "$work/help-options" ] || fail "no long option found in the help output"

# The options the page describes: the tag lines of its .TP paragraphs.
awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$page" |
  grep -oE -- '\\-\\-[a-zA-Z][a-zA-Z0-9\\-]*' | sed 's/\\-/-/g' | sort -u >"$work/man-options"

while read -r option; do
  grep -qxF -- "$option" "$work/man-options" || fail "$option is in --help but not described in $page"
done <"$work/help-options"
while read -r option; do
  grep -qxF -- "$option" "$work/help-options" || fail "$page describes $option, which --help does not know"
done <"$work/man-options"

for sub in $subcommands; do
  grep -qE "^\.SS \"?$sub( |\"|$)" "$page" || fail "subcommand $sub has no section (.SS $sub) in $page"
done

# Exit codes listed by the help footers, e.g. "Exit codes: 0 ok, 2 bad usage, ...".
codes="$(sed -n 's/.*Exit codes: //p' "$work/help" | grep -oE '(^|, )[0-9]+' | grep -oE '[0-9]+' | sort -un)"
exit_section="$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$page")"
for code in $codes; do
  grep -qxE "\.B $code" <<<"$exit_section" || fail "exit code $code is in --help but not in EXIT STATUS of $page"
done

# The page's title line names the version the program reports.
page_version="$(sed -n '1,/^\.TH/s/^\.TH .*"Flashmere \([0-9][0-9.]*\)".*/\1/p' "$page")"
program_version="$("$program" --version 2>/dev/null | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' | head -n 1)"
[ -n "$page_version" ] && [ "$page_version" = "$program_version" ] ||
  fail "$page is for version '${page_version}', $name --version says '${program_version}'"

if command -v groff >/dev/null 2>&1; then
  warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) between $page and $name --help" >&2
  exit 1
fi
echo "$page agrees with $name --help: $(wc -l <"$work/help-options") options, $(echo $subcommands | wc -w) subcommands, $(echo $codes | wc -w) exit codes"
