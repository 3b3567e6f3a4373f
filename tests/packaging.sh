#!/usr/bin/env bash
# packaging.sh BUILD_DIR: the Debian package, and what lintian says of it (its manual page, the
# binary without one, the copyright and changelog, the control fields among what it checks).
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >/dev/null 2>&1
# Every error and warning of lintian fails; its informational tags do not.
if ! lintian --fail-on error,warning "$tmp"/velotap_*.deb >"$tmp/lintian" 2>&1; then
    echo "FAIL: lintian on the package:" >&2
    grep -E '^[EW]: ' "$tmp/lintian" >&2 || cat "$tmp/lintian" >&2
    exit 1
fi
echo "packaging passed"
