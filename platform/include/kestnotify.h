/*
 * Notification library (stand-in): sends the user a notification by tag,
 * its placeholders ("%DISK_ID%" ...) in a string hash. The stand-in
 * journals "KESTSysNotifySendNotifiction TAG KEY=VALUE..." (keys sorted).
 */
#ifndef KESTNOTIFY_H
#define KESTNOTIFY_H

#ifdef __cplusplus
extern "C" {
#endif

struct SzHash;
int KESTSysNotifySendNotifiction(const char *tag, const struct SzHash *placeholders);

#ifdef __cplusplus
}
#endif

#endif
