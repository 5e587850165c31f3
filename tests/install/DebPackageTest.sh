#!/usr/bin/env bash
# Builds the Debian package from a build folder and examines it: its name, its control
# fields, the dependencies a fresh Debian needs to run it, and that it carries exactly the
# installed files, the programs executable and owned by root.
# usage: DebPackageTest.sh CPACK BUILD_DIR GUI(0|1) [PYTHON_DIR]
set -uo pipefail
cpack=$1 build=$2 gui=$3
here=$(dirname "$0")
# shellcheck source=tests/install/InstalledFiles.sh
source "$here/InstalledFiles.sh"
module=$(python_module "$build" "${4:-}")

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  echo "install.deb: FAIL (cpack)"
  exit 1
fi
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "install.deb: FAIL (expected one package, found: ${debs[*]})"
  exit 1
fi
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
arch=$(dpkg --print-architecture)
[ "$(field Package)" = karvo-sp ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(basename "$deb")" = "karvo-sp_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
for name in Maintainer Section Description; do
  [ -n "$(field $name)" ] || fail "no $name"
done

# Libraries found by dpkg-shlibdeps, and what is loaded at run time without being linked.
depends=$(field Depends)
wanted=(libc6 libstdc++6)
if [ "$gui" = 1 ]; then
  wanted+=(libqt6widgets6 libqt6gui6 libqt6core6 libqcustomplot qt6-qpa-plugins fonts-liberation)
fi
[ -z "$module" ] || wanted+=(python3-numpy)
for package in "${wanted[@]}"; do
  [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
done

# The same files as an install, under /usr.
listing=$(dpkg-deb -c "$deb")
found=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sed 's|^\./usr/||' | sort)
expected=$(installed_files "$gui" "$module" | sort)
[ "$found" = "$expected" ] || fail "contents differ from the install: $(diff <(echo "$expected") <(echo "$found") | grep '^[<>]' | tr '\n' ' ')"
while read -r mode owner _ _ _ path; do
  [ "$owner" = root/root ] || fail "$path is owned by $owner"
  if [[ "$path" == ./usr/bin/* ]]; then
    [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode"
  fi
done < <(awk '$1 !~ /^d/' <<<"$listing")

if [ "$failures" -ne 0 ]; then
  echo "install.deb: FAIL ($failures)"
  exit 1
fi
echo "install.deb: PASS ($(basename "$deb"))"
echo "Depends: $depends"
