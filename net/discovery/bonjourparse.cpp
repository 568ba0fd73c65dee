// Reading received mDNS messages: our names, questions, known answers and
// conflicting records.
#include <cstring>

#include "net/discovery/bonjourtask.h"
#include "net/discovery/dnsname.h"
#include "runtime/task/uptime.h"

namespace {

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypePtr = 12;
constexpr uint16_t kTypeTxt = 16;
constexpr uint16_t kTypeSrv = 33;
constexpr uint16_t kTypeAny = 255;

constexpr uint32_t kPtrTtl = 7200;
constexpr uint32_t kRecordTtl = 60;
constexpr int64_t kConflictRepeatCs = 50;

constexpr int kOriginQuestion = 0;
constexpr int kOriginBrowse = 1;
constexpr int kOriginKnownAnswer = 2;

// The answer delays of browse questions, used in turn.
const int64_t kAnswerDelaysCs[4] = {3, 6, 9, 12};
int answerDelayIndex = 0;

int64_t lastSrvConflictCs = -1000;
int64_t lastAddressConflictCs = -1000;

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) { return static_cast<uint32_t>(read16(p)) << 16 | read16(p + 2); }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Orders two labels as DNS does for the tie-break: case folded bytes, then
// length.
int compareLabel(const char* a, size_t aLength, const char* b, size_t bLength) {
  const size_t common = aLength < bLength ? aLength : bLength;
  for (size_t i = 0; i < common; ++i) {
    const unsigned char x = static_cast<unsigned char>(lowerAscii(a[i]));
    const unsigned char y = static_cast<unsigned char>(lowerAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

}  // namespace

int mdnsSourceOnLink(const MdnsSource& source) {
  if (!source.unicastSocket) return 1;
  const uint32_t address = source.address;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
  if (bytes[0] == 169 && bytes[1] == 254) return 1;
  if (source.rowAddress == 0 || source.rowMask == 0) return 0;
  return (address & source.rowMask) == (source.rowAddress & source.rowMask);
}

int BonjourTask::matchName(size_t* cursor, bool* browse, DnsName* name) {
  *browse = false;
  if (!readDnsName(parseStart, parseLength, cursor, name)) return -2;
  if (name->count == 2 && name->labelIs(0, hostName_) && name->labelIs(1, "local")) return kMdnsHostRow;
  if (name->count < 3 || !name->labelIs(name->count - 1, "local") || !name->labelIs(name->count - 2, "_tcp")) return -1;
  for (int row = 0; row < kMdnsServiceRows; ++row) {
    const MdnsService& service = mdnsServices[row];
    if (name->count == 4 && service.instanceName[0] && name->labelIs(0, service.instanceName) &&
        name->labelIs(1, service.label))
      return row;
  }
  for (int row = 0; row < kMdnsServiceRows; ++row) {
    if (name->count == 3 && name->labelIs(0, mdnsServices[row].label)) {
      *browse = true;
      return row;
    }
  }
  return -1;
}

void BonjourTask::noteQuestion(int row, uint16_t type, int origin) {
  const bool clear = origin == kOriginKnownAnswer;
  if (row == kMdnsHostRow) {
    mdnsServices[0].markRecords(MDNS_A, clear);
    return;
  }
  if (row < 0 || row >= kMdnsServiceRows) return;
  uint8_t bits;
  bool delayed = false;
  switch (type) {
    case kTypeA: bits = MDNS_A_ADDITIONAL; break;
    case kTypeTxt: bits = MDNS_TXT; break;
    case kTypeSrv: bits = MDNS_SRV; break;
    case kTypePtr:
      bits = MDNS_PTR;
      delayed = true;
      break;
    case kTypeAny:
      bits = MDNS_SRV | MDNS_TXT | MDNS_A_ADDITIONAL;
      if (origin == kOriginBrowse) {
        bits |= MDNS_PTR;
        delayed = true;
      }
      break;
    default:
      return;
  }
  if (delayed) {
    if (clear) {
      dueCs_ = 0;
    } else {
      dueCs_ = uptimeCs() + kAnswerDelaysCs[answerDelayIndex];
      answerDelayIndex = (answerDelayIndex + 1) % 4;
    }
  }
  if (origin == kOriginBrowse) {
    bits |= MDNS_BROWSE;
    mdnsServices[mdnsCompanionRow(row)].markRecords(bits, clear);
  }
  mdnsServices[row].markRecords(bits, clear);
}

int BonjourTask::compareSrvRecord(int row, const uint8_t* rdata, size_t rdataLength, size_t rdataOffset) {
  if (rdataLength < 7) return kSrvMalformed;
  const uint16_t fields[3] = {read16(rdata), read16(rdata + 2), read16(rdata + 4)};
  const uint16_t ours[3] = {0, 0, mdnsServices[row].port};
  for (int i = 0; i < 3; ++i)
    if (fields[i] != ours[i]) return fields[i] > ours[i] ? 1 : -1;
  size_t cursor = rdataOffset + 6;
  DnsName target;
  if (!readDnsName(parseStart, parseLength, &cursor, &target) || cursor > rdataOffset + rdataLength)
    return kSrvMalformed;
  if (target.count == 0) return -1;
  const int order = compareLabel(target.text + target.start[0], target.length[0], hostName_, std::strlen(hostName_));
  if (order != 0) return order;
  return target.count == 2 && target.labelIs(1, "local") ? 0 : 1;
}

void BonjourTask::noteConflict(bool probing, bool inAnswers, int compared, int64_t* lastConflict, bool* conflict) {
  if ((probing && inAnswers) || compared > 0) {
    renameAfterConflict();
    *conflict = true;
    return;
  }
  const int64_t now = uptimeCs();
  if (now - *lastConflict < kConflictRepeatCs) {
    *conflict = true;
  } else {
    *lastConflict = now;
    probeState_ = -1;
  }
}

int BonjourTask::parseRecord(size_t* cursor, int section, bool* conflict) {
  bool browse = false;
  DnsName name;
  const int row = matchName(cursor, &browse, &name);
  if (row == -2) return 0;
  if (section == 1) {
    if (*cursor + 4 > parseLength) return 0;
    const uint16_t type = read16(parseStart + *cursor);
    *cursor += 4;
    if (row >= 0) noteQuestion(row, type, browse ? kOriginBrowse : kOriginQuestion);
    return 1;
  }
  if (*cursor + 10 > parseLength) return 0;
  const uint8_t* fixed = parseStart + *cursor;
  const uint16_t type = read16(fixed);
  const uint32_t ttl = read32(fixed + 4);
  const size_t rdataLength = read16(fixed + 8);
  const size_t rdataOffset = *cursor + 10;
  if (rdataOffset + rdataLength > parseLength) return 0;
  *cursor = rdataOffset + rdataLength;
  if (row < 0) return 1;
  const uint8_t* rdata = parseStart + rdataOffset;

  // In a query the answer section holds what the querier knows already:
  // never a claim on our names.
  const bool response = (parseStart[2] & 0x80) != 0;
  const bool claim = response || section == 3;
  const bool probing = probeState_ <= 3;
  if (row == kMdnsHostRow) {
    if (type != kTypeA || rdataLength != 4 || !claim) return 1;
    const uint32_t theirs = read32(rdata);
    const uint32_t ours = read32(reinterpret_cast<const uint8_t*>(&hostAddress_));
    if (theirs != ours) noteConflict(probing, section == 2, theirs > ours ? 1 : -1, &lastAddressConflictCs, conflict);
    return 1;
  }
  if (browse) {
    if (type != kTypePtr || ttl <= kPtrTtl / 2) return 1;
    size_t target = rdataOffset;
    bool targetBrowse = false;
    DnsName instance;
    const int targetRow = matchName(&target, &targetBrowse, &instance);
    if (targetRow >= 0 && targetRow < kMdnsServiceRows && !targetBrowse && target <= rdataOffset + rdataLength &&
        std::strcmp(mdnsServices[targetRow].label, mdnsServices[row].label) == 0)
      noteQuestion(targetRow, kTypePtr, kOriginKnownAnswer);
    return 1;
  }
  if (type == kTypeSrv) {
    const int compared = compareSrvRecord(row, rdata, rdataLength, rdataOffset);
    if (compared == kSrvMalformed) return 0;
    if (compared == 0) {
      if (ttl > kRecordTtl / 2) noteQuestion(row, kTypeSrv, kOriginKnownAnswer);
    } else if (claim) {
      noteConflict(probing, section == 2, compared, &lastSrvConflictCs, conflict);
    }
  } else if (type == kTypeTxt && ttl > kRecordTtl / 2) {
    noteQuestion(row, kTypeTxt, kOriginKnownAnswer);
  }
  return 1;
}

void BonjourTask::handlePacket(const uint8_t* message, size_t length, const MdnsSource& source) {
  if (source.address == hostAddress_ || !mdnsSourceOnLink(source)) return;
  if (length < static_cast<size_t>(kMdnsHeaderSize)) return;
  const uint16_t counts[4] = {read16(message + 4), read16(message + 6), read16(message + 8), read16(message + 10)};
  if (counts[0] + counts[1] + counts[2] + counts[3] > kMdnsMaxRecords) return;

  // A packet dropped half-way must leave no marks.
  uint8_t savedPending[kMdnsServiceRows];
  for (int row = 0; row < kMdnsServiceRows; ++row) savedPending[row] = mdnsServices[row].pending;
  const int64_t savedDue = dueCs_;

  parseStart = message;
  parseLength = length;
  size_t cursor = kMdnsHeaderSize;
  bool conflict = false;
  for (int section = 1; section <= 3; ++section)
    for (int i = 0; i < counts[section - 1]; ++i)
      if (!parseRecord(&cursor, section, &conflict)) {
        for (int row = 0; row < kMdnsServiceRows; ++row) mdnsServices[row].pending = savedPending[row];
        dueCs_ = savedDue;
        parseStart = nullptr;
        parseLength = 0;
        return;
      }
  parseStart = nullptr;
  parseLength = 0;
  if (dueCs_ != 0 && dueCs_ != savedDue) dueVlan_ = source.vlan;  // the delayed answer goes where it was asked

  if (conflict) {
    probeState_ = 0;
    probeTimerCs_ = uptimeCs();
    for (MdnsService& service : mdnsServices) service.clearBits();
    return;
  }
  // Names not yet ours are not answered for.
  if (probeState_ < 4) {
    for (MdnsService& service : mdnsServices) service.clearBits();
    dueCs_ = 0;
    return;
  }
  if (read16(message + 2) & 0x0200) return;  // the known answers continue in the next packet
  if (source.port != kMdnsPort) sendPacket(MDNS_LEGACY_REPLY, &source, message);
  uint8_t bits = 0;
  for (const MdnsService& service : mdnsServices)
    if (service.active()) bits |= service.pending;
  if (!(bits & 0x7F)) return;
  const bool due = dueCs_ != 0 && uptimeCs() >= dueCs_;
  if (!(bits & MDNS_PTR) || due)
    sendPacket(MDNS_FULL_ANSWER, &source, nullptr);
  else if (bits & 0x7D)
    sendPacket(MDNS_ANSWER, &source, nullptr);
}
