#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine; quick when everything is there.
#   scripts/setup.sh          Debian build packages + Python packages
#   scripts/setup.sh --fuzz   also clang and its sanitizer runtimes for the fuzzers
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-python3}

apt_packages=(libboost1.81-dev libfmt-dev tao-pegtl-dev googletest libgtest-dev libgmock-dev libbenchmark-dev)
if [[ "${1:-}" == "--fuzz" ]]; then
  apt_packages+=(clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# pip is slow even when nothing is missing, so skip it while the requirements are unchanged.
stamp=build/.pip-stamp
want="$(sha256sum requirements-dev.txt | cut -d' ' -f1) $($PY -c 'import sys; print(sys.prefix)')"
if [[ ! -f $stamp || "$(cat $stamp)" != "$want" ]] || ! $PY -c 'import pyarrow, cantools, can, pytest' 2>/dev/null; then
  echo "setup: installing Python packages"
  $PY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  mkdir -p build && echo "$want" > $stamp
fi
