#!/usr/bin/env bash
# A private Firebird 3 or 4 server for tests and the demo:
#   fbserver.sh start|stop|status|installed [--version 3|4] [--port N] [--dir DIR]
# It runs Debian's server of that version (default 3 where installed, else 4), listens on
# 127.0.0.1:<port> only (default 3050), SYSDBA's password is "tallowfen" (SRP), and
# configuration, security database, lock and temporary files live in DIR (default
# /tmp/korvex-firebird-<port>), so several instances coexist and none touches the
# system-wide server. The server's PID is kept in DIR/firebird.pid.
# If a server of that version already answers on the port with these credentials, it is
# used as it is. `installed` only tells, by its exit status, whether that server is here.
set -euo pipefail

readonly SYSDBA_PASSWORD=tallowfen
readonly START_TIMEOUT_S=30
readonly TERM_GRACE_S=5

usage() {
    echo "usage: $0 start|stop|status|installed [--version 3|4] [--port N] [--dir DIR]" >&2
    exit 2
}

die() {
    echo "fbserver: $*" >&2
    exit 1
}

parse_args() {
    [[ $# -ge 1 ]] || usage
    action=$1
    shift
    port=3050
    dir=
    version=
    while [[ $# -gt 0 ]]; do
        case $1 in
        --version) version=${2:?--version needs a value}; shift 2 ;;
        --port) port=${2:?--port needs a value}; shift 2 ;;
        --dir) dir=${2:?--dir needs a value}; shift 2 ;;
        *) usage ;;
        esac
    done
    [[ $port =~ ^[0-9]+$ ]] || die "bad port: $port"
    if [[ -z $version ]]; then
        version=4
        server_bin_of 3 >/dev/null && version=3
    fi
    [[ $version == [34] ]] || die "bad version: $version (3 or 4)"
    dir=${dir:-/tmp/korvex-firebird-$port}
    dir=$(realpath -m -- "$dir")
    pid_file=$dir/firebird.pid
    security_db=$dir/security$version.fdb
}

