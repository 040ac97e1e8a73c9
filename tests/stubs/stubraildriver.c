/* A stand-in for the simulator's RailDriver library, for tests; README.md
 * says how it is built per case and steered through stublibrary.h. */

#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#define STUB_EXPORT __declspec(dllexport)
#else
#define STUB_EXPORT __attribute__((visibility("default")))
#endif

/* Texts and flags are numbered as in stublibrary.h; all zero is a fresh
 * stub, which answers as a running simulator would. A full log takes no more
 * entries rather than cutting one. */
enum { TEXT_SIZE = 8192, VALUE_COUNT = 128, LOG_SIZE = 1 << 20 };
enum { LOCO_NAME, CONTROLLER_LIST };
enum { DISCONNECTED, LOCO_CHANGED, HELD, FLAG_COUNT };

static struct {
    char text[2][TEXT_SIZE];
    bool textIsNull[2];
    bool flag[FLAG_COUNT];
    struct stubValue { int index, type; float value; } values[VALUE_COUNT];
    int valueCount;
    char log[LOG_SIZE];
    size_t logLength;
} g;
/* Texts are handed out as copies kept for good, one per distinct text: a test may set or reset a
 * text while a server thread still reads the copy it was given. (Copies per calling thread would
 * live in the loader's thread-local blocks, which glibc frees in whichever thread next reuses a
 * finished thread's stack, out of a thread checker's sight.) */
enum { HANDED_OUT_COUNT = 256 };
static char* g_handedOut[HANDED_OUT_COUNT];

/* Called with the mutex held. */
static const char* handOut(const char* text)
{
    int i = 0;
    while (i < HANDED_OUT_COUNT && g_handedOut[i] && strcmp(g_handedOut[i], text) != 0)
        ++i;
    if (i == HANDED_OUT_COUNT)
        return g_handedOut[HANDED_OUT_COUNT - 1]; /* more texts than any test sets */
    if (!g_handedOut[i])
        g_handedOut[i] = strdup(text);
    return g_handedOut[i];
}
static int g_waiting; /* GetLocoName calls held back by the HELD flag; a reset keeps it */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_released = PTHREAD_COND_INITIALIZER;

/* Takes the mutex and logs one call; leave() or one of the readers below
 * gives it back. */
static void enter(const char* format, ...)
{
    pthread_mutex_lock(&g_mutex);
    const size_t room = LOG_SIZE - g.logLength;
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(g.log + g.logLength, room, format, args);
    va_end(args);
    if (length > 0 && (size_t)length < room)
        g.logLength += (size_t)length;
    else
        g.log[g.logLength] = '\0';
}

static void leave(void)
{
    pthread_mutex_unlock(&g_mutex);
}

static bool flagOf(int which)
{
    const bool on = g.flag[which];
    leave();
    return on;
}

static const char* textOf(int which)
{
    const char* text = g.textIsNull[which] ? NULL : handOut(g.text[which]);
    leave();
    return text;
}

static int find(int index, int type)
{
    for (int i = 0;; ++i)
        if (i == g.valueCount || (g.values[i].index == index && g.values[i].type == type))
            return i;
}

static float valueOf(int index, int type)
{
    const int i = find(index, type);
    const float value = i < g.valueCount ? g.values[i].value : 0.0f;
    leave();
    return value;
}

/* Called with the mutex held. */
static void store(int index, int type, float value)
{
    const int i = find(index, type);
    if (i < VALUE_COUNT) {
        g.values[i] = (struct stubValue){index, type, value};
        g.valueCount += i == g.valueCount;
    }
}

#ifndef STUB_OMIT_SetRailDriverConnected
STUB_EXPORT void SetRailDriverConnected(bool connected)
{
    enter("SetRailDriverConnected(%d);", connected ? 1 : 0);
    leave();
}
#endif

