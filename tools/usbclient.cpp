// Command-line client of the USB server: lists the devices a client may use,
// reads their descriptors, connects them and moves data.
//
//   usbclient [options] list
//   usbclient [options] descriptors ROW PORT
//   usbclient [options] connect ROW PORT [SECONDS]
//   usbclient [options] control ROW PORT TYPE REQUEST VALUE INDEX LENGTH [HEXDATA]
//   usbclient [options] bulk-write ROW PORT ENDPOINT HEXDATA
//   usbclient [options] bulk-read ROW PORT ENDPOINT LENGTH
//   usbclient [options] echo ROW PORT OUT_ENDPOINT IN_ENDPOINT HEXDATA
// Options: --host ADDRESS (127.0.0.1), --port N (9200, or 9443 with --tls),
//          --tls, --key PORT=KEY (repeatable), --sha1, --name NAME,
//          --timeout MS (10000).
// Transfers other than reading descriptors connect the device first and
// disconnect it at the end.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/usbclientlib.h"

using usbclient::Client;
using usbclient::Device;
using usbclient::Message;

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  bool tls = false;
  bool sha1 = false;
  int timeoutMs = 10000;
  std::string name = "usbclient";
  std::vector<usbclient::PortKey> keys;
};

int usage() {
  std::fprintf(stderr,
               "usage: usbclient [--host A] [--port N] [--tls] [--key PORT=KEY]... [--sha1] [--name NAME]\n"
               "                 [--timeout MS] COMMAND ARGS\n"
               "commands: list | descriptors ROW PORT | connect ROW PORT [SECONDS]\n"
               "          control ROW PORT TYPE REQUEST VALUE INDEX LENGTH [HEXDATA]\n"
               "          bulk-write ROW PORT ENDPOINT HEXDATA | bulk-read ROW PORT ENDPOINT LENGTH\n"
               "          echo ROW PORT OUT_ENDPOINT IN_ENDPOINT HEXDATA\n");
  return 2;
}

long number(const char* text) { return std::strtol(text, nullptr, 0); }

std::vector<uint8_t> fromHex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

void printHex(const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); ++i) std::printf("%02x%s", data[i], (i % 16 == 15 || i + 1 == data.size()) ? "\n" : " ");
}

bool reportReply(const char* what, const Message& reply) {
  if (reply.status == usbclient::STATUS_OK) return true;
  std::fprintf(stderr, "%s: status %u error %d\n", what, reply.status, reply.error);
  return false;
}

void printNotices(Client& client) {
  for (const Message& n : client.notices())
    std::printf("%s row %d port %d\n", n.opcode == usbclient::OP_DEVICE_GONE ? "DEVICE_GONE" : "PORT_DISABLED",
                n.data[0], n.data[1]);
  client.notices().clear();
}

// A descriptor string of index as text ("" when it has none).
std::string stringDescriptor(Client& client, int row, int port, uint8_t index) {
  if (!index) return "";
  Message reply;
  if (!client.getDescriptor(row, port, 3, 0, 0, 255, reply) || reply.status != 0 || reply.data.size() < 4) return "";
  const uint16_t language = static_cast<uint16_t>(reply.data[2] | reply.data[3] << 8);
  if (!client.getDescriptor(row, port, 3, index, language, 255, reply) || reply.status != 0) return "";
  std::string text;
  for (size_t i = 2; i + 1 < reply.data.size(); i += 2) text += reply.data[i + 1] ? '?' : static_cast<char>(reply.data[i]);
  return text;
}

int listDevices(Client& client, const Options& o) {
  std::vector<Device> devices;
  if (!client.listDevices(devices, o.keys, o.sha1)) {
    std::fprintf(stderr, "list: %s\n", client.lastError().c_str());
    return 1;
  }
  std::printf("%zu device(s)\n", devices.size());
  for (const Device& d : devices) std::printf("%s\n", usbclient::describe(d).c_str());
  return 0;
}

