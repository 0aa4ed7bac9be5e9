#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and nothing that is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3 ccache
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  libpcap-dev nlohmann-json3-dev libcli11-dev
  tshark iperf3 iproute2 iputils-ping
  libusb-1.0-0-dev usbutils
  qemu-system-x86 linux-image-amd64 busybox-static cpio xz-utils kmod
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: root is needed to install packages" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the answer does not matter here.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
if ! apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
