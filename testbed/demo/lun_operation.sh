#!/bin/bash
# Runs inside kest-testbed: a snapshot-mirror-depart operation through
# lunhub, two simulated host plugins and kestiscsigrpctool.
# Usage: lun_operation.sh BUILD_DIR
set -u
build=$1
tool=$build/grpctool/kestiscsigrpctool
sim=$build/testbed/kest-plugin-sim
say() { printf '\n== %s\n' "$*"; }
step() {
  printf '$ kestiscsigrpctool %s\n' "$*"
  out=$("$tool" "$@"); rc=$?
  [ -n "$out" ] && printf '%s\n' "$out"
  printf '   exit %d\n' "$rc"
  return $rc
}

say "lunhub as the service manager would start it (after creating /tmp/iscsi)"
mkdir -p /tmp/iscsi
"$build/plugin_server/lunhub" &
lunhub=$!
until grep -q 'Server listening on unix' "$KEST_TESTBED_LOG"; do sleep 0.05; done
grep 'Server listening' "$KEST_TESTBED_LOG" | sed 's/^/   log: /'

say "Two plugins on virtualisation hosts subscribe over TCP port 3265"
"$sim" --id esx-01 --type vmware --poll 100 > /tmp/esx-01.out 2>&1 &
sim1=$!
# The second only listens: one plugin answers for the LUN it mirrors.
"$sim" --id hyperv-01 --type windows --silent > /tmp/hyperv-01.out 2>&1 &
sim2=$!
until [ "$(grep -c 'Connected: Plugin ID=' "$KEST_TESTBED_LOG")" -ge 2 ]; do sleep 0.05; done
step --list_conns

src=0123abcd-4567-89ab-cdef-0123456789ab
say "Snapshot-mirror-depart on LUN $src"
printf '$ kestiscsigrpctool --exec_cmd init_snapshot src-uuid-1 %s dst-uuid-1\n' "$src"
task=$("$tool" --exec_cmd init_snapshot src-uuid-1 "$src" dst-uuid-1)
printf '%s\n   exit %d (the task id, printed without a newline)\n' "$task" $?
step --exec_cmd mirror_done src-uuid-1 "$src" "$task"
step --exec_cmd wait_for_depart src-uuid-1 dst-uuid-1 "$task"
step --exec_cmd depart_done src-uuid-1 "$src" dst-uuid-1 "$task"
echo "-- the task is gone: mirror_done now fails"
step --exec_cmd mirror_done src-uuid-1 "$src" "$task"

sleep 0.3
say "What the plugins saw"
for p in esx-01 hyperv-01; do echo "-- $p"; sed 's/^/   /' /tmp/$p.out; done

say "The server's log (the plugins' is-mirror-done polls folded)"
grep 'scsi_plugin:' "$KEST_TESTBED_LOG" | sed 's/^[0-9] [a-z.]* lunhub[^:]*: scsi_plugin:/   /' | uniq

kill $sim1 $sim2 2>/dev/null
kill -TERM $lunhub; wait $lunhub
echo "lunhub stopped on SIGTERM with status $?"
