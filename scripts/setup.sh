#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Tessary need, when missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-serialport-dev libgl-dev libgtest-dev
          libgmock-dev libbenchmark-dev fonts-dejavu-core libxkbcommon-dev xdg-utils libsqlite3-dev
          libmosquitto-dev mosquitto mosquitto-clients
          libsystemd-dev pkg-config socat)
# systemd-analyze checks the service's unit; where it is missing the check is skipped.
if ! command -v systemd-analyze >/dev/null 2>&1; then
    packages+=(systemd)
fi
if [ "${TESSARY_WITH_PACKAGING:-0}" = 1 ]; then
    # CPack DEB (dpkg-shlibdeps, file) and the checks of the package and its desktop files.
    packages+=(dpkg-dev file lintian desktop-file-utils appstream)
fi
if [ "${TESSARY_WITH_X:-0}" = 1 ]; then
    packages+=(xvfb xdotool imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
