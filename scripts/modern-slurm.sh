#!/usr/bin/env bash
# Runs newer Slurm releases beside the host's own (Debian 12: 22.05), each a single-node cluster in
# a Debian root file system of its own, so that the server can be tested against them. Needs root.
#
#   scripts/modern-slurm.sh start  [24.11|26.05|all]   makes the root on first use (debootstrap,
#                                   then slurmctld, slurmd, slurm-client and munge inside), writes
#                                   the configuration, mounts, starts munged, slurmctld and slurmd
#                                   and waits until the node takes jobs. Does nothing for a cluster
#                                   already up with the same configuration.
#   scripts/modern-slurm.sh stop   [VERSION|all]   stops that cluster's daemons (only processes whose
#                                   root is that cluster's root) and unmounts
#   scripts/modern-slurm.sh status [VERSION|all]   daemons, controller ping and sinfo; exit 0 only
#                                   when every named cluster is up
#   scripts/modern-slurm.sh bindir VERSION          prints the directory of that cluster's sbatch,
#                                   squeue, scancel, scontrol, sinfo and sdiag; put it first on PATH
#
#   24.11 comes from Debian 13 (trixie), 26.05 from Debian unstable (sid).
#
# Environment:
#   HXB_SLURM_HOME    where the roots live (default /var/lib/hxbserver-slurm): <HOME>/<VERSION>/root
#                     (about 430 MB each) and <HOME>/<VERSION>/bin (the commands)
#   HXB_DEBIAN_MIRROR Debian mirror (default http://deb.debian.org/debian)
#   SLURM_WAIT_S      seconds to wait for a node to become usable (default 60)
#   HXB_SLURM_BIND    more host directories, separated by ':', to bind at the same path inside
#                     the roots (e.g. a server's data directory outside /tmp)
#
# Jobs run inside the root; the host's /tmp is bound at the root's /tmp, so a job directory, its
# script and its output files must live under /tmp or a directory of HXB_SLURM_BIND (the commands
# keep the working directory, which therefore must be there too for sbatch).
set -euo pipefail
# shellcheck source=scripts/slurm-policy.sh
. "$(dirname "${BASH_SOURCE[0]}")/slurm-policy.sh"

