#!/usr/bin/env bash
# Keeps the code easy to read: no function outside tests longer than 80 lines or with a modified
# cyclomatic complexity above 25 (as pmccabe counts them), and no source file over 600 lines.
set -euo pipefail
cd "$(dirname "$0")/.."

max_lines=80
max_complexity=25
max_file_lines=600

files=$(git ls-files '*.cpp' '*.h' | grep -v '/tests/' || true)
[ -n "$files" ] || exit 0
status=0

# pmccabe columns: modified complexity, complexity, statements, first line, lines, file(line): name
too_big=$(echo "$files" | xargs pmccabe 2>/dev/null |
    awk -F'\t' -v l="$max_lines" -v c="$max_complexity" '$1 > c || $5 > l')
if [ -n "$too_big" ]; then
    echo "check-structure: functions over $max_lines lines or complexity $max_complexity:" >&2
    echo "$too_big" | awk -F'\t' '{ printf "  %s (complexity %s, %s lines)\n", $6, $1, $5 }' >&2
    status=1
fi

for f in $files; do
    n=$(wc -l <"$f")
    if [ "$n" -gt "$max_file_lines" ]; then
        echo "check-structure: $f has $n lines (at most $max_file_lines)" >&2
        status=1
    fi
done
exit $status
