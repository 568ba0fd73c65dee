#include "net/dhcplease.h"

std::atomic<int64_t> dhcpLeaseSeconds{0};
std::atomic<int64_t> dhcpLeaseStart{0};
