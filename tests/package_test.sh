#!/usr/bin/env bash
# What a user gets from an installation or a package of a build:
#
#   package_test.sh install BUILD_DIR VERSION   cmake --install into a new prefix
#   package_test.sh deb BUILD_DIR VERSION       the .deb that cpack makes
#   package_test.sh zip BUILD_DIR VERSION       the Windows .zip that cpack makes
#   package_test.sh man PAGE...                 mandoc finds nothing to say
set -euo pipefail

mode=$1
shift

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# Compares the sorted file list on standard input with the expected names.
expect_files() {
    local found expected
    found=$(sort)
    expected=$(printf '%s\n' "$@" | sort)
    [ "$found" = "$expected" ] || fail "$(printf 'files differ (< found, > expected):\n%s' \
        "$(diff <(echo "$found") <(echo "$expected"))")"
}

if [ "$mode" = man ]; then
    lint=$(mandoc -T lint -W style "$@" 2>&1) || fail "mandoc: $lint"
    [ -z "$lint" ] || fail "mandoc: $lint"
    exit 0
fi

build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The README's topic pages in the sources: each must reach every package.
source_dir=$(cd "$(dirname "$0")/.." && pwd)
doc_pages=$(cd "$source_dir/doc" && ls -- *.md | sed 's/\.md$//')
[ -n "$doc_pages" ] || fail "no topic pages in $source_dir/doc"

# The names of the topic pages under PREFIX, with the ending EXT.
doc_files() {
    local page
    for page in $doc_pages; do echo "$1/$page.$2"; done
}

# Every link from one of the FILEs to the README or a topic page (doc/name.md,
# name.md, ../README.md, or their .txt names; with or without #part), and
# every image they show (![...](../bench/name.png)), finds its file where it
# points. Other links into the sources (../bench/...) are not shipped and
# not looked at.
expect_page_links() {
    local file target
    for file in "$@"; do
        for target in $( (grep -o '](\(\.\./\|doc/\)\?[A-Za-z-]*\.\(md\|txt\)[)#]' "$file" || true
            grep -o '!\[[^]]*\]([^)]*)' "$file" | sed 's/^!\[[^]]*\]/]/; s/)$/#/' || true) |
            sed 's/^](//; s/[)#]$//'); do
            [ -f "$(dirname "$file")/$target" ] || fail "$file links to $target, which is not there"
        done
    done
}

case $mode in
install)
    cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
    (cd "$scratch/prefix" && find . -type f) | expect_files \
        ./bin/sprayl ./bin/sprayl-check \
        ./share/man/man1/sprayl.1 ./share/man/man1/sprayl-check.1 \
        ./share/doc/sprayl/README.md ./share/doc/sprayl/LICENSE \
        ./share/doc/sprayl/bench/throughput.png $(doc_files ./share/doc/sprayl/doc md)
    expect_page_links "$scratch/prefix/share/doc/sprayl/README.md" \
        $(doc_files "$scratch/prefix/share/doc/sprayl/doc" md)
    # The installed programs work together, and the pages carry the version.
    "$scratch/prefix/bin/sprayl" | head -c 100000 | "$scratch/prefix/bin/sprayl-check" > /dev/null ||
        fail "the installed sprayl-check does not find the installed sprayl's stream intact"
    grep -q "^\.TH SPRAYL 1 .* \"sprayl $version\"" "$scratch/prefix/share/man/man1/sprayl.1" ||
        fail "sprayl.1 does not give version $version"
    ;;
deb)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" > /dev/null
    deb=$(echo "$scratch"/sprayl_"$version"_*.deb)
    [ -f "$deb" ] || fail "no sprayl_${version}_*.deb: $(ls "$scratch")"
    dpkg-deb -c "$deb" | awk '/^-/ { print $6 }' | expect_files \
        ./usr/bin/sprayl ./usr/bin/sprayl-check \
        ./usr/share/man/man1/sprayl.1 ./usr/share/man/man1/sprayl-check.1 \
        ./usr/share/doc/sprayl/README.md ./usr/share/doc/sprayl/LICENSE \
        ./usr/share/doc/sprayl/bench/throughput.png $(doc_files ./usr/share/doc/sprayl/doc md)
    fields=$(dpkg-deb -f "$deb" Package Version Section)
    [ "$fields" = "$(printf 'Package: sprayl\nVersion: %s\nSection: utils' "$version")" ] ||
        fail "control fields: $fields"
    for field in Maintainer Description; do
        [ -n "$(dpkg-deb -f "$deb" $field)" ] || fail "no $field"
    done
    # Computed by dpkg-shlibdeps, from the libraries that the programs link.
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
    ;;
zip)
    cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$scratch" > /dev/null
    zip=$scratch/sprayl-$version-win32.zip
    [ -f "$zip" ] || fail "no sprayl-$version-win32.zip: $(ls "$scratch")"
    mkdir "$scratch/unpacked"
    (cd "$scratch/unpacked" && cmake -E tar xf "$zip" && find . -type f) | expect_files \
        "./sprayl-$version-win32/sprayl.exe" "./sprayl-$version-win32/sprayl-check.exe" \
        "./sprayl-$version-win32/README.txt" "./sprayl-$version-win32/LICENSE" \
        "./sprayl-$version-win32/bench/throughput.png" $(doc_files "./sprayl-$version-win32/doc" txt)
    folder=$scratch/unpacked/sprayl-$version-win32
    readme=$folder/README.txt
    lines=$(wc -l < "$readme")
    [ "$lines" -gt 100 ] || fail "README.txt has $lines lines"
    for text in "$readme" $(doc_files "$folder/doc" txt); do
        lines=$(wc -l < "$text")
        [ "$(grep -c $'\r$' "$text")" = "$lines" ] || fail "$text has lines without CR LF"
        ! grep -q '](\([^)#]*\)\.md[)#]' "$text" || fail "$text still links to .md pages"
    done
    expect_page_links "$readme" $(doc_files "$folder/doc" txt)
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
