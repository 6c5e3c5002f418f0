#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then configures, builds and
# runs the example consumer against that install tree alone.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
for file in bin/tagcut share/man/man1/tagcut.1 include/tagcut/extract.h \
            include/tagcut/automaton.h lib/libtagcut.a lib/cmake/tagcut/tagcutConfig.cmake; do
  [[ -e "$work/prefix/$file" ]] || { echo "not installed: $file"; exit 1; }
done
cmake -S "$source_dir/examples/consumer" -B "$work/consumer" \
      -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release > "$work/configure.log"
cmake --build "$work/consumer" > "$work/build.log"
output=$("$work/consumer/list_links")
[[ "$output" == $'one.html\ntwo.html' ]] || { echo "consumer printed: $output"; exit 1; }
printf '<b>x</b>' | "$work/prefix/bin/tagcut" '<b>' '</b>' | grep -qx x
echo "install tree and consumer OK"
