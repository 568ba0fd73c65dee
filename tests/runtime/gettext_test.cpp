#include "runtime/text/gettext.h"

#include "support/scratch_root.h"

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

class Gettext : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    const char* language = std::getenv("LANGUAGE");
    hadLanguage_ = language != nullptr;
    if (language) savedLanguage_ = language;
    catalogue("de", "Parameters have been changed.", "Die Parameter wurden ge\xc3\xa4ndert.");
    catalogue("fr", "Parameters have been changed.", "Les param\xc3\xa8tres ont \xc3\xa9t\xc3\xa9 modifi\xc3\xa9s.");
    ASSERT_EQ(bindTextDomain(), 1);
  }
  void TearDown() override {
    if (hadLanguage_)
      setenv("LANGUAGE", savedLanguage_.c_str(), 1);
    else
      unsetenv("LANGUAGE");
    ScratchRoot::TearDown();
  }

  // Writes a one-message catalogue with msgfmt.
  void catalogue(const std::string& language, const std::string& id, const std::string& text) {
    const std::string dir = path("romfs/locale/" + language + "/LC_MESSAGES");
    writeFile("romfs/locale/" + language + "/pel.po",
              "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
              "msgid \"" + id + "\"\nmsgstr \"" + text + "\"\n");
    std::filesystem::create_directories(dir);
    const std::string command =
        "msgfmt -o '" + dir + "/pel.mo' '" + path("romfs/locale/" + language + "/pel.po") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

 private:
  bool hadLanguage_ = false;
  std::string savedLanguage_;
};

TEST_F(Gettext, TranslatesThroughTheCatalogueOfTheChosenLanguage) {
  ASSERT_EQ(setMessageLanguage("de"), 1);
  EXPECT_STREQ(getmuText("Parameters have been changed."), "Die Parameter wurden ge\xc3\xa4ndert.");
  ASSERT_EQ(setMessageLanguage("fr"), 1);
  EXPECT_STREQ(getmuText("Parameters have been changed."),
               "Les param\xc3\xa8tres ont \xc3\xa9t\xc3\xa9 modifi\xc3\xa9s.");
  ASSERT_EQ(setMessageLanguage("it"), 1);  // no catalogue
  EXPECT_STREQ(getmuText("Parameters have been changed."), "Parameters have been changed.");
  ASSERT_EQ(setMessageLanguage("de"), 1);
  EXPECT_STREQ(getmuText("Parameters have been changed."), "Die Parameter wurden ge\xc3\xa4ndert.");
  ASSERT_EQ(setMessageLanguage(nullptr), 1);
  // The variable stays installed; an empty value leaves the choice to the locale.
  const char* left = std::getenv("LANGUAGE");
  EXPECT_TRUE(left == nullptr || *left == '\0') << left;
  EXPECT_STREQ(getmuText("Parameters have been changed."), "Parameters have been changed.");
}

TEST_F(Gettext, UnknownTextsComeBackUnchanged) {
  ASSERT_EQ(setMessageLanguage("de"), 1);
  const char* text = "No translation for this one.";
  EXPECT_EQ(getmuText(text), text);
  EXPECT_EQ(getmuText(nullptr), nullptr);
}

TEST_F(Gettext, ConcurrentLookupsAgree) {
  ASSERT_EQ(setMessageLanguage("de"), 1);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i)
        if (std::string(getmuText("Parameters have been changed.")) != "Die Parameter wurden ge\xc3\xa4ndert.")
          wrong.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
