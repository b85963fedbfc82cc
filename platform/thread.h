// Threads created with one parameter, whose end can be awaited with a time
// limit; the time-critical priority request; dynamic loading by name.
#ifndef HX_PLATFORM_THREAD_H
#define HX_PLATFORM_THREAD_H

#include <stdint.h>

namespace hx {

struct Thread;  // opaque handle
typedef uint32_t (*ThreadRoutine)(void *param);

// nullptr when the thread could not be created. `name` (at most 15
// characters) labels the thread for debuggers and /proc.
Thread *CreateThread(ThreadRoutine routine, void *param, const char *name = nullptr);
// Waits for the thread to end, at most timeout_ms (kInfinite: no limit).
// true when it has ended; the handle stays valid until CloseThread.
bool WaitThread(Thread *t, uint32_t timeout_ms);
// Releases the handle. A thread that has not ended is waited for first, so
// no handle and no thread outlives its owner.
void CloseThread(Thread *t);
// True when called on the thread `t`.
bool IsCurrentThread(const Thread *t);

// Requests real-time scheduling for the calling thread (Windows priority 15,
// time critical). Nonzero on success, 0 on failure, as on Windows.
int32_t SetCurrentThreadTimeCritical();

void *LoadLibrary(const char *name);       // dlopen(name, RTLD_NOW)
void *GetProcAddress(void *lib, const char *symbol);
void FreeLibrary(void *lib);
// Keeps the shared object that holds this code loaded until the process
// ends (RTLD_NODELETE): a later dlclose by the host no longer unmaps it, and
// its destructors run at exit instead. Works only outside dlclose: while
// the loader is already unloading the object, the mapping is not saved.
void PinOwnLibrary();

}  // namespace hx
#endif
