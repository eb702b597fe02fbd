#!/usr/bin/env bash
# Installs the Debian packages of the named lists (scripts/NAME-packages.txt):
#   install-deps.sh [build] [test] [bench] [lint]   (default: build)
# build: what building the engine needs; test: what the tests need on top;
# bench: what the benchmarks need on top; lint: clang-format and clang-tidy.
# Idempotent: when everything is present it changes nothing and asks no
# server.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
lists=("$@")
((${#lists[@]})) || lists=(build)

packages=()
for list in "${lists[@]}"; do
  file="$here/$list-packages.txt"
  [[ -f "$file" ]] || { echo "install-deps: no list $file" >&2; exit 2; }
  mapfile -t -O "${#packages[@]}" packages < <(grep -v '^\s*#' "$file" | grep -v '^\s*$')
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages of ${lists[*]} present"
  exit 0
fi

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
