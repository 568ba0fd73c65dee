// A private network namespace for the calling thread, with the veth pair
// "eth0" / "peer0" in it, and a data root of its own. The original
// namespace is restored and everything made is removed on destruction.
#ifndef TESTS_NET_SUPPORT_PRIVATENETWORK_H
#define TESTS_NET_SUPPORT_PRIVATENETWORK_H

#include <string>

class PrivateNetwork {
 public:
  PrivateNetwork() = default;
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Enters a fresh namespace and makes the veth pair (both ends down).
  // False with the reason when that is not possible here (not root, no
  // namespaces, no veth).
  bool enter(std::string* why);
  const std::string& dataRootDir() const { return root_; }

  // Runs a shell command inside the namespace; true when it exits 0.
  static bool run(const std::string& command);
  // Its standard output.
  static std::string output(const std::string& command);

 private:
  int originalNamespace_ = -1;
  std::string root_;
};

#endif
