// SLP version 1 (RFC 2165) messages of the service agent: reading a
// service request for "service:d-ovode:" with its X-ORV attributes,
// checking the address values it carries, and writing the service reply.
#ifndef NET_DISCOVERY_SLPREQUEST_H
#define NET_DISCOVERY_SLPREQUEST_H

#include <cstddef>
#include <cstdint>

constexpr uint16_t kSlpPort = 427;
constexpr int kSlpHeaderSize = 12;
constexpr int kSlpReplyFixed = 20;       // header, error, URL count, lifetime, URL length
constexpr int kSlpMaxPredicate = 1024;
constexpr int kSlpMaxName = 120;
constexpr uint16_t kSlpLifetime = 10800;
constexpr const char* kSlpServiceType = "service:d-ovode:";

struct SlpRequest {
  uint8_t header[kSlpHeaderSize];
  bool hasName;
  char name[kSlpMaxName + 1];
  // Address values given (network order); badValue when one of them was
  // given but is not acceptable.
  bool hasAddress, hasMask, hasGateway;
  uint32_t address, mask, gateway;
  bool badValue;
};

// Reads a version 1 SrvRqst (header included) of length bytes: 1 when it
// asks for our service type with a well-formed predicate; 0 for anything
// else, in particular a header, previous-responder list or predicate that
// runs past the bytes received.
int parseSlpRequest(const uint8_t* message, size_t length, SlpRequest* out);

// A dotted quad of exactly four decimal octets 0..255: 1 and *word
// (network order).
int parseDottedQuad(const char* text, size_t length, uint32_t* word);
// 1 for a netmask of contiguous ones from /1 to /30.
int isContiguousNetmask(uint32_t networkOrderMask);
// 1 for an address a device may take: the usable-address rule, with a mask
// testing the subnet's broadcast and network address instead of the last
// octet.
int isUsableSlpAddress(uint32_t address, uint32_t mask, bool hasMask);

// What a request does to the device's address.
enum SlpAddressChange { SLP_KEEP = 0, SLP_APPLY = 1, SLP_REFUSE = 2 };
// addressedToUs: the request named this device; current: `ip_addr`
// (network order, 0 for none); linkLocal: the device has no routable
// address.
SlpAddressChange decideSlpAddressChange(const SlpRequest& request, bool addressedToUs, uint32_t current,
                                        bool linkLocal);

// Writes the SrvRply for the request header with the URL into out; its
// length, 0 when it does not fit.
size_t buildSlpReply(const uint8_t* requestHeader, const char* url, uint8_t* out, size_t size);

// Tests a received header for version 1, function 8 or 2, error 0 and a
// length of at most 64: 1 or 0.
int validateSlpReply(const uint8_t* message, size_t length);

#endif
