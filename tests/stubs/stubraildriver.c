/*
 * A stand-in for the simulator's RailDriver library, for tests.
 *
 * The same source is built once per missing-function case: defining
 * STUB_OMIT_<Function> leaves that one function out of the library, so a test
 * can see how the interface reacts to a library that lacks it.
 *
 * Next to the eight RailDriver functions every build exports a few Stub*
 * control functions. A test loads the very same file with QLibrary (same
 * path, same loaded instance) and uses them to decide what the RailDriver
 * functions answer and to read back which calls were made with which
 * arguments. tests/stubs/stublibrary.h wraps them for C++ tests.
 *
 * All state sits behind one mutex, because the loopback server tests call
 * into one stub from several client threads at once.
 */

#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define STUB_EXPORT __declspec(dllexport)
#else
#define STUB_EXPORT __attribute__((visibility("default")))
#endif

enum {
    /* Texts longer than this are cut; tests use far shorter ones. Fixed
     * buffers keep every pointer we hand out valid for the life of the
     * process, so a caller that copies a little late still reads text. */
    STUB_TEXT_SIZE = 8192,
    /* Distinct (index, type) and id entries a test may set at once. */
    STUB_TABLE_SIZE = 128
};

struct ValueEntry {
    int index;
    int type;
    float value;
};

struct StubState {
    char locoName[STUB_TEXT_SIZE];
    bool locoNameIsNull;
    char controllerList[STUB_TEXT_SIZE];
    bool controllerListIsNull;
    struct ValueEntry controllerValues[STUB_TABLE_SIZE];
    int controllerValueCount;
    struct ValueEntry railSimValues[STUB_TABLE_SIZE]; /* type unused */
    int railSimValueCount;
    bool connected;
    bool locoChanged;
    char* callLog;
    size_t callLogLength;
    size_t callLogCapacity;
};

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
/* GetLocoName waits on this while the stub is held (StubHold), to stand for
 * a library call that does not return. */
static pthread_cond_t g_released = PTHREAD_COND_INITIALIZER;
static bool g_held = false;
static int g_waiting = 0;
/* Zero-initialised, which is the default state apart from `connected`:
 * a fresh library answers as if the simulator were running. */
static struct StubState g_state = { .connected = true };

static void copyText(char* target, const char* source)
{
    strncpy(target, source, STUB_TEXT_SIZE - 1);
    target[STUB_TEXT_SIZE - 1] = '\0';
}

/* Appends one formatted entry to the call log; the caller holds the mutex. */
static void logCall(const char* format, ...)
{
    char entry[128];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(entry, sizeof entry, format, args);
    va_end(args);
    if (length < 0)
        return;
    if ((size_t)length >= sizeof entry)
        length = (int)sizeof entry - 1;

    const size_t needed = g_state.callLogLength + (size_t)length + 1;
    if (needed > g_state.callLogCapacity) {
        size_t capacity = g_state.callLogCapacity ? g_state.callLogCapacity : 1024;
        while (capacity < needed)
            capacity *= 2;
        char* grown = realloc(g_state.callLog, capacity);
        if (!grown)
            return;
        g_state.callLog = grown;
        g_state.callLogCapacity = capacity;
    }
    memcpy(g_state.callLog + g_state.callLogLength, entry, (size_t)length);
    g_state.callLogLength += (size_t)length;
    g_state.callLog[g_state.callLogLength] = '\0';
}

/* Writes a float with "%g" and a decimal point whatever the locale: "%g"
 * follows LC_NUMERIC, and QCoreApplication sets the locale from the
 * environment on Unix, yet the log must read the same everywhere. Unused in
 * the case that omits SetControllerValue. */
__attribute__((unused)) static void formatFloat(char* buffer, size_t size, float value)
{
    snprintf(buffer, size, "%g", (double)value);
    for (char* c = buffer; *c; ++c) {
        if (*c == ',')
            *c = '.';
    }
}

static float lookUp(const struct ValueEntry* table, int count, int index, int type)
{
    for (int i = 0; i < count; ++i) {
        if (table[i].index == index && table[i].type == type)
            return table[i].value;
    }
    return 0.0f;
}

static void store(struct ValueEntry* table, int* count, int index, int type, float value)
{
    for (int i = 0; i < *count; ++i) {
        if (table[i].index == index && table[i].type == type) {
            table[i].value = value;
            return;
        }
    }
    if (*count < STUB_TABLE_SIZE) {
        table[*count].index = index;
        table[*count].type = type;
        table[*count].value = value;
        ++*count;
    }
}

/* ---- The RailDriver functions ------------------------------------------ */

#ifndef STUB_OMIT_SetRailDriverConnected
STUB_EXPORT void SetRailDriverConnected(bool connected)
{
    pthread_mutex_lock(&g_mutex);
    logCall("SetRailDriverConnected(%d);", connected ? 1 : 0);
    pthread_mutex_unlock(&g_mutex);
}
#endif

#ifndef STUB_OMIT_GetRailDriverConnected
STUB_EXPORT bool GetRailDriverConnected(void)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetRailDriverConnected();");
    const bool connected = g_state.connected;
    pthread_mutex_unlock(&g_mutex);
    return connected;
}
#endif

#ifndef STUB_OMIT_GetLocoName
STUB_EXPORT const char* GetLocoName(void)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetLocoName();");
    ++g_waiting;
    while (g_held)
        pthread_cond_wait(&g_released, &g_mutex);
    --g_waiting;
    const char* name = g_state.locoNameIsNull ? NULL : g_state.locoName;
    pthread_mutex_unlock(&g_mutex);
    return name;
}
#endif

