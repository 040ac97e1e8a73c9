/*
 * A stand-in for the simulator's RailDriver library, for tests. Defining
 * STUB_OMIT_<Function> leaves that one function out, to show how the
 * interface copes with a library that lacks it.
 *
 * The Stub* functions let a test that loads the very same file (one path,
 * one loaded instance) decide the answers and read back every call made;
 * stublibrary.h wraps them. One mutex guards everything: server tests call
 * one stub from several client threads while steering it.
 */

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

/* Fixed buffers keep every text pointer handed out valid for good, so a
 * caller that copies late still reads text. A full log takes no more entries
 * rather than cutting one, so a test that reads it sees them missing. */
/* Each text set goes to the next of TEXT_SLOTS buffers, so that a thread
 * still reading the text it was given never sees it rewritten. */
enum { TEXT_SIZE = 8192, TEXT_SLOTS = 64, VALUE_COUNT = 128, LOG_SIZE = 1 << 20 };
/* Texts and flags as stublibrary.h numbers them; all zero is a fresh stub,
 * which answers as a running simulator would. */
enum { LOCO_NAME, CONTROLLER_LIST };
enum { DISCONNECTED, LOCO_CHANGED, HELD, FLAG_COUNT };
/* The value type under which GetRailSimValue's answers are kept. */
enum { RAIL_SIM = -1 };

struct Value {
    int index;
    int type;
    float value;
};

static struct {
    char text[2][TEXT_SLOTS][TEXT_SIZE];
    int textSlot[2];
    bool textIsNull[2];
    bool flag[FLAG_COUNT];
    struct Value values[VALUE_COUNT];
    int valueCount;
} g;
static char g_log[LOG_SIZE];
static size_t g_logLength;
static int g_waiting; /* GetLocoName calls held back by the HELD flag */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_released = PTHREAD_COND_INITIALIZER;

/* Takes the mutex and logs one call; leave() gives the mutex back. */
static void enter(const char* format, ...)
{
    pthread_mutex_lock(&g_mutex);
    const size_t room = LOG_SIZE - g_logLength;
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(g_log + g_logLength, room, format, args);
    va_end(args);
    if (length > 0 && (size_t)length < room)
        g_logLength += (size_t)length;
    else
        g_log[g_logLength] = '\0';
}

static void leave(void)
{
    pthread_mutex_unlock(&g_mutex);
}

static int find(int index, int type)
{
    int i = 0;
    while (i < g.valueCount && (g.values[i].index != index || g.values[i].type != type))
        ++i;
    return i;
}

static float lookUp(int index, int type)
{
    const int i = find(index, type);
    return i < g.valueCount ? g.values[i].value : 0.0f;
}

static const char* text(int which)
{
    return g.textIsNull[which] ? NULL : g.text[which][g.textSlot[which]];
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
    const bool connected = !g.flag[DISCONNECTED];
    leave();
    return connected;
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
    const char* name = text(LOCO_NAME);
    leave();
    return name;
}
#endif

#ifndef STUB_OMIT_GetControllerList
STUB_EXPORT const char* GetControllerList(void)
{
    enter("GetControllerList();");
    const char* list = text(CONTROLLER_LIST);
    leave();
    return list;
}
#endif

#ifndef STUB_OMIT_GetControllerValue
STUB_EXPORT float GetControllerValue(int index, int type)
{
    enter("GetControllerValue(%d,%d);", index, type);
    const float value = lookUp(index, type);
    leave();
    return value;
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
    leave();
}
#endif

#ifndef STUB_OMIT_GetRailSimValue
STUB_EXPORT float GetRailSimValue(int id, int zero)
{
    enter("GetRailSimValue(%d,%d);", id, zero);
    const float value = lookUp(id, RAIL_SIM);
    leave();
    return value;
}
#endif

#ifndef STUB_OMIT_GetRailSimLocoChanged
STUB_EXPORT bool GetRailSimLocoChanged(void)
{
    enter("GetRailSimLocoChanged();");
    const bool changed = g.flag[LOCO_CHANGED];
    leave();
    return changed;
}
#endif

/* ---- Control functions for tests --------------------------------------- */

STUB_EXPORT void StubReset(void)
{
    pthread_mutex_lock(&g_mutex);
    memset(&g, 0, sizeof g);
    g_logLength = 0;
    g_log[0] = '\0';
    pthread_cond_broadcast(&g_released);
    pthread_mutex_unlock(&g_mutex);
}

/* NULL makes the library hand out a null pointer. */
STUB_EXPORT void StubSetText(int which, const char* value)
{
    pthread_mutex_lock(&g_mutex);
    g.textIsNull[which] = value == NULL;
    g.textSlot[which] = (g.textSlot[which] + 1) % TEXT_SLOTS;
    snprintf(g.text[which][g.textSlot[which]], TEXT_SIZE, "%s", value ? value : "");
    pthread_mutex_unlock(&g_mutex);
}

/* Type 0 to 2 for GetControllerValue, RAIL_SIM for GetRailSimValue. */
STUB_EXPORT void StubSetValue(int index, int type, float value)
{
    pthread_mutex_lock(&g_mutex);
    const int i = find(index, type);
    if (i < VALUE_COUNT) {
        g.values[i] = (struct Value){index, type, value};
        g.valueCount += i == g.valueCount;
    }
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
    pthread_mutex_unlock(&g_mutex);
    return waiting;
}

/* Copies the log (cut to fit, NUL-terminated) and answers its full length;
 * taken under the mutex, so the copy never shows half an entry. */
STUB_EXPORT int StubCallLog(char* buffer, int size, bool clear)
{
    pthread_mutex_lock(&g_mutex);
    const int length = (int)g_logLength;
    if (size > 0) {
        const int copied = length < size - 1 ? length : size - 1;
        memcpy(buffer, g_log, (size_t)copied);
        buffer[copied] = '\0';
    }
    if (clear)
        g_logLength = 0;
    g_log[g_logLength] = '\0';
    pthread_mutex_unlock(&g_mutex);
    return length;
}
