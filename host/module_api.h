// The module's eight exports, resolved from a dlopen'ed libHx_Aec_Mod.so.
#ifndef HX_HOST_MODULE_API_H
#define HX_HOST_MODULE_API_H

#include <string>

#include "hx_aec_mod.h"

namespace host {

struct ModuleApi {
  void *handle = nullptr;
  int32_t (*Init)(void) = nullptr;
  int32_t (*DeInit)(void) = nullptr;
  int32_t (*GetUpComCallBackPtr)(void **, void **, void **, void **) = nullptr;
  int32_t (*SetDownComCallBackPtr)(void *, void *, void *, void *) = nullptr;
  int32_t (*SetAecMode)(uint8_t) = nullptr;
  int32_t (*SetMicroCapture)(uint8_t) = nullptr;
  int32_t (*SetSysCapture)(uint8_t) = nullptr;
  int32_t (*SetOnlineCapSys)(uint8_t) = nullptr;
};

// dlopen()s the module and resolves all eight exports. False with a
// one-line reason in *error (the library is closed again then).
// Loads the five stand-in back-ends of the simulated world from `dir`
// before the module: the loader then binds the module (and its later
// dlopen of the voice path and the version library by name) to these
// instead of the back-ends that lie beside the module.
bool PreloadSimBackends(const std::string &dir, std::string *error);

bool LoadModule(const std::string &path, ModuleApi *api, std::string *error);

}  // namespace host

#endif
