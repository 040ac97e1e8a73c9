/* The mdnsd library can log to syslog, which Windows lacks; Kestrel switches
   its logging off, and these keep it compiling. */
#pragma once
#include <stdarg.h>

#define LOG_EMERG 0
#define LOG_ALERT 1
#define LOG_CRIT 2
#define LOG_ERR 3
#define LOG_WARNING 4
#define LOG_NOTICE 5
#define LOG_INFO 6
#define LOG_DEBUG 7
#define LOG_PID 0x01
#define LOG_NDELAY 0x08
#define LOG_DAEMON (3 << 3)
#define LOG_MASK(pri) (1 << (pri))
#define LOG_UPTO(pri) ((1 << ((pri) + 1)) - 1)

static inline void openlog(const char* ident, int option, int facility)
{
    (void)ident;
    (void)option;
    (void)facility;
}
static inline int setlogmask(int mask)
{
    return mask;
}
static inline void vsyslog(int priority, const char* format, va_list arguments)
{
    (void)priority;
    (void)format;
    (void)arguments;
}
static inline void syslog(int priority, const char* format, ...)
{
    (void)priority;
    (void)format;
}
