// "Bonjour": the multicast DNS responder (UDP 5353, group 224.0.0.251)
// announcing the web interface as "_https._tcp.local" and
// "_http._tcp.local" service instances and the host name "<name>.local".
//
// It probes for its names, announces them, answers multicast and legacy
// unicast queries (suppressing what the querier already knows), renames
// its instance after a lost conflict (writing the name back to
// `bonjour_name`) and says goodbye when it ends.
#ifndef NET_DISCOVERY_BONJOURTASK_H
#define NET_DISCOVERY_BONJOURTASK_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/discovery/mdnsnames.h"
#include "net/discovery/udpservertask.h"

class Connection;
struct DnsName;
struct iovec;

constexpr uint16_t kMdnsPort = 5353;
constexpr const char* kMdnsGroup = "224.0.0.251";
constexpr int kMdnsMaxPackets = 8;
constexpr int kMdnsPacketSplit = 1200;   // a packet over this is closed
constexpr int kMdnsTotalLimit = 8092;    // nothing is added beyond this
constexpr int kMdnsMaxRecords = 100;     // received packets with more are dropped
constexpr int kMdnsHeaderSize = 12;

// sendPacket kinds.
enum MdnsKind {
  MDNS_ANSWER = 1,
  MDNS_LEGACY_REPLY = 2,
  MDNS_ANNOUNCE = 3,
  MDNS_HOST_PROBE = 4,
  MDNS_SERVICE_PROBE = 5,
  MDNS_GOODBYE = 6,
  MDNS_FULL_ANSWER = 7,
};

// Where a received packet came from and on which socket.
struct MdnsSource {
  uint32_t address;    // network order
  uint16_t port;       // host order
  int vlan;            // -1: the plain interface
  bool unicastSocket;  // arrived on a row's unicast socket
  uint32_t rowAddress; // that row's address and netmask (network order)
  uint32_t rowMask;
};

// 1 when a packet may be believed: group sockets see only the link; a
// unicast packet must come from the row's subnet or a link-local address.
int mdnsSourceOnLink(const MdnsSource& source);

// The task id of the running responder, or -1.
int bonjourRunning();

class BonjourTask : public UdpServerTask {
 public:
  explicit BonjourTask(NetInterface* nif);
  ~BonjourTask() override;
  void run() override;
  void onEnd() override;

  // Names.
  void resetState(bool full);
  void loadInstanceCounter();
  void buildInstanceName();
  void renameAfterConflict();
  void sendGoodbye();
  const char* hostLabel() const { return hostName_; }
  int conflictCounter() const { return counter_; }
  int probeState() const { return probeState_; }
  int64_t answerDue() const { return dueCs_; }

  // Sets the address announced in the A record (network order).
  void setHostAddress(uint32_t address) { hostAddress_ = address; }
  // Sets the row ports from the web listener ports.
  static void setServicePorts(uint16_t httpsPort, uint16_t httpPort);

  // One pass of the probe state machine (run's step 2).
  void advanceProbes();
  // Handles one received DNS message (header included): ignoring, parsing
  // and answering it as the responder loop does.
  void handlePacket(const uint8_t* message, size_t length, const MdnsSource& source);
  // Sends the due delayed answer; 1 when one was due.
  int sendDueAnswer();

  // Fills the packet descriptors for a kind and sends them (to the query's
  // source for a legacy reply); 1 when every packet was written.
  int sendPacket(int kind, const MdnsSource* source, const uint8_t* queryHeader);

  // Received-message parsing (public for the tests and the fuzz target).
  // matchName: 0..3 the row of an instance or service name, 4 the host
  // name, -1 not ours, -2 malformed; *browse set for a service name.
  int matchName(size_t* cursor, bool* browse, DnsName* name);
  // section 1 questions, 2 answers, 3 authority. 1 parsed, 0 malformed.
  int parseRecord(size_t* cursor, int section, bool* conflict);
  void noteQuestion(int row, uint16_t type, int origin);
  // 0 equal, <0 the received record is smaller, >0 greater,
  // kSrvMalformed when its data cannot be read.
  static constexpr int kSrvMalformed = -1000;
  int compareSrvRecord(int row, const uint8_t* rdata, size_t rdataLength, size_t rdataOffset);

  // Parsing bounds of the message being handled.
  const uint8_t* parseStart = nullptr;
  size_t parseLength = 0;

 protected:
  // Hands one packet to the network; tests override it. to: address and
  // port in network order. 1 when sent.
  virtual int transmit(const iovec* parts, int count, uint32_t to, uint16_t port, int vlan);

 private:
  struct PacketDescriptor {
    uint16_t counts[4];  // questions, answers, authority, additional
    int32_t start;       // offset in packetBuffer_
    int32_t length;
  };
  struct Compression {
    uint16_t instance[kMdnsServiceRows];
    uint16_t service[kMdnsServiceRows];
    uint16_t tcp;
    uint16_t host;
    uint16_t local;
  };

  void buildResponse(int kind);
  void buildHostProbe();
  void buildServiceProbe();
  int appendRecords(int packet, int section, int flags);
  void beginPackets();
  int currentPacket(int recordRoom);
  void initMdnsCompression();
  bool writeName(int packet, int form, int row);
  bool writeRecord(int packet, int section, int form, int row, uint16_t type, int flags);
  bool writeAddressRecord(int packet, int section, int flags);
  bool putBytes(const void* bytes, size_t count);
  bool put16(uint16_t value);
  bool put32(uint32_t value);
  void noteConflict(bool probing, bool inAnswers, int compared, int64_t* lastConflict, bool* conflict);

  int counter_ = 0;
  char hostName_[kMdnsNameBufferSize];
  uint8_t packetBuffer_[kMdnsTotalLimit + 1024];
  PacketDescriptor packets_[kMdnsMaxPackets];
  int packetCount_ = 0;
  int used_ = 0;  // bytes of packetBuffer_ in use
  Compression compression_;
  int probeState_ = -1;
  int probeCycles_ = 0;
  int64_t probeTimerCs_ = 0;
  int64_t dueCs_ = 0;
  int dueVlan_ = -1;  // where the question of the delayed answer came from
  uint32_t hostAddress_ = 0;
  // Sending sockets kept open per VLAN (rebuilt with the row sockets).
  struct SendSocket {
    int vlan;
    Connection* socket;
  };
  static constexpr int kSendSockets = 4;
  Connection* sendSocket(int vlan);
  void closeSendSockets();
  SendSocket sendSockets_[kSendSockets] = {};
  int sendSocketCount_ = 0;
  uint32_t maskedAddress_ = 0;  // the address whose netmask is cached
  uint32_t cachedMask_ = 0;
  bool addressAnswered_ = false;  // the A record went into the answers
  bool claimed_ = false;    // this task holds bonjourRunning
  bool announced_ = false;  // its records went out at least once
};

// Starts a responder on the interface; false when its thread could not be
// started.
bool startBonjourTask(NetInterface& nif);

#endif
