#include "usbserver/support/usb_table_fixture.h"

#include <ftw.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <cstdio>

#include "params/identity/productparams.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/file/paths.h"
#include "runtime/task/uptime.h"
#include "support/identity_fixture.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

}  // namespace

void clearUsbDeviceTable() {
  for (UsbDeviceRow& row : usbDeviceTable) row.recycle();
}

UsbTableFixture::UsbTableFixture(const char* identity) : identity_(identity) {}

UsbTableFixture::~UsbTableFixture() = default;

void UsbTableFixture::SetUp() {
  char pattern[] = "/tmp/usbtable-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  root_ = pattern;
  setDataRoot(root_.c_str());
  ASSERT_TRUE(layIdentityFixture(identity_, root_));
  readProductParams(productParams());
  usbHubLevelThreshold = 1;
  setUsbTableLimits(productParams().usbtable_product_id);
  host_ = makeHost();
  setUsbHostForTesting(host_.get());
  ASSERT_EQ(1, prepareUsbDeviceFilesystem());
  clearUsbDeviceTable();
}

void UsbTableFixture::TearDown() {
  clearUsbDeviceTable();
  setUsbHostForTesting(nullptr);
  host_.reset();
  setDataRoot("");
  if (!root_.empty()) ::nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::unique_ptr<SimUsbHost> UsbTableFixture::makeHost() { return std::make_unique<SimUsbHost>(); }

void UsbTableFixture::plug(const std::string& devpath, const std::string& kindAndOptions) {
  ASSERT_EQ(1, host_->plug(devpath, kindAndOptions)) << devpath << " " << kindAndOptions;
}

void UsbTableFixture::unplug(const std::string& devpath) { ASSERT_EQ(1, host_->unplug(devpath)) << devpath; }

void UsbTableFixture::fault(const std::string& devpath, const std::string& what) {
  ASSERT_EQ(1, host_->fault(devpath, what)) << devpath << " " << what;
}

int UsbTableFixture::rowOf(const std::string& devpath) {
  int bus = 0, dev = 0;
  if (!host_->deviceNumbers(devpath, &bus, &dev)) return -1;
  for (int i = 0; i < USB_MAXDEVS; ++i) {
    const UsbDeviceRow& row = usbDeviceTable[i];
    if (row.rowState() != UsbRowState::FREE && row.busnum == bus && row.devnum == dev) return i;
  }
  return -1;
}

int UsbTableFixture::presentRows() {
  int n = 0;
  for (int i = 0; i < USB_MAXDEVS; ++i) n += usbDeviceTable[i].isPresent() ? 1 : 0;
  return n;
}

void UsbTableFixture::writeFile(const char* fixedPath, const std::string& text) {
  const std::string path = mapPath(fixedPath);
  std::string dir = path.substr(0, path.rfind('/'));
  for (size_t pos = root_.size(); (pos = dir.find('/', pos + 1)) != std::string::npos;)
    ::mkdir(dir.substr(0, pos).c_str(), 0755);
  ::mkdir(dir.c_str(), 0755);
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, f) << path;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void UsbTableFixture::passQuarantine() { shiftUptimeForTesting(USB_REMOVED_QUARANTINE_CS); }