#ifndef STUB_OMIT_GetControllerList
STUB_EXPORT const char* GetControllerList(void)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetControllerList();");
    const char* list = g_state.controllerListIsNull ? NULL : g_state.controllerList;
    pthread_mutex_unlock(&g_mutex);
    return list;
}
#endif

#ifndef STUB_OMIT_GetControllerValue
STUB_EXPORT float GetControllerValue(int index, int type)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetControllerValue(%d,%d);", index, type);
    const float value = lookUp(g_state.controllerValues, g_state.controllerValueCount, index, type);
    pthread_mutex_unlock(&g_mutex);
    return value;
}
#endif

#ifndef STUB_OMIT_SetControllerValue
STUB_EXPORT void SetControllerValue(int index, float value)
{
    char number[64];
    formatFloat(number, sizeof number, value);
    pthread_mutex_lock(&g_mutex);
    logCall("SetControllerValue(%d,%s);", index, number);
    pthread_mutex_unlock(&g_mutex);
}
#endif

#ifndef STUB_OMIT_GetRailSimValue
STUB_EXPORT float GetRailSimValue(int id, int zero)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetRailSimValue(%d,%d);", id, zero);
    const float value = lookUp(g_state.railSimValues, g_state.railSimValueCount, id, 0);
    pthread_mutex_unlock(&g_mutex);
    return value;
}
#endif

#ifndef STUB_OMIT_GetRailSimLocoChanged
STUB_EXPORT bool GetRailSimLocoChanged(void)
{
    pthread_mutex_lock(&g_mutex);
    logCall("GetRailSimLocoChanged();");
    const bool changed = g_state.locoChanged;
    pthread_mutex_unlock(&g_mutex);
    return changed;
}
#endif

/* ---- Control functions for tests --------------------------------------- */

/* Back to the state of a freshly loaded stub: empty loco name and controller
 * list, every value 0, connected, locomotive not changed, empty call log,
 * not held. */
STUB_EXPORT void StubReset(void)
{
    pthread_mutex_lock(&g_mutex);
    char* log = g_state.callLog;
    const size_t capacity = g_state.callLogCapacity;
    memset(&g_state, 0, sizeof g_state);
    g_state.connected = true;
    g_state.callLog = log; /* keep the buffer, drop its content */
    g_state.callLogCapacity = capacity;
    if (log)
        log[0] = '\0';
    g_held = false;
    pthread_cond_broadcast(&g_released);
    pthread_mutex_unlock(&g_mutex);
}

/* NULL makes GetLocoName return a null pointer. */
STUB_EXPORT void StubSetLocoName(const char* name)
{
    pthread_mutex_lock(&g_mutex);
    g_state.locoNameIsNull = name == NULL;
    copyText(g_state.locoName, name ? name : "");
    pthread_mutex_unlock(&g_mutex);
}

/* The raw list text, names joined by "::"; NULL makes GetControllerList
 * return a null pointer. */
STUB_EXPORT void StubSetControllerList(const char* list)
{
    pthread_mutex_lock(&g_mutex);
    g_state.controllerListIsNull = list == NULL;
    copyText(g_state.controllerList, list ? list : "");
    pthread_mutex_unlock(&g_mutex);
}

/* What GetControllerValue(index, type) answers from now on. */
STUB_EXPORT void StubSetValue(int index, int type, float value)
{
    pthread_mutex_lock(&g_mutex);
    store(g_state.controllerValues, &g_state.controllerValueCount, index, type, value);
    pthread_mutex_unlock(&g_mutex);
}

/* What GetRailSimValue(id, ...) answers from now on. */
STUB_EXPORT void StubSetRailSimValue(int id, float value)
{
    pthread_mutex_lock(&g_mutex);
    store(g_state.railSimValues, &g_state.railSimValueCount, id, 0, value);
    pthread_mutex_unlock(&g_mutex);
}

STUB_EXPORT void StubSetConnected(bool connected)
{
    pthread_mutex_lock(&g_mutex);
    g_state.connected = connected;
    pthread_mutex_unlock(&g_mutex);
}

STUB_EXPORT void StubSetLocoChanged(bool changed)
{
    pthread_mutex_lock(&g_mutex);
    g_state.locoChanged = changed;
    pthread_mutex_unlock(&g_mutex);
}

/* While held, every GetLocoName call waits until the stub is released. */
STUB_EXPORT void StubHold(bool held)
{
    pthread_mutex_lock(&g_mutex);
    g_held = held;
    if (!held)
        pthread_cond_broadcast(&g_released);
    pthread_mutex_unlock(&g_mutex);
}

/* How many GetLocoName calls are waiting for the stub's release. */
STUB_EXPORT int StubWaitingCalls(void)
{
    pthread_mutex_lock(&g_mutex);
    const int waiting = g_waiting;
    pthread_mutex_unlock(&g_mutex);
    return waiting;
}

/* Copies the call log, NUL-terminated and cut to fit, into `buffer` and
 * returns the log's full length in bytes (without the NUL). Call with
 * size 0 to learn the length first. The copy is taken under the mutex, so
 * it never shows half an entry. */
STUB_EXPORT int StubCopyCallLog(char* buffer, int size)
{
    pthread_mutex_lock(&g_mutex);
    const size_t length = g_state.callLogLength;
    if (buffer && size > 0) {
        const size_t copied = length < (size_t)size - 1 ? length : (size_t)size - 1;
        if (copied)
            memcpy(buffer, g_state.callLog, copied);
        buffer[copied] = '\0';
    }
    pthread_mutex_unlock(&g_mutex);
    return (int)length;
}

STUB_EXPORT void StubClearCallLog(void)
{
    pthread_mutex_lock(&g_mutex);
    g_state.callLogLength = 0;
    if (g_state.callLog)
        g_state.callLog[0] = '\0';
    pthread_mutex_unlock(&g_mutex);
}
