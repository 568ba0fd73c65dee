#include "usbserver/devices/usbquirks.h"

namespace {

constexpr int32_t kAny = -1;

struct QuirkRow {
  UsbQuirk quirk;
  int32_t vendor;   // kAny: every vendor
  int32_t product;  // kAny: every product
};

// Several rows for one quirk mean "any of them".
constexpr QuirkRow kQuirks[] = {
    {UsbQuirk::NeverEntered, 0x0424, 0x2740},
    {UsbQuirk::NoOsStringDescriptor, 0x1bc0, 0x8101},
    {UsbQuirk::UnconfigureFirst, 0x088e, 0x5036},
    {UsbQuirk::StartConfigPowerCycle, 0x04b4, 0x1235},
    {UsbQuirk::LocalConfigOne, 0x126f, 0x1165},
    {UsbQuirk::HardResetBeforeConfig, 0x110a, 0x1151},
    {UsbQuirk::AlwaysConfigureNoClearHalt, 0x0819, 0x0101},
    {UsbQuirk::NoClearHalt, 0x0a50, 0x0101},
    {UsbQuirk::ResetEndpointForClearHalt, 0x2457, 0x101e},
    {UsbQuirk::HardResetForReset, 0x08df, 0x3201},
    {UsbQuirk::ResetAfterControlTimeout, 0x0529, 0x0001},
    {UsbQuirk::HardResetForUnconfigure, 0x0d46, kAny},
    {UsbQuirk::ResetFallbacksOnNoDevice, kAny, 0x8086},
    {UsbQuirk::ResetFallbacksOnNoDevice, 0x1139, kAny},
};

}  // namespace

bool isUsbQuirkDevice(UsbQuirk quirk, uint32_t vendorProduct) {
  const int32_t vendor = static_cast<int32_t>(vendorProduct & 0xFFFF);
  const int32_t product = static_cast<int32_t>(vendorProduct >> 16);
  for (const QuirkRow& row : kQuirks) {
    if (row.quirk != quirk) continue;
    if ((row.vendor == kAny || row.vendor == vendor) && (row.product == kAny || row.product == product))
      return true;
  }
  return false;
}
