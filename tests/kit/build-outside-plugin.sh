#!/usr/bin/env bash
# Builds the example plug-in as an outsider would: installs the kit from the
# build into a prefix, copies examples/tally out of the tree, builds it with
# CMake against the prefix and with the guide's plain compiler line, and
# compiles every public header on its own. The two plug-ins land in
# BUILD/bin/outside for the test that loads them into the real host.
#   build-outside-plugin.sh SOURCE_DIR BUILD_DIR CXX_COMPILER SYSTEM_NAME
set -euo pipefail
source_dir=$1
build_dir=$2
compiler=$3
system=$4

work="$build_dir/outside-work"
kit="$work/kit"
rm -rf "$work" "$build_dir/bin/outside"
mkdir -p "$work" "$build_dir/bin/outside"
cmake --install "$build_dir" --prefix "$kit" > "$work/install.log"

cp -r "$source_dir/examples/tally" "$work/tally"
options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$kit")
if [ "$system" = Windows ]; then
    options+=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER="$compiler")
    suffix=.dll
    plain=("$compiler" -std=c++17 -shared)
else
    suffix=.so
    plain=("$compiler" -std=c++17 -shared -fPIC -fvisibility=hidden)
fi
cmake -S "$work/tally" -B "$work/tally/build" "${options[@]}" > "$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/tally/build"
cp "$work/tally/build/tally$suffix" "$build_dir/bin/outside/tally-cmake$suffix"

# The line docs/plugins.md gives.
(cd "$work/tally" && "${plain[@]}" -I "$kit/include/OstraService" Tally.cpp -L "$kit/lib" \
    -lostracommon -llog -lconfig++ -o "$build_dir/bin/outside/tally-plain$suffix")

# A plug-in as one built before the kit's libraries carried their interface
# version was: it names the unversioned libostracommon.so.
if [ "$system" != Windows ]; then
    mkdir -p "$work/unversioned"
    echo 'int unversioned;' | "$compiler" -shared -fPIC -x c++ - -o "$work/unversioned/libostracommon.so"
    (cd "$work/tally" && "${plain[@]}" -I "$kit/include/OstraService" Tally.cpp \
        -L "$work/unversioned" -Wl,--no-as-needed -lostracommon -L "$kit/lib" -llog -lconfig++ \
        -o "$build_dir/bin/outside/tally-unversioned$suffix")
fi

# Every public header compiles with nothing but the kit's include folder
# (and libconfig++'s header, which the kit brings on Windows).
headers=0
while IFS= read -r header; do
    echo "#include \"$header\"" | "$compiler" -std=c++17 -fsyntax-only -x c++ \
        -I "$kit/include/OstraService" - || { echo "does not compile alone: $header"; exit 1; }
    headers=$((headers + 1))
done < <(cd "$kit/include/OstraService" && find . -name '*.h' | sed 's#^\./##' | sort)
echo "outside plug-ins built: tally-cmake$suffix, tally-plain$suffix; $headers public headers compile alone"
