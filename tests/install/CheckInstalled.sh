#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and uses it as a client
# would: every library with its version and SONAME and no RUNPATH into the
# build tree, only the public headers, the pkg-config file and the CMake
# package (examples/installed built with find_package(Plenova)), a short
# recording through the installed engine (which must load its run-time
# companions, libwendrel and libswscale, from where it is installed) and the
# installed Python package.
#
#   CheckInstalled.sh BUILD_DIR SOURCE_DIR LIBDIR VERSION SANITIZE
set -euo pipefail
build="$1" source="$2" libdir="$3" version="$4" sanitize="${5:-}"
major="${version%%.*}"
work="$(mktemp -d "$build/install-check.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

flags=()
preload=""
if [[ "$sanitize" == address ]]; then
  san="-fsanitize=address,undefined"
  flags=("-DCMAKE_C_FLAGS=$san" "-DCMAKE_CXX_FLAGS=$san" "-DCMAKE_EXE_LINKER_FLAGS=$san")
  preload="$(cc -print-file-name=libasan.so)"
fi

echo "== libraries"
for name in plenova plenova_c quillet fflog pavanel tarvane aaclc wendrel; do
  lib="$prefix/$libdir/lib$name.so.$version"
  [[ -f "$lib" && ! -L "$lib" ]] || fail "$lib missing"
  soname="$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
  [[ "$soname" == "lib$name.so.$major" ]] || fail "$lib has SONAME '$soname'"
  [[ "$(readlink "$prefix/$libdir/lib$name.so.$major")" == "lib$name.so.$version" ]] ||
    fail "lib$name.so.$major does not point at lib$name.so.$version"
done
[[ -e "$prefix/$libdir/libwendrel.so" ]] || fail "libwendrel.so (loaded by that name) missing"
while IFS= read -r -d '' file; do
  head -c 4 "$file" | grep -q $'\x7fELF' || continue
  runpath="$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')"
  case "$runpath" in
    '$ORIGIN' | '$ORIGIN/../lib' | '$ORIGIN/../'"$libdir") ;;
    *) fail "$file has RUNPATH '$runpath'" ;;
  esac
  [[ "$runpath" != *"$build"* && "$runpath" != *"$source"* ]] || fail "$file points into the build"
done < <(find "$prefix" -type f -print0)

echo "== headers"
headers="$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')"
[[ "$headers" == "./plenova/Plenova.h ./plenova/PlenovaVersion.h ./plenova/plenova_c.h " ]] ||
  fail "installed headers: $headers"

echo "== pkg-config"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[[ "$(pkg-config --modversion plenova)" == "$version" ]] || fail "plenova.pc version"
# shellcheck disable=SC2046
cc ${san:-} -std=c99 -o "$work/print_version_pc" "$source/examples/installed/print_version.c" \
  $(pkg-config --cflags --libs plenova)
LD_LIBRARY_PATH="$prefix/$libdir" "$work/print_version_pc"

echo "== find_package(Plenova)"
cmake -S "$source/examples/installed" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release "${flags[@]}" >"$work/example-configure.log"
cmake --build "$work/example" >"$work/example-build.log" || { cat "$work/example-build.log"; fail "example build"; }
"$work/example/print_version"

echo "== a recording through the installed engine"
stream="installed_$$"
url=""
[[ -z "${PLENOVA_TEST_RTMP_URL:-}" ]] || url="$PLENOVA_TEST_RTMP_URL/$stream"
mkdir "$work/run"
(cd "$work/run" && "$work/example/record_meeting" "$work/run/meeting.mp4" 2 $url)
codecs="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/run/meeting.mp4" | sort | tr '\n' ' ')"
[[ "$codecs" == "aac h264 " ]] || fail "the recording has streams: $codecs"
if grep -q "loadlibrary failed" "$work/run/LiveRecordLog/Plenova.log"; then
  grep "loadlibrary failed\|_Plenova_ lib" "$work/run/LiveRecordLog/Plenova.log" >&2 || true
  fail "the installed engine could not load a companion library"
fi
if [[ -n "$url" && -n "${PLENOVA_TEST_RTMP_RECORD_DIR:-}" ]]; then
  [[ -s "$PLENOVA_TEST_RTMP_RECORD_DIR/$stream.flv" ]] || fail "nothing was published (libwendrel not loaded?)"
  echo "published $stream.flv"
fi

echo "== the Python package"
pydir="$(find "$prefix" -type d -name plenova -path '*packages*' | head -n 1)"
[[ -n "$pydir" ]] || fail "Python package not installed"
env -u PLENOVA_LIBRARY PYTHONPATH="$(dirname "$pydir")" PYTHONDONTWRITEBYTECODE=1 \
  ${preload:+LD_PRELOAD="$preload"} ASAN_OPTIONS=detect_leaks=0 \
  /usr/bin/python3 -c "import plenova, sys; v = plenova.version(); print('python: plenova', v); sys.exit(v != '$version')"
echo "installed package OK"