# Debian 13 keeps each release's programs under /usr/lib/firebird/<release>/bin (its
# /usr/sbin/firebird is a wrapper that picks a release); Debian 12 has Firebird 3 only,
# in /usr/sbin.
server_bin_of() {
    local candidate
    for candidate in "/usr/lib/firebird/$1.0/bin/firebird" "/usr/sbin/firebird"; do
        if [[ -x $candidate && ! -L $candidate ]]; then
            [[ $candidate == /usr/sbin/* && $1 != 3 ]] && continue
            echo "$candidate"
            return
        fi
    done
    return 1
}

server_bin() {
    server_bin_of "$version" || die "Firebird $version is not installed (run scripts/setup.sh)"
}

# The same release's isql, so an embedded call runs that release's engine.
isql_bin() {
    local own=/usr/lib/firebird/$version.0/bin/isql-fb
    if [[ -x $own ]]; then echo "$own"; else echo isql-fb; fi
}

# Debian keeps intl/ and plugins/ under a multiarch folder.
firebird_root() {
    local root
    for root in /usr/lib/*/firebird/"$version.0"; do
        [[ -d $root/plugins ]] && { echo "$root"; return; }
    done
    die "Firebird $version is not installed (run scripts/setup.sh)"
}

# Debian 13's Firebird 3 ships no messages of its own; its programs run on the 4.0 client
# library, whose messages then serve.
messages_folder() {
    local msg
    for msg in "$(firebird_root)/firebird.msg" /usr/lib/*/firebird/*/firebird.msg; do
        [[ -f $msg ]] && { dirname "$msg"; return; }
    done
    die "no firebird.msg found for Firebird $version"
}

# What every engine process of this instance (server, embedded isql) reads. FIREBIRD_VERSION
# steers Debian 13's shared client library, which would otherwise follow its own release.
export_instance_env() {
    export FIREBIRD=$dir FIREBIRD_LOCK=$dir/lock FIREBIRD_TMP=$dir/tmp
    export FIREBIRD_VERSION=$version.0
    FIREBIRD_MSG=$(messages_folder)
    export FIREBIRD_MSG
}

log_file() {
    echo "/var/log/firebird/firebird$version.0.log"
}

write_config() {
    local root
    root=$(firebird_root)
    mkdir -p "$dir/lock" "$dir/tmp"
    ln -sfn "$root/plugins.conf" "$dir/plugins.conf"
    # Modules are checked by their real path: through a link, the character-set module
    # loads and then reports every character set outside the built-in ones as not
    # installed, and the 4.0 client library refuses the Firebird 3 engine ("Actual module
    # name does not match requested"). Real folders, hard-linked where they can be, serve.
    rm -rf "$dir/intl" "$dir/plugins"
    mkdir "$dir/intl"
    cp "$root/intl/libfbintl.so" "$dir/intl/"
    # Firebird 4 knows the module's character sets only from this list.
    [[ -e $root/intl/fbintl.conf ]] && cp -L "$root/intl/fbintl.conf" "$dir/intl/"
    cp -r --link "$root/plugins" "$dir/plugins" 2>/dev/null || cp -r "$root/plugins" "$dir/plugins"
    # Each release's own default: Firebird 4 asks clients for Srp256.
    local auth=Srp
    [[ $version == 4 ]] && auth=Srp256
    # Named, as Debian 13 runs Firebird 3 on the 4.0 client library, whose default list
    # names the 4.0 engine only.
    local engine=Engine12
    [[ $version == 4 ]] && engine=Engine13
    cat >"$dir/firebird.conf" <<EOF
# Private test instance: loopback only, own security database, SRP users.
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $security_db
AuthServer = $auth
UserManager = Srp
Providers = Remote, $engine, Loopback
UdfAccess = None
TempDirectories = $dir/tmp
EOF
    cat >"$dir/databases.conf" <<EOF
security.db = $security_db
{
	RemoteAccess = false
}
EOF
}

# Built with the embedded engine while no server of this instance runs. The marker is
# written only once SYSDBA exists, so an interrupted run is redone rather than trusted.
create_security_db() {
    local made=$security_db.ready
    [[ -f $made && -f $security_db ]] && return
    rm -f "$security_db" "$made"
    local isql
    isql=$(isql_bin)
    if ! (export_instance_env && ISC_USER=SYSDBA "$isql" -q -b) >"$dir/security-setup.log" 2>&1 <<EOF
create database '$security_db';
create or alter user SYSDBA password '$SYSDBA_PASSWORD' using plugin Srp;
commit;
EOF
    then
        die "creating the security database failed: $(cat "$dir/security-setup.log")"
    fi
    touch "$made"
}

# Attaching to a file that cannot exist tells, without side effects, whether a server on
# the port accepts our credentials: "accepted" (and runs our version), "other" (another
# version), "refused" (another password) or "none".
probe() {
    local out
    out=$(timeout 10 isql-fb -q -user SYSDBA -password "$SYSDBA_PASSWORD" \
        "127.0.0.1/$port:/nonexistent-korvex-probe/probe.fdb" </dev/null 2>&1) || true
    case $out in
    *"I/O error"* | *"No such file"*) ;;
    *"user name and password are not defined"*) echo refused; return ;;
    *) echo none; return ;;
    esac
    case $(running_version) in
    "$version".*) echo accepted ;;
    *) echo other ;;
    esac
}

# "3.0.11.33637" and the like, from the service manager of the server on the port.
running_version() {
    timeout 10 fbsvcmgr "127.0.0.1/$port:service_mgr" -user SYSDBA -password "$SYSDBA_PASSWORD" \
        -info_server_version </dev/null 2>/dev/null | sed -n 's/.*-V\([0-9.]*\).*/\1/p'
}

port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null
}

recorded_pid() {
    if [[ -f $pid_file ]]; then cat "$pid_file"; fi
}

# A zombie still answers kill -0 but is dead.
is_alive() {
    local pid=$1 state
    [[ -n $pid && -r /proc/$pid/stat ]] || return 1
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || return 1
    [[ $state != Z ]]
}

# A reused PID is not our server. Whichever version runs, stop and status find it.
is_our_server() {
    local exe v
    is_alive "$1" || return 1
    exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
    for v in 3 4; do
        [[ $exe == "$(server_bin_of "$v")" ]] && return 0
    done
    return 1
}

