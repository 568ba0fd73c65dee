// The commit: clears the modified marks, tells the callers what the changes
// need, and applies the settings that act on the hardware at once.
#include <cstdlib>
#include <cstring>

#include "params/identity/productparams.h"
#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool isKey(const Param& p, const char* key) { return std::strcmp(p.key(), key) == 0; }

// A port is powered while its "zov_poff_" parameter is off.
void applyPortPower(const Param& p) {
  if (!(p.flags() & FEATURE_POSWITCH) || !startsWith(p.key(), "zov_poff_")) return;
  long port = std::atol(p.key() + std::strlen("zov_poff_"));
  if (port < 1 || port > static_cast<long>(productParams().usb_ports_phy)) return;
  commitEffects().setPortPower(static_cast<int>(port - 1), p.isOff());
}

void applyRelay(ParamStore& store, const Param& p) {
  if (!startsWith(p.key(), "relay_")) return;
  P3List* control = store.findList("relay_ctrl");
  bool fixed = control != nullptr && control->equals("fix");
  Param* relayOn = store.find("relay_on");
  if (isKey(p, "relay_ctrl")) {
    commitEffects().setRelay(fixed && relayOn != nullptr && relayOn->isOn());
    if (IntParam* events = store.findInt("relay_eves")) events->setChecked(0);
  } else if (fixed) {
    if (isKey(p, "relay_on")) commitEffects().setRelay(p.isOn());
  } else {
    bool status = control != nullptr && control->equals("stat");
    if ((status && startsWith(p.key(), "relay_stat_")) || (!status && startsWith(p.key(), "relay_eve_")))
      commitEffects().setRelay(false);
  }
}

void applyDisplay(const Param& p) {
  if (!startsWith(p.key(), "disp_")) return;
  CommitEffects& effects = commitEffects();
  if (isKey(p, "disp_def")) {
    if (p.paramClass() == ParamClass::String) {
      std::string code = static_cast<const StringParam&>(p).getText();
      effects.showDisplay(code.c_str(), DISPLAY_SET_DEFAULT);
    }
  } else if (isKey(p, "disp_pwr")) {
    if (p.isOff()) {
      effects.showDisplay("E1", DISPLAY_REMOVE);
    } else if (int power = effects.displayPowerState()) {
      effects.showDisplay("E1", power | DISPLAY_ADD_BLINKING);
    }
  } else if (isKey(p, "disp_lnk")) {
    if (p.isOff())
      effects.showDisplay("E5", DISPLAY_REMOVE);
    else if (effects.linkState() != LINK_STATE_GOOD)
      effects.showDisplay("E5", DISPLAY_ADD_BLINKING);
  } else if (isKey(p, "disp_sdc")) {
    if (p.isOff()) {
      effects.showDisplay("E2", DISPLAY_REMOVE);
      effects.showDisplay("E3", DISPLAY_REMOVE);
      effects.showDisplay("E4", DISPLAY_REMOVE);
      return;
    }
    static const char* const kByState[] = {"E4", "E2", "E3"};  // absent, unusable, write-protected
    int state = effects.storageMediumState();
    if (state >= 0 && state <= 2) effects.showDisplay(kByState[state], DISPLAY_ADD_BLINKING);
  }
}

}  // namespace

int ParamStore::resetModified() {
  ensureFilled();
  int result = 0;
  for (int i = 0; i < count_; ++i) {
    Param* p = items_[i];
    if (!p->takeModified()) continue;
    p->noteCommitted();
    result |= CHANGE_ANY;
    uint32_t flags = p->flags();
    if (flags & (PF_HIDDEN | PF_VOLATILE)) continue;
    result |= CHANGE_SAVE;
    if (flags & PF_RESTART)
      result |= CHANGE_RESTART;
    else if (!(flags & PF_IMMEDIATE))
      result |= CHANGE_REBOOT;
    applyPortPower(*p);
    applyRelay(*this, *p);
    if (commitEffects().hasDisplay()) applyDisplay(*p);
  }
  return result;
}

int ParamStore::commitAndSave() {
  int result = resetModified();
  if (result & CHANGE_SAVE) save("/etc/params.dat");
  return result;
}
