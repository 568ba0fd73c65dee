// The program's page table rows: every URL path of the web interface.
#ifndef WEB_PAGES_PAGEROWS_H
#define WEB_PAGES_PAGEROWS_H

#include "web/pages/pagetable.h"

constexpr int kPageRowCount = 83;
// Constant but for the fileName fields, which the table fills in.
extern PageRow pageRows[kPageRowCount];

#endif
