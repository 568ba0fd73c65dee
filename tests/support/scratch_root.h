// A fresh directory per test that is also the data root, removed afterwards.
#ifndef TESTS_SUPPORT_SCRATCH_ROOT_H
#define TESTS_SUPPORT_SCRATCH_ROOT_H

#include "runtime/file/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ScratchRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRoot_ = dataRoot();
    char pattern[] = "/tmp/utiltest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setDataRoot(dir_.c_str());
  }
  void TearDown() override {
    setDataRoot(savedRoot_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // dir_ + "/" + relative
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  void writeFile(const std::string& relative, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(path(relative)).parent_path());
    std::ofstream(path(relative), std::ios::binary) << content;
  }

  std::string readFile(const std::string& relative) const {
    std::ifstream in(path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;

 private:
  std::string savedRoot_;
};

#endif
