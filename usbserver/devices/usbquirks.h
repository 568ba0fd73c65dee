// Devices that need special handling, by idVendor:idProduct.
//
// The tests take idVendor and idProduct as one 32-bit word, idVendor in
// the low half (the layout of bytes 8..11 of the device descriptor).
#ifndef USBSERVER_DEVICES_USBQUIRKS_H
#define USBSERVER_DEVICES_USBQUIRKS_H

#include <cstdint>

// One value per special device (or device family); the comment says what
// the handling is. The handling itself lives with the code that acts.
enum class UsbQuirk {
  NeverEntered,               // 0424:2740: not entered in the table
  NoOsStringDescriptor,       // 1bc0:8101: string 0xEE never fetched
  UnconfigureFirst,           // 088e:5036: no 0xEE at probe; SET_CONFIGURATION 0 first;
                              //   long power-off after release
  StartConfigPowerCycle,      // 04b4:1235: configuration index 0 when added;
                              //   DISCONNECT power-cycles the port
  LocalConfigOne,             // 126f:1165: SET_CONFIGURATION 1 only selects entry 0
  HardResetBeforeConfig,      // 110a:1151: configuration always to the device,
                              //   hard reset above 1, refreshes the config header
  AlwaysConfigureNoClearHalt, // 0819:0101: configuration always to the device after
                              //   SET_CONFIGURATION 0; CLEAR_HALT answered locally
  NoClearHalt,                // 0a50:0101: CLEAR_HALT answered locally
  ResetEndpointForClearHalt,  // 2457:101e: CLEAR_HALT becomes a reset of the endpoint
  HardResetForReset,          // 08df:3201: RESET_DEVICE uses the hard reset
  ResetAfterControlTimeout,   // 0529:0001: a control time-out is followed by a reset
  HardResetForUnconfigure,    // vendor 0d46: SET_CONFIGURATION 0 becomes the hard reset
  ResetFallbacksOnNoDevice,   // product 8086 of any vendor, vendor 1139 of any product:
                              //   DISCONNECT runs its reset fallbacks after ENODEV too
};

// The word of a vendor and product id: vendor in the low half.
constexpr uint32_t usbVendorProductWord(uint16_t vendor, uint16_t product) {
  return static_cast<uint32_t>(vendor) | (static_cast<uint32_t>(product) << 16);
}

// True when the device of the word needs the handling of quirk.
bool isUsbQuirkDevice(UsbQuirk quirk, uint32_t vendorProduct);

#endif
