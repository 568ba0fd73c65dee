// Test environment for the board code: a private data root, a product
// identity the test chooses, parameters restored afterwards, and a board
// device over a simulated board.
#ifndef TESTS_APP_SUPPORT_BOARDTESTENV_H
#define TESTS_APP_SUPPORT_BOARDTESTENV_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/gpiodevice.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "platform/board/simboard.h"
#include "runtime/file/paths.h"

class BoardTestEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRoot_ = dataRoot();
    char tmpl[] = "/tmp/boardtestXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    for (const char* d : {"/etc", "/dev", "/var", "/conf.d"}) ASSERT_EQ(::mkdir((root_ + d).c_str(), 0755), 0);
    setDataRoot(root_.c_str());
    savedProduct_ = productParams();
    setProduct(100, 0, 4);
    std::unique_ptr<SimBoard> sim(new SimBoard);
    sim_ = sim.get();
    device_.reset(new GpioDevice(std::move(sim)));
  }

  void TearDown() override {
    device_.reset();
    restoreParams();
    productParams() = savedProduct_;
    setDataRoot(savedRoot_.c_str());
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  // A new simulated board and device; parameters back to what they were.
  void freshBoard() {
    device_.reset();
    restoreParams();
    std::unique_ptr<SimBoard> sim(new SimBoard);
    sim_ = sim.get();
    device_.reset(new GpioDevice(std::move(sim)));
  }

  void restoreParams() {
    for (auto it = savedParams_.rbegin(); it != savedParams_.rend(); ++it) {
      it->param->set(it->text.c_str());
      if (it->hidden)
        it->param->addFlags(PF_HIDDEN);
      else
        it->param->removeFlags(PF_HIDDEN);
      it->param->clearModified();
    }
    savedParams_.clear();
  }

  void setProduct(uint32_t board, uint32_t product, uint32_t ports) {
    productParams().gpio_hw_project = board;
    productParams().product_id = product;
    productParams().usb_ports_phy = ports;
    productParams().usbtable_product_id = product;
  }

  // The parameter of key (hidden ones included); fails the test when absent.
  Param* param(const char* key) {
    int n = 0;
    Param** items = paramStore.items(&n);
    for (int i = 0; i < n; ++i)
      if (std::string(items[i]->key()) == key) return items[i];
    ADD_FAILURE() << "no parameter " << key;
    return nullptr;
  }

  void remember(Param* p) {
    for (const Saved& s : savedParams_)
      if (s.param == p) return;
    savedParams_.push_back({p, p->savedText(), p->hasFlags(PF_HIDDEN)});
  }

  void setParam(const char* key, const char* value) {
    Param* p = param(key);
    if (!p) return;
    remember(p);
    p->set(value);
  }

  void hideParam(const char* key) {
    Param* p = param(key);
    if (!p) return;
    remember(p);
    p->addFlags(PF_HIDDEN);
  }

  void writeFile(const char* fixed, const char* text) {
    FILE* f = std::fopen(mapPath(fixed).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  }

  bool exists(const char* fixed) {
    struct stat st;
    return ::stat(mapPath(fixed).c_str(), &st) == 0;
  }

  std::vector<std::string> logTexts() {
    std::vector<std::string> out;
    for (const SimBoard::LogEntry& e : sim_->log()) out.push_back(e.text);
    return out;
  }

  // Log entries that begin with prefix.
  std::vector<SimBoard::LogEntry> logWith(const std::string& prefix) {
    std::vector<SimBoard::LogEntry> out;
    for (const SimBoard::LogEntry& e : sim_->log())
      if (e.text.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
  }

  // Waits (bounded) until cond holds.
  static bool eventually(const std::function<bool()>& cond, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
  }

  struct Saved {
    Param* param;
    std::string text;
    bool hidden;
  };

  std::string savedRoot_;
  std::string root_;
  ProductParams savedProduct_{};
  std::vector<Saved> savedParams_;
  SimBoard* sim_ = nullptr;
  std::unique_ptr<GpioDevice> device_;
};

#endif
