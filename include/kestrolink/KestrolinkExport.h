/* The one export macro of libkestrolink.so: every entry point that a panel, a
   client program or a dynamically loaded component may call carries it; all
   other symbols are hidden. */
#ifndef KESTROLINK_EXPORT_H
#define KESTROLINK_EXPORT_H

#if defined(__GNUC__)
#define KESTROLINK_API __attribute__((visibility("default")))
#else
#define KESTROLINK_API
#endif

/* Layout checks of the exported records, usable from C and C++. */
#ifndef KESTROLINK_STATIC_ASSERT
#if defined(__cplusplus)
#define KESTROLINK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KESTROLINK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/* Older C: a negative array size fails the build; the repeated declaration
   of one object with the same type is legal any number of times. */
#define KESTROLINK_STATIC_ASSERT(cond, msg) extern int kestrolink_static_assert[(cond) ? 1 : -1]
#endif
#endif

#endif
