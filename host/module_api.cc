#include "module_api.h"

#include <dlfcn.h>

namespace host {
namespace {

template <typename Fn>
bool Resolve(void *handle, const char *name, Fn *fn, std::string *error) {
  void *sym = dlsym(handle, name);
  if (!sym) {
    *error = std::string("module lacks the export ") + name;
    return false;
  }
  *fn = reinterpret_cast<Fn>(sym);
  return true;
}

}  // namespace

bool PreloadSimBackends(const std::string &dir, std::string *error) {
  for (const char *name : {"libMMDevApi.so", "libMirelDll.so", "libTovanDll.so", "libBrisaDll.so",
                           "libntdll.so"}) {
    const std::string path = dir + "/" + name;
    // Kept loaded for the life of the process, like the world itself.
    if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
      const char *why = dlerror();
      *error = "cannot load the simulated back-end '" + path + "': " + (why ? why : "unknown");
      return false;
    }
  }
  return true;
}

bool LoadModule(const std::string &path, ModuleApi *api, std::string *error) {
  // RTLD_NOW: a module with an unresolved symbol fails here, not mid-call.
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char *why = dlerror();
    *error = "cannot load module '" + path + "': " + (why ? why : "unknown reason");
    return false;
  }
  ModuleApi a;
  a.handle = h;
  bool ok = Resolve(h, "Hx_Aec_Init", &a.Init, error) &&
            Resolve(h, "Hx_Aec_DeInit", &a.DeInit, error) &&
            Resolve(h, "Hx_Aec_GetUpComCallBackPtr", &a.GetUpComCallBackPtr, error) &&
            Resolve(h, "Hx_Aec_SetDownComCallBackPtr", &a.SetDownComCallBackPtr, error) &&
            Resolve(h, "Hx_Aec_SetAecMode", &a.SetAecMode, error) &&
            Resolve(h, "Hx_Aec_SetMicroCapture", &a.SetMicroCapture, error) &&
            Resolve(h, "Hx_Aec_SetSysCapture", &a.SetSysCapture, error) &&
            Resolve(h, "HX_Aec_SetOnlineCapSys", &a.SetOnlineCapSys, error);
  if (!ok) {
    dlclose(h);
    return false;
  }
  *api = a;
  return true;
}

}  // namespace host
