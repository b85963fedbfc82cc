#include "buffers/dgtl_store_buffer.h"

#include <stdlib.h>
#include <string.h>

#include "engine/log.h"

bool DgtlStoreBuffer_Open(DgtlStoreBuffer *rb, uint32_t capacity, const char *tag) {
  uint8_t *storage = static_cast<uint8_t *>(malloc(capacity ? capacity : 1));
  if (!storage) {
    log_printf("allocate buf error\n");
    return false;
  }
  DgtlStoreBuffer_Close(rb);
  rb->buf = storage;
  rb->size = capacity;
  rb->read_pos = rb->write_pos = rb->data_size = 0;
  rb->tag = tag;
  return true;
}

bool DgtlStoreBuffer_Close(DgtlStoreBuffer *rb) {
  free(rb->buf);
  rb->buf = nullptr;
  rb->data_size = rb->size = rb->write_pos = rb->read_pos = 0;
  return true;
}

bool DgtlStoreBuffer_Write(DgtlStoreBuffer *rb, const void *src, uint32_t n) {
  if (!src || n == 0) {
    log_printf("DgtlStoreBuffer: Para error !\n");
    return false;
  }
  if (rb->size - rb->data_size < n) return false;
  const uint8_t *s = static_cast<const uint8_t *>(src);
  rb->data_size += n;
  if (rb->read_pos == rb->write_pos && rb->data_size == n) {
    // Was empty: restart at the beginning of the storage.
    rb->read_pos = rb->write_pos = 0;
    memcpy(rb->buf, s, n);
  } else {
    uint32_t first = rb->size - rb->write_pos;
    if (first >= n) {
      memcpy(rb->buf + rb->write_pos, s, n);
    } else {
      memcpy(rb->buf + rb->write_pos, s, first);
      memcpy(rb->buf, s + first, n - first);
    }
  }
  rb->write_pos = (rb->write_pos + n) % rb->size;
  return true;
}

bool DgtlStoreBuffer_Read(DgtlStoreBuffer *rb, void *dst, uint32_t n) {
  if (rb->data_size < n) {
    log_printf("[%s] not enough data to read: %d-%d \n", rb->tag, (int)rb->data_size, (int)n);
    return false;
  }
  if (n == 0) return true;
  uint8_t *d = static_cast<uint8_t *>(dst);
  rb->data_size -= n;
  uint32_t first = rb->size - rb->read_pos;
  if (first >= n) {
    memcpy(d, rb->buf + rb->read_pos, n);
  } else {
    memcpy(d, rb->buf + rb->read_pos, first);
    memcpy(d + first, rb->buf, n - first);
  }
  rb->read_pos = (rb->read_pos + n) % rb->size;
  return true;
}

uint32_t DgtlStoreBuffer_DataSize(const DgtlStoreBuffer *rb) { return rb->data_size; }