# The version the recorded server runs.
version_of() {
    local exe v
    exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
    for v in 3 4; do
        [[ $exe == "$(server_bin_of "$v")" ]] && { echo "$v"; return; }
    done
}

# Launched in its own session with no inherited descriptors, so the server neither holds a
# caller's pipe open (a CI log or ctest would wait for it) nor our start lock.
launch() {
    (
        cd "$dir"
        local fd
        for fd in "/proc/$BASHPID/fd/"*; do
            fd=${fd##*/}
            ((fd > 2)) && eval "exec $fd>&-"
        done
        export_instance_env
        exec setsid "$(server_bin)" </dev/null >>"$dir/firebird.out" 2>&1
    ) &
    echo $! >"$pid_file"
}

wait_until_ready() {
    local pid=$1 deadline=$((SECONDS + START_TIMEOUT_S))
    while ((SECONDS < deadline)); do
        # Until the launching subshell has reached its exec, the PID is still a shell's.
        is_alive "$pid" || die "server exited at start; see $dir/firebird.out and $(log_file)"
        if is_our_server "$pid" && port_open && [[ $(probe) == accepted ]]; then
            return
        fi
        sleep 0.1
    done
    die "server (PID $pid) did not accept connections on 127.0.0.1:$port within ${START_TIMEOUT_S}s"
}

start() {
    mkdir -p "$dir"
    exec 9>"$dir/start.lock"
    flock 9
    local pid
    pid=$(recorded_pid)
    if is_our_server "$pid"; then
        [[ $(version_of "$pid") == "$version" ]] ||
            die "Firebird $(version_of "$pid") runs in $dir (PID $pid); stop it first"
        wait_until_ready "$pid"
        echo "already running on 127.0.0.1:$port, PID $pid"
        return
    fi
    rm -f "$pid_file"
    case $(probe) in
    accepted)
        echo "a Firebird $version server already answers on 127.0.0.1:$port with SYSDBA/$SYSDBA_PASSWORD; using it"
        return ;;
    other) die "a Firebird $(running_version) server answers on 127.0.0.1:$port, not Firebird $version; stop it or use another --port" ;;
    refused) die "a server on 127.0.0.1:$port refuses SYSDBA/$SYSDBA_PASSWORD; stop it or use another --port" ;;
    esac
    port_open && die "127.0.0.1:$port is taken by something that is not a usable Firebird server"
    server_bin >/dev/null
    write_config
    create_security_db
    launch
    pid=$(recorded_pid)
    wait_until_ready "$pid"
    echo "started Firebird $version on 127.0.0.1:$port, PID $pid (folder $dir)"
}

# Waits up to $2 seconds for the process to end.
wait_gone() {
    local pid=$1 deadline=$((SECONDS + $2))
    while ((SECONDS < deadline)); do
        is_our_server "$pid" || return 0
        sleep 0.1
    done
    return 1
}

# SIGTERM is sometimes ignored for good, hence SIGKILL after a grace period.
stop() {
    local pid
    pid=$(recorded_pid)
    if ! is_our_server "$pid"; then
        rm -f "$pid_file"
        echo "not running (no server of ours on 127.0.0.1:$port)"
        return
    fi
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_gone "$pid" "$TERM_GRACE_S"; then
        kill -KILL "$pid" 2>/dev/null || true
        wait_gone "$pid" "$TERM_GRACE_S" || die "PID $pid survived SIGKILL"
    fi
    rm -f "$pid_file"
    echo "stopped PID $pid"
}

status() {
    local pid
    pid=$(recorded_pid)
    if is_our_server "$pid"; then
        echo "running on 127.0.0.1:$port, PID $pid, Firebird $(version_of "$pid") (folder $dir)"
    else
        case $(probe) in
        accepted) echo "running on 127.0.0.1:$port (a server not started by this script)" ;;
        other) echo "not usable: a Firebird $(running_version) server runs on 127.0.0.1:$port" ;;
        refused) echo "not usable: a server on 127.0.0.1:$port refuses SYSDBA/$SYSDBA_PASSWORD" ;;
        *) echo "not running on 127.0.0.1:$port" ;;
        esac
    fi
}

parse_args "$@"
case $action in
start) start ;;
stop) stop ;;
status) status ;;
installed) server_bin >/dev/null ;;
*) usage ;;
esac
