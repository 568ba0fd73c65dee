// Small parameter stores and private data roots for the parameter tests.
#ifndef TESTS_PARAMS_SUPPORT_PARAM_FIXTURE_H
#define TESTS_PARAMS_SUPPORT_PARAM_FIXTURE_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "support/whole_file.h"

// A fresh data root (mkdtemp) with "etc" and "var/slot1" in it, selected
// for mapPath while the object lives and removed afterwards.
class TempDataRoot {
 public:
  TempDataRoot();
  ~TempDataRoot();
  TempDataRoot(const TempDataRoot&) = delete;
  TempDataRoot& operator=(const TempDataRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // The host path of an appliance path.
  std::string path(const char* fixedPath) const { return dir_ + fixedPath; }

 private:
  std::string dir_;
};

bool writeWholeFile(const std::string& path, const std::string& content);

// Owns parameters and a store over them, sorted by key.
class FixtureStore {
 public:
  explicit FixtureStore(std::vector<Param*> params);
  ParamStore& store() { return *store_; }
  // The object of key, hidden or not.
  Param* raw(const char* key) const;
  template <class T>
  T* get(const char* key) const {
    return static_cast<T*>(raw(key));
  }

 private:
  std::vector<std::unique_ptr<Param>> owned_;
  std::vector<Param*> items_;
  std::unique_ptr<ParamStore> store_;
};

// Rows of every class with the keys the store itself looks at (relay,
// display, port power, mirror, migration, users), in any order.
std::vector<Param*> standardRows();

// The choice rows used by standardRows (key, display, third text).
extern const ChoiceRow kZoneRows[];
extern const int kZoneRowCount;
extern const ChoiceRow kRelayControlRows[];
extern const int kRelayControlRowCount;

#endif
