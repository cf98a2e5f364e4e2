#!/usr/bin/env bash
# Every C++ file of the tree is formatted with the project's .clang-format.
set -euo pipefail
cd "$1"
bad=0
while IFS= read -r -d '' f; do
    if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "not formatted: $f (clang-format -i $f)"
        bad=1
    fi
done < <(find installer settings discovery engine theme platform components emulator fuzz tests \
             \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null)
exit "$bad"