int showDescriptors(Client& client, int row, int port) {
  Message reply;
  if (!client.getDescriptor(row, port, 1, 0, 0, 18, reply) || !reportReply("device descriptor", reply)) return 1;
  std::printf("device descriptor:\n");
  printHex(reply.data);
  const std::vector<uint8_t> device = reply.data;
  if (device.size() >= 18) {
    std::printf("manufacturer: %s\n", stringDescriptor(client, row, port, device[14]).c_str());
    std::printf("product: %s\n", stringDescriptor(client, row, port, device[15]).c_str());
    std::printf("serial: %s\n", stringDescriptor(client, row, port, device[16]).c_str());
  }
  const int configurations = device.size() >= 18 ? device[17] : 0;
  for (int i = 0; i < configurations; ++i) {
    if (!client.getDescriptor(row, port, 2, static_cast<uint8_t>(i), 0, 9, reply) || reply.data.size() < 9) break;
    const uint16_t total = static_cast<uint16_t>(reply.data[2] | reply.data[3] << 8);
    if (!client.getDescriptor(row, port, 2, static_cast<uint8_t>(i), 0, total, reply)) break;
    std::printf("configuration %d:\n", i);
    printHex(reply.data);
  }
  return 0;
}

bool connectDevice(Client& client, const Options& o, int row, int port) {
  Message reply;
  if (!client.connect(row, port, o.name, reply)) {
    std::fprintf(stderr, "connect: %s\n", client.lastError().c_str());
    return false;
  }
  printNotices(client);
  return reportReply("connect", reply);
}

void disconnectDevice(Client& client, int row, int port) {
  Message reply;
  if (client.disconnect(row, port, reply)) reportReply("disconnect", reply);
  printNotices(client);
}

