#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the demo need. Sourced by
# demo.sh and test.sh; does nothing when every package is already there.
lumox_packages=(
    build-essential cmake pkg-config git
    libusb-1.0-0-dev libzip-dev libpng-dev libhdf5-dev zlib1g-dev
    python3 python3-numpy python3-h5py python3-opencv python3-open3d
    python3-dev pybind11-dev python3-pytest python3-pil
    libglib2.0-dev libumockdev-dev umockdev usbutils
    libgtest-dev libgmock-dev libbenchmark-dev libhwy-dev
    clang libclang-rt-14-dev
    libcpp-httplib-dev chromium
    cyclonedds-dev cyclonedds-tools
    systemd
)
# The viewer's browser test drives Chromium with playwright-core, which its ctest entry installs
# with npm ci: take the machine's Node.js where it has one (newer than Debian's), else Debian's.
command -v node >/dev/null 2>&1 || lumox_packages+=(nodejs npm)

lumox_install_deps() {
    local missing=()
    local p
    for p in "${lumox_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
