#!/usr/bin/env bash
# Lays out the project's C++ code with the pinned clang-format (scripts/lib/setup.sh) and the
# checked-in .clang-format.
#
#   scripts/format.sh           formats every file in place
#   scripts/format.sh --check   changes nothing; fails listing the files that would change
#
# The files: every C++ source and header under src/, engine/, tools/, tests/cpp/ and fuzz/, and
# the benchmark's programs bench/*.cpp. Generated data is kept as generated between
# `// clang-format off` and `// clang-format on`.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh

check=0
case "${1:-}" in
    --check) check=1 ;;
    "") ;;
    *)
        echo "usage: scripts/format.sh [--check]" >&2
        exit 2
        ;;
esac

clang_format=$(make_format_venv)

mapfile -t files < <(
    {
        find src engine tools tests/cpp fuzz -type f \
            \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc' \)
        find bench -maxdepth 1 -type f -name '*.cpp'
    } | LC_ALL=C sort
)
if [ ${#files[@]} -eq 0 ]; then
    echo "format: no C++ files found" >&2
    exit 2
fi

if [ $check = 0 ]; then
    "$clang_format" --style=file -i "${files[@]}"
    echo "formatted ${#files[@]} files with clang-format $CLANG_FORMAT_VERSION"
    exit 0
fi

differ=()
for file in "${files[@]}"; do
    # A file clang-format cannot read or parse fails the check as well: its output is then empty
    # or partial, and so differs.
    if ! "$clang_format" --style=file "$file" | cmp -s - "$file"; then
        differ+=("$file")
    fi
done
if [ ${#differ[@]} -gt 0 ]; then
    echo "format: ${#differ[@]} of ${#files[@]} files differ from clang-format $CLANG_FORMAT_VERSION's layout:"
    printf '  %s\n' "${differ[@]}"
    echo "run scripts/format.sh to format them in place"
    exit 1
fi
echo "format: all ${#files[@]} files match clang-format $CLANG_FORMAT_VERSION's layout"
