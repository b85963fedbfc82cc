// DgtlStoreBuffer: fixed-capacity byte FIFO with all-or-nothing writes and
// reads. It has no lock: the user guards every operation with its own lock.
#ifndef HX_BUFFERS_DGTL_STORE_BUFFER_H
#define HX_BUFFERS_DGTL_STORE_BUFFER_H

#include <stdint.h>

struct DgtlStoreBuffer {
  uint32_t size;       // capacity in bytes; 0 while closed
  uint32_t read_pos;   // offset of the oldest byte held
  uint32_t write_pos;  // offset of the next byte to write
  uint32_t data_size;  // bytes held
  uint8_t *buf;        // owned storage; null while closed
  const char *tag;     // name printed in messages; not owned
};

bool DgtlStoreBuffer_Open(DgtlStoreBuffer *rb, uint32_t capacity, const char *tag);
bool DgtlStoreBuffer_Close(DgtlStoreBuffer *rb);
bool DgtlStoreBuffer_Write(DgtlStoreBuffer *rb, const void *src, uint32_t n);
bool DgtlStoreBuffer_Read(DgtlStoreBuffer *rb, void *dst, uint32_t n);
uint32_t DgtlStoreBuffer_DataSize(const DgtlStoreBuffer *rb);

#endif
