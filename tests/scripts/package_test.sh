#!/usr/bin/env bash
# The Debian package made from a build directory: its files, its dependencies as
# dpkg-shlibdeps found them, no lintian errors, a version that is the program's own, and its
# executable answering /status from where dpkg-deb unpacks it (curl is the client).
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/tovo-package-XXXXXX)
pid=""
cleanup() { [[ -n "$pid" ]] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tovo-control_*.deb)
fail() { echo "package: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/tovo-control ./usr/share/applications/tovo-control.desktop \
         ./usr/share/icons/hicolor/scalable/apps/tovo-control.svg; do
  grep -q " $f\$" <<<"$contents" || fail "missing $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libgtk-3-0 libayatana-appindicator3-1 libqrencode4 libx11-6 libavcodec libssl3 libpulse0; do
  grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/tovo-control.desktop | grep -q '^Exec=tovo-control --app$' ||
  fail "the desktop entry does not start the app"

# Any lintian error (exit code 1), or lintian failing to run, fails the package.
lint=$(lintian --allow-root "$deb" 2>&1) || fail "lintian: $lint"

dpkg-deb -x "$deb" "$work/root"
env -u DISPLAY TOVO_AUDIO=off "$work/root/usr/bin/tovo-control" --socket "$work/screen.sock" 2>"$work/log" &
pid=$!
for _ in $(seq 100); do [[ -S "$work/screen.sock" ]] && break; sleep 0.1; done
status=$(curl -s --unix-socket "$work/screen.sock" http://x/status) || fail "no answer: $(cat "$work/log")"
grep -q '"app":"TovoControl"' <<<"$status" || fail "unexpected /status: $status"
# The package's version is the program's: its release version, or 0~dev+git<build>.
version=$(dpkg-deb -f "$deb" Version)
reported=$(sed -nE 's/.*"version":"([^"]*)".*/\1/p' <<<"$status")
build=$(sed -nE 's/.*"build":"([^"]*)".*/\1/p' <<<"$status")
[[ "$version" == "$reported" || ( "$reported" == dev && "$version" == "0~dev+git$build" ) ]] ||
  fail "the package is $version but the program says $reported (build $build)"
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes) unpacks and answers /status"
