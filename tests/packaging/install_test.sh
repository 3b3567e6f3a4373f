#!/usr/bin/env bash
# install_test.sh BUILD_DIR
# `cmake --install` into a temporary prefix puts the binary in bin/ and the manual page in
# share/man/man1/; the page renders without warnings and documents every option that the
# program's own usage text lists.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
bin="$prefix/bin/velotap"
page="$prefix/share/man/man1/velotap.1"
[ -x "$bin" ] || fail "no executable $bin"
[ -f "$page" ] || fail "no manual page $page"

# The installed binary runs: without arguments it prints its usage text and exits with 0.
usage=$("$bin" 2>&1) || fail "velotap without arguments exited with $?"
grep -q "Usage: velotap" <<<"$usage" || fail "no usage text: $usage"

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"
text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$prefix/man.err")
[ ! -s "$prefix/man.err" ] || fail "man warnings: $(cat "$prefix/man.err")"
# man may embolden headings with backspaces when it thinks of a terminal: strip them.
text=$(sed 's/.\x08//g' <<<"$text")

for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SIGNALS EXAMPLES; do
    grep -q "^$section" <<<"$text" || fail "no $section section"
done
grep -qE "^ +velotap +- +play" <<<"$text" || fail "NAME line missing"
grep -q "Vorn Filter Output" <<<"$text" || fail "virtual port name missing"
for sig in SIGINT SIGTERM SIGHUP SIGPIPE; do
    grep -q "$sig" <<<"$text" || fail "$sig not documented"
done
# Each option of the usage text ("    -o #   output port") has its entry in OPTIONS.
options=$(grep -oE '^ +-[a-z]' <<<"$usage" | tr -d ' ')
[ -n "$options" ] || fail "no options found in the usage text"
for opt in $options; do
    grep -qE "^ {7}$opt( |,|$)" <<<"$text" || fail "option $opt not documented"
done
echo "install test passed: $(wc -l <<<"$options") options documented"
