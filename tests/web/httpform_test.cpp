// Form data and request variables of a request: anchored field lookup,
// decoding, storing forms into the real parameter store, and the variable
// list with its text and markup values.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "web/http/httprequest.h"

namespace {

// A request without connection whose form data is text (as a GET's query).
std::unique_ptr<HttpRequest> requestWithForm(const std::string& text) {
  std::unique_ptr<HttpRequest> request(new HttpRequest(nullptr));
  std::strcpy(request->requestPath, "/p");
  std::strcpy(request->requestPath + 3, text.c_str());
  request->queryString = request->requestPath + 3;
  request->formEnd = request->queryString + text.size();
  return request;
}

TEST(FormValue, MatchesWholeFieldNamesOnly) {
  struct Case {
    const char* form;
    const char* name;
    const char* value;  // null: absent
  } cases[] = {
      {"username=a&name=b", "name", "b"},
      {"name=b&username=a", "name", "b"},
      {"username=a", "name", nullptr},
      {"xname=1&name=2", "name", "2"},
      {"a=1&b=&c", "b", ""},
      {"a=1&b=&c", "c", nullptr},
      {"a=", "a", ""},
      {"x=%2f%2F+y", "x", "// y"},
      {"a=1&a=2", "a", "1"},
      {"a=1", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.form) + " / " + c.name);
    auto request = requestWithForm(c.form);
    const char* value = request->getFormValue(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(value, nullptr);
    } else {
      ASSERT_NE(value, nullptr);
      EXPECT_STREQ(value, c.value);
    }
  }
}

TEST(FormValue, DecodingOneValueLeavesTheOthersIntact) {
  auto request = requestWithForm("a=%41%42%43&b=%44&c=%2541");
  EXPECT_STREQ(request->getFormValue("b"), "D");
  EXPECT_STREQ(request->getFormValue("a"), "ABC");
  EXPECT_STREQ(request->getFormValue("c"), "%41");
  // Asking again neither decodes twice nor loses the value.
  EXPECT_STREQ(request->getFormValue("c"), "%41");
  EXPECT_STREQ(request->getFormValue("b"), "D");
}

TEST(FormValue, AMultipartRequestHasNoFormData) {
  auto request = requestWithForm("a=1");
  request->boundary = "--xyz";
  EXPECT_EQ(request->getFormValue("a"), nullptr);
  uint32_t bits = 7;
  EXPECT_EQ(request->applyFormToParams("Port_", &bits), 0);
}

class FormToParams : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* key : {"sys_name", "sys_contact", "auth_name"}) paramStore.find(key)->set("");
    paramStore.resetModified();
  }
  static std::string value(const char* key) { return paramStore.find(key)->displayText(); }
};

TEST_F(FormToParams, StoresKnownKeysDecodedAndSkipsTheRest) {
  auto request = requestWithForm(
      "sys_name=Box%2f1&__sys_contact=me+you&Zsys=1&unknown_key=3&9x=1&auth_name=%zz&sys_name=second");
  uint32_t bits = 0;
  EXPECT_EQ(request->applyFormToParams(nullptr, &bits), 4);
  EXPECT_EQ(value("sys_name"), "second");
  EXPECT_EQ(value("sys_contact"), "me you");
  EXPECT_EQ(value("auth_name"), "%zz");
}

TEST_F(FormToParams, GroupFieldsSetTheirBits) {
  auto request = requestWithForm("Port_3=on&Port_31=on&Port_32=on&Port_x=1&port_5=on&Port_0=on");
  uint32_t bits = 0xffff;
  EXPECT_EQ(request->applyFormToParams("Port_sel", &bits), 0);
  EXPECT_EQ(bits, (1u << 0) | (1u << 3) | (1u << 31));
}

TEST(RequestVariables, FirstDefinitionWinsAndMarksAreKept) {
  HttpRequest request(nullptr);
  request.setVariable("ErrMsg", "first <b>");
  request.setVariable("ErrMsg", "second");
  request.setMarkupVariable("Table", "<tr><td>1</td></tr>");
  request.setIndexedVariable("usb", 3, "third");
  request.printfVariable("Count#", "%d", 4);
  bool markup = true;
  EXPECT_STREQ(request.findVariable("ErrMsg", -1, &markup), "first <b>");
  EXPECT_FALSE(markup);
  EXPECT_STREQ(request.findVariable("Table", -1, &markup), "<tr><td>1</td></tr>");
  EXPECT_TRUE(markup);
  EXPECT_STREQ(request.findVariable("usb", 3), "third");
  EXPECT_EQ(request.findVariable("usb", 4), nullptr);
  EXPECT_EQ(request.findVariable("usb"), nullptr);
  EXPECT_EQ(request.lookupCount("Count"), 4);
  EXPECT_EQ(request.lookupCount("Nothing"), -1);
  EXPECT_EQ(request.findVariable("Missing"), nullptr);
  request.clearVariables();
  EXPECT_EQ(request.findVariable("ErrMsg"), nullptr);
}

TEST(RequestVariables, TheListGrowsForLargeValuesAndKeepsEveryByte) {
  HttpRequest request(nullptr);
  std::string big(20000, 'v');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = '\n';
  for (int i = 0; i < 5; ++i) request.setIndexedVariable("big", i, big.c_str());
  for (int i = 0; i < 5; ++i) {
    const char* value = request.findVariable(("big" + std::to_string(i)).c_str());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value, big);
  }
  request.setVariable("cut", "abcdef", 3);
  EXPECT_STREQ(request.findVariable("cut"), "abc");
  request.setVariable(nullptr, "x");
  request.setVariable("x", nullptr);
  request.setVariable("neg", "x", -1);
  EXPECT_EQ(request.findVariable("neg"), nullptr);
}

}  // namespace
