// Writing the responder's packets: records, name compression and the split
// into at most eight packets.
#include <cstring>

#include "net/discovery/bonjourtask.h"
#include "runtime/task/uptime.h"

namespace {

// buildResponse / appendRecords flags.
constexpr int kQuestionsOnly = 0x01;
constexpr int kCacheFlush = 0x02;
constexpr int kWithAdditional = 0x04;
constexpr int kGoodbye = 0x08;
constexpr int kKindOne = 0x10;
constexpr int kLegacy = 0x20;
constexpr int kAdditionalPass = 0x40;

constexpr int kSectionQuestions = 0;
constexpr int kSectionAnswers = 1;
constexpr int kSectionAuthority = 2;
constexpr int kSectionAdditional = 3;

// Name forms of writeName.
constexpr int kServiceName = 0;
constexpr int kInstanceName = 1;
constexpr int kHostName = 2;

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypePtr = 12;
constexpr uint16_t kTypeTxt = 16;
constexpr uint16_t kTypeSrv = 33;
constexpr uint16_t kTypeAny = 255;

constexpr uint16_t kNotWritten = 0x8000;
constexpr int kLargestRecord = 400;  // owner and data names are at most 2 x 128 bytes

}  // namespace

bool BonjourTask::putBytes(const void* bytes, size_t count) {
  if (used_ + count > sizeof packetBuffer_) return false;
  std::memcpy(packetBuffer_ + used_, bytes, count);
  used_ += static_cast<int>(count);
  packets_[packetCount_ - 1].length += static_cast<int32_t>(count);
  return true;
}

bool BonjourTask::put16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return putBytes(bytes, 2);
}

bool BonjourTask::put32(uint32_t value) {
  return put16(static_cast<uint16_t>(value >> 16)) && put16(static_cast<uint16_t>(value));
}

void BonjourTask::initMdnsCompression() {
  for (int row = 0; row < kMdnsServiceRows; ++row) {
    compression_.instance[row] = kNotWritten;
    compression_.service[row] = kNotWritten;
  }
  compression_.tcp = compression_.host = compression_.local = kNotWritten;
}

void BonjourTask::beginPackets() {
  packetCount_ = 0;
  used_ = 0;
  std::memset(packets_, 0, sizeof packets_);
}

// The packet the next record goes into, starting one when needed; -1 when
// the limits leave no room.
int BonjourTask::currentPacket(int recordRoom) {
  if (used_ >= kMdnsTotalLimit || used_ + recordRoom > static_cast<int>(sizeof packetBuffer_)) return -1;
  if (packetCount_ == 0 || (packets_[packetCount_ - 1].length > kMdnsPacketSplit && packetCount_ < kMdnsMaxPackets)) {
    if (packetCount_ == kMdnsMaxPackets) return -1;
    PacketDescriptor& next = packets_[packetCount_++];
    std::memset(&next, 0, sizeof next);
    next.start = used_;
    initMdnsCompression();
  }
  return packetCount_ - 1;
}

bool BonjourTask::writeName(int packet, int form, int row) {
  // The labels of the name, each with the compression slot of the suffix
  // it starts.
  const char* labels[4];
  uint16_t* slots[4];
  int count = 0;
  if (form == kInstanceName) {
    labels[count] = mdnsServices[row].instanceName;
    slots[count++] = &compression_.instance[row];
  }
  if (form == kInstanceName || form == kServiceName) {
    labels[count] = mdnsServices[row].label;
    slots[count++] = &compression_.service[row];
    labels[count] = "_tcp";
    slots[count++] = &compression_.tcp;
  } else {
    labels[count] = hostName_;
    slots[count++] = &compression_.host;
  }
  labels[count] = "local";
  slots[count++] = &compression_.local;

  const PacketDescriptor& descriptor = packets_[packet];
  for (int i = 0; i < count; ++i) {
    if (*slots[i] != kNotWritten) return put16(static_cast<uint16_t>(0xC000 | *slots[i]));
    const int offset = kMdnsHeaderSize + (used_ - descriptor.start);
    if (offset < 0x3FFF) *slots[i] = static_cast<uint16_t>(offset);
    size_t length = std::strlen(labels[i]);
    if (length > kMdnsMaxLabel) length = kMdnsMaxLabel;  // the builders already cut; never a reserved type
    const uint8_t lengthByte = static_cast<uint8_t>(length);
    if (!putBytes(&lengthByte, 1) || !putBytes(labels[i], length)) return false;
  }
  const uint8_t end = 0;
  return putBytes(&end, 1);
}

// One record (a question in section 0) of a row; the packet's count grows.
bool BonjourTask::writeRecord(int packet, int section, int form, int row, uint16_t type, int flags) {
  const int startUsed = used_;
  const int32_t startLength = packets_[packet].length;
  auto undo = [&] {
    used_ = startUsed;
    packets_[packet].length = startLength;
    initMdnsCompression();  // offsets noted in the bytes taken back are void
    return false;
  };
  if (!writeName(packet, form, row) || !put16(type)) return undo();
  uint16_t recordClass = 1;
  if ((flags & kCacheFlush) && type != kTypePtr && section != kSectionQuestions) recordClass = 0x8001;
  if (!put16(recordClass)) return undo();
  if (section != kSectionQuestions) {
    uint32_t ttl = type == kTypePtr ? 7200 : 60;
    if (flags & kGoodbye) ttl = 0;
    if (!put32(ttl)) return undo();
    const int lengthAt = used_;
    if (!put16(0)) return undo();
    bool ok = true;
    switch (type) {
      case kTypePtr:
        ok = writeName(packet, kInstanceName, row);
        break;
      case kTypeSrv:
        ok = put16(0) && put16(0) && put16(mdnsServices[row].port) && writeName(packet, kHostName, 0);
        break;
      case kTypeTxt: {
        const uint8_t empty = 0;
        ok = putBytes(&empty, 1);
        break;
      }
      case kTypeA:
        ok = putBytes(&hostAddress_, 4);
        break;
      default:
        break;
    }
    if (!ok) return undo();
    const int dataLength = used_ - lengthAt - 2;
    packetBuffer_[lengthAt] = static_cast<uint8_t>(dataLength >> 8);
    packetBuffer_[lengthAt + 1] = static_cast<uint8_t>(dataLength);
  }
  ++packets_[packet].counts[section];
  return true;
}

