#!/usr/bin/env bash
# A release as its users get it:
#   - `bash .ci/workflow release` twice: the same files, byte for byte;
#   - the shared library against the frozen ABI (.ci/abi.sh);
#   - the three Debian packages installed with dpkg, a C and a C++ program
#     built against /usr through find_package and through pkg-config and
#     run, the tool and its manual page found, then the packages removed and
#     nothing of them left in /usr;
#   - the win64 zip unpacked and used by cross-built programs under Wine
#     (64-bit Wine only, as in the Windows step);
#   - the source archive unpacked alone, configured, built and tested.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

# package                      file that shows it is installed
required="
man-db                         /usr/bin/man
unzip                          /usr/bin/unzip
wine                           /usr/bin/wine
wine64                         /usr/lib/wine/wine64
"
bash .ci/install-packages - <<< "$required"

version=$(sed -n 's/^#define BRANTCFG_VERSION_STRING "\([0-9.]*\)"$/\1/p' include/brantcfg.h)
major=${version%%.*}
packages=(brantcfg libbrantcfg-dev "libbrantcfg$major")
work=build/release-check
rm -rf "$work" && mkdir -p "$work"

source .ci/wine.sh
cleanup() {
  stop_wine
  dpkg --purge "${packages[@]}" > /dev/null 2>&1 || true
}
trap cleanup EXIT

# Two releases from scratch, compared file by file.
bash .ci/workflow release
release_seconds=$((SECONDS - started))
# The names expected in dist/, as patterns for its folder.
expected=("brantcfg_$version-1_*.deb" "libbrantcfg-dev_$version-1_*.deb" "libbrantcfg${major}_$version-1_*.deb"
          "brantcfg-$version-win64.zip" "brantcfg-$version-win32.zip" "brantcfg-$version.tar.gz")
for file in "${expected[@]}"; do
  (cd dist && compgen -G "$file" > /dev/null) || { echo "release: dist/ holds no $file" >&2; exit 1; }
done
cp dist/SHA256SUMS "$work/first.sha256"
bash .ci/release > "$work/second-release.log" 2>&1 || { tail -n 40 "$work/second-release.log"; exit 1; }
if ! (cd dist && sha256sum --check --quiet "$OLDPWD/$work/first.sha256"); then
  echo "release: a second run gave other bytes" >&2
  exit 1
fi
echo "release: two runs gave the same $(wc -l < dist/SHA256SUMS) files"

bash .ci/abi.sh

# The Debian packages, used from /usr.
dpkg -i dist/*.deb
dpkg -L "${packages[@]}" | sort -u > "$work/installed"
export CC=cc CXX=c++ CFLAGS="-Wall -Wextra -Wpedantic -Werror" CXXFLAGS="-Wall -Wextra -Wpedantic -Werror"
bash tests/consume.sh find-package "$PWD" "$PWD/$work/deb" /usr
bash tests/consume.sh pkg-config "$PWD" "$PWD/$work/deb" /usr
[ "$(brantcfg --version)" = "brantcfg $version" ] || { echo "release: brantcfg --version is not $version" >&2; exit 1; }
man -w brantcfg
dpkg -r "${packages[@]}"
# Every file and link the packages held is gone, and so is every folder
# of ours (all their names hold brantcfg).
left=$(while read -r path; do
         if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then echo "$path"; fi
       done < "$work/installed"; find /usr -name '*brantcfg*')
if [ -n "$left" ]; then
  echo "release: left in /usr after dpkg -r:" $left >&2
  exit 1
fi
dpkg --purge "${packages[@]}" > /dev/null
echo "release: the packages installed, served both consumers, and left nothing in /usr"

# The win64 zip, unpacked and used under Wine's 64-bit loader.
start_wine
unzip -q "dist/brantcfg-$version-win64.zip" -d "$work/zip"
EMULATOR=$wine64_loader CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix \
  bash tests/consume.sh windows-zip "$PWD" "$PWD/$work" "$PWD/$work/zip/brantcfg-$version-win64" \
  "$PWD/cmake/toolchains/mingw-w64-x86_64.cmake"

# The source archive on its own, with no git around it.
tar -xzf "dist/brantcfg-$version.tar.gz" -C "$work"
(cd "$work/brantcfg-$version" && [ ! -e .git ] && cmake --workflow --preset ci)

echo "release: done in $((SECONDS - started)) s (the release itself: $release_seconds s)"
