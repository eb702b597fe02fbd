#!/usr/bin/env bash
# Lines of C++, C and Python per top-level folder, and the share of them that
# are tests.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
git ls-files -- '*.cpp' '*.h' '*.c' '*.py' | awk -F/ '{ print $1 }' | sort -u | while read -r d; do
  [[ -d "$d" ]] || continue
  printf "%-10s %6d\n" "$d" "$(git ls-files -- "$d" | grep -E '\.(cpp|h|c|py)$' | xargs cat | wc -l)"
done | awk '{ print; if ($1 == "tests") t += $2; else n += $2 }
  END { printf "non-test %d, tests %d, tests share %.1f %%\n", n, t, 100 * t / (n + t) }'
