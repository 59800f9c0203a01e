#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as another program
# would: checks what the libraries and the Designer plugin export, compiles
# every public header on its own as C++17 and C++20, builds examples/ with the
# CMake package and the console example with the README's pkg-config line from
# the installed files only, builds a third-party program with names of its
# own and runs it in Polish and English, and shows the time on the simulator
# through both builds of the console example.
#
# usage: install_examples.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
tmp=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libkv52804serial.so' | head -1)")
[ -d "$libdir" ] || fail "no libraries installed"

echo "--- exported symbols"
"$source/tests/install/check_exports.py" "$prefix/include" "$libdir"/libkv52804*.so.*.*.* \
    --plugin "$(find "$prefix" -name 'libkv52804designer.so')"

echo "--- public headers, each on its own, as C++17 and C++20"
qt_flags=$(pkg-config --cflags Qt6Widgets)
for header in "$prefix"/include/kv52804/*.h; do
    for standard in c++17 c++20; do
        echo "#include <kv52804/$(basename "$header")>" |
            g++ -std=$standard -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" $qt_flags -x c++ - ||
            fail "$(basename "$header") does not compile on its own as $standard"
    done
done

echo "--- examples with the CMake package"
cmake -S "$source/examples" -B "$tmp/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$tmp/configure.log" || { cat "$tmp/configure.log"; fail "configure"; }
cmake --build "$tmp/examples" || fail "examples do not build"
# Nothing of the source tree but examples/ may be seen by the compiler.
if grep -oE -- "-I$source/[^ \"]*" "$tmp/examples/compile_commands.json" | grep -v "^-I$source/examples"; then
    fail "the examples were compiled with the source tree on the include path"
fi

echo "--- the package's version rule and components"
# Before 1.0 only the same minor version is compatible; unknown components
# are refused.
version=$(sed -n 's/^set(PACKAGE_VERSION "\([0-9]*\)\.\([0-9]*\)\..*")$/\1 \2/p' \
    "$libdir/cmake/KV52804/KV52804ConfigVersion.cmake")
read -r major minor <<<"$version"
[ "$major" = 0 ] || fail "the version rule below is the one before 1.0"
current=0.$minor
for request in "$current" "0.$((minor + 1))" "0.$((minor - 1))" "1.0" "$current COMPONENTS Serial Nothing"; do
    mkdir -p "$tmp/version"
    printf 'cmake_minimum_required(VERSION 3.25)\nproject(v LANGUAGES CXX)\nfind_package(KV52804 %s REQUIRED)\n' \
        "$request" >"$tmp/version/CMakeLists.txt"
    if cmake -S "$tmp/version" -B "$tmp/version/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
        found=yes
    else
        found=no
    fi
    expected=no
    [ "$request" = "$current" ] && expected=yes
    [ "$found" = "$expected" ] || fail "find_package(KV52804 $request): found $found, expected $expected"
    rm -rf "$tmp/version"
done

echo "--- console example with pkg-config, as the README builds it"
# The compiler's own standard (C++17 on Debian 12) and no other flags.
(cd "$source/examples/clock" && export PKG_CONFIG_PATH="$libdir/pkgconfig" &&
    # shellcheck disable=SC2046
    g++ main.cpp $(pkg-config --cflags --libs kv52804-serial kv52804-display) -o "$tmp/clock-pkgconfig") ||
    fail "the README's one-liner does not build the console example"

echo "--- a third-party program: names of its own, C++17, Polish texts"
# A program that ships no catalogs gets the components' texts from the
# catalogs installed with the libraries, which find them from their own
# folder: the prefix here is not the one the build was configured for.
cport_po=$source/locale/pl/LC_MESSAGES/cport.po
polish() { # MSGID: its msgstr in the components' catalog (entries on one line)
    awk -v id="msgid \"$1\"" '$0 == id { getline; sub(/^msgstr "/, ""); sub(/"$/, ""); print; exit }' "$cport_po"
}
open_failed=$(polish "Unable to open com port")
not_a_number=$(polish "'%s' is not a valid integer value")
not_shown=$(polish "'%s' (character %d) cannot be shown on the display")
for text in "$open_failed" "$not_a_number" "$not_shown"; do
    [ -n "$text" ] || fail "no Polish texts for the consumer's errors in $cport_po"
done
not_a_number=${not_a_number//%s/12x}
not_shown=${not_shown//%s/K}
not_shown=${not_shown//%d/1}
# The program has names and macros of its own that the components use too,
# and asks for an older C++ standard: the package raises it to what its
# headers need.
mkdir -p "$tmp/third-party"
cat >"$tmp/third-party/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(third_party LANGUAGES CXX)
find_package(KV52804 $current REQUIRED COMPONENTS Serial Display Setup Widgets)
add_executable(third-party $source/tests/install/third_party.cpp)
target_link_libraries(third-party PRIVATE KV52804::Serial KV52804::Display KV52804::Setup KV52804::Widgets)
target_compile_options(third-party PRIVATE -Wall -Wextra -Werror)
CMAKE
cmake -S "$tmp/third-party" -B "$tmp/third-party/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_STANDARD=14 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$tmp/configure.log" || { cat "$tmp/configure.log"; fail "configure"; }
cmake --build "$tmp/third-party/build" || fail "the third-party program does not build"
# (C++17 is the compiler's default, which CMake then does not spell out.)
if grep -q -- "-std=[a-z]*++14" "$tmp/third-party/build/compile_commands.json"; then
    fail "the package did not raise the standard to C++17"
fi
consumer() { # LANG
    env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG="$1" LD_LIBRARY_PATH="$libdir" \
        "$tmp/third-party/build/third-party" "$tmp/no-such-port" || fail "the consumer ($1) did not see three errors"
}
output=$(consumer pl_PL.UTF-8)
mapfile -t lines <<<"$output"
[[ ${lines[0]-} == "$open_failed"* ]] || fail "port error not in Polish: ${lines[0]-}"
[ "${lines[1]-}" = "$not_a_number" ] || fail "runtime message not in Polish: ${lines[1]-}"
[ "${lines[2]-}" = "$not_shown" ] || fail "display text not in Polish: ${lines[2]-}"
output=$(consumer C.UTF-8)
mapfile -t lines <<<"$output"
[[ ${lines[0]-} == "Unable to open com port"* ]] || fail "port error not in English: ${lines[0]-}"
# Our own programs have the engine linked in: beside the libraries, where
# the components' locale folder is in reach of a library, a copy of one
# still finds no catalogs but its own.
cp -L "$prefix/bin/kv52804" "$libdir/kv52804-copy"
message=$(env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=pl_PL.UTF-8 \
    "$libdir/kv52804-copy" --port "$tmp/no-such-port" on 2>&1 || true)
rm "$libdir/kv52804-copy"
[[ $message == *"(Unable to open com port"* ]] ||
    fail "a program with the engine linked in took the libraries' catalogs: $message"

echo "--- the time on the simulator"
export XDG_RUNTIME_DIR=$tmp/run XDG_CONFIG_HOME=$tmp/config
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$build/bin/kv52804-sim" --headless --log >"$tmp/sim.log" 2>&1 &
sim_pid=$!
wait_for() { # SECONDS PATTERN
    local deadline=$((SECONDS + $1))
    until grep -qE "$2" "$tmp/sim.log"; do
        ((SECONDS < deadline)) || fail "simulator log has no '$2': $(cat "$tmp/sim.log")"
        sleep 0.05
    done
}
wait_for 15 '^ready: '
frame='^80( [0-9A-F]{2}){12} 84  data: '
"$tmp/examples/kv52804-clock" KV52804-SIM || fail "kv52804-clock"
wait_for 10 "$frame"
[ "$(grep -cE "$frame" "$tmp/sim.log")" = 1 ] || fail "expected one frame"
LD_LIBRARY_PATH=$libdir "$tmp/clock-pkgconfig" KV52804-SIM || fail "kv52804-clock built with pkg-config"
deadline=$((SECONDS + 10))
until [ "$(grep -cE "$frame" "$tmp/sim.log")" = 2 ]; do
    ((SECONDS < deadline)) || fail "the pkg-config build's frame did not arrive: $(cat "$tmp/sim.log")"
    sleep 0.05
done
echo "installed components work"
