#include "pulse/endpoint_count.h"

#include <string.h>

namespace hxpa {

namespace {

bool IsStandIn(const char *name) {
  return name && (!strcmp(name, "auto_null") || !strcmp(name, "auto_null.monitor"));
}

template <typename Port>
uint32_t State(const char *name, uint32_t monitor_of_sink, Port **ports, uint32_t n_ports) {
  if (monitor_of_sink != PA_INVALID_INDEX || IsStandIn(name)) return 0;
  if (n_ports == 0 || !ports) return kStateActive;
  for (uint32_t i = 0; i < n_ports; ++i)
    if (ports[i] && ports[i]->available != PA_PORT_AVAILABLE_NO) return kStateActive;
  return kStateUnplugged;
}

}  // namespace

uint32_t EndpointState(const char *name, uint32_t monitor_of_sink, pa_sink_port_info **ports,
                       uint32_t n_ports) {
  return State(name, monitor_of_sink, ports, n_ports);
}

uint32_t EndpointState(const char *name, uint32_t monitor_of_sink, pa_source_port_info **ports,
                       uint32_t n_ports) {
  return State(name, monitor_of_sink, ports, n_ports);
}

}  // namespace hxpa