bool BonjourTask::writeAddressRecord(int packet, int section, int flags) {
  return writeRecord(packet, section, kHostName, 0, kTypeA, flags);
}

int BonjourTask::appendRecords(int packet, int section, int flags) {
  const bool additionalPass = (flags & kAdditionalPass) != 0;
  const bool askAdditional = !additionalPass && (flags & kWithAdditional);
  bool address = false;  // one A record at the end of the section
  for (int row = 0; row < kMdnsServiceRows; ++row) {
    MdnsService& service = mdnsServices[row];
    if (!service.active()) continue;
    uint8_t bits;
    if (additionalPass) {
      bits = service.additional;
      service.additional = 0;
    } else {
      bits = service.pending;
      service.additional = 0;
      if (flags & kKindOne) {
        if (bits & MDNS_BROWSE) continue;  // browse answers go out delayed
        bits = static_cast<uint8_t>(bits & ~MDNS_PTR);
      }
      if (!(flags & (kQuestionsOnly | kLegacy))) service.markRecords(bits, true);
    }
    static const struct {
      uint8_t bit;
      uint16_t type;
      int form;
    } kOrder[] = {{MDNS_SRV, kTypeSrv, kInstanceName},
                  {MDNS_PTR, kTypePtr, kServiceName},
                  {MDNS_TXT, kTypeTxt, kInstanceName}};
    for (const auto& record : kOrder) {
      if (!(bits & record.bit)) continue;
      const int at = currentPacket(kLargestRecord);
      if (at < 0) return packetCount_ - 1;
      packet = at;
      if (!writeRecord(packet, section, record.form, row, record.type, flags)) return packet;
      // A multicast PTR answer is the delayed answer; a legacy reply leaves
      // that one due.
      if (record.bit == MDNS_PTR && !(flags & (kQuestionsOnly | kLegacy))) dueCs_ = 0;
      if (!askAdditional) continue;
      if (record.bit == MDNS_PTR)
        service.additional |= static_cast<uint8_t>(((MDNS_SRV | MDNS_TXT) & ~bits) | MDNS_A_ADDITIONAL);
      else if (record.bit == MDNS_SRV)
        service.additional |= MDNS_A_ADDITIONAL;
    }
    if (bits & (MDNS_A_ADDITIONAL | MDNS_A)) address = true;
  }
  if (additionalPass && addressAnswered_) address = false;  // already in the answers
  if (!additionalPass) addressAnswered_ = address;
  if (address) {
    const int at = currentPacket(kLargestRecord);
    if (at < 0) return packetCount_ - 1;
    packet = at;
    writeAddressRecord(packet, section, flags);
  }
  return packet;
}

void BonjourTask::buildHostProbe() {
  const int packet = currentPacket(kLargestRecord);
  if (packet < 0) return;
  writeRecord(packet, kSectionQuestions, kHostName, 0, kTypeAny, 0);
  writeAddressRecord(packet, kSectionAuthority, 0);
}

void BonjourTask::buildServiceProbe() {
  int packet = currentPacket(kLargestRecord);
  for (int row = 0; row < kMdnsServiceRows && packet >= 0; ++row)
    if (mdnsServices[row].active()) writeRecord(packet, kSectionQuestions, kInstanceName, row, kTypeAny, 0);
  for (int row = 0; row < kMdnsServiceRows && packet >= 0; ++row)
    if (mdnsServices[row].active()) writeRecord(packet, kSectionAuthority, kInstanceName, row, kTypeSrv, 0);
}

void BonjourTask::buildResponse(int kind) {
  addressAnswered_ = false;
  int packet = 0;
  switch (kind) {
    case MDNS_ANSWER:
      packet = appendRecords(packet, kSectionAnswers, 0x16);
      appendRecords(packet, kSectionAdditional, 0x56);
      break;
    case MDNS_LEGACY_REPLY:
      packet = appendRecords(packet, kSectionQuestions, kQuestionsOnly);
      packet = appendRecords(packet, kSectionAnswers, 0x24);
      appendRecords(packet, kSectionAdditional, 0x64);
      break;
    case MDNS_ANNOUNCE:
      for (MdnsService& service : mdnsServices)
        if (service.active()) service.pending = MDNS_SRV | MDNS_PTR | MDNS_TXT | MDNS_A;
      appendRecords(packet, kSectionAnswers, kCacheFlush);
      break;
    case MDNS_GOODBYE:
      for (MdnsService& service : mdnsServices)
        if (service.active()) service.pending = MDNS_PTR;
      appendRecords(packet, kSectionAnswers, kGoodbye | kCacheFlush);
      break;
    case MDNS_FULL_ANSWER:
      packet = appendRecords(packet, kSectionAnswers, 0x06);
      appendRecords(packet, kSectionAdditional, 0x46);
      break;
    case MDNS_HOST_PROBE:
      buildHostProbe();
      break;
    case MDNS_SERVICE_PROBE:
      buildServiceProbe();
      break;
    default:
      break;
  }
}
