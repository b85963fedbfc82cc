#include "platform/thread.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <new>

namespace hx {

struct Thread {
  pthread_t id;
  ThreadRoutine routine;
  void *param;
  bool joined;
};

namespace {
void *Trampoline(void *p) {
  Thread *t = static_cast<Thread *>(p);
  t->routine(t->param);
  return nullptr;
}
}  // namespace

Thread *CreateThread(ThreadRoutine routine, void *param, const char *name) {
  Thread *t = new (std::nothrow) Thread{pthread_t(), routine, param, false};
  if (!t) return nullptr;
  if (pthread_create(&t->id, nullptr, Trampoline, t) != 0) {
    delete t;
    return nullptr;
  }
  if (name) pthread_setname_np(t->id, name);
  return t;
}

bool WaitThread(Thread *t, uint32_t timeout_ms) {
  if (!t) return true;
  if (t->joined) return true;
  if (timeout_ms == 0xFFFFFFFFu) {
    t->joined = pthread_join(t->id, nullptr) == 0;
    return t->joined;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc = pthread_clockjoin_np(t->id, nullptr, CLOCK_MONOTONIC, &deadline);
  if (rc == 0) t->joined = true;
  return t->joined;
}

void CloseThread(Thread *t) {
  if (!t) return;
  if (!t->joined) {
    if (pthread_equal(t->id, pthread_self()))
      pthread_detach(t->id);  // a thread closing itself cannot wait for itself
    else
      pthread_join(t->id, nullptr);
  }
  delete t;
}

bool IsCurrentThread(const Thread *t) { return t && pthread_equal(t->id, pthread_self()); }

int32_t SetCurrentThreadTimeCritical() {
  // Round-robin real-time class at a middle priority: above every ordinary
  // thread, below the system's own real-time work, and never able to lock
  // out other real-time threads of equal priority. Without the privilege the
  // request fails and the thread keeps its normal priority.
  sched_param sp;
  sp.sched_priority = (sched_get_priority_min(SCHED_RR) + sched_get_priority_max(SCHED_RR)) / 2;
  return pthread_setschedparam(pthread_self(), SCHED_RR, &sp) == 0 ? 1 : 0;
}

void *LoadLibrary(const char *name) { return dlopen(name, RTLD_NOW); }
void *GetProcAddress(void *lib, const char *symbol) { return lib ? dlsym(lib, symbol) : nullptr; }
void FreeLibrary(void *lib) {
  if (lib) dlclose(lib);
}

}  // namespace hx