#ifndef STUB_OMIT_GetRailDriverConnected
STUB_EXPORT bool GetRailDriverConnected(void)
{
    enter("GetRailDriverConnected();");
    return !flagOf(DISCONNECTED);
}
#endif

#ifndef STUB_OMIT_GetLocoName
STUB_EXPORT const char* GetLocoName(void)
{
    enter("GetLocoName();");
    ++g_waiting;
    while (g.flag[HELD])
        pthread_cond_wait(&g_released, &g_mutex);
    --g_waiting;
    return textOf(LOCO_NAME);
}
#endif

#ifndef STUB_OMIT_GetControllerList
STUB_EXPORT const char* GetControllerList(void)
{
    enter("GetControllerList();");
    return textOf(CONTROLLER_LIST);
}
#endif

#ifndef STUB_OMIT_GetControllerValue
STUB_EXPORT float GetControllerValue(int index, int type)
{
    enter("GetControllerValue(%d,%d);", index, type);
    return valueOf(index, type);
}
#endif

#ifndef STUB_OMIT_SetControllerValue
STUB_EXPORT void SetControllerValue(int index, float value)
{
    /* "%g" follows LC_NUMERIC, which QCoreApplication takes from the
     * environment on Unix; the log must read the same everywhere. */
    char number[32];
    snprintf(number, sizeof number, "%g", (double)value);
    char* comma = strchr(number, ',');
    if (comma)
        *comma = '.';
    enter("SetControllerValue(%d,%s);", index, number);
    store(index, 0, value); /* read back as a simulator would */
    leave();
}
#endif

#ifndef STUB_OMIT_GetRailSimValue
STUB_EXPORT float GetRailSimValue(int id, int zero)
{
    enter("GetRailSimValue(%d,%d);", id, zero);
    return valueOf(id, -1);
}
#endif

#ifndef STUB_OMIT_GetRailSimLocoChanged
STUB_EXPORT bool GetRailSimLocoChanged(void)
{
    enter("GetRailSimLocoChanged();");
    return flagOf(LOCO_CHANGED);
}
#endif

STUB_EXPORT void StubReset(void)
{
    pthread_mutex_lock(&g_mutex);
    memset(&g, 0, sizeof g);
    pthread_cond_broadcast(&g_released);
    pthread_mutex_unlock(&g_mutex);
}

/* NULL makes the library hand out a null pointer. */
STUB_EXPORT void StubSetText(int which, const char* value)
{
    pthread_mutex_lock(&g_mutex);
    g.textIsNull[which] = value == NULL;
    snprintf(g.text[which], TEXT_SIZE, "%s", value ? value : "");
    pthread_mutex_unlock(&g_mutex);
}

/* Type 0 to 2 for GetControllerValue, -1 for GetRailSimValue. */
STUB_EXPORT void StubSetValue(int index, int type, float value)
{
    pthread_mutex_lock(&g_mutex);
    store(index, type, value);
    pthread_mutex_unlock(&g_mutex);
}

STUB_EXPORT void StubSetFlag(int flag, bool on)
{
    pthread_mutex_lock(&g_mutex);
    g.flag[flag] = on;
    pthread_cond_broadcast(&g_released);
    pthread_mutex_unlock(&g_mutex);
}

STUB_EXPORT int StubWaitingCalls(void)
{
    pthread_mutex_lock(&g_mutex);
    const int waiting = g_waiting;
    leave();
    return waiting;
}

/* Copies the log (cut to fit, NUL-terminated) and answers its full length;
 * taken under the mutex, so the copy never shows half an entry. */
STUB_EXPORT int StubCallLog(char* buffer, int size, bool clear)
{
    pthread_mutex_lock(&g_mutex);
    const int length = (int)g.logLength;
    if (size > 0)
        snprintf(buffer, (size_t)size, "%s", g.log);
    if (clear) {
        g.logLength = 0;
        g.log[0] = '\0';
    }
    pthread_mutex_unlock(&g_mutex);
    return length;
}
