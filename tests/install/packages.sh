#!/usr/bin/env bash
# Makes the Debian packages from a build and checks them as Debian would,
# without installing them:
#   - lintian finds no error in any package (its warnings are shown);
#   - no two packages ship the same file, and every package's changelog
#     starts with the package's version;
#   - kv52804-dev asks for exactly its own version of every runtime package,
#     and each runtime package depends on the packages of the libraries it
#     links;
#   - a program linked against the packaged libraries gets, from
#     dpkg-shlibdeps and the runtime packages' shlibs files, a dependency on
#     the runtime package of each library it needs, from this version on.
#
# usage: packages.sh BUILD_DIR SOURCE_DIR
# Exits with 77 (skipped) when lintian or the Debian package tools are missing.
set -euo pipefail
build=$1 source=$2
for tool in lintian dpkg-deb dpkg-shlibdeps cpack pkg-config; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (scripts/deps.sh installs it), so the packages were not checked"
        exit 77
    fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Debian's name for the package of a library: libkv52804serial.so.0.4 is in
# libkv52804serial0.4 (a hyphen goes between a name and a version that would
# run together as digits).
package_of() {
    local name=${1%%.so.*} version=${1#*.so.}
    if [[ $name =~ [0-9]$ ]]; then echo "$name-$version"; else echo "$name$version"; fi
}
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
# The dependencies dpkg-shlibdeps gives PACKAGE_DIR/FILE, run in $tmp/tree.
shlibdeps() {
    (cd "$tmp/tree" && dpkg-shlibdeps -O "${search[@]}" "$1") 2>"$tmp/shlibdeps.err" |
        sed -n 's/^shlibs:Depends=//p' || { cat "$tmp/shlibdeps.err" >&2; fail "dpkg-shlibdeps on $1"; }
    sed 's/^/    /' "$tmp/shlibdeps.err" >&2
}

echo "--- cpack"
# Into a folder of its own: packages already in the build folder stay as they are.
out=$tmp/out
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
if grep -q "CMake Warning" "$tmp/cpack.log"; then
    cat "$tmp/cpack.log"
    fail "cpack warned"
fi
debs=("$out"/*.deb)
[ -e "${debs[0]}" ] || fail "cpack made no package"
for deb in "${debs[@]}"; do
    echo "  $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version) $(dpkg-deb -f "$deb" Architecture)"
done

echo "--- lintian"
# Any error fails; warnings and information are shown for the reader.
set +e
lintian -I --fail-on error "${debs[@]}" >"$tmp/lintian.log" 2>&1
status=$?
set -e
grep -v "running with root privileges" "$tmp/lintian.log" || true
[ "$status" = 0 ] || fail "lintian found errors (exit status $status)"
! grep -q "^E: " "$tmp/lintian.log" || fail "lintian found errors"

echo "--- files and changelogs"
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' || true
done | sort | uniq -d >"$tmp/shared"
[ ! -s "$tmp/shared" ] || fail "files in more than one package: $(cat "$tmp/shared")"
for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package) version=$(dpkg-deb -f "$deb" Version)
    mkdir -p "$tmp/doc/$package"
    dpkg-deb -x "$deb" "$tmp/doc/$package"
    top=$(zcat "$tmp/doc/$package/usr/share/doc/$package/changelog.gz" | head -1)
    [[ $top == "kv52804 ($version) "* ]] || fail "$package $version: its changelog starts with '$top'"
done

echo "--- dependencies between the packages"
# Every package unpacked as dpkg-shlibdeps finds the packages being built:
# tree/debian/<package>/ with the control files in DEBIAN/.
mkdir -p "$tmp/tree/debian"
runtime=() search=()
for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -R "$deb" "$tmp/tree/debian/$package"
    if [ -f "$tmp/tree/debian/$package/DEBIAN/shlibs" ]; then
        runtime+=("$package")
        search+=("-Sdebian/$package")
    fi
done
[ ${#runtime[@]} -gt 0 ] || fail "no package has a shlibs file"
version=$(dpkg-deb -f "${debs[0]}" Version)
dev_depends=$(dpkg-deb -f "$out"/kv52804-dev_*.deb Depends)
printf 'Source: kv52804\n\nPackage: kv52804-clock\nArchitecture: any\n' >"$tmp/tree/debian/control"
for package in "${runtime[@]}"; do
    [[ ", $dev_depends," == *", $package (= $version),"* ]] ||
        fail "kv52804-dev does not depend on $package (= $version): $dev_depends"
    depends=$(dpkg-deb -f "$out/${package}_"*.deb Depends)
    for library in "$tmp/tree/debian/$package"/usr/lib/*/lib*.so.*.*.*; do
        echo "  $package: $(basename "$library")"
        found=$(shlibdeps "${library#"$tmp/tree/"}")
        for needed in $(needed "$library" | grep '^libkv52804'); do
            expected="$(package_of "$needed") (>= $version)"
            [[ $found == *"$expected"* ]] || fail "dpkg-shlibdeps gives no $expected for $needed: $found"
            [[ $depends == *"$expected"* ]] || fail "$package needs $needed but depends on: $depends"
        done
    done
done

echo "--- a program built on the packaged libraries"
root=$tmp/root
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root"
done
pc=$(find "$root" -name kv52804-serial.pc)
[ -n "$pc" ] || fail "kv52804-dev has no kv52804-serial.pc"
multiarch=$(gcc -print-multiarch)
[ "$(dirname "$pc")" = "$root/usr/lib/$multiarch/pkgconfig" ] || fail "kv52804-serial.pc is not in the multiarch folder: $pc"
program=$tmp/tree/debian/kv52804-clock/usr/bin/kv52804-clock
mkdir -p "$(dirname "$program")" "$tmp/tree/debian/kv52804-clock/DEBIAN"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$program" "$source/examples/clock/main.cpp" \
    $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs kv52804-serial kv52804-display) ||
    fail "the clock example does not build against the packaged files"
needs=$(needed "$program" | grep '^libkv52804' || true)
[[ $needs == *libkv52804serial.so.* ]] || fail "the clock does not link the serial library: $needs"
found=$(shlibdeps debian/kv52804-clock/usr/bin/kv52804-clock)
echo "  Depends: $found"
for needed in $needs; do
    expected="$(package_of "$needed") (>= $version)"
    [[ $found == *"$expected"* ]] || fail "the clock needs $needed, but its dependencies lack $expected"
done
[[ $found != *-dev* ]] || fail "the clock depends on a development package: $found"
echo "packages checked"
