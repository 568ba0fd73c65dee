// Hands UDP payloads to tshark's dissectors (as IPv4 packets in a capture
// file) and reports what tshark finds wrong with them.
#ifndef TESTS_NET_SUPPORT_TSHARKCHECK_H
#define TESTS_NET_SUPPORT_TSHARKCHECK_H

#include <cstdint>
#include <string>
#include <vector>

// False when tshark is not installed.
bool tsharkAvailable();

// The lines tshark prints for packets with a malformed field or an expert
// warning (or worse); "" when every packet dissects cleanly. The packets go
// from sourcePort to destinationPort, which selects the dissector.
std::string tsharkProblems(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort,
                           uint16_t destinationPort);

// The full text dissection (-V) of the payloads, for checks on decoded
// fields.
std::string tsharkDissection(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort,
                             uint16_t destinationPort);

#endif
