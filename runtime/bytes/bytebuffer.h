// A growable byte buffer: connections receive into it and text is
// formatted into it.
//
// The buffer either owns its allocation (owned 1, freed by release and by
// the destructor) or points at memory lent by the caller (owned 0, never
// freed). Copies are made only through assign.
#ifndef RUNTIME_BYTES_BYTEBUFFER_H
#define RUNTIME_BYTES_BYTEBUFFER_H

#include <cstdint>

struct ByteBuffer {
  char* data;        // the allocation, or memory lent by the caller
  int32_t capacity;  // size of data in bytes
  int32_t owned;     // 1: data was allocated here and is freed here
  char* base;        // start of the content (equals data except transiently)
  int32_t length;    // content bytes at base

  // All members zero.
  ByteBuffer();
  // Frees an owned allocation.
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // All members zero without freeing anything (the caller keeps lent memory).
  void clear();
  // base = data, length 0.
  void rewind();
  // Frees an owned allocation; all members zero. Returns the old data
  // pointer (of use only for lent memory).
  char* release();
  // Reuses (rewinds) an owned allocation of at least size bytes; otherwise
  // frees an owned one (lent memory is dropped) and allocates exactly size
  // bytes. 1: base = data, length 0, owned 1. 0 when the allocation failed
  // (reported on standard error).
  int reserve(int32_t size);
  // vsnprintf at base + length into the bytes left. A positive count grows
  // length, at most to capacity - 1 when the text was cut, so the
  // terminator never counts as content. Returns vsnprintf's count.
  int appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // release, reserve other's length and copy its content; 1, or 0 when
  // the reservation failed.
  int assign(const ByteBuffer& other);
};

#endif
