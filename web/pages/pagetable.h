// The page table: every URL path the web interface knows, with its access
// level, kind, session touch flag and handler.
//
// PageTable is the base over a given row array; the program's table (with
// its rows, sessions and login) derives from it. The one instance is
// reached through pageTable.
#ifndef WEB_PAGES_PAGETABLE_H
#define WEB_PAGES_PAGETABLE_H

#include <atomic>
#include <cstdint>

class HttpRequest;

// A handler prepares a page; its result chooses the answer: <= 0 the 500
// page, 1 the row's own file, (fd << 8) | 9 a file sent unchanged,
// (fd << 8) | 10 a producer pipe, (fd << 8) | 13 template text.
using PageHandler = int (*)(HttpRequest& request);

// Row kinds.
constexpr int32_t PAGE_TEMPLATE = 0;
constexpr int32_t PAGE_RAW = 1;
constexpr int32_t PAGE_SCRIPT_TEMPLATE = 2;

// Access levels.
constexpr int32_t LEVEL_OPEN = 0;
constexpr int32_t LEVEL_OPEN_SESSION = 1;  // open; session variables when a valid cookie comes
constexpr int32_t LEVEL_USER = 2;
constexpr int32_t LEVEL_ADMIN = 3;
constexpr int32_t LEVEL_RESERVED = 4;

struct PageRow {
  const char* path;      // URL path, matched exactly
  int32_t level;         // LEVEL_*
  int32_t kind;          // PAGE_*
  int32_t touch;         // 1: a visit refreshes the session's last access
  PageHandler handler;   // null: result 1
  const char* fileName;  // the part after the last '/'; filled in by the table
};

class PageTable {
 public:
  // rows must outlive the table; their fileName fields are filled in.
  // skinDir: a directory under "/romfs" whose files take precedence, or null.
  PageTable(PageRow* rows, int32_t count, const char* skinDir);
  virtual ~PageTable();
  PageTable(const PageTable&) = delete;
  PageTable& operator=(const PageTable&) = delete;

  // The access check of row for the request: 1 allow, 0 refuse (the
  // request then redirects to "/index.html"). The base knows no sessions:
  // with session keys off every caller is administrator ("SessUsr",
  // "SessAdm"); otherwise only open rows are allowed.
  virtual int checkAccess(int32_t row, HttpRequest& request);
  // Answers with the redirector page, towards HTTPS with toHttps; a handler
  // result. The base serves "/redirector.html" as template text.
  virtual int showRedirector(HttpRequest& request, int toHttps);

  // Exact match: the row (also kept in currentRow). No match: -1 for a
  // path of 6 characters or more ending in ".html", else 0 (the catch-all
  // row). -1 for a null path or an empty table.
  int32_t findRow(const char* path);
  // 0 <= row < count; else a diagnostic line and 0.
  int chkPageNo(int32_t row) const;
  int isRawFile(int32_t row) const;
  int isScriptTemplate(int32_t row) const;
  // 0 for an invalid row, 1 for a row without handler, else its result.
  int callHandler(int32_t row, HttpRequest& request) const;
  // The path of the request's row and the length of its directory part
  // including the leading '/' ("/network/ipv4.html": 8, "/index.html": 0);
  // "" and 0 for an invalid row.
  const char* currentPath(const HttpRequest& request, int* directoryLength) const;
  // refreshTarget := the path of the request's row, or "/index.html".
  void setRefreshTarget(HttpRequest& request) const;

  const PageRow& row(int32_t index) const { return rows_[index]; }
  int32_t rowCount() const { return count_; }
  const char* skinDir() const { return skinDir_; }
  int32_t currentRow() const { return currentRow_.load(std::memory_order_relaxed); }

 protected:
  const char* skinDir_;
  PageRow* rows_;
  int32_t count_;
  // The last exact match of any request: diagnostics only, never used to
  // answer a request (each request keeps its own row).
  std::atomic<int32_t> currentRow_{-1};
};

// The program's page table; null until the listener creates it.
extern PageTable* pageTable;

#endif
