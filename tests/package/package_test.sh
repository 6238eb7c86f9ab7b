#!/usr/bin/env bash
# Checks of the Debian package, run by CTest:
#   package_test.sh build CPACK_CONFIG OUT          builds the package into OUT (emptied first)
#   package_test.sh contents OUT EXPECTED EXE...    its files, control fields and metadata
#   package_test.sh lintian OUT                     no lintian error or unexpected warning
#   package_test.sh install OUT PROBE DEMO EXE...   installs it, starts the installed window
#                                                   from its desktop entry, removes and purges
#                                                   it, and checks the machine is as before
# EXE... are the executables this build has; PROBE is the box probe preloaded into the window
# to report what it shows; DEMO is the script creating a demo database.
set -euo pipefail

readonly PACKAGE=korvex-report-manager
readonly VERSION=1.23.9.4
readonly APP_ID=bg.korvex.ReportManager
readonly DESKTOP_ENTRY=usr/share/applications/$APP_ID.desktop
readonly METAINFO=usr/share/metainfo/$APP_ID.metainfo.xml
readonly SKIPPED=77

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

the_deb() {
    local debs=("$1"/*.deb)
    [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no single package in $1 (did package.build pass?)"
    echo "${debs[0]}"
}

scratch_dir() {
    scratch=$(mktemp -d)
    # apt reads a local package as the user _apt; the folder must let it in.
    chmod 755 "$scratch"
    trap 'rm -rf "$scratch"' EXIT
}

# The desktop entry, its launcher and icon, and the AppStream metainfo under ROOT.
validate_metadata() {
    local root=$1 launcher icon
    desktop-file-validate "$root/$DESKTOP_ENTRY" || fail "desktop-file-validate rejects $DESKTOP_ENTRY"
    appstreamcli validate --no-net "$root/$METAINFO" || fail "appstreamcli rejects $METAINFO"
    launcher=$(sed -n 's/^Exec=//p' "$root/$DESKTOP_ENTRY")
    [[ -x $root$launcher ]] || fail "the desktop entry runs $launcher, which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$root/$DESKTOP_ENTRY")
    [[ -f $root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]] ||
        fail "the desktop entry's icon $icon is not in the hicolor theme"
}

build() {
    local config=$1 out=$2
    rm -rf "$out"
    cpack --config "$config" -B "$out"
    the_deb "$out" >/dev/null
}

# The expected list names each executable's files once, with {executable} for its name.
expected_files() {
    local entries executable
    entries=$(grep -v '^#' "$1")
    shift
    grep -v '{executable}' <<<"$entries"
    for executable in "$@"; do
        grep '{executable}' <<<"$entries" | sed "s/{executable}/$executable/g"
    done
}

depends_on() {
    local depends=$1 package=$2
    [[ ",$depends," =~ ,\ ?$package(\ \([^\)]*\))?, ]] || fail "Depends lacks $package: $depends"
}

contents() {
    local deb list=$2 depends package
    deb=$(the_deb "$1")
    shift 2
    diff -u --label expected <(expected_files "$list" "$@" | sort) \
        --label "dpkg-deb -c $(basename "$deb")" <(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort) ||
        fail "the package's files are not the expected ones"

    [[ $(dpkg-deb -f "$deb" Version) == "$VERSION-1" ]] || fail "version $(dpkg-deb -f "$deb" Version)"
    [[ $(dpkg-deb -f "$deb" Section) == database ]] || fail "section $(dpkg-deb -f "$deb" Section)"
    [[ $(dpkg-deb -f "$deb" Maintainer) =~ ^Korvex\ Report\ Manager\ maintainers\ \<[^@\ ]+@[^@\ ]+\>$ ]] ||
        fail "maintainer $(dpkg-deb -f "$deb" Maintainer)"
    # The client library and the platform plugins are loaded at run time, out of
    # dpkg-shlibdeps' sight; the Qt libraries and libcrypto's come from it.
    depends=$(dpkg-deb -f "$deb" Depends)
    # Debian 13 names the Qt and OpenSSL libraries with a t64 suffix.
    for package in libfbclient2 qt6-qpa-plugins "libqt6core6(t64)?" "libqt6gui6(t64)?" "libqt6widgets6(t64)?" "libssl3(t64)?"; do
        depends_on "$depends" "$package"
    done

    scratch_dir
    dpkg-deb -x "$deb" "$scratch"
    validate_metadata "$scratch"
    grep -q "No licence has been chosen" "$scratch/usr/share/doc/$PACKAGE/copyright" ||
        fail "the copyright file does not say that no licence has been chosen"
    [[ $(dpkg-parsechangelog -l "$scratch/usr/share/doc/$PACKAGE/changelog.Debian.gz" -S Version) == "$VERSION-1" ]] ||
        fail "the changelog's version is not $VERSION-1"
}

# Kept: the package is not meant for Debian's archive, so there is no ITP bug to close.
lintian_check() {
    local deb
    deb=$(the_deb "$1")
    lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "$deb" ||
        fail "lintian reports an error or a warning"
}

# Everything dpkg knows as installed, with versions: what must be the same after the test.
installed_packages() {
    dpkg-query -W -f='${db:Status-Status} ${binary:Package} ${Version}\n' | grep -v '^not-installed ' | sort
}

# Which of the package's paths exist now.
existing_paths() {
    local path
    while read -r path; do
        if [[ -e $path ]]; then echo "$path"; fi
    done <<<"$package_paths"
}

refuse_to_replace() {
    local status path
    status=$(dpkg-query -W -f='${db:Status-Status}' "$PACKAGE" 2>/dev/null || true)
    if [[ -n $status && $status != not-installed ]]; then
        fail "$PACKAGE is already on this machine ($status); this test installs and removes it, so" \
            "it leaves it alone: remove it first (apt-get purge $PACKAGE)"
    fi
    while read -r path; do
        [[ -d $path || ! -e $path ]] || fail "$path exists already; installing the package would replace it"
    done <<<"$package_paths"
}

# Installing must bring nothing but the package, or removing it would not restore the machine.
refuse_extra_packages() {
    local deb=$1 extra
    extra=$(apt-get install -s --no-install-recommends "$deb" |
        awk -v own="$PACKAGE" '/^Inst / && $2 != own {printf " %s", $2}')
    [[ -z $extra ]] || fail "installing would also bring$extra; install them first (scripts/setup.sh)"
}

apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q "$@" </dev/null
}

purge_if_installed() {
    if dpkg-query -W -f='${db:Status-Status}' "$PACKAGE" 2>/dev/null | grep -qv '^not-installed$'; then
        apt_get purge "$PACKAGE" >/dev/null || echo "cleanup: purging $PACKAGE failed" >&2
    fi
}

check_version_output() {
    local executable=$1 out
    # Asked on a machine without a display, as over SSH.
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$executable" --version) ||
        fail "installed $executable --version failed"
    [[ $out =~ (^|[[:space:]])$VERSION$ ]] || fail "installed $executable --version printed: $out"
}

# As an interactive shell finds it on the first Tab after korvex-reports.
check_completion_loads() {
    # The loader answers 124, "complete again", once it has loaded one.
    bash -c 'source /usr/share/bash-completion/bash_completion
        _completion_loader korvex-reports; complete -p korvex-reports' | grep -q ' _korvex_reports ' ||
        fail "bash-completion does not load the installed completion of korvex-reports"
}

# Starts the installed window as the desktop menu does, with a documents folder holding a demo
# database; the probe reports what the window shows, then closes it.
start_from_desktop_entry() {
    local probe=$1 demo=$2 home=$scratch/home launcher seen
    mkdir -p "$home/.config" "$home/Documents"
    # shellcheck disable=SC2016 # $HOME is for xdg-user-dir to expand
    echo 'XDG_DOCUMENTS_DIR="$HOME/Documents"' >"$home/.config/user-dirs.dirs"
    bash "$demo" "$home/Documents" >/dev/null
    launcher=$(sed -n 's/^Exec=//p' "/$DESKTOP_ENTRY")
    seen=$(cd / && env -u XDG_CONFIG_HOME HOME="$home" QT_QPA_PLATFORM=offscreen \
        LD_PRELOAD="$probe" timeout 120 "$launcher") || fail "the window did not end by itself with 0: $seen"
    echo "$seen"
    ! grep -q '"box":' <<<"$seen" || fail "the window showed a message box"
    grep -q '"window":"Korvex - Report Manager - '"$VERSION"'"' <<<"$seen" || fail "no main window shown"
    grep -qF '"label":"Database: 127.0.0.1:'"$home/Documents/KORVEX.FDB"'"' <<<"$seen" ||
        fail "the window did not open KORVEX.FDB in the documents folder"
    grep -q '"N1":true' <<<"$seen" || fail "the report list did not open (menu Данни greyed)"
}

install_check() {
    local out=$1 probe=$2 demo=$3 deb before_packages before_paths executable path
    shift 3
    if ((EUID != 0)); then
        echo "SKIPPED: installing the package into /usr needs root (CI runs as root)"
        exit $SKIPPED
    fi
    deb=$(the_deb "$out")
    # The lock CTest holds covers one test run; builds in other folders of this machine run the
    # same test against the same /usr.
    exec {machine_lock}>/run/lock/korvex-package-install.lock
    flock "$machine_lock"
    package_paths=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | sed 's|/$||' | grep .)
    refuse_to_replace
    scratch_dir
    cp "$deb" "$scratch/"
    deb=$scratch/$(basename "$deb")
    refuse_extra_packages "$deb"
    before_packages=$(installed_packages)
    before_paths=$(existing_paths)
    trap 'purge_if_installed; rm -rf "$scratch"' EXIT

    apt_get install --no-install-recommends "$deb"
    validate_metadata ""
    for executable in "$@"; do
        [[ $(man -w "$executable") == /usr/share/man/man1/$executable.1.gz ]] ||
            fail "man does not find $executable(1)"
        check_version_output "$executable"
        if [[ $executable == korvex-reports ]]; then check_completion_loads; fi
    done
    start_from_desktop_entry "$probe" "$demo"

    apt_get remove "$PACKAGE"
    while read -r path; do
        [[ -d $path || ! -e $path ]] || fail "$path is left after removing the package"
    done <<<"$package_paths"
    # A package without configuration files is forgotten on removal; purge whatever is left.
    purge_if_installed
    diff -u --label "installed before" <(echo "$before_packages") \
        --label "installed after purge" <(installed_packages) || fail "the installed packages changed"
    diff -u --label "before" <(echo "$before_paths") \
        --label "after purge" <(existing_paths) || fail "the package's folders were not all removed"
}

check=$1
shift
case $check in
build) build "$@" ;;
contents) contents "$@" ;;
lintian) lintian_check "$@" ;;
install) install_check "$@" ;;
*) fail "unknown check $check" ;;
esac
