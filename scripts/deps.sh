#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the demo need. Sourced by
# demo.sh and test.sh; does nothing when every package is already there.
lumox_packages=(
    build-essential cmake pkg-config git
    libusb-1.0-0-dev libzip-dev libpng-dev libhdf5-dev
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

# The arm64 cross-build of the library and its unit tests: Debian's cross compilers, the
# libraries the library and the tests link as :arm64 packages (multiarch), and qemu to run them.
lumox_arm64_packages=(
    crossbuild-essential-arm64 qemu-user-static
    libusb-1.0-0-dev:arm64 libzip-dev:arm64 libhwy-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
)

# Installs those of the named packages that are missing.
lumox_install_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

lumox_install_deps() {
    lumox_install_packages "${lumox_packages[@]}"
}

# The :arm64 packages need the architecture added to dpkg first (then apt-get update, which
# lumox_install_packages runs when something is missing).
lumox_install_arm64_deps() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo dpkg --add-architecture arm64
    fi
    lumox_install_packages "${lumox_arm64_packages[@]}"
}
