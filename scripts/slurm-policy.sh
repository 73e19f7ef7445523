# Sourced by local-slurm.sh and modern-slurm.sh: what every single-node test cluster shares, so
# that the server meets the same cluster on every Slurm version. Each script writes its own
# names, ports, paths and authentication lines before these.

# The daemons, scheduling and partitions. $1: the node line ("NodeName=... NodeAddr=...").
render_policy() {
    cat <<EOF
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
# There is no mail program; slurmctld complains about a missing one.
MailProg=/bin/true
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
# A node that was down comes back by itself once slurmd registers again.
ReturnToService=2
# Refuse at submission what can never run, instead of leaving it pending for ever.
EnforcePartLimits=ALL
SlurmctldTimeout=60
SlurmdTimeout=60
InactiveLimit=0
KillWait=5
Waittime=0
$1
# OverSubscribe=YES lets jobs submitted with --oversubscribe share CPUs.
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=YES
PartitionName=long Nodes=ALL Default=NO MaxTime=INFINITE State=UP OverSubscribe=YES
EOF
}
