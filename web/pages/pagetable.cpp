#include "web/pages/pagetable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/file/paths.h"
#include "web/http/httprequest.h"

PageTable* pageTable = nullptr;

namespace {

bool sessionKeysOn() {
  Param* keys = paramStore.find("sessKeys");
  return keys != nullptr && keys->isOn();
}

}  // namespace

PageTable::PageTable(PageRow* rows, int32_t count, const char* skinDir)
    : skinDir_(skinDir), rows_(rows), count_(rows != nullptr && count > 0 ? count : 0) {
  for (int32_t i = 0; i < count_; ++i) {
    const char* slash = std::strrchr(rows_[i].path, '/');
    rows_[i].fileName = slash != nullptr ? slash + 1 : rows_[i].path;
  }
}

PageTable::~PageTable() = default;

int32_t PageTable::findRow(const char* path) {
  if (path == nullptr || count_ == 0) return -1;
  for (int32_t i = 0; i < count_; ++i) {
    if (std::strcmp(rows_[i].path, path) == 0) {
      currentRow_.store(i, std::memory_order_relaxed);
      return i;
    }
  }
  currentRow_.store(-1, std::memory_order_relaxed);
  const size_t length = std::strlen(path);
  if (length >= 6 && std::strcmp(path + length - 5, ".html") == 0) return -1;
  return 0;
}

int PageTable::chkPageNo(int32_t row) const {
  if (row >= 0 && row < count_) return 1;
  std::fprintf(stderr, "%s ERROR illegal pageIDX !! 0 <= %d < %d\n", "chkPageNo", row, count_);
  return 0;
}

int PageTable::isRawFile(int32_t row) const { return chkPageNo(row) && rows_[row].kind == PAGE_RAW ? 1 : 0; }

int PageTable::isScriptTemplate(int32_t row) const {
  return chkPageNo(row) && rows_[row].kind == PAGE_SCRIPT_TEMPLATE ? 1 : 0;
}

int PageTable::callHandler(int32_t row, HttpRequest& request) const {
  if (!chkPageNo(row)) return 0;
  if (rows_[row].handler == nullptr) return 1;
  return rows_[row].handler(request);
}

const char* PageTable::currentPath(const HttpRequest& request, int* directoryLength) const {
  const int32_t row = request.pageIndex;
  if (!chkPageNo(row)) {
    if (directoryLength != nullptr) *directoryLength = 0;
    return "";
  }
  const char* path = rows_[row].path;
  const char* slash = std::strrchr(path, '/');
  if (directoryLength != nullptr) *directoryLength = slash != nullptr ? static_cast<int>(slash - path) : 0;
  return path;
}

void PageTable::setRefreshTarget(HttpRequest& request) const {
  const int32_t row = request.pageIndex;
  request.refreshTarget = row > 0 && row < count_ ? rows_[row].path : "/index.html";
}

int PageTable::checkAccess(int32_t row, HttpRequest& request) {
  if (!sessionKeysOn()) {
    Param* name = paramStore.find("admin_name");
    // The display text of a translated parameter comes from the catalogue.
    const std::string text = name != nullptr ? name->displayText() : std::string();
    request.setVariable("SessUsr", text.c_str());
    request.setVariable("SessAdm", "1");
    return 1;
  }
  if (chkPageNo(row) && rows_[row].level <= LEVEL_OPEN_SESSION) return 1;
  request.setVariable("ErrMsg", "Illegal request.You are not logged in.");
  return 0;
}

int PageTable::showRedirector(HttpRequest& request, int toHttps) {
  request.refreshTarget = "/start.html";
  request.refreshDelay = toHttps ? -3 : 1;
  const int fd = ::open(mapPath("/romfs/templates/redirector.html").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  request.contentType = "text/html";
  request.attachmentName.clear();
  return (fd << 8) | BUFFER_READ;
}
