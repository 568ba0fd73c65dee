// The product identity: what hardware this device is.
//
// Written at manufacture into "/conf.d/product_params" and only read here.
// The record is read once before main and afterwards read without locks;
// only the model adjustments correct usb_ports_phy, in the main thread
// before any task starts.
#ifndef PARAMS_IDENTITY_PRODUCTPARAMS_H
#define PARAMS_IDENTITY_PRODUCTPARAMS_H

#include <cstdint>
#include <cstdio>

struct ProductParams {
  static constexpr int kTextSize = 128;  // texts keep at most 127 characters

  uint32_t product_id;
  uint32_t compat_id;  // hexadecimal in the file
  uint32_t oem_id;     // hexadecimal in the file
  char product_name[kTextSize];
  char default_name[kTextSize];
  uint8_t ethaddr0[8];
  uint32_t network_type;
  uint32_t phy0_addr;
  uint32_t software_id;
  int32_t printer_ports;  // overwritten with the length of device_types
  int32_t count_U;        // 'U' in device_types: the USB port number (zovPortNumber)
  int32_t count_C;        // 'C' in device_types
  int32_t count_S;        // 'S' in device_types
  int32_t count_E;        // 'E' in device_types
  uint32_t usb_ports_phy;  // physical USB ports (corrected for some models)
  char device_types[kTextSize];  // one letter per device port
  uint32_t hw_major;
  uint32_t hw_minor;
  uint32_t hw_project;
  uint32_t year;
  uint32_t month;
  uint32_t serial_no;
  uint32_t fpga_compat_id;
  uint32_t fpga_compat_level;
  uint32_t creation_time;
  uint32_t gpio_hw_project;  // the board id
  uint32_t usbtable_product_id;
};

// Clears the record and reads "/conf.d/product_params" into it; a missing
// file leaves it cleared.
void readProductParams(ProductParams& record);

// Clears the record and reads identity lines from an open stream.
void parseProductParams(std::FILE* file, ProductParams& record);

// The device's record, read on first use (which is before main).
ProductParams& productParams();

#endif
