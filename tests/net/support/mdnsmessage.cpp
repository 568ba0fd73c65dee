#include "net/support/mdnsmessage.h"

#include "net/discovery/dnsname.h"

namespace {

uint16_t read16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

std::string dotted(const DnsName& name) {
  std::string out;
  for (int i = 0; i < name.count; ++i) {
    if (i) out += '.';
    out.append(name.text + name.start[i], name.length[i]);
  }
  return out;
}

std::vector<int> rawLabelLengths(const std::vector<uint8_t>& b, size_t at) {
  std::vector<int> lengths;
  while (at < b.size() && b[at] != 0 && (b[at] & 0xC0) != 0xC0) {
    lengths.push_back(b[at]);
    at += 1 + b[at];
  }
  return lengths;
}

}  // namespace

std::vector<DnsRecord> DnsMessage::find(int section, uint16_t type, const std::string& name) const {
  std::vector<DnsRecord> out;
  for (const DnsRecord& r : records)
    if (r.section == section && r.type == type && (name.empty() || r.name == name)) out.push_back(r);
  return out;
}

DnsMessage decodeDnsMessage(const std::vector<uint8_t>& b) {
  DnsMessage m;
  if (b.size() < 12) return m;
  m.id = read16(b, 0);
  m.flags = read16(b, 2);
  size_t at = 12;
  for (int section = 0; section < 4; ++section) {
    const int count = read16(b, 4 + 2 * section);
    for (int i = 0; i < count; ++i) {
      DnsRecord r{};
      r.section = section;
      r.labelLengths = rawLabelLengths(b, at);
      DnsName name;
      if (!readDnsName(b.data(), b.size(), &at, &name)) return m;
      r.name = dotted(name);
      if (at + 4 > b.size()) return m;
      r.type = read16(b, at);
      r.rrclass = read16(b, at + 2);
      at += 4;
      if (section > 0) {
        if (at + 6 > b.size()) return m;
        r.ttl = static_cast<uint32_t>(read16(b, at)) << 16 | read16(b, at + 2);
        const size_t length = read16(b, at + 4);
        at += 6;
        if (at + length > b.size()) return m;
        r.data.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + length));
        size_t inner = at;
        DnsName target;
        if (r.type == 12 && readDnsName(b.data(), b.size(), &inner, &target)) r.target = dotted(target);
        if (r.type == 33 && length >= 7) {
          r.port = read16(b, at + 4);
          inner = at + 6;
          if (readDnsName(b.data(), b.size(), &inner, &target)) r.target = dotted(target);
        }
        at += length;
      }
      m.records.push_back(r);
    }
  }
  m.ok = at == b.size();
  return m;
}

DnsBuilder::DnsBuilder(uint16_t id, uint16_t flags) : bytes_(12, 0) {
  bytes_[0] = static_cast<uint8_t>(id >> 8);
  bytes_[1] = static_cast<uint8_t>(id);
  bytes_[2] = static_cast<uint8_t>(flags >> 8);
  bytes_[3] = static_cast<uint8_t>(flags);
}

void DnsBuilder::count(int section) {
  const size_t at = 4 + 2 * static_cast<size_t>(section);
  const uint16_t value = static_cast<uint16_t>(read16(bytes_, at) + 1);
  bytes_[at] = static_cast<uint8_t>(value >> 8);
  bytes_[at + 1] = static_cast<uint8_t>(value);
}

std::vector<uint8_t> DnsBuilder::encodeName(const std::string& name) {
  std::vector<uint8_t> out;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

std::vector<uint8_t> DnsBuilder::srvData(uint16_t port, const std::string& target) {
  std::vector<uint8_t> out = {0, 0, 0, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  const std::vector<uint8_t> name = encodeName(target);
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

DnsBuilder& DnsBuilder::question(const std::string& name, uint16_t type) {
  const std::vector<uint8_t> encoded = encodeName(name);
  bytes_.insert(bytes_.end(), encoded.begin(), encoded.end());
  bytes_.insert(bytes_.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1});
  count(0);
  return *this;
}

DnsBuilder& DnsBuilder::record(int section, const std::string& name, uint16_t type, uint32_t ttl,
                               const std::vector<uint8_t>& data, uint16_t rrclass) {
  const std::vector<uint8_t> encoded = encodeName(name);
  bytes_.insert(bytes_.end(), encoded.begin(), encoded.end());
  bytes_.insert(bytes_.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                               static_cast<uint8_t>(rrclass >> 8), static_cast<uint8_t>(rrclass),
                               static_cast<uint8_t>(ttl >> 24), static_cast<uint8_t>(ttl >> 16),
                               static_cast<uint8_t>(ttl >> 8), static_cast<uint8_t>(ttl),
                               static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())});
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  count(section);
  return *this;
}
