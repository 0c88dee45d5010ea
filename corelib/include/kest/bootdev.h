/*
 * The boot-device lock and the boot partitions' mounts.
 *
 * One holder across all processes: a System V semaphore (key 0x91491045,
 * SEM_UNDO, so a process that dies releases it) coupled with the kernel
 * flag /proc/sys/kernel/kest_install_flag ("1" while held). The boot
 * partitions are mounted at /tmp/bootmnt (the EFI partition at /boot/efi)
 * only while the lock is held: every successful mount returns with the lock
 * held and is paired with the matching unmount, which releases it.
 * Results only; failures are logged.
 */
#ifndef KEST_BOOTDEV_H
#define KEST_BOOTDEV_H

#include <kest/export.h>

KEST_BEGIN_DECLS

/* 1 with the semaphore id stored, 0 on failure. */
KEST_API int KESTBootSemGet(int *semid);
/* 1 locked (waits without limit), 0 not. */
KEST_API int KESTBootLock(void);
/* 1 when the kernel flag was written; the semaphore is released either way. */
KEST_API int KESTBootUnlock(void);
/* Creates the mount point and mounts the device as ext2, else vfat. 0 on success. */
KEST_API int KESTBootDeviceMount(const char *device, const char *mount_point);
/* device null means /dev/kestboot2; mount 1 mounts on /tmp/bootmnt, 0 unmounts. */
KEST_API int KESTBootPartitionMount(const char *device, int mount);
KEST_API int KESTBootEfiMount(int mount);
KEST_API int KESTBoot1Mount(void);
KEST_API int KESTBoot1Unmount(void);
KEST_API int KESTBoot2Mount(void);
KEST_API int KESTBoot2Unmount(void);

KEST_END_DECLS

#endif
