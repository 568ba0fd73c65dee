#include "net/address/addressled.h"

#include <atomic>

namespace {
std::atomic<AddressLedHandler> ledHandler{nullptr};
}

void setAddressLedHandler(AddressLedHandler handler) { ledHandler.store(handler); }

void showAddressLed(int addressOk) {
  AddressLedHandler handler = ledHandler.load();
  if (handler) handler(addressOk);
}
