// What a parameter commit does outside the parameters: port power, the
// alarm relay, the status display, and the questions it asks of the link
// and the memory card. The modules that own these implement the interface;
// until one is installed a recording implementation stands in.
#ifndef PARAMS_STORE_COMMITEFFECTS_H
#define PARAMS_STORE_COMMITEFFECTS_H

#include <string>
#include <vector>
#include <mutex>

class CommitEffects {
 public:
  virtual ~CommitEffects() = default;

  // Switches the power output of a USB port (0-based).
  virtual void setPortPower(int output, bool on) = 0;
  // Switches the alarm relay.
  virtual void setRelay(bool on) = 0;
  // True when the board has a status display.
  virtual bool hasDisplay() = 0;
  // Shows a two-character code: flags 0 sets the default code, 0x8 removes
  // the code, 0x24 adds it blinking (ORed with the power state for "E1").
  virtual void showDisplay(const char* code, int flags) = 0;
  // The display's power state (0: nothing to show).
  virtual int displayPowerState() = 0;
  // The link state of the interface in use (0x11 when there is none).
  virtual int linkState() = 0;
  // The memory card: 0 absent, 1 unusable, 2 write-protected, 3 read-write.
  virtual int storageMediumState() = 0;
  // Writes the information file on the card after a mirror write.
  virtual void writeSlot1InfoLog(const char* directory) = 0;
};

// Display flags of showDisplay.
constexpr int DISPLAY_SET_DEFAULT = 0x0;
constexpr int DISPLAY_REMOVE = 0x8;
constexpr int DISPLAY_ADD_BLINKING = 0x24;

// Link state that means "link up, nothing to report".
constexpr int LINK_STATE_GOOD = 0x11;

// The installed implementation (the recording one until another is set).
CommitEffects& commitEffects();
// Installs an implementation (null: back to the recording one). Not meant
// to race with a running commit: install at start-up.
void setCommitEffects(CommitEffects* effects);

// Stand-in that records every call as text ("power 0 on", "relay off",
// "display E5 0x24", "infolog /var/slot1") and answers questions from
// settable values.
class RecordingCommitEffects : public CommitEffects {
 public:
  void setPortPower(int output, bool on) override;
  void setRelay(bool on) override;
  bool hasDisplay() override;
  void showDisplay(const char* code, int flags) override;
  int displayPowerState() override;
  int linkState() override;
  int storageMediumState() override;
  void writeSlot1InfoLog(const char* directory) override;

  // The calls so far, oldest first; takeCalls also forgets them.
  std::vector<std::string> calls();
  std::vector<std::string> takeCalls();

  void setHasDisplay(bool present);
  void setDisplayPowerState(int state);
  void setLinkState(int state);
  void setStorageMediumState(int state);

 private:
  void record(std::string call);

  std::mutex mutex_;
  std::vector<std::string> calls_;
  bool display_ = false;
  int powerState_ = 0;
  int linkState_ = LINK_STATE_GOOD;
  int mediumState_ = 0;
};

// The recording stand-in the program starts with.
RecordingCommitEffects& defaultCommitEffects();

#endif
