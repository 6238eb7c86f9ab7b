#!/usr/bin/env bash
# A private Firebird 3 server for tests and the demo:
#   fbserver.sh start|stop|status [--port N] [--dir DIR]
# It listens on 127.0.0.1:<port> only (default 3050), SYSDBA's password is "tallowfen"
# (SRP), and configuration, security database, lock and temporary files live in DIR
# (default /tmp/korvex-firebird-<port>), so several instances coexist and none touches
# the system-wide server. The server's PID is kept in DIR/firebird.pid.
# If a server already answers on the port with these credentials, it is used as it is.
set -euo pipefail

readonly SYSDBA_PASSWORD=tallowfen
readonly SERVER_BIN=/usr/sbin/firebird
readonly START_TIMEOUT_S=30
readonly TERM_GRACE_S=5

usage() {
    echo "usage: $0 start|stop|status [--port N] [--dir DIR]" >&2
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
    while [[ $# -gt 0 ]]; do
        case $1 in
        --port) port=${2:?--port needs a value}; shift 2 ;;
        --dir) dir=${2:?--dir needs a value}; shift 2 ;;
        *) usage ;;
        esac
    done
    [[ $port =~ ^[0-9]+$ ]] || die "bad port: $port"
    dir=${dir:-/tmp/korvex-firebird-$port}
    dir=$(realpath -m -- "$dir")
    pid_file=$dir/firebird.pid
    security_db=$dir/security3.fdb
}

# Debian keeps firebird.msg, intl/ and plugins/ under a multiarch folder.
firebird_root() {
    local msg
    for msg in /usr/lib/*/firebird/3.0/firebird.msg; do
        [[ -f $msg ]] && { dirname "$msg"; return; }
    done
    die "Firebird 3 is not installed (run scripts/setup.sh)"
}

# What every engine process of this instance (server, embedded isql) reads.
export_instance_env() {
    export FIREBIRD=$dir FIREBIRD_LOCK=$dir/lock FIREBIRD_TMP=$dir/tmp
    FIREBIRD_MSG=$(firebird_root)
    export FIREBIRD_MSG
}

write_config() {
    local root
    root=$(firebird_root)
    mkdir -p "$dir/lock" "$dir/tmp"
    ln -sfn "$root/plugins" "$dir/plugins"
    ln -sfn "$root/plugins.conf" "$dir/plugins.conf"
    # The engine finds the character-set module by its real path: through a link it
    # loads it, then reports every character set outside the built-in ones as not
    # installed. A copy keeps WIN1251 and the like usable.
    rm -rf "$dir/intl"
    mkdir "$dir/intl"
    cp "$root/intl/libfbintl.so" "$dir/intl/"
    cat >"$dir/firebird.conf" <<EOF
# Private test instance: loopback only, own security database, SRP users.
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $security_db
AuthServer = Srp
UserManager = Srp
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
    if ! (export_instance_env && ISC_USER=SYSDBA isql-fb -q -b) >"$dir/security-setup.log" 2>&1 <<EOF
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
# the port accepts our credentials: "accepted", "refused" (another password) or "none".
probe() {
    local out
    out=$(timeout 10 isql-fb -q -user SYSDBA -password "$SYSDBA_PASSWORD" \
        "127.0.0.1/$port:/nonexistent-korvex-probe/probe.fdb" </dev/null 2>&1) || true
    case $out in
    *"I/O error"* | *"No such file"*) echo accepted ;;
    *"user name and password are not defined"*) echo refused ;;
    *) echo none ;;
    esac
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

# A reused PID is not our server.
is_our_server() {
    is_alive "$1" && [[ $(readlink "/proc/$1/exe" 2>/dev/null) == "$SERVER_BIN" ]]
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
        exec setsid "$SERVER_BIN" </dev/null >>"$dir/firebird.out" 2>&1
    ) &
    echo $! >"$pid_file"
}

wait_until_ready() {
    local pid=$1 deadline=$((SECONDS + START_TIMEOUT_S))
    while ((SECONDS < deadline)); do
        # Until the launching subshell has reached its exec, the PID is still a shell's.
        is_alive "$pid" || die "server exited at start; see $dir/firebird.out and /var/log/firebird/firebird3.0.log"
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
        wait_until_ready "$pid"
        echo "already running on 127.0.0.1:$port, PID $pid"
        return
    fi
    rm -f "$pid_file"
    case $(probe) in
    accepted)
        echo "a server already answers on 127.0.0.1:$port with SYSDBA/$SYSDBA_PASSWORD; using it"
        return ;;
    refused) die "a server on 127.0.0.1:$port refuses SYSDBA/$SYSDBA_PASSWORD; stop it or use another --port" ;;
    esac
    port_open && die "127.0.0.1:$port is taken by something that is not a usable Firebird server"
    write_config
    create_security_db
    launch
    pid=$(recorded_pid)
    wait_until_ready "$pid"
    echo "started on 127.0.0.1:$port, PID $pid (folder $dir)"
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
        echo "running on 127.0.0.1:$port, PID $pid (folder $dir)"
    else
        case $(probe) in
        accepted) echo "running on 127.0.0.1:$port (a server not started by this script)" ;;
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
*) usage ;;
esac
