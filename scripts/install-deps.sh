#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# `--fuzz` adds the clang toolchain used for the libFuzzer build.
set -euo pipefail

packages=(cmake ninja-build g++ libfmt-dev libcli11-dev rapidjson-dev libgtest-dev libgmock-dev libbenchmark-dev)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang-16 libclang-rt-16-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
fi
