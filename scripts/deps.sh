#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
          libsqlite3-dev sqlite3 libssl-dev libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          libsystemd-dev dbus-daemon zlib1g-dev libpng-dev libjpeg62-turbo-dev libcairo2-dev libpango1.0-dev libicu-dev
          fonts-dejavu-core doxygen)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "scripts/deps.sh: cannot install the missing packages (${missing[*]}): run it as root, or install sudo" >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
