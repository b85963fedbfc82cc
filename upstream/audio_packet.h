// One block in the microphone packet queue. The packet owns `data`
// (allocated with malloc): whoever removes it from the queue frees it.
#ifndef HX_UPSTREAM_AUDIO_PACKET_H
#define HX_UPSTREAM_AUDIO_PACKET_H

#include <stdint.h>

struct AudioPacket {
  int16_t *data;
  uint32_t frames;
  uint8_t bytes_per_frame;
  uint8_t channels;
  uint32_t sample_rate;
  uint32_t aux0;
  uint32_t aux1;
  uint32_t aux2;
};

#endif
