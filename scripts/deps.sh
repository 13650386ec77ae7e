#!/usr/bin/env bash
# Installs the Debian packages the launcher needs to build, run and test (with the fonts that stand
# in for the theme's Windows ones: Open Sans, P052, Roboto Condensed). Quiet and quick when
# everything is already there; works as root or through sudo.
#   --windows  also installs the MinGW-w64 cross compiler and Wine, which the Win32 platform suite
#              needs (./test.sh runs that suite whenever both are present), and what Wine needs to
#              run the Windows launcher (scripts/windows.sh; Qt for Windows: windows-deps.sh).
set -euo pipefail

PACKAGES=(qt6-base-dev libqt6sql6-sqlite qt6-tools-dev qt6-l10n-tools libsdl2-dev cmake ninja-build g++
          pkg-config xvfb xauth fonts-dejavu-core imagemagick openssl libarchive-tools unzip
          fonts-open-sans fonts-urw-base35 fonts-roboto-unhinted
          libxcb1-dev libxcb-randr0-dev
          miniupnpd-nftables nftables iproute2 miniupnpc curl zlib1g-dev python3)
if [ "${1:-}" = "--windows" ]; then
    # The posix flavour: the default one has no std::thread.
    # Wine's Schannel is GnuTLS, and its X11 driver loads these X extensions when it draws
    # windows (the Windows launcher's e2e run); with --no-install-recommends they are not pulled.
    PACKAGES+=(g++-mingw-w64-x86-64-posix wine64 libgnutls30 libxrandr2 libxrender1 libxi6 libxcursor1
               libxext6 libxfixes3 libxinerama1 libxcomposite1 fonts-wine)
fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then SUDO=(sudo); else
        echo "deps: need root or sudo to install: ${missing[*]}" >&2; exit 1
    fi
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
