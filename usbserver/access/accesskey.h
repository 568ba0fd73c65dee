// Access keys of the USB ports: a client proves that it knows a port's key
// by answering the challenge (the tag of its HELLO) without sending the key.
//
// The answers arrive as the payload of DEVICE_LIST, in one of two formats:
//   "ORV" count (8-bit) then count x [port 8-bit, 11-byte DES-crypt answer]
//   "ORv" count (8-bit) then count x [port 16-bit, 20-byte SHA-1 answer]
#ifndef USBSERVER_ACCESS_ACCESSKEY_H
#define USBSERVER_ACCESS_ACCESSKEY_H

#include <cstdint>

// Longest payload a DEVICE_LIST request may carry with its answers.
constexpr int USB_KEY_PAYLOAD_MAX = 444;
// More records than this refuse every keyed port.
constexpr int USB_KEY_MAX_RECORDS = 20;
constexpr int USB_KEY_CRYPT_ANSWER_SIZE = 11;
constexpr int USB_KEY_SHA1_ANSWER_SIZE = 20;
// A port's key text keeps at most this many characters.
constexpr int USB_KEY_MAX_LENGTH = 67;

// The answers of a connection's latest keyed DEVICE_LIST, kept so that
// CONNECT can check them again against the key in force.
struct UsbKeyAnswers {
  uint8_t valid = 0;       // a well-formed payload was received
  uint8_t sha1 = 0;        // "ORv" records
  uint16_t length = 0;     // payload bytes
  uint32_t challenge = 0;  // the challenge the answers were made for
  uint8_t payload[USB_KEY_PAYLOAD_MAX] = {};
};

// Checks magic and length of a payload: 1 well formed ("ORV": *sha1 0,
// "ORv": *sha1 1), 0 malformed.
int parseAccessKeyPayload(const uint8_t* payload, int length, int* sha1);

// The server's answers for a port's key and a challenge: 1 with the answer
// in out (11 characters, or 20 digest bytes), 0 when the port has no key.
int computePortKeyCryptAnswer(int port, uint32_t challenge, uint8_t out[USB_KEY_CRYPT_ANSWER_SIZE]);
int computePortKeySha1Answer(int port, uint32_t challenge, uint8_t out[USB_KEY_SHA1_ANSWER_SIZE]);

// The same from a key text (what the ports and the client share).
void cryptAnswerForKey(const char* key, uint32_t challenge, uint8_t out[USB_KEY_CRYPT_ANSWER_SIZE]);
void sha1AnswerForKey(const char* key, uint32_t challenge, uint8_t out[USB_KEY_SHA1_ANSWER_SIZE]);

// 1 when the port may be used: it has no key, or the first record for the
// port carries the right answer. A payload of length 0 (null) has no
// records. The payload must have passed parseAccessKeyPayload.
int checkAccessKeyAnswers(int port, uint32_t challenge, int sha1, const uint8_t* payload, int length);
// The same against answers kept from an earlier list.
int checkKeptAccessKeyAnswers(int port, const UsbKeyAnswers& answers);

// The answers of each connection, kept by the id of its connection task
// (ids are never given out twice). Keeping a connection's answers also
// forgets those of tasks that have ended.
void keepUsbKeyAnswers(int32_t taskId, const UsbKeyAnswers& answers);
// 1 with the connection's answers in out, 0 when it has sent none.
int keptUsbKeyAnswers(int32_t taskId, UsbKeyAnswers* out);
void forgetUsbKeyAnswers(int32_t taskId);
// Connections with answers kept.
int keptUsbKeyAnswerCount();

#endif
