// libMMDevApi.so over PulseAudio. A connection of the library's own keeps
// a snapshot of the server's sinks (render endpoints) and sources (capture
// endpoints), refreshed on every change the server announces; the calls
// only read that snapshot, so none of them waits on the server (the first
// enumeration after start waits up to kFirstWaitMs for the connection).
// Monitor sources are not endpoints; the libraries' own streams are
// streams, not sinks or sources, so they never count. With no server
// reachable every enumeration fails.
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "backends/api/mmdevapi.h"
#include "pulse/endpoint_count.h"
#include "pulse/export.h"
#include "pulse/pa_link.h"

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kNoServer = (int32_t)0x88890010u;   // audio service not running
constexpr int32_t kBadPointer = (int32_t)0x80004003u;
constexpr int32_t kBadArgument = (int32_t)0x80070057u;
constexpr int32_t kNoMemory = (int32_t)0x8007000Eu;
constexpr int kFirstWaitMs = 80;

enum : uint32_t { kEnumeratorTag = 0x454e554d, kCollectionTag = 0x434f4c4c };
struct Object {
  uint32_t tag;
  uint32_t count;
};

struct Counts {
  uint32_t active[2] = {0, 0};  // [0] render, [1] capture
  uint32_t unplugged[2] = {0, 0};
  void Add(int flow, uint32_t state) {
    if (state == hxpa::kStateActive) ++active[flow];
    else if (state == hxpa::kStateUnplugged) ++unplugged[flow];
  }
};

class EndpointWatch : public hxpa::PaLinkClient {
 public:
  void Start() {
    if (link_.started()) return;
    {
      std::lock_guard<std::mutex> lk(mu_);
      waited_ = false;
    }
    link_.Start("hx-endpoints", this);
  }
  void Stop() {
    link_.Stop();
    std::lock_guard<std::mutex> lk(mu_);
    valid_ = false;
  }
  // A copy of the snapshot; false while there is none.
  bool Get(Counts *out) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!waited_) {  // the first call after a start: let the connection settle
      waited_ = true;
      const int failures = link_.failures();
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstWaitMs);
      while (!valid_ && link_.failures() == failures && std::chrono::steady_clock::now() < until)
        cv_.wait_for(lk, std::chrono::milliseconds(5));
    }
    if (valid_) *out = snapshot_;
    return valid_;
  }

 private:
  void OnReady(pa_context *c) override {
    pending_ = 0;
    dirty_ = false;
    pa_context_set_subscribe_callback(c, OnEvent, this);
    Release(pa_context_subscribe(c, (pa_subscription_mask_t)(PA_SUBSCRIPTION_MASK_SINK |
                                                               PA_SUBSCRIPTION_MASK_SOURCE),
                                 nullptr, nullptr));
    Refresh(c);
  }
  void OnLost() override {
    pending_ = 0;
    std::lock_guard<std::mutex> lk(mu_);
    valid_ = false;
  }
  bool OnTick(pa_context *) override { return false; }  // every change is announced

  static void Release(pa_operation *o) {
    if (o) pa_operation_unref(o);
  }
  // Lists sinks and sources anew; a change announced during a listing
  // starts another when it ends.
  void Refresh(pa_context *c) {
    if (pending_ > 0) {
      dirty_ = true;
      return;
    }
    dirty_ = false;
    next_ = Counts();
    pending_ = 2;
    Release(pa_context_get_sink_info_list(c, OnSink, this));
    Release(pa_context_get_source_info_list(c, OnSource, this));
  }
  static void OnEvent(pa_context *c, pa_subscription_event_type_t, uint32_t, void *self) {
    static_cast<EndpointWatch *>(self)->Refresh(c);
  }
  static void OnSink(pa_context *c, const pa_sink_info *i, int eol, void *self_) {
    auto *self = static_cast<EndpointWatch *>(self_);
    if (eol) return self->ListDone(c, eol);
    self->next_.Add(0, hxpa::EndpointState(i->name, PA_INVALID_INDEX, i->ports, i->n_ports));
  }
  static void OnSource(pa_context *c, const pa_source_info *i, int eol, void *self_) {
    auto *self = static_cast<EndpointWatch *>(self_);
    if (eol) return self->ListDone(c, eol);
    self->next_.Add(1, hxpa::EndpointState(i->name, i->monitor_of_sink, i->ports, i->n_ports));
  }
  void ListDone(pa_context *c, int eol) {
    if (eol < 0) failed_ = true;
    if (--pending_ > 0) return;
    if (!failed_) {
      std::lock_guard<std::mutex> lk(mu_);
      snapshot_ = next_;
      valid_ = true;
      cv_.notify_all();
    }
    failed_ = false;
    if (dirty_) Refresh(c);
  }

  hxpa::PaLink link_;
  // Main-loop thread only.
  int pending_ = 0;
  bool dirty_ = false, failed_ = false;
  Counts next_;
  // Shared with the callers.
  std::mutex mu_;
  std::condition_variable cv_;
  bool valid_ = false, waited_ = false;
  Counts snapshot_;
};

