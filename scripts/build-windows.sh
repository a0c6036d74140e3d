#!/usr/bin/env bash
# Cross-builds the whole Windows program, tarsel-translator.exe for 64-bit
# Windows, with MinGW-w64, and packs the zip a Windows user downloads and
# its installer (NSIS).
# wxWidgets (MSW port) and libcurl (Schannel, no OpenSSL) are built from
# Debian's own source packages into a cache outside the checkout, one folder
# per package version, so only the first run on a machine builds them.
# Prints how long each step took.
# With --test, it then drives the unpacked zip's program under Wine
# (tests/windows/test_program.py), with recording stand-ins for Tolk.dll and
# SAPI's voice.
# Usage: scripts/build-windows.sh [--test] [build-dir]   (default build/windows-program)
# TARSEL_MINGW_CACHE: the cache's folder (default /var/cache/tarsel-translator/mingw)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
test=
if [ "${1:-}" = --test ]; then
  test=1
  shift
fi
build=$(realpath -m "${1:-$root/build/windows-program}")
cache=${TARSEL_MINGW_CACHE:-/var/cache/tarsel-translator/mingw}
host=x86_64-w64-mingw32
toolchain=$root/tests/windows/cross/mingw-w64.cmake
# The posix thread model: GCC 12's win32 model has no std::thread.
export CC=$host-gcc-posix CXX=$host-g++-posix

report=()
step() {
  local name=$1 started=$SECONDS
  shift
  "$@"
  report+=("$name: $((SECONDS - started)) s")
  echo "${report[-1]}"
}

"$root/scripts/install-deps.sh" test

