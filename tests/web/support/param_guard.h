// Sets parameters for one test and puts their previous values back.
#ifndef TESTS_WEB_SUPPORT_PARAM_GUARD_H
#define TESTS_WEB_SUPPORT_PARAM_GUARD_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"

namespace webtest {

class ParamGuard {
 public:
  ParamGuard() = default;
  ParamGuard(const ParamGuard&) = delete;
  ParamGuard& operator=(const ParamGuard&) = delete;
  ~ParamGuard() { restore(); }

  void set(const char* key, const char* value) {
    Param* p = paramStore.find(key);
    ASSERT_NE(p, nullptr) << key;
    saved_.emplace_back(key, p->savedText());
    p->set(value);
    ASSERT_EQ(p->savedText(), value) << key;
  }

  void restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      if (Param* p = paramStore.find(it->first.c_str())) p->set(it->second.c_str());
    saved_.clear();
    paramStore.resetModified();
  }

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace webtest

#endif