// Bulk OUT of data, then a bulk IN of as many bytes, in one connection.
bool echoThrough(Client& client, int row, int port, uint8_t out, uint8_t in, const std::vector<uint8_t>& data) {
  std::vector<Message> completions;
  if (!client.transfer(row, port, out, 3, data, 0, completions) || !reportReply("bulk out", completions.back()))
    return false;
  std::printf("sent %zu bytes\n", data.size());
  if (!client.transfer(row, port, in, 3, {}, static_cast<uint32_t>(data.size()), completions) ||
      !reportReply("bulk in", completions.back()))
    return false;
  const std::vector<uint8_t> back = Client::joinData(completions);
  std::printf("received %zu bytes\n", back.size());
  printHex(back);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string opt = argv[i];
    const bool hasValue = i + 1 < argc;
    if (opt == "--tls") o.tls = true;
    else if (opt == "--sha1") o.sha1 = true;
    else if (opt == "--host" && hasValue) o.host = argv[++i];
    else if (opt == "--port" && hasValue) o.port = static_cast<int>(number(argv[++i]));
    else if (opt == "--name" && hasValue) o.name = argv[++i];
    else if (opt == "--timeout" && hasValue) o.timeoutMs = static_cast<int>(number(argv[++i]));
    else if (opt == "--key" && hasValue) {
      const std::string spec = argv[++i];
      const size_t eq = spec.find('=');
      if (eq == std::string::npos) return usage();
      o.keys.push_back({static_cast<int>(number(spec.substr(0, eq).c_str())), spec.substr(eq + 1)});
    } else {
      return usage();
    }
  }
  if (i >= argc) return usage();
  const std::string command = argv[i++];
  const int left = argc - i;
  char** args = argv + i;
  if (!o.port) o.port = o.tls ? 9443 : 9200;

  Client client;
  if (!client.open(o.host, o.port, o.tls, o.timeoutMs)) {
    std::fprintf(stderr, "%s:%d: %s\n", o.host.c_str(), o.port, client.lastError().c_str());
    return 1;
  }
  uint16_t hello[4];
  if (!client.hello(static_cast<uint32_t>(getpid()) * 2654435761u, hello)) {
    std::fprintf(stderr, "hello: %s\n", client.lastError().c_str());
    return 1;
  }

  if (command == "list") return listDevices(client, o);
  if (left < 2) return usage();
  const int row = static_cast<int>(number(args[0]));
  const int port = static_cast<int>(number(args[1]));
  // A keyed port's device can be connected only after a keyed list.
  std::vector<Device> devices;
  if (!o.keys.empty()) client.listDevices(devices, o.keys, o.sha1);

  if (command == "descriptors") return showDescriptors(client, row, port);
  if (command == "connect") {
    if (!connectDevice(client, o, row, port)) return 1;
    std::printf("connected row %d port %d\n", row, port);
    const int seconds = left >= 3 ? static_cast<int>(number(args[2])) : 0;
    // Holds the device, sending KEEP_ALIVE once a second so that a short
    // zov_heartbeat does not drop the connection; notices are shown as they
    // come. A connection the server closes ends the command with status 1.
    for (int s = 0; s < seconds; ++s) {
      if (!client.quietFor(1000)) {
        Message m;
        if (!client.readMessage(m)) {
          std::fprintf(stderr, "connect: the server closed the connection\n");
          return 1;
        }
        if (m.notice) client.notices().push_back(m);
        printNotices(client);
        continue;
      }
      const uint32_t tag = static_cast<uint32_t>(s + 1);
      const std::vector<uint8_t> value = {static_cast<uint8_t>(tag >> 24), static_cast<uint8_t>(tag >> 16),
                                          static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
      Message reply;
      if (!client.sendRequest(usbclient::OP_KEEP_ALIVE, tag, value) || !client.readReply(reply)) {
        std::fprintf(stderr, "connect: the server closed the connection\n");
        return 1;
      }
      printNotices(client);
    }
    printNotices(client);
    disconnectDevice(client, row, port);
    return 0;
  }
  if (command == "control" && left >= 7) {
    if (!connectDevice(client, o, row, port)) return 1;
    Message reply;
    const bool ok = client.control(row, port, static_cast<uint8_t>(number(args[2])), static_cast<uint8_t>(number(args[3])),
                                   static_cast<uint16_t>(number(args[4])), static_cast<uint16_t>(number(args[5])),
                                   static_cast<uint16_t>(number(args[6])), left >= 8 ? fromHex(args[7]) : std::vector<uint8_t>(),
                                   reply) &&
                    reportReply("control", reply);
    if (ok) printHex(reply.data);
    disconnectDevice(client, row, port);
    return ok ? 0 : 1;
  }
  if ((command == "bulk-write" || command == "bulk-read") && left >= 4) {
    if (!connectDevice(client, o, row, port)) return 1;
    const uint8_t endpoint = static_cast<uint8_t>(number(args[2]));
    std::vector<Message> completions;
    const bool write = command == "bulk-write";
    const bool ok = client.transfer(row, port, endpoint, 3, write ? fromHex(args[3]) : std::vector<uint8_t>(),
                                    write ? 0 : static_cast<uint32_t>(number(args[3])), completions) &&
                    reportReply(command.c_str(), completions.back());
    if (ok && write) std::printf("sent %s bytes\n", args[3][0] ? std::to_string(fromHex(args[3]).size()).c_str() : "0");
    if (ok && !write) printHex(Client::joinData(completions));
    disconnectDevice(client, row, port);
    return ok ? 0 : 1;
  }
  if (command == "echo" && left >= 5) {
    if (!connectDevice(client, o, row, port)) return 1;
    const bool ok = echoThrough(client, row, port, static_cast<uint8_t>(number(args[2])),
                                static_cast<uint8_t>(number(args[3])), fromHex(args[4]));
    disconnectDevice(client, row, port);
    return ok ? 0 : 1;
  }
  return usage();
}
