// Vendor and product names from the USB id list "/romfs/usb.ids".
#ifndef USBSERVER_DISCOVERY_USBVENDORNAMES_H
#define USBSERVER_DISCOVERY_USBVENDORNAMES_H

// When the list names vendor, its name (at most size-1 characters) replaces
// manufacturer; when it also names product of that vendor, that name
// replaces productName. A missing list changes nothing. Both buffers hold
// size bytes.
void lookupUsbIdNames(int vendor, int product, char* manufacturer, char* productName, int size);

#endif
