#!/usr/bin/env bash
# Builds the 32-bit Windows release files and packs the zip for Windows
# users: build/dist/ulopr1-VERSION-win32.zip with the two DLLs, ulohost.exe,
# the public headers, an example site file and the README. As root it first
# installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly build=build/windows-dist
readonly objdump=i686-w64-mingw32-objdump
readonly strip=i686-w64-mingw32-strip

scripts/bootstrap.sh --windows
cmake --preset windows-dist
cmake --build --preset windows-dist

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=ulopr1-$version-win32
stage=build/dist/$name
rm -rf "$stage" "build/dist/$name.zip"
mkdir -p "$stage/include/ulopr1"

for file in ulopr1.dll zempro.dll ulohost.exe; do
  built=$(find "$build" -name "$file" -not -path "*/CMakeFiles/*" -print -quit)
  if [ -z "$built" ]; then
    echo "dist: $file was not built in $build" >&2
    exit 1
  fi
  "$strip" -o "$stage/$file" "$built"
done

# What is shipped runs on a machine without MinGW: it imports only from
# Windows' own DLLs and from the other files in the zip.
check() {
  cmake -DOBJDUMP="$objdump" -DDLL="$stage/$1" "${@:2}" \
    -P cmake/check-dll-interface.cmake
}
check ulopr1.dll -DEXPORTS=UloMain -DIMPORTS=KERNEL32.dll,msvcrt.dll,zempro.dll
check zempro.dll -DIMPORTS=KERNEL32.dll,msvcrt.dll
check ulohost.exe -DIMPORTS=KERNEL32.dll,msvcrt.dll,zempro.dll

cp include/ulopr1/ulo.h include/ulopr1/zempro.h "$stage/include/ulopr1/"
cp packaging/windows/site.toml "$stage/"
# Windows text files: CRLF line ends.
sed 's/$/\r/' docs/WINDOWS.md > "$stage/README.txt"
sed -i 's/$/\r/' "$stage/site.toml"

(cd build/dist && zip -q -r -X "$name.zip" "$name")
echo "Wrote build/dist/$name.zip:"
unzip -l "build/dist/$name.zip"
