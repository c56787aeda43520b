#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || true)
[ -n "$files" ] || exit 0
if ! echo "$files" | xargs clang-format --dry-run -Werror >/tmp/zorvo-format.log 2>&1; then
    echo "check-format: these files need clang-format:" >&2
    grep -oE '^[^:]+\.(cpp|h)' /tmp/zorvo-format.log | sort -u >&2
    exit 1
fi
