#!/usr/bin/env bash
# Installs what building, testing and running need, and only what is missing.
# Debian 12; run as root (or with sudo available).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the Designer plugin and its test (QUiLoader, whose CMake package needs
    # the OpenGL one)
    qt6-tools-dev libqt6opengl6-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    gettext locales clang libclang-rt-14-dev
    xvfb xauth xdotool x11-apps imagemagick fonts-dejavu-core fonts-dejavu-extra
    # the driver tests' virtual machine (tests/drivers) and the coverage report
    qemu-system-x86 busybox-static python3 gcovr
    # real network serial servers for the network-port tests
    ser2net python3-serial
    # other serial programs whose lock files the exclusive-open tests meet
    minicom cu
    # X11's header, which a third-party program of the install test includes
    # before ours
    libx11-dev
    # the Debian packages' test (tests/install/packages.sh) checks them with
    # Debian's own rules
    lintian
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
