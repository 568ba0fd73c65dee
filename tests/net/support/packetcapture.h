// tshark writing the frames of one interface of a namespace to a file,
// and reading that file back with the checksum checks on.
#ifndef TESTS_NET_SUPPORT_PACKETCAPTURE_H
#define TESTS_NET_SUPPORT_PACKETCAPTURE_H

#include <sys/types.h>

#include <functional>
#include <string>

class PacketCapture {
 public:
  PacketCapture() = default;
  ~PacketCapture();
  PacketCapture(const PacketCapture&) = delete;
  PacketCapture& operator=(const PacketCapture&) = delete;

  // Captures on device in namespace ns into a file of dir with the capture
  // filter; returns once tshark has announced the capture (see
  // waitForFrames). False with the reason.
  bool start(const std::string& ns, const std::string& device, const std::string& dir, const std::string& filter,
             std::string* why);
  // Waits until a first frame was captured: the capture runs.
  // The caller makes frames meanwhile (poke, run between polls).
  bool waitForFrames(const std::function<void()>& poke);
  // Captured frames so far whose summary line holds text.
  int count(const char* text) const;
  // Ends the capture and waits for the file to be complete.
  void stop();
  // Reads the file: tshark -r with the checksum checks, display filter
  // and extra arguments (fields); its standard output.
  std::string read(const std::string& displayFilter, const std::string& arguments) const;

 private:
  std::string file_;
  std::string log_;
  std::string summary_;  // one line per frame, written as they come
  pid_t pid_ = -1;
};

#endif
