#!/usr/bin/env bash
# Runs a single-node Slurm cluster on this machine from Debian's slurm-wlm and munge packages,
# without systemd, so that the tests can submit real jobs. Needs root.
#
#   scripts/local-slurm.sh start    installs the packages if missing, writes /etc/slurm/slurm.conf
#                                   for this machine, starts munged, slurmctld and slurmd and waits
#                                   until the node takes jobs. Does nothing if all of that is
#                                   already up with the same configuration.
#   scripts/local-slurm.sh stop     stops slurmd, slurmctld and munged (through their pid files)
#   scripts/local-slurm.sh status   daemons, controller ping and sinfo; exit 0 only when all run
#   scripts/local-slurm.sh restart  stop, then start
#
# Environment:
#   SLURM_MIN_JOB_AGE  seconds a finished job stays visible to squeue (default 300)
#   SLURM_WAIT_S       seconds to wait for the node to become usable (default 60)
#
# The daemons belong to the session that started them: every new session or CI run calls start.
# Jobs still running at stop are taken up again by the next start.
set -euo pipefail
# shellcheck source=scripts/slurm-policy.sh
. "$(dirname "${BASH_SOURCE[0]}")/slurm-policy.sh"

CONF_DIR=/etc/slurm
CONF=$CONF_DIR/slurm.conf
RUN_DIR=/run/slurm
CTLD_PID=$RUN_DIR/slurmctld.pid
SLURMD_PID=$RUN_DIR/slurmd.pid
MUNGE_RUN=/run/munge
MUNGE_PID=$MUNGE_RUN/munged.pid
MUNGE_KEY=/etc/munge/munge.key
LOG_DIR=/var/log/slurm
CTLD_SPOOL=/var/spool/slurmctld
SLURMD_SPOOL=/var/spool/slurmd
APT_LOG=/tmp/local-slurm-apt.log
MIN_JOB_AGE=${SLURM_MIN_JOB_AGE:-300}
WAIT_S=${SLURM_WAIT_S:-60}
PACKAGES=(munge slurm-client slurmctld slurmd slurm-wlm-basic-plugins)

log() { printf 'local-slurm: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

require_root() { [ "$(id -u)" -eq 0 ] || die "must run as root"; }

case "$MIN_JOB_AGE" in '' | *[!0-9]*) die "SLURM_MIN_JOB_AGE must be a number of seconds" ;; esac
case "$WAIT_S" in '' | *[!0-9]*) die "SLURM_WAIT_S must be a number of seconds" ;; esac

# --- packages -------------------------------------------------------------------------------

install_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    local apt=(apt-get -o DPkg::Lock::Timeout=900 -y -q --no-install-recommends)
    : >"$APT_LOG"
    # A fresh machine often has stale or no package lists: update once and try again.
    if ! "${apt[@]}" install "${missing[@]}" >>"$APT_LOG" 2>&1; then
        log "install failed, updating the package lists and trying again"
        apt-get -o DPkg::Lock::Timeout=900 -q update >>"$APT_LOG" 2>&1 \
            || die "apt-get update failed, see $APT_LOG"
        "${apt[@]}" install "${missing[@]}" >>"$APT_LOG" 2>&1 \
            || die "apt-get install failed, see $APT_LOG"
    fi
}

# --- processes ------------------------------------------------------------------------------

# Alive and not a zombie (a killed daemon stays a zombie until its parent reaps it).
process_alive() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Prints the pid from PIDFILE when that process is alive and is COMM; a stale pid file that now
# names another program never counts.
daemon_pid() {
    local pidfile=$1 comm=$2 pid
    [ -s "$pidfile" ] || return 1
    pid=$(tr -dc '0-9' <"$pidfile")
    [ -n "$pid" ] && process_alive "$pid" || return 1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] || return 1
    echo "$pid"
}

