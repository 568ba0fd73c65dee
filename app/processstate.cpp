#include "app/processstate.h"

std::atomic<int> exitCode{EXIT_NORMAL};
std::atomic<int> shutdownCount{0};
std::atomic<int> sigInts{0};
std::atomic<int64_t> shutdownRequestTime{0};

int kickOffValue = -1;

int httpListenPort = -1;
int httpsListenPort = -1;
int snmpAgentPort = -1;

void resetProcessStateForTesting() {
  exitCode.store(EXIT_NORMAL);
  shutdownCount.store(0);
  sigInts.store(0);
  shutdownRequestTime.store(0);
  kickOffValue = -1;
  httpListenPort = -1;
  httpsListenPort = -1;
  snmpAgentPort = -1;
}
