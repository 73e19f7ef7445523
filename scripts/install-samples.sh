#!/bin/sh
# Puts the sample applications into a server's script directory without touching the user's work:
#
#   install-samples.sh SOURCE_DIR SCRIPT_DIR [OWNER[:GROUP]]
#
# A sample that is missing is copied. A sample that is still exactly as this script left it is
# replaced by a newer version. A file that was changed since, or that was there before under the
# same name, is kept and reported. The checksums of what was put in place live in
# SCRIPT_DIR/.samples.sha256 (hidden files are not part of the application catalogue).
# Safe to run any number of times. POSIX sh and coreutils only, so that a package can run it.
set -eu

[ $# -ge 2 ] || { echo "usage: $0 SOURCE_DIR SCRIPT_DIR [OWNER[:GROUP]]" >&2; exit 2; }
src=$1
dst=$2
owner=${3:-}
record=$dst/.samples.sha256

[ -d "$src" ] || { echo "install-samples: no directory $src" >&2; exit 1; }
mkdir -p "$dst"
[ -n "$owner" ] && chown "$owner" "$dst"
touch "$record"

recorded_sum() { awk -v f="$1" '$2 == f { s = $1 } END { print s }' "$record"; }

set_record() {
    tmp=$(mktemp "$dst/.samples.XXXXXX")
    awk -v f="$1" '$2 != f' "$record" >"$tmp"
    echo "$2 $1" >>"$tmp"
    mv -f "$tmp" "$record"
}

for path in "$src"/*; do
    [ -f "$path" ] || continue
    name=$(basename "$path")
    target=$dst/$name
    new=$(sha256sum <"$path" | cut -d' ' -f1)
    if [ -e "$target" ]; then
        have=$(sha256sum <"$target" | cut -d' ' -f1)
        [ "$have" = "$new" ] && { set_record "$name" "$new"; continue; }
        if [ "$have" != "$(recorded_sum "$name")" ]; then
            echo "install-samples: keeping $target (changed locally)"
            continue
        fi
        echo "install-samples: updating $target"
    else
        echo "install-samples: adding $target"
    fi
    tmp=$(mktemp "$dst/.sample.XXXXXX")
    cat "$path" >"$tmp"
    chmod 0755 "$tmp"
    [ -n "$owner" ] && chown "$owner" "$tmp"
    mv -f "$tmp" "$target"
    set_record "$name" "$new"
done
chmod 0644 "$record"
[ -n "$owner" ] && chown "$owner" "$record"
exit 0
