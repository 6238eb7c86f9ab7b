#!/usr/bin/env bash
# Creates, once, a demo database DIR/KORVEX.FDB (default DIR: <repo>/demo) on the local
# server (127.0.0.1:3050, started by fbserver.sh): SQL dialect 1, table REPORTS with one
# small sample layout per report identifier; and DIR/templates/<identifier>.fr3, a second
# version of each layout to try a replacement with.
set -euo pipefail

readonly SERVER=127.0.0.1/3050

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The identifiers of the window's layout commands: the second column of the list.
mapfile -t REPORT_IDS < <(awk -F'\t' '!/^#/ && NF == 2 {print $2}' "$repo/resources/ReportCommands.txt")
readonly REPORT_IDS
dir=$(realpath -m -- "${1:-$repo/demo}")
database=$dir/KORVEX.FDB

# A layout of the product's kind in miniature: XML text naming its identifier ($1) and
# version ($2).
sample_layout() {
    cat <<EOF
<?xml version="1.0" encoding="utf-8"?>
<ReportLayout Name="$1" Version="$2">
  <Page Name="Page1" Width="210" Height="297" Unit="mm">
    <Band Kind="Title" Height="20">
      <Text Left="10" Top="5" Width="190" Height="10" Font="DejaVu Sans 12">$1</Text>
    </Band>
    <Band Kind="Detail" Height="8">
      <Text Left="10" Top="1" Width="190" Height="6">Demo layout $1, version $2</Text>
    </Band>
  </Page>
</ReportLayout>
EOF
}

# isql keeps the line breaks of a quoted literal, so the layout goes in as written.
creation_script() {
    local target=$1 id
    echo "set sql dialect 1;"
    echo "create database '$SERVER:$target' user 'SYSDBA' password 'tallowfen';"
    echo "create table REPORTS (ID varchar(20) not null primary key, DESCR blob sub_type 0);"
    for id in "${REPORT_IDS[@]}"; do
        echo "insert into REPORTS (ID, DESCR) values ('$id', '$(sample_layout "$id" 1)');"
    done
    echo "commit;"
}

if [[ -e $database ]]; then
    echo "demo: $database already exists"
    exit 0
fi

# Built under another name and renamed when complete, so a failed run leaves no
# half-filled database that a later run would take as done.
mkdir -p "$dir"
draft=$dir/KORVEX.FDB.part
rm -f "$draft"
if ! creation_script "$draft" | isql-fb -q -b >"$dir/demo-setup.log" 2>&1; then
    cat "$dir/demo-setup.log" >&2
    rm -f "$draft"
    echo "demo: creating $database failed (is the server running? bash scripts/fbserver.sh start)" >&2
    exit 1
fi
mkdir -p "$dir/templates"
for id in "${REPORT_IDS[@]}"; do
    sample_layout "$id" 2 >"$dir/templates/$id.fr3"
done
mv "$draft" "$database"
rm -f "$dir/demo-setup.log"
echo "demo: created $database"
