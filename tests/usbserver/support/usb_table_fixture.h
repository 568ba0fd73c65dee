// A private data root with a product identity, a simulated USB host and an
// empty device table, for the tests of the device table.
#ifndef TESTS_USBSERVER_SUPPORT_USB_TABLE_FIXTURE_H
#define TESTS_USBSERVER_SUPPORT_USB_TABLE_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

class SimUsbHost;
class UsbDeviceRow;

class UsbTableFixture : public ::testing::Test {
 protected:
  // identity: a fixture of tests/fixtures/identity.
  explicit UsbTableFixture(const char* identity = "p353");
  ~UsbTableFixture() override;
  void SetUp() override;
  void TearDown() override;

  // Builds the host; a test may install a subclass instead.
  virtual std::unique_ptr<SimUsbHost> makeHost();

  SimUsbHost& host() { return *host_; }
  const std::string& root() const { return root_; }

  // Plugs a device ("hid", "loopback vid=1234 ..."); fails the test when refused.
  void plug(const std::string& devpath, const std::string& kindAndOptions);
  void unplug(const std::string& devpath);
  void fault(const std::string& devpath, const std::string& what);
  // The row holding the device of that sysfs name ("1-1.2"), or -1.
  int rowOf(const std::string& devpath);
  // Rows in state PRESENT or IN_USE.
  int presentRows();
  // Writes a file of the data root (fixed path, mapped).
  void writeFile(const char* fixedPath, const std::string& text);
  // Moves the program clock past the quarantine of removed rows.
  static void passQuarantine();

 private:
  std::string identity_;
  std::string root_;
  std::unique_ptr<SimUsbHost> host_;
};

// Frees every row of the table (between tests).
void clearUsbDeviceTable();

#endif