stop_daemon() {
    local pidfile=$1 comm=$2 pid i
    if pid=$(daemon_pid "$pidfile" "$comm"); then
        log "stopping $comm (pid $pid)"
        kill -TERM "$pid" 2>/dev/null || true
        for i in $(seq 1 100); do
            process_alive "$pid" || break
            sleep 0.1
        done
        if process_alive "$pid"; then
            log "$comm still running after 10 s, killing it"
            kill -KILL "$pid" 2>/dev/null || true
            sleep 0.2
        fi
    else
        log "$comm not running"
    fi
    rm -f "$pidfile"
}

# --- configuration --------------------------------------------------------------------------

# This machine as slurmd sees it, e.g. "NodeName=vm CPUs=2 Boards=1 SocketsPerBoard=1 ...".
node_line() {
    local line
    line=$(slurmd -C 2>/dev/null | grep '^NodeName=' | head -n 1)
    [ -n "$line" ] || die "slurmd -C printed no NodeName line"
    echo "$line NodeAddr=127.0.0.1 State=UNKNOWN"
}

render_conf() {
    local host=$1 node=$2
    cat <<EOF
# Written by scripts/local-slurm.sh: a single-node cluster without systemd or cgroups.
ClusterName=local
SlurmctldHost=${host}(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=6817
SlurmdPort=6818
AuthType=auth/munge
CryptoType=crypto/munge
StateSaveLocation=${CTLD_SPOOL}
SlurmdSpoolDir=${SLURMD_SPOOL}
SlurmctldPidFile=${CTLD_PID}
SlurmdPidFile=${SLURMD_PID}
SlurmctldLogFile=${LOG_DIR}/slurmctld.log
SlurmdLogFile=${LOG_DIR}/slurmd.log
# Seconds a finished job stays visible to squeue and scontrol.
MinJobAge=${MIN_JOB_AGE}
EOF
    render_policy "$node"
}

# Writes the configuration; succeeds when it changed, fails when it was already in place.
write_conf() {
    local tmp
    tmp=$(mktemp)
    render_conf "$(hostname -s)" "$(node_line)" >"$tmp"
    mkdir -p "$CONF_DIR"
    if [ -f "$CONF" ] && cmp -s "$tmp" "$CONF"; then
        rm -f "$tmp"
        return 1
    fi
    [ -f "$CONF" ] && cp -f "$CONF" "$CONF.bak"
    install -m 0644 "$tmp" "$CONF"
    rm -f "$tmp"
    log "wrote $CONF"
    return 0
}

# --- munge ----------------------------------------------------------------------------------

munge_works() { munge -n 2>/dev/null | unmunge >/dev/null 2>&1; }

start_munge() {
    if [ ! -s "$MUNGE_KEY" ]; then
        log "creating $MUNGE_KEY"
        mkdir -p "$(dirname "$MUNGE_KEY")"
        if command -v mungekey >/dev/null; then
            mungekey --create --keyfile="$MUNGE_KEY" --force
        else
            dd if=/dev/urandom of="$MUNGE_KEY" bs=1024 count=1 status=none
        fi
    fi
    chown -R munge:munge "$(dirname "$MUNGE_KEY")"
    chmod 0700 "$(dirname "$MUNGE_KEY")"
    chmod 0400 "$MUNGE_KEY"

    daemon_pid "$MUNGE_PID" munged >/dev/null && munge_works && return 0
    rm -f "$MUNGE_PID" "$MUNGE_RUN/munge.socket.2" "$MUNGE_RUN/munge.socket.2.lock"
    mkdir -p "$MUNGE_RUN" /var/log/munge /var/lib/munge
    chown munge:munge "$MUNGE_RUN" /var/log/munge /var/lib/munge
    chmod 0755 "$MUNGE_RUN"
    log "starting munged"
    runuser -u munge -- /usr/sbin/munged
    local i
    for i in $(seq 1 50); do
        munge_works && return 0
        sleep 0.1
    done
    die "munged did not come up, see /var/log/munge/munged.log"
}

# --- slurm daemons --------------------------------------------------------------------------

controller_up() { scontrol ping 2>/dev/null | grep -q 'is UP'; }

start_slurmctld() {
    daemon_pid "$CTLD_PID" slurmctld >/dev/null && return 0
    rm -f "$CTLD_PID"
    log "starting slurmctld"
    /usr/sbin/slurmctld
    local i
    for i in $(seq 1 100); do
        controller_up && return 0
        sleep 0.2
    done
    die "slurmctld does not answer, see $LOG_DIR/slurmctld.log"
}

start_slurmd() {
    daemon_pid "$SLURMD_PID" slurmd >/dev/null && return 0
    rm -f "$SLURMD_PID"
    log "starting slurmd"
    /usr/sbin/slurmd
    local i
    for i in $(seq 1 50); do
        daemon_pid "$SLURMD_PID" slurmd >/dev/null && return 0
        sleep 0.1
    done
    die "slurmd did not start, see $LOG_DIR/slurmd.log"
}

node_state() { sinfo -h -N -n "$(hostname -s)" -o '%T' 2>/dev/null | head -n 1; }

node_usable() {
    case "$(node_state)" in
        idle | mixed | allocated | completing) return 0 ;;
    esac
    return 1
}

