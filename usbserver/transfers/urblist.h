// The transfer list of a device row: an intrusive circular list of the
// row's client transfer requests. A request type links itself in by
// deriving from UrbLink.
#ifndef USBSERVER_TRANSFERS_URBLIST_H
#define USBSERVER_TRANSFERS_URBLIST_H

#include <cstdint>

struct UrbLink {
  UrbLink* next = nullptr;
  UrbLink* prev = nullptr;
};

// The list head. It carries the marks of a request that is none: row -1 and
// tag 0xAFFE.
struct UrbList {
  static constexpr uint32_t kHeadTag = 0xAFFE;

  UrbLink anchor;
  int32_t row = -1;
  uint32_t tag = kHeadTag;

  UrbList() { clear(); }
  UrbList(const UrbList&) = delete;
  UrbList& operator=(const UrbList&) = delete;

  // Forgets every member (the caller has released them).
  void clear() { anchor.next = anchor.prev = &anchor; }
  bool empty() const { return anchor.next == &anchor; }
  // First member, null when empty; the member after link, null at the end.
  UrbLink* first() { return empty() ? nullptr : anchor.next; }
  UrbLink* after(UrbLink* link) { return link->next == &anchor ? nullptr : link->next; }
  void append(UrbLink* link) {
    link->prev = anchor.prev;
    link->next = &anchor;
    anchor.prev->next = link;
    anchor.prev = link;
  }
  static void unlink(UrbLink* link) {
    if (!link->next) return;
    link->prev->next = link->next;
    link->next->prev = link->prev;
    link->next = link->prev = nullptr;
  }
};

#endif
