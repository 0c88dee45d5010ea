/* Symbol visibility of the core library: everything is hidden unless marked. */
#ifndef KEST_EXPORT_H
#define KEST_EXPORT_H

#if defined(KESTCORE_BUILDING)
#define KEST_API __attribute__((visibility("default")))
#else
#define KEST_API
#endif

#ifdef __cplusplus
#define KEST_BEGIN_DECLS extern "C" {
#define KEST_END_DECLS }
#else
#define KEST_BEGIN_DECLS
#define KEST_END_DECLS
#endif

#endif
