#include "platform/thread.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace hx {

// The timed wait watches a completion flag and then joins the thread, which
// has already returned or is about to: the join itself never blocks long,
// and thread-aware tools see an ordinary join.
struct Thread {
  pthread_t id;
  ThreadRoutine routine;
  void *param;
  bool joined;
  std::mutex m;
  std::condition_variable cv;
  bool finished;
};

namespace {
void *Trampoline(void *p) {
  Thread *t = static_cast<Thread *>(p);
  t->routine(t->param);
  {
    std::lock_guard<std::mutex> g(t->m);
    t->finished = true;
  }
  t->cv.notify_all();
  return nullptr;
}
}  // namespace

Thread *CreateThread(ThreadRoutine routine, void *param, const char *name) {
  Thread *t = new (std::nothrow) Thread();
  if (!t) return nullptr;
  t->routine = routine;
  t->param = param;
  t->joined = false;
  t->finished = false;
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
  if (timeout_ms != 0xFFFFFFFFu) {
    std::unique_lock<std::mutex> g(t->m);
    if (!t->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [t] { return t->finished; }))
      return false;
  }
  t->joined = pthread_join(t->id, nullptr) == 0;
  return t->joined;
}

void CloseThread(Thread *t) {
  if (!t) return;
  if (!t->joined && pthread_equal(t->id, pthread_self())) {
    // A thread cannot wait for itself: let it end on its own. Its record
    // stays, since the thread still touches it on the way out.
    pthread_detach(t->id);
    return;
  }
  WaitThread(t, 0xFFFFFFFFu);
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

void *LoadLibrary(const char *name) {
  void *lib = dlopen(name, RTLD_NOW);
  if (lib || strchr(name, '/')) return lib;
  // Sanitizer runtimes intercept dlopen, whose search then misses this
  // module's RUNPATH. Walk the search path the loader has for this module
  // (LD_LIBRARY_PATH first, then the RUNPATH with $ORIGIN expanded), so the
  // same library wins as without the interceptor.
  Dl_info self;
  if (!dladdr(reinterpret_cast<void *>(&LoadLibrary), &self) || !self.dli_fname) return nullptr;
  void *me = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (!me) return nullptr;
  Dl_serinfo size;
  Dl_serinfo *paths = nullptr;
  if (dlinfo(me, RTLD_DI_SERINFOSIZE, &size) == 0 &&
      (paths = static_cast<Dl_serinfo *>(malloc(size.dls_size))) != nullptr) {
    *paths = size;
    if (dlinfo(me, RTLD_DI_SERINFO, paths) != 0) paths->dls_cnt = 0;
    for (unsigned i = 0; !lib && i < paths->dls_cnt; ++i) {
      char path[4096];
      int n = snprintf(path, sizeof path, "%s/%s", paths->dls_serpath[i].dls_name, name);
      if (n > 0 && (size_t)n < sizeof path) lib = dlopen(path, RTLD_NOW);
    }
    free(paths);
  }
  dlclose(me);
  return lib;
}
void *GetProcAddress(void *lib, const char *symbol) { return lib ? dlsym(lib, symbol) : nullptr; }
void FreeLibrary(void *lib) {
  if (lib) dlclose(lib);
}

void PinOwnLibrary() {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true)) return;
  Dl_info self;
  if (!dladdr(reinterpret_cast<void *>(&PinOwnLibrary), &self) || !self.dli_fname) return;
  // The handle is kept on purpose: the reference is never given back.
  (void)dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace hx
