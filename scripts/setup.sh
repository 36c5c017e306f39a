#!/usr/bin/env bash
# Installs, as root on Debian 12, what building Quillary and running its tests needs.
# Safe to run again: packages already present are skipped, and nothing is started.
set -euo pipefail

packages=(
    # build
    cmake g++ make pkg-config qtbase5-dev libqt5webkit5-dev libcurl4-openssl-dev libssl-dev zlib1g-dev
    # run time: image formats, SVG icons, fonts for the offscreen view
    libqt5svg5 qt5-image-formats-plugins fonts-dejavu-core xvfb xauth
    # test servers started by the test suite on 127.0.0.1
    python3 python3-pyftpdlib python3-openssl vsftpd openssh-server openssh-client libpam-modules
    # peers the tests and benchmarks compare with
    zip unzip p7zip-full libarchive-tools curl lftp rsync openssl procps
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
        exit 1
    fi
    # Server packages must not start daemons on other addresses while they install.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# sshd refuses to start without its privilege separation folder.
mkdir -p /run/sshd
chmod 755 /run/sshd
