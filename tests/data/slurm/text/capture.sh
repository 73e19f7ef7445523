#!/bin/sh
# Captures the same jobs in squeue's text form and in its JSON form, for the tests that read
# both alike. Usage: capture.sh NAME [BINDIR]   (BINDIR: where sbatch, squeue and scancel are;
# default: the PATH). Writes NAME.args (squeue's text arguments, one per line), NAME.txt (its
# answer) and NAME.json (squeue --json --states=all for the same IDs), next to this script.
set -eu
name=$1
bindir=${2:-}
out=$(cd "$(dirname "$0")" && pwd)
run() { tool=$1; shift; if [ -n "$bindir" ]; then "$bindir/$tool" "$@"; else "$tool" "$@"; fi; }
work=$(mktemp -d /tmp/hxb-capture.XXXXXX)
chmod 755 "$work"
cd "$work"
submit() { run sbatch --parsable "$@" | cut -d';' -f1; }
# The array first, so that all its tasks have ended when the answers are taken.
ids="$(submit -J array --array=0-2 -o 'arr-%A_%a.out' --wrap 'exit $SLURM_ARRAY_TASK_ID')"
sleep 3
ids="$ids $(submit -J plain --wrap 'exit 0')"
ids="$ids $(submit -J 'name with spaces' -o 'out-%x-%j-%u.txt' --wrap 'exit 3')"
ids="$ids $(submit -J killed -o 'k-%4j.out' --wrap 'kill -9 $$')"
cancelled=$(submit -J cancelled --wrap 'sleep 300')
running=$(submit -J running -o "$work/run-%j.out" --wrap 'sleep 300')
ids="$ids $cancelled $running"
ids="$ids $(submit -J held --hold --wrap 'exit 0')"
ids="$ids $(submit -J heldarray --hold --array=0-3%1 --wrap 'exit 0')"
list=$(echo $ids | tr ' ' ',')
# Until every job that is not held has started or ended.
settle() {
    for _ in $(seq 60); do
        run squeue --noheader --states=all "--jobs=$list" -o '%T %r' | grep PENDING | grep -qv JobHeldUser || return 0
        sleep 1
    done
    echo "jobs did not start in 60 s" >&2; exit 1
}
settle
sleep 2
run scancel "$cancelled"
sleep 3
sep=$(printf '\037')
format=""
for field in JobID ArrayJobID ArrayTaskID State exit_code NodeList Reason UserName WorkDir STDOUT Name; do
    format="$format${format:+,}$field:$sep"
done
printf '%s\n' --noheader --states=all "--jobs=$list" "--Format=$format" > "$out/$name.args"
run squeue --noheader --states=all "--jobs=$list" "--Format=$format" > "$out/$name.txt"
# 22.05 lists every job of the cluster whatever --jobs asks: only the captured ones are kept.
run squeue --json --states=all "--jobs=$list" | python3 -c '
import json, sys
ids = {int(i) for i in sys.argv[1].split(",")}
answer = json.load(sys.stdin)
number = lambda n: n.get("number") if isinstance(n, dict) else n
answer["jobs"] = [j for j in answer["jobs"] if number(j["job_id"]) in ids or number(j.get("array_job_id")) in ids]
json.dump(answer, sys.stdout, indent=2)' "$list" > "$out/$name.json"
run scancel $ids 2>/dev/null || true
rm -rf "$work"
echo "captured jobs $list"
