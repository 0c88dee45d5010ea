/*
 * Model capabilities and device identity of the appliance.
 *
 * Answers come from /etc.defaults/kestinfo.conf (capabilities),
 * /etc/kestinfo.conf (live state), /proc/sys/kernel/kest_hw_version and
 * marker files in /tmp that cache an answer across processes until removed.
 * XLIBCSupportRAID, XLIBCSupportDualHead, XLIBCIsAliTARN and XLIBCIsMinidock
 * also keep their first answer for the life of the process (not locked:
 * make the first call from one thread). The capability queries never fail:
 * anything unreadable means "not supported".
 */
#ifndef KEST_DEVINFO_H
#define KEST_DEVINFO_H

#include <kest/export.h>

KEST_BEGIN_DECLS

/* 1 if the key's value in /etc.defaults/kestinfo.conf is "yes" ignoring case. */
KEST_API int XLIBCSupportGet(const char *key);
KEST_API int XLIBCSupportRAID(void);
KEST_API int XLIBCSupportDualHead(void);
/* Exactly "yes", case sensitive. */
KEST_API int XLIBCIsAliTARN(void);
KEST_API int XLIBCIsMinidock(void);
KEST_API int XLIBCSystemDRRunning(void);
/* The hardware version line, cut at its first "-j". 0 or -1. */
KEST_API int XLIBCHwVersionGet(char *buffer, int size);
/* "/dev/md0" on a RAID model, else "/dev/sda1". 0 or -1. */
KEST_API int XLIBCDiskSysDevicePathGet(char *buffer, int size);

KEST_END_DECLS

#endif
