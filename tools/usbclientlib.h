// A small client of the USB server protocol, for the command-line client
// and the tests: one blocking connection (plain TCP or TLS) to a server,
// the requests a client normally sends (hello, device list with access
// keys, connect, descriptors, control and bulk transfers, disconnect) and
// raw access to the byte stream.
//
// Every call waits at most the connection's time-out (milliseconds).
// Unsolicited notices (DEVICE_GONE, PORT_DISABLED) that arrive while a
// reply is awaited are kept in notices().
#ifndef TOOLS_USBCLIENTLIB_H
#define TOOLS_USBCLIENTLIB_H

#include <cstdint>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace usbclient {

constexpr uint32_t OP_HELLO_LEGACY = 1;
constexpr uint32_t OP_DEVICE_LIST_LEGACY = 2;
constexpr uint32_t OP_DISCONNECT = 6;
constexpr uint32_t OP_SUBMIT_URB = 8;
constexpr uint32_t OP_KEEP_ALIVE = 16;
constexpr uint32_t OP_DEVICE_GONE = 17;
constexpr uint32_t OP_PORT_DISABLED = 19;
constexpr uint32_t OP_SET_CONFIGURATION = 21;
constexpr uint32_t OP_CONNECT = 25;
constexpr uint32_t OP_PORT_STATUS = 26;
constexpr uint32_t OP_HELLO = 27;
constexpr uint32_t OP_DEVICE_LIST = 29;
constexpr uint32_t REPLY_BIT = 0x1000;
constexpr uint32_t OP_URB_PARTIAL_REPLY = 0x101c;

constexpr uint32_t STATUS_OK = 0;
constexpr uint32_t STATUS_CANCELLED = 2;
constexpr uint32_t STATUS_FAILED = 3;
constexpr uint32_t STATUS_REFUSED = 5;

// A reply (24-byte header and its data) or a notice (opcode 17 or 19).
struct Message {
  bool notice = false;
  uint32_t context = 0;
  uint32_t opcode = 0;
  uint32_t tag = 0;
  uint32_t dataLength = 0;  // replies; notices: the payload length (2)
  uint32_t status = 0;
  int32_t error = 0;
  std::vector<uint8_t> data;  // reply data; notices: [row, port]
};

// One entry of the device list.
struct Device {
  int row = 0;
  int port = 0;
  int speed = 0;
  int available = 0;  // 0: available
  uint8_t descriptor[18] = {};  // as the server sends it (ids big-endian)
  uint16_t idVendor() const { return static_cast<uint16_t>(descriptor[8] << 8 | descriptor[9]); }
  uint16_t idProduct() const { return static_cast<uint16_t>(descriptor[10] << 8 | descriptor[11]); }
};

// A port's key as the client knows it.
struct PortKey {
  int port;
  std::string key;
};

// The answers of the keys for a challenge, as a DEVICE_LIST payload:
// "ORV" (DES crypt) or, with sha1, "ORv".
std::vector<uint8_t> keyPayload(const std::vector<PortKey>& keys, uint32_t challenge, bool sha1);

// Encoding of the 16-byte request header.
void encodeRequest(uint8_t out[16], uint32_t context, uint32_t opcode, uint32_t tag, uint32_t payloadLength);

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects to host:port (a numeric address or a name), with tls a TLS
  // session without certificate check. true when connected.
  bool open(const std::string& host, int port, bool tls, int timeoutMs = 10000);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void setTimeout(int ms) { timeoutMs_ = ms; }
  int timeout() const { return timeoutMs_; }
  // The last failure as text.
  const std::string& lastError() const { return error_; }

  // --- Raw stream ---
  bool sendBytes(const void* data, size_t length);
  // Exactly length bytes within the time-out: true when all arrived.
  bool readBytes(void* data, size_t length);
  // One request: header (context 0 unless given) and body.
  bool sendRequest(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body = {},
                   uint32_t payloadLength = 0, uint32_t context = 0);
  // The next reply or notice.
  bool readMessage(Message& out);
  // The next reply (notices met on the way go to notices()).
  bool readReply(Message& out);
  // True when the server closes the connection within ms without sending
  // anything further (bytes that do arrive are dropped and give false).
  bool closedByPeer(int ms);
  // True when nothing at all arrives within ms and the connection stays open.
  bool quietFor(int ms);

  std::vector<Message>& notices() { return notices_; }

  // --- Requests ---
  // HELLO with tag (which becomes the challenge): true on an OK reply;
  // the four 16-bit values of its data in values when given.
  bool hello(uint32_t tag, uint16_t values[4] = nullptr);
  uint32_t challenge() const { return challenge_; }
  // DEVICE_LIST with the answers of keys (none: no payload). The
  // reply's status is in *reply when given.
  bool listDevices(std::vector<Device>& out, const std::vector<PortKey>& keys = {}, bool sha1 = false,
                   Message* reply = nullptr);
  // CONNECT: the reply (status, error).
  bool connect(int row, int port, const std::string& name, Message& reply);
  bool disconnect(int row, int port, Message& reply);
  bool setConfiguration(int row, int port, int value, Message& reply);
  bool portStatus(int row, int port, Message& reply);

  // A control transfer (SUBMIT_URB type 2): setup fields, then OUT data
  // for an OUT request; the reply carries IN data.
  bool control(int row, int port, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
               uint16_t length, const std::vector<uint8_t>& outData, Message& reply);
  // GET_DESCRIPTOR of type and index (language id for strings).
  bool getDescriptor(int row, int port, uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                     Message& reply);
  // A bulk (type 3) or interrupt (type 1) transfer: OUT sends data, IN asks
  // for length bytes. The completions up to the final one (0x1008) are
  // collected in order; true when a final completion arrived.
  bool transfer(int row, int port, uint8_t endpoint, uint8_t type, const std::vector<uint8_t>& outData,
                uint32_t inLength, std::vector<Message>& completions);
  // The IN data of all completions together.
  static std::vector<uint8_t> joinData(const std::vector<Message>& completions);

  uint32_t nextTag() { return ++tag_; }

 private:
  bool waitFor(short events, int ms);

  int fd_ = -1;
  ssl_ctx_st* ctx_ = nullptr;
  ssl_st* ssl_ = nullptr;
  int timeoutMs_ = 10000;
  uint32_t tag_ = 0x100;
  uint32_t challenge_ = 0;
  std::string error_;
  std::vector<Message> notices_;
};

// "0x1234:0x5678"-style description of a device for printing.
std::string describe(const Device& device);

}  // namespace usbclient

#endif