# apt-get source needs the archive's source index: the same archives, suites
# and keys as the binary packages, as deb-src entries made from whatever
# *.sources files or sources.list this machine has.
if ! apt-get source --print-uris wxwidgets3.2 >/dev/null 2>&1; then
  deb822=() oneline=()
  for f in /etc/apt/sources.list.d/*.sources; do [ -f "$f" ] && deb822+=("$f"); done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [ -f "$f" ] && oneline+=("$f"); done
  if [ ${#deb822[@]} -gt 0 ]; then
    awk 'BEGIN { RS = "" }
      { n = split($0, line, "\n"); out = ""; binary = 0
        for (i = 1; i <= n; i++) {
          if (line[i] ~ /^Types:[ \t]*deb[ \t]*$/) { line[i] = "Types: deb-src"; binary = 1 }
          out = out line[i] "\n"
        }
        if (binary) printf "%s\n", out }' "${deb822[@]}" >/etc/apt/sources.list.d/debian-src.sources
  fi
  if [ ${#oneline[@]} -gt 0 ]; then
    sed -n 's/^deb /deb-src /p' "${oneline[@]}" >/etc/apt/sources.list.d/debian-src.list
  fi
  apt-get update
fi

# The versions of source package $1 that the archive lists, newest first.
source_versions() {
  local version sorted=() i
  while read -r version; do
    i=0
    while [ $i -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$i]}" gt "$version"; do
      i=$((i + 1))
    done
    sorted=("${sorted[@]:0:$i}" "$version" "${sorted[@]:$i}")
  done < <(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u)
  [ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

# Fetches and unpacks Debian's source package $1 at version $2 into $3.
# Fails when the archive does not serve that version's source, as happens
# for a while after a new binary is published.
fetch() {
  local package=$1 version=$2 work=$3
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && apt-get source "$package=$version" >download.log 2>&1) ||
    { tail -n 5 "$work/download.log" >&2; rm -rf "$work"; return 1; }
}

# The source folder of package $1, fetched into $2.
unpack() {
  find "$2" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n1
}

build_wx() {
  local prefix=$1 work=$1.work src
  src=$(unpack wxwidgets3.2 "$work")
  mkdir -p "$work/build"
  # Debian's repack drops the bundled image, XML and compression libraries;
  # the program needs none of them, nor the other components switched off.
  (cd "$work/build" && "$src/configure" --host=$host --prefix="$prefix" --with-msw \
    --disable-shared --without-libpng --without-libjpeg --without-libtiff --without-expat \
    --without-zlib --without-regex --without-liblzma --without-opengl --without-libcurl \
    --disable-svg --disable-xrc --disable-html --disable-htmlhelp --disable-help \
    --disable-webview --disable-richtext --disable-stc --disable-aui --disable-ribbon \
    --disable-propgrid --disable-mediactrl --disable-sound --disable-debugreport \
    --disable-webrequest --disable-sockets --disable-protocols --disable-url --disable-fs_inet \
    --disable-printarch --disable-postscript --disable-grid --disable-mshtmlhelp \
    --disable-webviewie --disable-webviewedge --disable-tests --enable-pch >configure.log 2>&1) ||
    { tail -n 40 "$work/build/configure.log" >&2; return 1; }
  nice -n 10 make -C "$work/build" -j2 >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; return 1; }
  make -C "$work/build" install >/dev/null
  rm -rf "$work"
}

build_curl() {
  local prefix=$1 work=$1.work src
  src=$(unpack curl "$work")
  # HTTP and HTTPS only, TLS through Windows' own Schannel and trust store.
  cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBSSH2=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log" >&2; return 1; }
  nice -n 10 cmake --build "$work/build" -j2 >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; return 1; }
  cmake --install "$work/build" >/dev/null
  rm -rf "$work"
}

# Builds $1 into the cache unless the cache has it; sets prefix to its folder.
# Takes the newest version of the source package that is cached or that the
# archive serves, and says so when that is not the newest one listed.
prefix=
cached() {
  local name=$1 package=$2 versions version
  versions=$(source_versions "$package")
  [ -n "$versions" ] || { echo "no source package $package" >&2; return 1; }
  for version in $versions; do
    prefix=$cache/$name-$version
    if [ -e "$prefix/.complete" ]; then
      report+=("$name $version: cached in $prefix")
    elif fetch "$package" "$version" "$prefix.work"; then
      rm -rf "$prefix"
      step "$name $version (built)" "build_$name" "$prefix"
      touch "$prefix/.complete"
    else
      echo "the archive does not serve the source of $package $version" >&2
      continue
    fi
    if [ "$version" != "${versions%%$'\n'*}" ]; then
      report+=("$name: used $package $version, not ${versions%%$'\n'*}, whose source the archive does not serve")
      echo "${report[-1]}"
    fi
    return 0
  done
  echo "the archive serves no source of $package" >&2
  return 1
}

build_program() {
  local wx=$1 curl=$2
  mkdir -p "$build/picojson"
  ln -sf /usr/include/picojson.h "$build/picojson/picojson.h"
  # The toolchain searches the MinGW tree only; wxWidgets' headers are found
  # through wx-config's folders, which must count as part of that tree.
  printf 'include("%s")\nlist(APPEND CMAKE_FIND_ROOT_PATH "%s" "%s")\n' "$toolchain" "$wx" "$curl" \
    >"$build/toolchain.cmake"
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$build/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTARSEL_TESTS=OFF \
    -DwxWidgets_CONFIG_EXECUTABLE="$wx/bin/wx-config" -DCURL_DIR="$curl/lib/cmake/CURL" \
    -DPICOJSON_INCLUDE_DIR="$build/picojson" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
  nice -n 10 cmake --build "$build" --target tarsel-translator -j2
}

# The program with nothing but Windows' own DLLs to import: MinGW's runtime,
# wxWidgets and libcurl are linked in. Tolk.dll is loaded at run time.
package() {
  local name imports
  imports=$($host-objdump -p "$build/tarsel-translator.exe" | sed -n 's/^\s*DLL Name: //p')
  if grep -iE '^(lib|wx|curl)' <<<"$imports"; then
    echo "tarsel-translator.exe needs DLLs that Windows does not have (above)" >&2
    return 1
  fi
  version=$(sed -n 's/^project(tarsel_translator VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  name=tarsel-translator-$version-windows-x64
  rm -rf "$build/$name" "$build/$name.zip"
  mkdir "$build/$name"
  $host-strip -o "$build/$name/tarsel-translator.exe" "$build/tarsel-translator.exe"
  sed 's/$/\r/' "$root/packaging/windows-readme.txt" >"$build/$name/README.txt"
  (cd "$build" && cmake -E tar cf "$name.zip" --format=zip "$name")
  report+=("zip: $build/$name.zip, $(stat -c %s "$build/$name.zip") bytes")
  zip=$build/$name.zip
  folder=$build/$name
}

# The per-user installer (packaging/windows/installer.nsi) of the zip's files.
installer() {
  setup=$build/$(basename "$folder")-setup.exe
  makensis -V2 -WX -DVERSION="$version" \
    -DPROGRAM="$folder" -DICON="$build/windows-resources/tarsel-translator.ico" -DOUTFILE="$setup" \
    "$root/packaging/windows/installer.nsi" >/dev/null
  report+=("installer: $setup, $(stat -c %s "$setup") bytes")
}

# The zip unpacked as a user would, Tolk.dll put beside the program as the
# README says, a program that reads the dialog's controls, the stand-in for
# SAPI's voice that the rows register, and the installer next to the folder.
test_rows() {
  local unpacked=$build/test
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$zip")
  cp "$setup" "$unpacked/"
  local folder
  folder=$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d)
  $CXX -std=c++20 -O1 -shared -static -o "$folder/Tolk.dll" "$root/tests/windows/tolk_stub.cpp"
  $CXX -std=c++20 -O1 -municode -static -o "$folder/window_probe.exe" "$root/tests/windows/window_probe.cpp"
  $CXX -std=c++20 -O1 -shared -static -o "$folder/sapi_voice_stub.dll" "$root/tests/windows/sapi_voice_stub.cpp" \
    -lole32 -luuid
  /usr/bin/python3 "$root/tests/windows/test_program.py" "$folder"
}

started=$SECONDS
cached wx wxwidgets3.2
wx=$prefix
cached curl curl
curl=$prefix
step "tarsel-translator.exe" build_program "$wx" "$curl"
step "zip" package
step "installer" installer
printf '%s\n' "${report[@]}" "Windows build: $((SECONDS - started)) s in all"
if [ -n "$test" ]; then
  started=$SECONDS
  status=0
  test_rows || status=$?
  echo "Windows program under Wine: $((SECONDS - started)) s"
  exit $status
fi
