#!/usr/bin/env bash
# Builds and runs the example consumer (examples/consumer) against tagcut the
# ways C++ projects take a library, each under the compiler's default
# standard:
#   static        the build tree installed into a fresh prefix; find_package
#                 and pkg-config
#   shared        a BUILD_SHARED_LIBS=ON build installed into a fresh prefix
#   subdirectory  add_subdirectory of the source tree
# Usage: consumers.sh MODE BUILD_DIR SOURCE_DIR
set -euo pipefail
mode=$1
build_dir=$2
source_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
generator=()
if command -v ninja > /dev/null; then generator=(-G Ninja); fi

# Runs the consumer binary on a page and checks what it printed.
check_consumer() {
  local output
  output=$(printf '<a href="one.html">1</a> <a href="two\nlines">2</a>' | "$1" 2> "$work/stderr")
  [[ "$output" == $'one.html\ntwo\\nlines' ]] || { echo "$1 printed: $output"; exit 1; }
  grep -qx "tagcut [0-9.]*" "$work/stderr" || { echo "$1 reported no version"; exit 1; }
}

# Configures and builds examples/consumer into $work/$1 with extra arguments.
build_consumer() {
  local dir=$work/$1
  shift
  cmake -S "$source_dir/examples/consumer" -B "$dir" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=Release "$@" > "$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
  cmake --build "$dir" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
}

case $mode in
  static)
    cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
    for file in bin/tagcut share/man/man1/tagcut.1.gz include/tagcut/extract.h \
                include/tagcut/version.h share/doc/tagcut/copyright; do
      [[ -e "$work/prefix/$file" ]] || { echo "not installed: $file"; exit 1; }
    done
    if [[ -e "$work/prefix/include/tagcut/tag_search.h" ]]; then
      echo "a private header was installed"; exit 1
    fi
    build_consumer find-package -DCMAKE_PREFIX_PATH="$work/prefix"
    check_consumer "$work/find-package/list_links"
    pc_dir=$(dirname "$(find "$work/prefix" -name tagcut.pc)")
    pkg_flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs --static tagcut)
    [[ "$pkg_flags" != *-std=* ]] || { echo "tagcut.pc names a standard: $pkg_flags"; exit 1; }
    # shellcheck disable=SC2086  # pkg-config's flags are meant to split
    c++ -std=c++20 -o "$work/pkg-config-links" "$source_dir/examples/consumer/list_links.cc" $pkg_flags
    check_consumer "$work/pkg-config-links"
    # Every C++ snippet of the README builds as shown, and runs.
    awk -v dir="$work" '/^```cpp$/ { file = dir "/snippet-" ++count ".cc"; next }
                        /^```$/ { file = "" }
                        file { print > file }' "$source_dir/README.md"
    snippets=("$work"/snippet-*.cc)
    [[ -e "${snippets[0]}" ]] || { echo "no C++ snippet found in the README"; exit 1; }
    for snippet in "${snippets[@]}"; do
      # shellcheck disable=SC2086
      c++ -std=c++20 -Wall -Wextra -Werror -o "${snippet%.cc}" "$snippet" $pkg_flags
      printf '<a href="x">' | "${snippet%.cc}" > /dev/null
    done
    # A consumer's own standard stays its own, and an older one is told why.
    printf '#include <tagcut/portions.h>\nstatic_assert(__cplusplus > 202002L);\nint main() {}\n' \
      > "$work/newer.cc"
    # shellcheck disable=SC2086
    c++ -std=c++23 -o "$work/newer" "$work/newer.cc" $pkg_flags
    # shellcheck disable=SC2086
    if c++ -std=c++17 -fsyntax-only "$source_dir/examples/consumer/list_links.cc" $pkg_flags \
         2> "$work/older.log"; then
      echo "a C++17 consumer compiled"; exit 1
    fi
    # One error, the one that says what to do.
    errors=$(grep -c "error:" "$work/older.log" || true)
    if [[ "$errors" != 1 ]] || ! grep -q "tagcut needs C++20" "$work/older.log"; then
      cat "$work/older.log"; exit 1
    fi
    # The static library is position-independent: it links into a shared object.
    # shellcheck disable=SC2086
    c++ -std=c++20 -shared -fPIC -o "$work/links.so" "$source_dir/examples/consumer/list_links.cc" $pkg_flags
    [[ "$(printf '<b>x</b>' | "$work/prefix/bin/tagcut" '<b>' '</b>')" == x ]]
    ;;
  shared)
    cmake -S "$source_dir" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
          -DBUILD_SHARED_LIBS=ON -DTAGCUT_BUILD_TESTS=OFF > "$work/configure.log"
    cmake --build "$work/build" > "$work/build.log"
    cmake --install "$work/build" --prefix "$work/prefix" > "$work/install.log"
    library=$(find "$work/prefix" -name 'libtagcut.so.*.*.*')
    [[ -n "$library" && -L "${library%.*.*}" ]] || { echo "no versioned shared library"; exit 1; }
    build_consumer find-package -DCMAKE_PREFIX_PATH="$work/prefix"
    ldd "$work/find-package/list_links" > "$work/ldd.txt"
    grep -q "libtagcut.so.[0-9]* => $work/prefix" "$work/ldd.txt" ||
      { echo "consumer does not load the installed shared library:"; cat "$work/ldd.txt"; exit 1; }
    check_consumer "$work/find-package/list_links"
    # The shared library exports the public API and nothing else of tagcut's.
    nm -DC --defined-only "$library" > "$work/symbols.txt"
    public='tagcut::(Extractor::|PortionPattern::|PortionCollector::|PortionColumnCollector::|SpanCollector::|PortionColumns::|ColumnBuffer::|AutomatonExtract\(|CreateAutomaton\(|ForEachPortion\(|ExtractPortions(\[abi:cxx11\])?\()'
    public+='|(typeinfo|typeinfo name|vtable) for tagcut::(OutputSink|Extractor)$'
    if grep 'tagcut' "$work/symbols.txt" | grep -Ev " ($public)" > "$work/internal.txt"; then
      echo "internal symbols exported:"; cat "$work/internal.txt"; exit 1
    fi
    grep -q 'tagcut::ExtractPortions' "$work/symbols.txt" || { echo "the portion API is not exported"; exit 1; }
    ;;
  subdirectory)
    build_consumer subdirectory -DTAGCUT_SOURCE_DIR="$source_dir"
    check_consumer "$work/subdirectory/list_links"
    if [[ -e "$work/subdirectory/tagcut/tests" || -e "$work/subdirectory/CPackConfig.cmake" ||
          -e "$work/subdirectory/tagcut/tagcut" ]]; then
      echo "tests, packaging or the program leaked into the parent build"; exit 1
    fi
    ;;
  *)
    echo "unknown mode: $mode"; exit 2
    ;;
esac
echo "consumer ($mode) OK"
