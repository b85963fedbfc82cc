#include "echo/echo_canceller.h"

// Defined only in programs that link the AEC3 engine (echo/CMakeLists.txt).
extern "C" EchoCanceller *hx_echo_aec3_create(const hx_echo_settings *s, const char **error)
    __attribute__((weak));

EchoCanceller *CreateEchoCanceller(const hx_echo_settings &s, const char **error) {
  switch (s.engine) {
    case HX_ECHO_ENGINE_WEBRTC:
      return CreateLegacyCanceller(s, error);
    case HX_ECHO_ENGINE_AEC3:
      if (hx_echo_aec3_create) return hx_echo_aec3_create(&s, error);
      *error = "the AEC3 engine is not linked into this program";
      return nullptr;
    default:
      *error = "unknown echo canceller engine";
      return nullptr;
  }
}
