// Ethernet link state from the PHY status register.
#include <pthread.h>
#include <sched.h>

#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"

namespace {

// One lock for every interface: the supervision loop, page handlers and
// the commit path may ask at the same time.
pthread_mutex_t miiLock = PTHREAD_MUTEX_INITIALIZER;

constexpr uint32_t kProductWithoutPhy = 357;
constexpr uint32_t kProductWithTwoPhys = 353;

int addLinkBit(LinkRegisterSource& source, NetInterface& nif, uint32_t phy, uint32_t& mask) {
  uint16_t status = 0;
  if (!source.readRegister(nif, static_cast<int>(phy), kPhyStatusRegister, &status)) return 0;
  if ((status & kPhyStatusLink) && phy < 32) mask |= 1u << phy;
  return 1;
}

}  // namespace

int NetInterface::getLinkState(uint32_t* mask) {
  const ProductParams& product = productParams();
  if (product.product_id == kProductWithoutPhy) return 1;

  while (pthread_mutex_trylock(&miiLock) != 0) sched_yield();
  LinkRegisterSource& source = linkSource_ ? *linkSource_ : defaultLinkRegisters();
  uint32_t found = 0;
  bool ok = addLinkBit(source, *this, product.phy0_addr, found);
  if (ok && product.product_id == kProductWithTwoPhys) ok = addLinkBit(source, *this, 0, found);
  if (ok && mask) *mask = found;
  pthread_mutex_unlock(&miiLock);
  if (!ok) return 0;
  return found ? 1 : 0;
}
