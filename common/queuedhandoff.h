#pragma once

#include <QtGlobal>

// What a queued signal carries from one thread to another is handed over by
// Qt's event queue, whose lock (Qt's own futex-based QMutex, compiled into
// Qt) ThreadSanitizer cannot see while Qt is not built with it: it would take
// every read of such a value in the receiving thread for a race with the
// writes that made it. The sending side marks the hand-off on a channel
// before it emits, the receiving slot marks taking it over from the same
// channel: the very order Qt's queue gives, told to the checker. A channel is
// any address both sides know: a class's meta-object for the signals between
// two threads, the object itself for handing an object to another thread to
// be deleted there. Outside a ThreadSanitizer build these do nothing.
#ifndef __has_feature
#define __has_feature(x) 0 // for compilers other than Clang
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define KESTREL_THREAD_SANITIZER 1
#endif

class QueuedHandoff
{
public:
    static void send(const void* channel)
    {
#ifdef KESTREL_THREAD_SANITIZER
        __tsan_release(const_cast<void*>(channel));
#else
        Q_UNUSED(channel)
#endif
    }
    static void receive(const void* channel)
    {
#ifdef KESTREL_THREAD_SANITIZER
        __tsan_acquire(const_cast<void*>(channel));
#else
        Q_UNUSED(channel)
#endif
    }
};
