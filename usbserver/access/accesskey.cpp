#include "usbserver/access/accesskey.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/sha.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "params/types/stringparam.h"
#include "runtime/task/task.h"

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kCryptRecordSize = 1 + USB_KEY_CRYPT_ANSWER_SIZE;
constexpr int kSha1RecordSize = 2 + USB_KEY_SHA1_ANSWER_SIZE;

std::mutex keptMutex;
std::map<int32_t, std::unique_ptr<UsbKeyAnswers>> keptAnswers;  // guarded by keptMutex

bool isTaskRegistered(int32_t id) {
  bool found = false;
  if (!TLOCK()) return true;  // keep what cannot be checked
  for (Task* t : taskTable) {
    if (t && t->id == id) {
      found = true;
      break;
    }
  }
  unlockTaskTable();
  return found;
}

// The key of a keyed port into key; false for a port without one.
bool portKey(int port, std::string& key) {
  if (port < 1 || port > 20) return false;
  P3List* mode = paramStore.findList(("zov_accctrl_" + std::to_string(port)).c_str());
  if (!mode) return false;
  static const char* const kKeyed[] = {"key", "keyids", nullptr};
  if (!mode->equalsAny(kKeyed)) return false;
  StringParam* value = paramStore.findString(("zov_keyval_" + std::to_string(port)).c_str());
  if (!value || !value->hasValue()) return false;
  key = value->getText();
  if (key.size() > static_cast<size_t>(USB_KEY_MAX_LENGTH)) key.resize(USB_KEY_MAX_LENGTH);
  return !key.empty();
}

}  // namespace

int parseAccessKeyPayload(const uint8_t* payload, int length, int* sha1) {
  if (!payload || length < 4 || length > USB_KEY_PAYLOAD_MAX) return 0;
  if (payload[0] != 'O' || payload[1] != 'R') return 0;
  const int count = payload[3];
  int isSha1;
  if (payload[2] == 'V') isSha1 = 0;
  else if (payload[2] == 'v') isSha1 = 1;
  else return 0;
  const int recordSize = isSha1 ? kSha1RecordSize : kCryptRecordSize;
  if (length != count * recordSize + 4) return 0;
  if (sha1) *sha1 = isSha1;
  return 1;
}

void cryptAnswerForKey(const char* key, uint32_t c, uint8_t out[USB_KEY_CRYPT_ANSWER_SIZE]) {
  const char salt[3] = {kB64[(c ^ (c >> 24)) & 63], kB64[((c >> 16) ^ (c >> 8)) & 63], 0};
  char full[14] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  DES_fcrypt(key ? key : "", salt, full);
#pragma GCC diagnostic pop
  std::memcpy(out, full + 2, USB_KEY_CRYPT_ANSWER_SIZE);
}

void sha1AnswerForKey(const char* key, uint32_t c, uint8_t out[USB_KEY_SHA1_ANSWER_SIZE]) {
  std::string text;
  text += kB64[(c >> 24) & 63];
  text += kB64[(c >> 16) & 63];
  text += kB64[(c >> 8) & 63];
  text += kB64[c & 63];
  if (key) text.append(key, strnlen(key, USB_KEY_MAX_LENGTH));
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
}

int computePortKeyCryptAnswer(int port, uint32_t challenge, uint8_t out[USB_KEY_CRYPT_ANSWER_SIZE]) {
  std::string key;
  if (!portKey(port, key)) return 0;
  cryptAnswerForKey(key.c_str(), challenge, out);
  return 1;
}

int computePortKeySha1Answer(int port, uint32_t challenge, uint8_t out[USB_KEY_SHA1_ANSWER_SIZE]) {
  std::string key;
  if (!portKey(port, key)) return 0;
  sha1AnswerForKey(key.c_str(), challenge, out);
  return 1;
}

int checkAccessKeyAnswers(int port, uint32_t challenge, int sha1, const uint8_t* payload, int length) {
  std::string key;
  if (!portKey(port, key)) return 1;
  if (!payload || length < 4) return 0;
  const int count = payload[3];
  if (count > USB_KEY_MAX_RECORDS) return 0;
  const int recordSize = sha1 ? kSha1RecordSize : kCryptRecordSize;
  if (length < 4 + count * recordSize) return 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t* record = payload + 4 + i * recordSize;
    const int recordPort = sha1 ? (record[0] << 8 | record[1]) : record[0];
    if (recordPort != port) continue;
    if (sha1) {
      uint8_t answer[USB_KEY_SHA1_ANSWER_SIZE];
      sha1AnswerForKey(key.c_str(), challenge, answer);
      return CRYPTO_memcmp(answer, record + 2, sizeof answer) == 0 ? 1 : 0;
    }
    uint8_t answer[USB_KEY_CRYPT_ANSWER_SIZE];
    cryptAnswerForKey(key.c_str(), challenge, answer);
    return CRYPTO_memcmp(answer, record + 1, sizeof answer) == 0 ? 1 : 0;
  }
  return 0;
}

int checkKeptAccessKeyAnswers(int port, const UsbKeyAnswers& answers) {
  if (!answers.valid) return checkAccessKeyAnswers(port, 0, 0, nullptr, 0);
  return checkAccessKeyAnswers(port, answers.challenge, answers.sha1, answers.payload, answers.length);
}

void keepUsbKeyAnswers(int32_t taskId, const UsbKeyAnswers& answers) {
  std::lock_guard<std::mutex> lock(keptMutex);
  for (auto it = keptAnswers.begin(); it != keptAnswers.end();) {
    if (it->first != taskId && !isTaskRegistered(it->first)) it = keptAnswers.erase(it);
    else ++it;
  }
  std::unique_ptr<UsbKeyAnswers>& slot = keptAnswers[taskId];
  if (!slot) slot = std::make_unique<UsbKeyAnswers>();
  *slot = answers;
}

int keptUsbKeyAnswers(int32_t taskId, UsbKeyAnswers* out) {
  std::lock_guard<std::mutex> lock(keptMutex);
  auto it = keptAnswers.find(taskId);
  if (it == keptAnswers.end()) return 0;
  if (out) *out = *it->second;
  return 1;
}

void forgetUsbKeyAnswers(int32_t taskId) {
  std::lock_guard<std::mutex> lock(keptMutex);
  keptAnswers.erase(taskId);
}

int keptUsbKeyAnswerCount() {
  std::lock_guard<std::mutex> lock(keptMutex);
  return static_cast<int>(keptAnswers.size());
}
