#include "runtime/bytes/bytebuffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/task/task.h"

ByteBuffer::ByteBuffer() { clear(); }

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::clear() {
  data = nullptr;
  capacity = 0;
  owned = 0;
  base = nullptr;
  length = 0;
}

void ByteBuffer::rewind() {
  base = data;
  length = 0;
}

char* ByteBuffer::release() {
  char* old = data;
  if (owned && data != nullptr) std::free(data);
  clear();
  return old;
}

int ByteBuffer::reserve(int32_t size) {
  if (owned && data != nullptr && capacity >= size) {
    rewind();
    return 1;
  }
  release();
  // malloc(0) may give null; one byte keeps an empty buffer valid.
  char* fresh = size >= 0 ? static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1)) : nullptr;
  if (fresh == nullptr) {
    std::fprintf(stderr, "FATAL ERROR MEM FAULT size:%d %s !!\n", size, currentTaskName());
    return 0;
  }
  data = fresh;
  capacity = size;
  owned = 1;
  rewind();
  return 1;
}

int ByteBuffer::appendf(const char* format, ...) {
  const bool room = base != nullptr && length >= 0 && length < capacity;
  va_list args;
  va_start(args, format);
  const int count = room ? std::vsnprintf(base + length, static_cast<size_t>(capacity - length), format, args)
                         : std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (room && count > 0) {
    // A cut text ends with the terminator in the last byte; it is not content.
    const int32_t limit = capacity - 1;
    length = (count > limit - length) ? limit : length + count;
  }
  return count;
}

int ByteBuffer::assign(const ByteBuffer& other) {
  if (&other == this) return 1;
  release();
  if (!reserve(other.length)) return 0;
  if (other.length > 0) std::memcpy(data, other.base, static_cast<size_t>(other.length));
  length = other.length;
  return 1;
}