HOME_DIR=${HXB_SLURM_HOME:-/var/lib/hxbserver-slurm}
MIRROR=${HXB_DEBIAN_MIRROR:-http://deb.debian.org/debian}
WAIT_S=${SLURM_WAIT_S:-60}
VERSIONS=(24.11 26.05)
PACKAGES=(slurmctld slurmd slurm-client munge)
COMMANDS=(sbatch squeue scancel scontrol sinfo sdiag)
# Host directories bound at the same path inside every root.
BINDS=(/tmp)
IFS=: read -r -a EXTRA_BINDS <<<"${HXB_SLURM_BIND:-}"
for d in "${EXTRA_BINDS[@]}"; do
    [ -n "$d" ] || continue
    case "$d" in /*) ;; *) echo "modern-slurm: error: HXB_SLURM_BIND: '$d' is not absolute" >&2; exit 1 ;; esac
    [ -d "$d" ] || { echo "modern-slurm: error: HXB_SLURM_BIND: no directory $d" >&2; exit 1; }
    BINDS+=("$(readlink -f "$d")")
done

log() { printf 'modern-slurm: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

require_root() { [ "$(id -u)" -eq 0 ] || die "must run as root"; }

case "$WAIT_S" in '' | *[!0-9]*) die "SLURM_WAIT_S must be a number of seconds" ;; esac

# --- one version --------------------------------------------------------------------------------

# Sets the variables that describe VERSION.
select_version() {
    V=$1
    case "$V" in
        24.11) SUITE=trixie CTLD_PORT=6917 SLURMD_PORT=6918 CLUSTER=modern2411 ;;
        26.05) SUITE=sid CTLD_PORT=6927 SLURMD_PORT=6928 CLUSTER=modern2605 ;;
        *) die "unknown version '$V' (known: ${VERSIONS[*]})" ;;
    esac
    DIR=$HOME_DIR/$V
    ROOT=$DIR/root
    BIN=$DIR/bin
    READY=$DIR/.root-ready
    APT_LOG=$DIR/install.log
}

in_root() { chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

# --- root file system ---------------------------------------------------------------------------

host_apt_install() {
    command -v "$1" >/dev/null && return 0
    log "installing $2 on the host"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=900 -y -q --no-install-recommends install "$2" >/dev/null 2>&1 \
        || { apt-get -o DPkg::Lock::Timeout=900 -q update >/dev/null 2>&1 \
            && apt-get -o DPkg::Lock::Timeout=900 -y -q --no-install-recommends install "$2" \
                >/dev/null 2>&1; } || die "cannot install $2"
}

make_root() {
    [ -f "$READY" ] && return 0
    host_apt_install debootstrap debootstrap
    mkdir -p "$DIR"
    unmount_all
    if [ -e "$ROOT" ]; then
        log "$V: removing the unfinished root $ROOT"
        rm -rf --one-file-system "$ROOT"
    fi
    local t0=$SECONDS
    log "$V: debootstrap $SUITE into $ROOT (a few minutes; log: $APT_LOG)"
    : >"$APT_LOG"
    debootstrap --variant=minbase "$SUITE" "$ROOT" "$MIRROR" >>"$APT_LOG" 2>&1 \
        || die "$V: debootstrap failed, see $APT_LOG"
    log "$V: debootstrap took $((SECONDS - t0)) s"
    # sid's index may be past its Valid-Until date on the mirror.
    echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/99hxb-no-valid-until"
    # Packages must not start their services: the daemons are started by this script.
    printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
    chmod 0755 "$ROOT/usr/sbin/policy-rc.d"
    cp -f /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
    mount_all
    t0=$SECONDS
    log "$V: installing ${PACKAGES[*]} inside"
    {
        in_root apt-get -q update \
            && in_root env DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
                install "${PACKAGES[@]}" \
            && in_root apt-get clean
    } >>"$APT_LOG" 2>&1 || die "$V: installing the packages failed, see $APT_LOG"
    log "$V: packages took $((SECONDS - t0)) s"
    # Debian unstable moves on: a root that got another release is not this version's cluster.
    local got
    got=$(in_root slurmctld -V 2>/dev/null | awk '{ print $2 }')
    case "$got" in
        "$V".*) ;;
        *) die "$V: $SUITE installed Slurm '${got:-nothing}', not $V; remove $DIR and adapt the suite" ;;
    esac
    touch "$READY"
}

# --- mounts -------------------------------------------------------------------------------------

is_mounted() { mountpoint -q "$1" 2>/dev/null; }

mount_all() {
    local d
    is_mounted "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
    is_mounted "$ROOT/sys" || mount --bind /sys "$ROOT/sys"
    is_mounted "$ROOT/dev" || mount --bind /dev "$ROOT/dev"
    is_mounted "$ROOT/dev/pts" || mount --bind /dev/pts "$ROOT/dev/pts"
    for d in "${BINDS[@]}"; do
        mkdir -p "$ROOT$d"
        is_mounted "$ROOT$d" || mount --bind "$d" "$ROOT$d"
    done
}

# Everything mounted below the root, the deepest first (also binds of an earlier HXB_SLURM_BIND).
unmount_all() {
    local m
    [ -d "$ROOT" ] || return 0
    while IFS= read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m"
    done < <(awk -v r="$(readlink -f "$ROOT")/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo \
        | sort -r)
}

# --- configuration ------------------------------------------------------------------------------

# The host's users and groups inside the root, so that the controller knows who submits.
sync_accounts() {
    local file name line
    for file in passwd group; do
        while IFS= read -r line; do
            name=${line%%:*}
            grep -q "^${name}:" "$ROOT/etc/$file" || echo "$line" >>"$ROOT/etc/$file"
        done < <(awk -F: '$3 >= 1000 && $3 < 65534' "/etc/$file")
    done
}

node_line() {
    local line
    line=$(in_root slurmd -C 2>/dev/null | grep '^NodeName=' | head -n 1)
    [ -n "$line" ] || die "$V: slurmd -C printed no NodeName line"
    echo "$line NodeAddr=127.0.0.1 State=UNKNOWN"
}

render_conf() {
    cat <<EOF
# Written by scripts/modern-slurm.sh: Slurm $V in $ROOT, beside the host's own cluster.
ClusterName=${CLUSTER}
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=${CTLD_PORT}
SlurmdPort=${SLURMD_PORT}
AuthType=auth/munge
CredType=cred/munge
StateSaveLocation=/var/spool/slurmctld
SlurmdSpoolDir=/var/spool/slurmd
SlurmctldPidFile=/run/slurm/slurmctld.pid
SlurmdPidFile=/run/slurm/slurmd.pid
SlurmctldLogFile=/var/log/slurm/slurmctld.log
SlurmdLogFile=/var/log/slurm/slurmd.log
EOF
    render_policy "$(node_line)"
}

# Writes slurm.conf and cgroup.conf; succeeds when slurm.conf changed.
write_conf() {
    local conf=$ROOT/etc/slurm/slurm.conf tmp
    mkdir -p "$ROOT/etc/slurm"
    # The /sys bind is not recursive: without this slurmd cannot set up its cgroup plugin.
    echo 'CgroupPlugin=disabled' >"$ROOT/etc/slurm/cgroup.conf"
    tmp=$(mktemp)
    render_conf >"$tmp"
    if [ -f "$conf" ] && cmp -s "$tmp" "$conf"; then
        rm -f "$tmp"
        return 1
    fi
    install -m 0644 "$tmp" "$conf"
    rm -f "$tmp"
    log "$V: wrote $conf"
    return 0
}

# The commands the server and the tests call: the host's working directory and environment are
# kept (sbatch hands the environment to the job; JOB_ARGS travels that way).
write_wrappers() {
    local cmd f
    mkdir -p "$BIN"
    for cmd in "${COMMANDS[@]}"; do
        f=$BIN/$cmd
        cat >"$f.new" <<EOF
#!/bin/sh
# Slurm $V's $cmd, run inside $ROOT (written by scripts/modern-slurm.sh).
dir=\$(pwd -P 2>/dev/null || echo /)
[ -d "$ROOT\$dir" ] || dir=/
exec chroot "$ROOT" /usr/bin/env -C "\$dir" /usr/bin/$cmd "\$@"
EOF
        chmod 0755 "$f.new"
        mv -f "$f.new" "$f"
    done
}

# --- processes ----------------------------------------------------------------------------------

process_alive() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Prints the pid from a pid file inside the root when that process is alive, is COMM and runs in
# this root: the host's daemons and the other version's are never taken for ours.
daemon_pid() {
    local pidfile=$ROOT$1 comm=$2 pid
    [ -s "$pidfile" ] || return 1
    pid=$(tr -dc '0-9' <"$pidfile")
    [ -n "$pid" ] && process_alive "$pid" || return 1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] || return 1
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$(readlink -f "$ROOT")" ] || return 1
    echo "$pid"
}

stop_daemon() {
    local pidfile=$1 comm=$2 pid
    if pid=$(daemon_pid "$pidfile" "$comm"); then
        log "$V: stopping $comm (pid $pid)"
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            process_alive "$pid" || break
            sleep 0.1
        done
        if process_alive "$pid"; then
            log "$V: $comm still running after 10 s, killing it"
            kill -KILL "$pid" 2>/dev/null || true
            sleep 0.2
        fi
    fi
    rm -f "$ROOT$pidfile"
}

munge_works() { in_root sh -c 'munge -n | unmunge' >/dev/null 2>&1; }

start_munge() {
    local key=$ROOT/etc/munge/munge.key
    if [ ! -s "$key" ]; then
        log "$V: creating the munge key"
        in_root mungekey --create --keyfile=/etc/munge/munge.key --force
    fi
    in_root chown -R munge:munge /etc/munge
    chmod 0700 "$ROOT/etc/munge"
    chmod 0400 "$key"
    daemon_pid /run/munge/munged.pid munged >/dev/null && munge_works && return 0
    rm -f "$ROOT/run/munge/munged.pid" "$ROOT/run/munge/munge.socket.2" \
        "$ROOT/run/munge/munge.socket.2.lock"
    mkdir -p "$ROOT/run/munge" "$ROOT/var/log/munge" "$ROOT/var/lib/munge"
    in_root chown munge:munge /run/munge /var/log/munge /var/lib/munge
    chmod 0755 "$ROOT/run/munge"
    log "$V: starting munged"
    in_root runuser -u munge -- /usr/sbin/munged
    for _ in $(seq 1 50); do
        munge_works && return 0
        sleep 0.1
    done
    die "$V: munged did not come up, see $ROOT/var/log/munge/munged.log"
}

controller_up() { "$BIN/scontrol" ping 2>/dev/null | grep -q 'is UP'; }

start_slurmctld() {
    daemon_pid /run/slurm/slurmctld.pid slurmctld >/dev/null && return 0
    log "$V: starting slurmctld"
    in_root /usr/sbin/slurmctld
    for _ in $(seq 1 100); do
        controller_up && return 0
        sleep 0.2
    done
    die "$V: slurmctld does not answer, see $ROOT/var/log/slurm/slurmctld.log"
}

start_slurmd() {
    daemon_pid /run/slurm/slurmd.pid slurmd >/dev/null && return 0
    log "$V: starting slurmd"
    in_root /usr/sbin/slurmd
    for _ in $(seq 1 50); do
        daemon_pid /run/slurm/slurmd.pid slurmd >/dev/null && return 0
        sleep 0.1
    done
    die "$V: slurmd did not start, see $ROOT/var/log/slurm/slurmd.log"
}

node_state() { "$BIN/sinfo" -h -N -o '%T' 2>/dev/null | head -n 1; }

node_usable() {
    case "$(node_state)" in
        idle | mixed | allocated | completing) return 0 ;;
    esac
    return 1
}

wait_node_usable() {
    local state resumed=0
    for _ in $(seq 1 $((WAIT_S * 2))); do
        state=$(node_state)
        case "$state" in
            idle | mixed | allocated | completing) return 0 ;;
            down* | drain* | fail* | inval*)
                if [ $resumed -eq 0 ]; then
                    log "$V: node is $state, resuming it"
                    "$BIN/scontrol" update NodeName="$(hostname -s)" State=RESUME 2>/dev/null || true
                    resumed=1
                fi
                ;;
        esac
        sleep 0.5
    done
    die "$V: node not usable after ${WAIT_S} s (state '${state:-unknown}'), see $ROOT/var/log/slurm/"
}

all_daemons_running() {
    daemon_pid /run/munge/munged.pid munged >/dev/null \
        && daemon_pid /run/slurm/slurmctld.pid slurmctld >/dev/null \
        && daemon_pid /run/slurm/slurmd.pid slurmd >/dev/null
}

# --- commands -----------------------------------------------------------------------------------

start_one() {
    select_version "$1"
    make_root
    mount_all
    sync_accounts
    # The host's name and addresses, for munged and the daemons to know where they run.
    cmp -s /etc/hosts "$ROOT/etc/hosts" || cp -f /etc/hosts "$ROOT/etc/hosts"
    write_wrappers
    local changed=0
    write_conf && changed=1
    if [ $changed -eq 0 ] && all_daemons_running && controller_up && node_usable; then
        log "$V: already running"
        return 0
    fi
    if [ $changed -eq 1 ]; then
        stop_daemon /run/slurm/slurmd.pid slurmd
        stop_daemon /run/slurm/slurmctld.pid slurmctld
    fi
    mkdir -p "$ROOT/run/slurm" "$ROOT/var/log/slurm" "$ROOT/var/spool/slurmctld" \
        "$ROOT/var/spool/slurmd"
    start_munge
    start_slurmctld
    start_slurmd
    wait_node_usable
    log "$V: cluster up ($("$BIN/sinfo" -V 2>/dev/null), ports $CTLD_PORT/$SLURMD_PORT, commands in $BIN)"
}

stop_one() {
    select_version "$1"
    [ -d "$ROOT" ] || return 0
    stop_daemon /run/slurm/slurmd.pid slurmd
    stop_daemon /run/slurm/slurmctld.pid slurmctld
    stop_daemon /run/munge/munged.pid munged
    unmount_all
}

status_one() {
    select_version "$1"
    local rc=0 entry name pidfile pid
    echo "== Slurm $V ($ROOT)"
    if [ ! -f "$READY" ]; then
        echo "root not made yet"
        return 1
    fi
    for entry in munged:/run/munge/munged.pid slurmctld:/run/slurm/slurmctld.pid \
        slurmd:/run/slurm/slurmd.pid; do
        name=${entry%%:*}
        pidfile=${entry#*:}
        if pid=$(daemon_pid "$pidfile" "$name"); then
            echo "$name: running (pid $pid)"
        else
            echo "$name: not running"
            rc=1
        fi
    done
    if [ $rc -eq 0 ]; then
        "$BIN/scontrol" ping 2>&1 || rc=1
        "$BIN/sinfo" 2>&1 || rc=1
    fi
    return $rc
}

versions_of() {
    case "${1:-all}" in
        all) echo "${VERSIONS[@]}" ;;
        *) select_version "$1" && echo "$1" ;;
    esac
}

# Makes the missing roots of VERSIONS side by side: mostly waiting for the mirror and the disk.
make_roots() {
    local v pids=() rc=0 p
    for v in "$@"; do
        select_version "$v"
        [ -f "$READY" ] || pids+=("$v")
    done
    [ ${#pids[@]} -gt 1 ] || return 0
    host_apt_install debootstrap debootstrap
    local running=()
    for v in "${pids[@]}"; do
        (select_version "$v" && make_root) &
        running+=($!)
    done
    for p in "${running[@]}"; do
        wait "$p" || rc=1
    done
    [ $rc -eq 0 ] || die "a root could not be made, see the messages above"
}

cmd=${1:-}
case "$cmd" in
    start | stop | status)
        vs=$(versions_of "${2:-all}")
        # shellcheck disable=SC2086
        [ "$cmd" != start ] || { require_root; make_roots $vs; }
        rc=0
        for v in $vs; do
            case "$cmd" in
                start) require_root; start_one "$v" ;;
                stop) require_root; stop_one "$v" ;;
                status) status_one "$v" || rc=1 ;;
            esac
        done
        exit $rc
        ;;
    bindir)
        [ -n "${2:-}" ] || die "usage: $0 bindir VERSION"
        select_version "$2"
        echo "$BIN"
        ;;
    *)
        echo "usage: $0 start|stop|status [24.11|26.05|all] | bindir VERSION" >&2
        exit 2
        ;;
esac
