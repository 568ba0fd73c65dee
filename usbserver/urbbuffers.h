// Data buffers of transfer sub-requests. Buffers of the chunk size are
// kept for reuse: a bulk transfer takes and gives back one per 64 KiB, and
// handing that much memory back to the system each time and faulting it in
// again costs more than the transfer's own copies.
#ifndef USBSERVER_URBBUFFERS_H
#define USBSERVER_URBBUFFERS_H

#include <cstddef>

// A buffer of size bytes (at least 1), null without memory.
void* allocUrbBuffer(size_t size);
// Gives back a buffer of allocUrbBuffer with the size it was asked for;
// null is ignored.
void freeUrbBuffer(void* buffer, size_t size);

#endif
