// The SNMP write path over arbitrary SET values: an object of the generated
// table, an ASN type and value bytes go through RESERVE1 and, when accepted,
// ACTION and UNDO (never COMMIT, so nothing is saved); the same value goes
// to the control object's reader.
//
// Input: two bytes choose the row, one byte the ASN type, the rest is the
// value, in a buffer of exactly its length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "params/types/snmpset.h"
#include "runtime/file/paths.h"
#include "snmp/automib.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"

namespace {

bool noShutDown(int) { return true; }

char root[] = "/tmp/fuzz_snmp_set.XXXXXX";

void removeRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

bool setUp() {
  // The write wrappers log every phase on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return false;
  // The control object may remove the parameter file: only a scratch one.
  if (mkdtemp(root) == nullptr) return false;
  std::atexit(removeRoot);
  setDataRoot(root);
  setSnmpShutDownStarter(noShutDown);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = setUp();
  if (!ready || size < 3) return 0;
  const size_t rowIndex = (static_cast<size_t>(data[0]) << 8 | data[1]) % kAutoMibParamRowCount;
  const u_char type = data[2];
  std::vector<u_char> value(data + 3, data + size);
  u_char* bytes = value.empty() ? nullptr : value.data();

  const AutoMibParamRow& row = autoMibParamRows[rowIndex];
  if (row.write != nullptr) {
    int status = row.write(SNMP_RESERVE1, bytes, type, value.size(), nullptr, nullptr, 0);
    if (status == SNMP_NO_ERROR) {
      row.write(SNMP_RESERVE2, bytes, type, value.size(), nullptr, nullptr, 0);
      row.write(SNMP_ACTION, bytes, type, value.size(), nullptr, nullptr, 0);
      row.write(SNMP_UNDO, bytes, type, value.size(), nullptr, nullptr, 0);
    } else {
      row.write(SNMP_FREE, bytes, type, value.size(), nullptr, nullptr, 0);
    }
  }
  for (int phase : {SNMP_RESERVE1, SNMP_ACTION, SNMP_UNDO, SNMP_COMMIT})
    writeRestartControl(phase, bytes, type, value.size(), nullptr, nullptr, 0);
  return 0;
}
