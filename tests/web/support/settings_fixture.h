// The settings pages under test: the loopback web engine with page rows
// naming the settings handlers, small templates that show the variables a
// test asks about, a task that counts parameter-change broadcasts, and a
// restart starter that records instead of ending the process.
#ifndef TESTS_WEB_SUPPORT_SETTINGS_FIXTURE_H
#define TESTS_WEB_SUPPORT_SETTINGS_FIXTURE_H

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "web/support/web_fixture.h"

namespace webtest {

// Rows of every settings page with its handler (all level 3), the wait
// page and the start page.
extern PageRow kSettingsRows[];
extern const int kSettingsRowCount;

class SettingsFixture : public WebFixture {
 public:
  static std::atomic<int> restarts;       // starts of the restart
  static std::atomic<int> restartDelay;   // its delay in seconds

 protected:
  void SetUp() override;
  void TearDown() override;
  // The page rows the test serves (before the listener starts).
  virtual std::vector<PageRow> rowsForTest() const;
  // The listener serves TLS.
  virtual bool servesTls() const { return false; }

  // GET path (with query) and POST a url-encoded form to path; the answer.
  std::string get(const std::string& pathAndQuery);
  std::string post(const std::string& path, const std::string& form);
  // POST a multipart upload of content as file "params.dat".
  std::string upload(const std::string& path, const std::string& content);
  // The request text of that upload.
  static std::string uploadRequest(const std::string& path, const std::string& content);

  // Sets parameters for the test; each is restored (and the change
  // forgotten) in TearDown.
  void setParam(const char* key, const std::string& value);
  std::string param(const char* key);
  // The model's feature bits for the test.
  void setFeatures(uint32_t features);
  // The saved parameter file of the data root ("" when none).
  std::string savedFile();

  // MSG_PARAMS_CHANGED seen by the watcher task so far (bounded wait for
  // at least want).
  int broadcastsSeen(int want = 0);

 private:
  std::vector<PageRow> rows_;
  std::map<std::string, std::string> saved_;
  int32_t savedFeatures_ = 0;
  int watcherId_ = -1;
  int savedExitCode_ = 0;
};

}  // namespace webtest

#endif
