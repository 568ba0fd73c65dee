#include "net/dhcp/dhcplease.h"

std::atomic<int64_t> dhcpLeaseSeconds{0};
std::atomic<int64_t> dhcpLeaseStart{0};
std::atomic<uint32_t> dhcpOfferedAddress{0};
std::atomic<uint32_t> dhcpServerIdentifier{0};
std::atomic<uint32_t> dhcpRelayAddress{0};
