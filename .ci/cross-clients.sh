#!/usr/bin/env bash
# A replacement made through one client library is read back byte for byte through the other,
# on both engines: korvex-reports built here (Debian 12, client 3.0) and in the Debian 13
# chroot (client 4.0), against this machine's Firebird 3 (127.0.0.1:3050) and the chroot's
# Firebird 4 (127.0.0.1:PORT, reachable as the chroot shares this machine's network).
#   cross-clients.sh CHROOT REPO_IN_CHROOT PORT
set -euo pipefail

readonly chroot_dir=$1 inside=$2 fb4_port=$3
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly repo
readonly PASSWORD=tallowfen
# Seen as $chroot_dir$work from here and as $work inside: both clients run there and name their
# files relative to it.
readonly work=/tmp/korvex-cross-clients

fail() {
    echo "cross-clients: $*" >&2
    exit 1
}

host_tool() {
    (cd "$chroot_dir$work" && "$repo/build/bin/korvex-reports" "$@")
}

chroot_tool() {
    chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        bash -c 'cd "$0" && exec "$@"' "$work" "$inside/build/bin/korvex-reports" "$@"
}

# A database with one layout row on the server behind the target, made by the host's isql.
create_database() {
    isql-fb -q -b -user SYSDBA -password "$PASSWORD" >/dev/null <<EOF
create database '$1' user 'SYSDBA' password '$PASSWORD';
create table REPORTS (ID varchar(20) not null primary key, DESCR blob sub_type 0);
insert into REPORTS (ID, DESCR) values ('CROSS', 'old');
commit;
EOF
}

# $1 writes the content, $2 reads it back; $3 names the pair and the server for a failure.
replace_then_export() {
    local writer=$1 reader=$2 what=$3 target=$4 content=$5
    local login=(-d "$target" --user SYSDBA --password-file password)
    "$writer" replace CROSS "$content" "${login[@]}" --backup-dir backups >/dev/null ||
        fail "$what: the replacement failed"
    rm -f "$chroot_dir$work/read-back"
    "$reader" export CROSS read-back "${login[@]}" >/dev/null ||
        fail "$what: the export failed"
    cmp "$chroot_dir$work/$content" "$chroot_dir$work/read-back" ||
        fail "$what: the layout read back differs from the one stored"
    echo "cross-clients: $what: $(stat -c %s "$chroot_dir$work/$content") bytes read back exactly"
}

# Both directions on one server.
check_server() {
    local server=$1 target=$2
    create_database "$target"
    replace_then_export host_tool chroot_tool "client 3.0 writes, client 4.0 reads, $server" \
        "$target" a.bin
    replace_then_export chroot_tool host_tool "client 4.0 writes, client 3.0 reads, $server" \
        "$target" b.bin
}

rm -rf "$chroot_dir$work"
mkdir -p "$chroot_dir$work/backups"
(umask 077 && echo "$PASSWORD" >"$chroot_dir$work/password")
# Every byte value, and more than one segment of each client's.
for name in a.bin b.bin; do
    head -c 300000 /dev/urandom >"$chroot_dir$work/$name"
done

bash "$repo/scripts/fbserver.sh" start --version 3 >/dev/null
readonly fb3_database=/tmp/korvex-cross-clients-fb3.fdb
rm -f "$fb3_database"
trap 'rm -f "$fb3_database"' EXIT
check_server "Firebird 3 on Debian 12" "127.0.0.1/3050:$fb3_database"
check_server "Firebird 4 on Debian 13" "127.0.0.1/$fb4_port:$work/fb4.fdb"
