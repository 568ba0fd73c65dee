// Data buffers of transfer sub-requests, per usbfs handle.
//
// Buffers of a few KiB and more are taken from the handle's own pool: memory
// mapped from the handle (UsbHost::mapTransferBuffer), which the host
// controller fills or reads in place, so a bulk transfer's data goes from
// the device to the socket, or from the socket to the device, without
// usbfs copying it. They stay mapped and are reused by the handle's later
// transfers: mapping costs a system call and the kernel's allocation of
// DMA memory each time.
//
// Where mapping fails (usbfs at its memory limit, an old kernel, a host
// without such memory) ordinary memory is used and usbfs copies; buffers
// of the chunk size are kept for reuse there too.
#ifndef USBSERVER_TRANSFERS_URBBUFFERS_H
#define USBSERVER_TRANSFERS_URBBUFFERS_H

#include <cstddef>

// A buffer of size bytes (at least 1) for a transfer on handle (-1: none),
// null without memory.
void* allocUrbBuffer(int handle, size_t size);
// Gives back a buffer of allocUrbBuffer with the size it was asked for;
// null is ignored. A buffer of a handle that was dropped is unmapped.
void freeUrbBuffer(void* buffer, size_t size);
// The handle is about to be revoked or closed: its pool's idle buffers are
// unmapped, and those still in use are unmapped when they are given back.
// (The host keeps the memory of those valid meanwhile.)
void dropUrbBuffers(int handle);

// Mapped buffers held now: in use and kept idle in the pools.
int mappedUrbBufferCount();

#endif
