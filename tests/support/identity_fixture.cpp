#include "support/identity_fixture.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string identityFixtureDir(const std::string& name) {
  return std::string(TEST_SOURCE_DIR) + "/tests/fixtures/identity/" + name;
}

bool layIdentityFixture(const std::string& name, const std::string& dataRoot) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
  std::error_code ec;
  const fs::path source = identityFixtureDir(name);
  if (!fs::is_directory(source, ec) || dataRoot.empty()) return false;
  fs::create_directories(dataRoot, ec);
  if (ec) return false;
  fs::copy(source, dataRoot, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  return !ec;
}
