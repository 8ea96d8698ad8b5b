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

#endif
