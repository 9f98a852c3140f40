#!/usr/bin/env bash
# Installs a built tree the way a user does and uses it from outside the
# source tree:
#  - nothing is installed outside the prefix (a DESTDIR staging install);
#  - cmake --install into a temporary prefix puts every file in place;
#  - a C++ client finds it with find_package(zeva232), a C client (the
#    README's example, as installed among the examples) with pkg-config;
#  - the C client identifies a device of the installed zevasim on a
#    pseudo-terminal (the installed demo bus, product names and settings);
#    the installed zevactl runs the installed zevasim itself;
#  - cpack -G DEB builds a package with the same files and computed
#    dependencies.
#
#   tests/install/check_install.sh [BUILD_DIR]     (default build/dev, built)
#
# Every wait is bounded; the only process signalled is the zevasim started
# here, by its pid.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/zeva232-install.XXXXXX")
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check_install: $*" >&2
  exit 1
}

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
[ -n "$libdir" ] || fail "no CMAKE_INSTALL_LIBDIR in $build/CMakeCache.txt"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || fail "no package version in $build/CPackConfig.cmake"
major=${version%%.*}
IFS=. read -r v1 v2 v3 _ <<<"$version"
soversion="$v1.$v2.$v3"

# The files every install holds, relative to the prefix.
expected=(
  "$libdir/libzeva232.so"
  "$libdir/libzeva232.so.$major"
  "$libdir/libzeva232.so.$soversion"
  include/zeva232.h
  include/zeva232_posix.h
  bin/zevactl
  bin/zevasim
  share/man/man1/zevactl.1.gz
  share/man/man1/zevasim.1.gz
  "$libdir/cmake/zeva232/zeva232Config.cmake"
  "$libdir/cmake/zeva232/zeva232ConfigVersion.cmake"
  "$libdir/cmake/zeva232/zeva232Targets.cmake"
  "$libdir/pkgconfig/zeva232.pc"
  share/doc/zeva232/examples/system.reg
  share/doc/zeva232/examples/Orlindo.inf
  share/doc/zeva232/examples/demo-bus.json
  share/doc/zeva232/examples/identify.c
)

echo "-- the README's C example is the installed client"
awk '/^```c$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$root/README.md" >"$work/readme.c"
diff -u "$root/docs/examples/identify.c" "$work/readme.c" >&2 ||
  fail "README.md's C example differs from docs/examples/identify.c; keep them the same text"

echo "-- nothing is installed outside the prefix"
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/zeva232 >/dev/null
outside=$(find "$work/stage" \( -type f -o -type l \) ! -path "$work/stage/opt/zeva232/*")
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

echo "-- cmake --install into a temporary prefix"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in "${expected[@]}"; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
[ "$(readlink "$prefix/$libdir/libzeva232.so")" = "libzeva232.so.$major" ] ||
  fail "libzeva232.so does not link to libzeva232.so.$major"
grep -qx "includedir=$prefix/include" "$prefix/$libdir/pkgconfig/zeva232.pc" ||
  fail "zeva232.pc does not name the prefix it was installed to"

src="$work/src"
mkdir -p "$src"
cp -r "$root/tests/install/find_package" "$src/find_package"
cp "$prefix/share/doc/zeva232/examples/identify.c" "$src/identify.c"

echo "-- a C++ client with find_package(zeva232)"
cmake -S "$src/find_package" -B "$work/fp-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
found=$(sed -n 's/^zeva232_DIR:[A-Z]*=//p' "$work/fp-build/CMakeCache.txt")
[ "$found" = "$prefix/$libdir/cmake/zeva232" ] || fail "find_package found $found, not the installed package"
cmake --build "$work/fp-build" >/dev/null
"$work/fp-build/version_client" || fail "the find_package client reports a wrong version"

echo "-- a C client with pkg-config"
export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046  # pkg-config prints several words on purpose
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags zeva232) "$src/identify.c" -o "$work/identify" \
  $(pkg-config --libs zeva232) -Wl,-rpath,"$(pkg-config --variable=libdir zeva232)"

echo "-- the C client identifies device 5 of the installed zevasim, on the installed demo bus"
zeva="$work/zeva"
mkdir -p "$zeva/dosdevices"
cp "$prefix/share/doc/zeva232/examples/system.reg" "$prefix/share/doc/zeva232/examples/Orlindo.inf" "$zeva/"
"$prefix/bin/zevasim" --config "$prefix/share/doc/zeva232/examples/demo-bus.json" --link "$zeva/dosdevices/com1" >"$work/zevasim.out" 2>"$work/zevasim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/zevasim.out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
[ -s "$work/zevasim.out" ] || fail "zevasim did not start: $(cat "$work/zevasim.err")"
ZEVA_PREFIX="$zeva" timeout 30 "$work/identify" >"$work/identify.out" 2>&1 ||
  fail "the C client failed: $(cat "$work/identify.out")"
grep -qx "device 5: S01A2B3, product 5 (Temperature sensor), firmware 2.7" "$work/identify.out" ||
  fail "unexpected answer: $(cat "$work/identify.out")"
kill -TERM "$sim_pid"
wait "$sim_pid" || fail "zevasim did not end cleanly"
sim_pid=
[ ! -e "$zeva/dosdevices/com1" ] || fail "zevasim left its link behind"

echo "-- the installed zevactl runs the installed zevasim and reads the example settings"
sed 's/^"bps"=dword:.*/"bps"=dword:00002580/' "$prefix/share/doc/zeva232/examples/system.reg" >"$zeva/system.reg"
ZEVA_PREFIX="$zeva" timeout 30 env -u ZEVASIM PATH=/usr/bin:/bin "$prefix/bin/zevactl" --json settings show \
  >"$work/settings.json"
grep -q '"bps":9600' "$work/settings.json" || fail "the example system.reg was not read: $(cat "$work/settings.json")"
ZEVA_PREFIX="$zeva" timeout 30 env -u ZEVASIM PATH=/usr/bin:/bin "$prefix/bin/zevactl" --port sim info 12 \
  >"$work/info.out" || fail "zevactl --port sim info 12 failed"
grep -q "S1F2E3D" "$work/info.out" || fail "unexpected zevactl output: $(cat "$work/info.out")"

echo "-- cpack -G DEB"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null) ||
  fail "cpack failed"
deb=$(find "$work/package" -maxdepth 1 -name 'zeva232_*.deb')
[ -n "$deb" ] || fail "cpack made no .deb"
contents=$(dpkg-deb --contents "$deb")
for f in "${expected[@]}"; do
  grep -q " \./usr/$f\( ->\|$\)" <<<"$contents" || fail "not in the package: /usr/$f"
done
depends=$(dpkg-deb --field "$deb" Depends)
for p in libc6 libstdc++6; do
  grep -q "\b$p (>=" <<<"$depends" || fail "Depends lacks $p: $depends"
done
echo "package $(basename "$deb"): Depends: $depends"
