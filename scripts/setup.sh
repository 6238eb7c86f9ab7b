#!/usr/bin/env bash
# Installs every build, test and run dependency from Debian packages, on Debian 12 or 13.
# Quick when nothing is missing: apt is only touched for packages dpkg does not report as
# installed.
set -euo pipefail

# The same names on every supported release: the generic ones follow each release's default
# compiler and client library.
readonly COMMON_PACKAGES=(
    g++ cmake ninja-build libgtest-dev
    clang libclang-rt-dev
    qt6-base-dev libssl-dev fonts-dejavu-core
    firebird-dev libfbclient2
    xvfb xauth imagemagick
    procps util-linux
    dpkg-dev lintian desktop-file-utils appstream xdg-user-dirs man-db bash-completion
    ansible-core
)

# The Firebird servers each release ships; the tests run against every one.
server_versions() {
    local release
    release=$(. /etc/os-release && echo "${ID:-}-${VERSION_ID:-}")
    case $release in
    debian-12) echo 3.0 ;;
    debian-13) echo 3.0 4.0 ;;
    *) echo "setup: $release is not supported (Debian 12 and 13 are)" >&2; return 1 ;;
    esac
}

versions=$(server_versions)
PACKAGES=("${COMMON_PACKAGES[@]}")
for version in $versions; do
    PACKAGES+=("firebird$version-server" "firebird$version-server-core" "firebird$version-utils")
done
readonly PACKAGES

missing_packages() {
    local pkg
    for pkg in "${PACKAGES[@]}"; do
        [[ $(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null) == installed ]] ||
            echo "$pkg"
    done
}

as_root() {
    if ((EUID == 0)); then
        "$@"
    else
        sudo "$@"
    fi
}

mapfile -t missing < <(missing_packages)
if ((${#missing[@]} == 0)); then
    echo "setup: all packages present"
    exit 0
fi

# Where nothing forbids service starts, the server package would start a system-wide
# server on port 3050 with a random SYSDBA password, taking the port the private test
# server needs. A temporary policy-rc.d denies that for the length of the install.
readonly POLICY=/usr/sbin/policy-rc.d
if [[ ! -e $POLICY ]]; then
    trap 'as_root rm -f "$POLICY"' EXIT
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$POLICY" >/dev/null
    as_root chmod 755 "$POLICY"
fi

echo "setup: installing ${missing[*]}"
apt_options=(-o DPkg::Lock::Timeout=600 -y -q)
as_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" update
as_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" \
    install --no-install-recommends "${missing[@]}" </dev/null
