// Which sinks and sources count as audio endpoints, and in which state.
#ifndef HX_PULSE_ENDPOINT_COUNT_H
#define HX_PULSE_ENDPOINT_COUNT_H

#include <pulse/pulseaudio.h>
#include <stdint.h>

namespace hxpa {

// Device states as the endpoint API reports them (bits of a state mask).
enum : uint32_t { kStateActive = 1, kStateUnplugged = 8 };

// 0: not an endpoint (a sink's monitor, the server's stand-in "auto_null"
// device); else kStateActive, or kStateUnplugged when the device has ports
// and every one of them reports that nothing is plugged in (a headset jack
// left empty). Devices without ports (virtual and null devices) are active.
uint32_t EndpointState(const char *name, uint32_t monitor_of_sink, pa_sink_port_info **ports,
                       uint32_t n_ports);
uint32_t EndpointState(const char *name, uint32_t monitor_of_sink, pa_source_port_info **ports,
                       uint32_t n_ports);

}  // namespace hxpa

#endif
