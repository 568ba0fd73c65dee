// "SLP": the SLP version 1 service agent (UDP 427, groups 224.0.1.22 and
// 224.0.0.1). Answers service requests for "service:d-ovode:" with the
// device's URL and, while the device has only a link-local address, takes
// the address, netmask and gateway a request naming it gives.
#ifndef NET_DISCOVERY_SLPTASK_H
#define NET_DISCOVERY_SLPTASK_H

#include <cstddef>
#include <cstdint>

#include "net/discovery/udpservertask.h"

class Connection;
struct SlpRequest;

constexpr const char* kSlpGroup = "224.0.1.22";
constexpr const char* kSlpAllHostsGroup = "224.0.0.1";
constexpr int kSlpRestartDelaySeconds = 1;

// Called after an applied address whose commit asks for a reboot (the
// program installs the start of "ShutDown"); null: nothing happens.
void setSlpRestartHook(bool (*restart)(int delaySeconds));

class SlpTask : public UdpServerTask {
 public:
  explicit SlpTask(NetInterface* nif);
  void run() override;

  // A received message: version 1 SrvRqst -> answerRequest, else 0.
  int handleRequest(Connection* socket, const uint8_t* message, size_t length, const IpAddress& local);
  // 1 when a reply was sent from socket (to its peer).
  int answerRequest(Connection* socket, const uint8_t* message, size_t length, const IpAddress& local);
  // The URL for a reply from the local address.
  static void formatUrl(char* out, size_t size, const IpAddress& local, bool limited);

 private:
  void applyAddress(const SlpRequest& request);
};

bool startSlpTask(NetInterface& nif);

#endif
