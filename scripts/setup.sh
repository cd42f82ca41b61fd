#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(
  cmake g++ make binutils
  qtbase5-dev libqt5websockets5-dev
  libfccp-dev
  # the JSON-RPC client reads its frames with it
  libsimdjson-dev
  # the pixel tests and the headless demo draw text
  fonts-dejavu-core
  # wss://: the system's certificate store, and the tests make their certificates with openssl
  ca-certificates openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "setup: these packages are missing and this user cannot install them: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
