#!/bin/bash
# Runs inside kest-testbed: shows the simulated appliance.
set -u
say() { printf '\n== %s\n' "$*"; }

say "Identity (/etc.defaults, /proc/sys/kernel)"
echo "host name:        $(hostname)"
echo "hardware version: $(cat /proc/sys/kernel/kest_hw_version)"
echo "install flag:     $(cat /proc/sys/kernel/kest_install_flag)"
grep -E '^(unique|supportraid)=' /etc.defaults/kestinfo.conf
grep -E '^(productversion|buildnumber|smallfixnumber)=' /etc.defaults/VERSION

say "Block devices (loop-backed images)"
for d in /dev/kestboot1 /dev/kestboot2 /dev/sda /dev/sda[0-9] /dev/md0; do
  printf '%-16s %s bytes\n' "$d" "$(blockdev --getsize64 "$d")"
done
[ -s /run/kest-testbed/substitutions ] && sed 's/^/substituted: /' /run/kest-testbed/substitutions

say "Boot partition 2, mounted at /tmp/bootmnt with /bin/mount"
mkdir -p /tmp/bootmnt && /bin/mount /dev/kestboot2 /tmp/bootmnt
ls -l /tmp/bootmnt | grep -v '^total'
echo "-- checksum.kest:"; cat /tmp/bootmnt/checksum.kest
echo "-- the appliance's checksum tool on the same files:"
(cd /tmp/bootmnt && /usr/bin/cksum -o 3 zImage rd.gz grub_cksum.kest VERSION)
/bin/umount /tmp/bootmnt

say "Volumes (/run/keststorage/volumetab and statfs)"
cat /run/keststorage/volumetab
df -B1 --output=source,target,fstype,avail /volume* | sed 1d

say "Syslog capture (/dev/log -> $KEST_TESTBED_LOG)"
logger -p user.err "an error line from the tour"
logger -p daemon.info "an informational line"
sleep 0.2; cat "$KEST_TESTBED_LOG"

say "Platform journal (/run/kest-platform/journal): every stand-in call"
cat /run/kest-platform/journal
