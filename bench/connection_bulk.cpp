// Bulk transfer over loopback TCP through Connection (send in a thread,
// receive in a task that serves its messages while it waits) against plain
// send/recv with the same chunk and read sizes, measured in the same run.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

namespace {

constexpr size_t kTotalBytes = 512u << 20;
constexpr size_t kChunk = 64 * 1024;
constexpr int kReadSize = kReceiveBufferSize;  // what Connection::receive reads at once
constexpr int kRounds = 3;

bool makePair(Connection& client, Connection& server) {
  Connection listener(nullptr, nullptr, -1);
  if (!listener.open(AF_INET, SOCK_STREAM, 0) || !listener.bindLoopback(0) || !listener.listen(4)) return false;
  if (!client.open(AF_INET, SOCK_STREAM, 0)) return false;
  parseIpAddress(client.peer, "127.0.0.1");
  client.peer.setPort(listener.local.port());
  if (!client.connect(500)) return false;
  return server.acceptFrom(listener.fd) == 1;
}

// Receives until the sender closes; the byte count.
class ReceiverTask : public Task {
 public:
  ReceiverTask(Connection* connection, std::atomic<size_t>* received, std::atomic<bool>* done)
      : Task("BulkReceiver"), connection_(connection), received_(received), done_(done) {}
  void run() override {
    connection_->owner = this;
    ByteBuffer buffer;
    size_t total = 0;
    for (;;) {
      const int n = connection_->receive(buffer, 1000);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    connection_->owner = nullptr;
    received_->store(total);
    done_->store(true);
  }

 private:
  Connection* connection_;
  std::atomic<size_t>* received_;
  std::atomic<bool>* done_;
};

double throughConnection() {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  if (!makePair(client, server)) return 0;
  client.state = CONN_STATE_CONNECTED;
  server.state = CONN_STATE_CONNECTED;
  std::atomic<size_t> received{0};
  std::atomic<bool> done{false};
  std::vector<char> chunk(kChunk, 'c');
  const auto start = std::chrono::steady_clock::now();
  auto* receiver = new ReceiverTask(&server, &received, &done);
  if (receiver->start(65536) < 0) {
    delete receiver;
    return 0;
  }
  for (size_t sent = 0; sent < kTotalBytes; sent += kChunk)
    if (client.send(chunk.data(), static_cast<int>(kChunk), 0) != static_cast<int>(kChunk)) break;
  client.close();
  while (!done.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return received.load() / seconds / 1e6;
}

double plainSockets() {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  if (!makePair(client, server)) return 0;
  std::atomic<size_t> received{0};
  std::vector<char> chunk(kChunk, 'p');
  const auto start = std::chrono::steady_clock::now();
  std::thread receiver([&] {
    std::vector<char> buffer(kReadSize);
    size_t total = 0;
    for (;;) {
      const ssize_t n = ::recv(server.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    received.store(total);
  });
  for (size_t sent = 0; sent < kTotalBytes;) {
    const ssize_t n = ::send(client.fd, chunk.data(), kChunk, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  client.close();
  receiver.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return received.load() / seconds / 1e6;
}

}  // namespace

int main() {
  double best = 0, bestPlain = 0;
  for (int round = 0; round < kRounds; ++round) {
    bestPlain = std::max(bestPlain, plainSockets());
    best = std::max(best, throughConnection());
  }
  std::printf("bulk transfer, %zu MB per run, %d-byte reads, best of %d\n", kTotalBytes >> 20, kReadSize, kRounds);
  std::printf("plain send/recv:  %8.1f MB/s\n", bestPlain);
  std::printf("Connection:       %8.1f MB/s\n", best);
  std::printf("ratio Connection/plain: %.2f\n", bestPlain > 0 ? best / bestPlain : 0.0);
  return best > 0 && bestPlain > 0 ? 0 : 1;
}