std::mutex g_life_mu;  // starts and stops of the watch
int g_co_refs = 0;
EndpointWatch *g_watch = nullptr;  // plain pointer: stopped explicitly, never by exit order

EndpointWatch *Watch() {
  std::lock_guard<std::mutex> lk(g_life_mu);
  if (!g_watch) g_watch = new EndpointWatch;
  g_watch->Start();
  return g_watch;
}

__attribute__((destructor)) void StopWatchAtUnload() {
  std::lock_guard<std::mutex> lk(g_life_mu);
  if (g_watch) g_watch->Stop();
  delete g_watch;
  g_watch = nullptr;
}

Object *NewObject(uint32_t tag, uint32_t count) {
  auto *o = static_cast<Object *>(malloc(sizeof(Object)));
  if (o) *o = Object{tag, count};
  return o;
}

}  // namespace

extern "C" {

HX_PULSE_EXPORT int32_t MMDevApi_CoInitialize(void *) {
  {
    std::lock_guard<std::mutex> lk(g_life_mu);
    ++g_co_refs;
  }
  Watch();
  return kOk;
}

// The last one stops the watch; the next enumeration starts it again.
HX_PULSE_EXPORT void MMDevApi_CoUninitialize(void) {
  std::lock_guard<std::mutex> lk(g_life_mu);
  if (g_co_refs > 0 && --g_co_refs == 0 && g_watch) g_watch->Stop();
}

HX_PULSE_EXPORT int32_t MMDevApi_CreateDeviceEnumerator(void **enumerator) {
  if (!enumerator) return kBadPointer;
  *enumerator = nullptr;
  Counts counts;
  if (!Watch()->Get(&counts)) return kNoServer;
  Object *o = NewObject(kEnumeratorTag, 0);
  if (!o) return kNoMemory;
  *enumerator = o;
  return kOk;
}

// The collection holds the count of the snapshot taken now.
HX_PULSE_EXPORT int32_t MMDevApi_EnumAudioEndpoints(void *enumerator, int32_t data_flow,
                                                    uint32_t state_mask, void **collection) {
  if (!collection) return kBadPointer;
  *collection = nullptr;
  auto *e = static_cast<Object *>(enumerator);
  if (!e || e->tag != kEnumeratorTag || data_flow < 0 || data_flow > 1) return kBadArgument;
  Counts counts;
  if (!Watch()->Get(&counts)) return kNoServer;
  uint32_t n = 0;
  if (state_mask & hxpa::kStateActive) n += counts.active[data_flow];
  if (state_mask & hxpa::kStateUnplugged) n += counts.unplugged[data_flow];
  Object *o = NewObject(kCollectionTag, n);
  if (!o) return kNoMemory;
  *collection = o;
  return kOk;
}

HX_PULSE_EXPORT int32_t MMDevApi_GetCount(void *collection, uint32_t *count) {
  auto *c = static_cast<Object *>(collection);
  if (!count) return kBadPointer;
  if (!c || c->tag != kCollectionTag) return kBadArgument;
  *count = c->count;
  return kOk;
}

HX_PULSE_EXPORT void MMDevApi_Release(void *object) {
  auto *o = static_cast<Object *>(object);
  if (!o || (o->tag != kEnumeratorTag && o->tag != kCollectionTag)) return;
  o->tag = 0;
  free(o);
}

}  // extern "C"
