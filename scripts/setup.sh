#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine; quick when everything is there.
#   scripts/setup.sh          Debian build packages, the Python environment and its packages
#   scripts/setup.sh --fuzz   also clang and its sanitizer runtimes for the fuzzers
# Python packages go into the environment of $PY (default .venv/bin/python), made from the first
# python3 on PATH (or $PYTHON) when it does not exist yet: a system interpreter such as Debian's
# refuses pip installs (PEP 668). cmake and ninja come from PyPI into it, as Debian 12's cmake is
# older than the stable-ABI module build needs.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-$PWD/.venv/bin/python}
base=${PYTHON:-python3}

apt_packages=(g++ libboost1.81-dev libfmt-dev tao-pegtl-dev googletest libgtest-dev libgmock-dev libbenchmark-dev)
if [[ "${1:-}" == "--fuzz" ]]; then
  apt_packages+=(clang-19 libclang-rt-19-dev)
fi
# The interpreter we build against: that of $PY, or the one its environment will be made from.
if "$PY" -c '' 2>/dev/null; then make_env=false; interp=$PY; else make_env=true; interp=$base; fi
if ! command -v "$interp" >/dev/null; then
  base=/usr/bin/python3 interp=/usr/bin/python3
  apt_packages+=(python3)
fi
# Debian's interpreter keeps venv (ensurepip) and its C headers in packages of their own.
if [[ $("$interp" -c 'import sys; print(sys.base_prefix)' 2>/dev/null || echo /usr) == /usr ]]; then
  apt_packages+=(python3-venv python3-dev)
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

if $make_env; then
  if [[ $PY != */bin/python ]]; then
    echo "setup: $PY does not run; PY names the python of a virtual environment: <env>/bin/python" >&2
    exit 1
  fi
  if ! "$base" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "setup: $base is older than Python 3.11: put a newer python3 first on PATH or set PYTHON" >&2
    exit 1
  fi
  env_dir=${PY%/bin/python}
  echo "setup: making the Python environment $env_dir from $(command -v "$base")"
  "$base" -m venv --clear "$env_dir"
fi

# pip is slow even when nothing is missing, so skip it while the requirements are unchanged.
stamp=build/.pip-stamp
want="$(sha256sum requirements-dev.txt | cut -d' ' -f1) $("$PY" -c 'import sys; print(sys.prefix)')"
have_all='import importlib.util as u, sys
names = ("pyarrow", "cantools", "can", "pytest", "cmake", "ninja")
sys.exit(any(u.find_spec(name) is None for name in names))'
if [[ ! -f $stamp || "$(cat $stamp)" != "$want" ]] || ! "$PY" -c "$have_all"; then
  echo "setup: installing Python packages"
  "$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  mkdir -p build && echo "$want" > $stamp
fi
