#!/usr/bin/env bash
# Installs every build, test and run dependency from Debian packages. Quick when nothing
# is missing: apt is only touched for packages dpkg does not report as installed.
set -euo pipefail

readonly PACKAGES=(
    g++ cmake ninja-build libgtest-dev
    clang libclang-rt-14-dev
    qt6-base-dev fonts-dejavu-core
    firebird3.0-server firebird3.0-server-core firebird3.0-utils firebird-dev libfbclient2
    xvfb xauth imagemagick
    procps util-linux
    dpkg-dev lintian desktop-file-utils appstream xdg-user-dirs man-db bash-completion
    ansible-core
)

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
