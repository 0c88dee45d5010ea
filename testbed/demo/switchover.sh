#!/bin/bash
# Runs inside kest-testbed: kestdiskmanagertool at an HA switchover, over
# disks of the disk stand-in, with a real performance-test process.
# Usage: switchover.sh BUILD_DIR
set -u
build=$1
say() { printf '\n== %s\n' "$*"; }

say "Disks and their activities (/run/kest-platform/disks)"
cat > /run/kest-platform/disks <<'DISKS'
sda 1 1 sata smart=1
sdb 1 2 sata perf=1
sdc 1 3 sata led=1
sdd 2 1 eunit host=KS-EU1
DISKS
cat /run/kest-platform/disks

say "A performance test on sdb: a shell with two sleeping children"
sh -c 'sleep 600 & sleep 600 & wait' &
perf=$!
sleep 0.2
mkdir -p /run/keststorage/disks/sdb
printf 'pid=%s\nmd1Remove=yes\ndiskRemove=no\n' "$perf" > /run/keststorage/disks/sdb/perf_test
ps -o pid,ppid,cmd --ppid "$perf" --pid "$perf" | sed 's/^/   /'

say "kestdiskmanagertool --stop_all_disk_service"
: > /run/kest-platform/journal
"$build/diskmanager/kestdiskmanagertool" --stop_all_disk_service
echo "   exit $? (the tool always ends with 255)"
wait "$perf" 2>/dev/null
echo "-- the test's processes are gone: $(pgrep -c -f 'sleep 600' || true) left"
echo "-- the record is consumed: $(ls /run/keststorage/disks/sdb/ 2>/dev/null | wc -l) files left"
echo "-- what the platform was asked to do (journal):"
sed 's/^/   /' /run/kest-platform/journal
