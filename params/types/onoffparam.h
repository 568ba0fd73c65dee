// Switch parameter: 0 off, 1 on; text "on" / "off".
#ifndef PARAMS_TYPES_ONOFFPARAM_H
#define PARAMS_TYPES_ONOFFPARAM_H

#include "params/types/intparam.h"

class OnOffParam : public IntParam {
 public:
  OnOffParam(const char* key, int32_t def, uint32_t flags);

  ParamClass paramClass() const override { return ParamClass::OnOff; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;

  // "yes" when on, else "no".
  virtual const char* yesNoText() const;

  // The value as of the last commit; assign sets the modified mark by
  // comparing with it.
  int32_t committedValue() const { return committed_.load(std::memory_order_relaxed); }
  void noteCommitted() override;

 private:
  std::atomic<int32_t> committed_;
};

#endif
