// The status LED's address pattern. setAddress reports every address it
// sets; the board layer, when it has an LED driver, installs the handler
// that shows the "address ok" or "no address" pattern.
#ifndef NET_ADDRESS_ADDRESSLED_H
#define NET_ADDRESS_ADDRESSLED_H

// addressOk: a non-zero address outside 169.254.0.0/16 is set.
using AddressLedHandler = void (*)(int addressOk);

void setAddressLedHandler(AddressLedHandler handler);
void showAddressLed(int addressOk);

#endif
