#!/usr/bin/env bash
# deb_test.sh BUILD_DIR
# `cpack -G DEB` makes velotap_<version>_amd64.deb: the binary and the manual page under /usr,
# a maintainer, and run-time dependencies (RtMidi's library among them) that apt can satisfy.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$out/cpack.log")"
debs=("$out"/velotap_*_amd64.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one velotap_*_amd64.deb in: $(ls "$out")"
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "velotap_${version}_amd64.deb" ] || fail "file name $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = velotap ] || fail "package name"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "librtmidi" <<<"$depends" || fail "Depends lacks RtMidi's library: $depends"

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/velotap ./usr/share/man/man1/velotap.1; do
    grep -q " $path$" <<<"$contents" || fail "$path not in the package"
done

# The packaged binary runs, and apt could install the package with its dependencies.
dpkg-deb -x "$deb" "$out/root"
"$out/root/usr/bin/velotap" | grep -q "Usage: velotap" || fail "packaged binary does not run"
apt-get -s install "$deb" >"$out/apt.log" 2>&1 || fail "apt can't install it: $(cat "$out/apt.log")"
echo "deb test passed: $(basename "$deb"), Depends: $depends"