# Waits until the node takes jobs; a node left down or drained by an earlier run is resumed once.
wait_node_usable() {
    local host state i resumed=0
    host=$(hostname -s)
    for i in $(seq 1 $((WAIT_S * 2))); do
        state=$(node_state)
        case "$state" in
            idle | mixed | allocated | completing) return 0 ;;
            down* | drain* | fail* | inval*)
                if [ $resumed -eq 0 ]; then
                    log "node is $state, resuming it"
                    scontrol update NodeName="$host" State=RESUME 2>/dev/null || true
                    resumed=1
                fi
                ;;
        esac
        sleep 0.5
    done
    die "node $host not usable after ${WAIT_S} s (state '${state:-unknown}'), see $LOG_DIR/"
}

all_daemons_running() {
    daemon_pid "$MUNGE_PID" munged >/dev/null \
        && daemon_pid "$CTLD_PID" slurmctld >/dev/null \
        && daemon_pid "$SLURMD_PID" slurmd >/dev/null
}

# --- commands -------------------------------------------------------------------------------

cmd_start() {
    require_root
    install_packages
    local changed=0
    write_conf && changed=1
    if [ $changed -eq 0 ] && all_daemons_running && controller_up && node_usable; then
        log "already running"
        sinfo
        return 0
    fi
    if [ $changed -eq 1 ] && { daemon_pid "$SLURMD_PID" slurmd >/dev/null \
        || daemon_pid "$CTLD_PID" slurmctld >/dev/null; }; then
        log "configuration changed, restarting the slurm daemons"
        stop_daemon "$SLURMD_PID" slurmd
        stop_daemon "$CTLD_PID" slurmctld
    fi
    mkdir -p "$RUN_DIR" "$LOG_DIR" "$CTLD_SPOOL" "$SLURMD_SPOOL"
    chmod 0755 "$RUN_DIR" "$LOG_DIR" "$CTLD_SPOOL" "$SLURMD_SPOOL"
    start_munge
    start_slurmctld
    start_slurmd
    wait_node_usable
    log "cluster up"
    sinfo
}

cmd_stop() {
    require_root
    stop_daemon "$SLURMD_PID" slurmd
    stop_daemon "$CTLD_PID" slurmctld
    stop_daemon "$MUNGE_PID" munged
}

cmd_status() {
    local rc=0 entry name pidfile pid
    for entry in "munged:$MUNGE_PID" "slurmctld:$CTLD_PID" "slurmd:$SLURMD_PID"; do
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
        scontrol ping 2>&1 || rc=1
        sinfo 2>&1 || rc=1
    fi
    return $rc
}

case "${1:-}" in
    start) cmd_start ;;
    stop) cmd_stop ;;
    status) cmd_status ;;
    restart)
        cmd_stop
        cmd_start
        ;;
    *)
        echo "usage: $0 start|stop|status|restart" >&2
        exit 2
        ;;
esac
