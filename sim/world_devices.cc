// Audio endpoint enumeration (HRESULT-style results) and OS version numbers.
#include "world_internal.h"

using namespace hxsim;

namespace {

constexpr int32_t kEPointer = static_cast<int32_t>(0x80004003u);     // E_POINTER
constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);  // E_INVALIDARG

// Lock held. The object behind `p` if the world handed it out and it was
// not released yet, else null.
DeviceObject *LiveObject(World &w, void *p, int kind) {
  if (!p || !w.known_objects.count(p)) return nullptr;
  DeviceObject *o = static_cast<DeviceObject *>(p);
  return o->alive && o->kind == kind ? o : nullptr;
}

// Lock held.
void *NewObject(World &w, int kind, int32_t data_flow, uint32_t count) {
  w.objects.emplace_back();
  DeviceObject &o = w.objects.back();
  o.kind = kind;
  o.data_flow = data_flow;
  o.count = count;
  o.epoch = w.epoch;
  w.known_objects.insert(&o);
  ++w.objects_alive;
  return &o;
}

}  // namespace

extern "C" {

int32_t hxsim_bk_co_initialize(void *reserved) {
  (void)reserved;
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_CoInitialize()\n");
  return 0;
}

void hxsim_bk_co_uninitialize(void) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_CoUninitialize()\n");
}

int32_t hxsim_bk_create_enumerator(void **enumerator) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_CreateDeviceEnumerator()\n");
  if (!enumerator) return kEPointer;
  *enumerator = nullptr;
  if (w.fail_step == HXSIM_FAIL_CREATE_ENUMERATOR) return w.fail_hresult;
  *enumerator = NewObject(w, 0, 0, 0);
  return 0;
}

// The collection is a snapshot of the endpoints at this call. Data flow 2
// (both directions) is accepted too.
int32_t hxsim_bk_enum_endpoints(void *enumerator, int32_t data_flow, uint32_t state_mask,
                                void **collection) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_EnumAudioEndpoints(%d,%u)\n", data_flow, state_mask);
  if (!collection) return kEPointer;
  *collection = nullptr;
  if (!LiveObject(w, enumerator, 0) || data_flow < 0 || data_flow > 2) return kEInvalidArg;
  if (data_flow == 0 && w.fail_step == HXSIM_FAIL_ENUM_RENDER) return w.fail_hresult;
  if (data_flow == 1 && w.fail_step == HXSIM_FAIL_ENUM_CAPTURE) return w.fail_hresult;
  uint32_t count = 0;
  if (state_mask & 1u) {  // every simulated endpoint is active
    if (data_flow != 1) count += w.render_endpoints;
    if (data_flow != 0) count += w.capture_endpoints;
  }
  *collection = NewObject(w, 1, data_flow, count);
  return 0;
}

int32_t hxsim_bk_get_count(void *collection, uint32_t *count) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_GetCount()\n");
  if (!count) return kEPointer;
  DeviceObject *o = LiveObject(w, collection, 1);
  if (!o) return kEInvalidArg;
  if (o->data_flow == 0 && w.fail_step == HXSIM_FAIL_COUNT_RENDER) return w.fail_hresult;
  if (o->data_flow == 1 && w.fail_step == HXSIM_FAIL_COUNT_CAPTURE) return w.fail_hresult;
  *count = o->count;
  return 0;
}

// Releasing an object that was not handed out or was already released is
// counted as a bad release (see hxsim_device_bad_releases).
void hxsim_bk_release(void *object) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "MMDevApi_Release()\n");
  if (!object || !w.known_objects.count(object)) {
    ++w.bad_releases;
    return;
  }
  DeviceObject *o = static_cast<DeviceObject *>(object);
  if (!o->alive) {
    ++w.bad_releases;
    return;
  }
  o->alive = false;
  if (o->epoch == w.epoch) --w.objects_alive;
}

void hxsim_bk_os_version(uint32_t *major, uint32_t *minor, uint32_t *build) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  LogCall(w, "RtlGetNtVersionNumbers()\n");
  if (major) *major = w.os_major;
  if (minor) *minor = w.os_minor;
  if (build) *build = w.os_build;
}

}  // extern "C"
