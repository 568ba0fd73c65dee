// The text rules of the web server: URL paths, language codes in paths,
// form values, MIME types, dates, echo cuts and the page form of values.
#include "web/http/httptext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(UrlPath, DecodesThePathAndFindsTheQuery) {
  struct Case {
    const char* in;
    int ok;
    const char* path;
    const char* query;  // null: none
  } cases[] = {
      {"/a%20b+c", 1, "/a b c", nullptr},
      {"/a%2fb%2F", 1, "/a/b/", nullptr},
      {"/p?x=1&y=%41", 1, "/p", "x=1&y=%41"},
      {"/p%3Fq?r", 1, "/p?q", "r"},
      {"/p#frag?q=1", 1, "/p", "q=1"},
      {"/p#frag", 1, "/p", nullptr},
      {"/bad%4", 0, nullptr, nullptr},
      {"/bad%g1", 0, nullptr, nullptr},
      {"/bad%", 0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    char buffer[64];
    std::strcpy(buffer, c.in);
    char* query = reinterpret_cast<char*>(1);
    EXPECT_EQ(decodeUrlPath(buffer, &query), c.ok);
    if (!c.ok) continue;
    EXPECT_STREQ(buffer, c.path);
    if (c.query == nullptr) {
      EXPECT_EQ(query, nullptr);
    } else {
      EXPECT_STREQ(query, c.query);
    }
  }
}

bool knownCode(const char* code) { return !std::strcmp(code, "de") || !std::strcmp(code, "en") || !std::strcmp(code, "fr"); }

TEST(LanguageInPath, NormalisesThePathAndTakesOnlyKnownCodes) {
  struct Case {
    const char* in;
    const char* path;
    const char* code;
  } cases[] = {
      {"/index_de.html", "/index.html", "de"},
      {"/index_zz.html", "/index.html", ""},       // cut out, not a language
      {"/start_\r\n.html", "/start.html", ""},     // decoded control bytes never become a code
      {"/a_de.b_fr.html", "/a.b.html", "fr"},       // the last code wins
      {"/a_de.b_zz.html", "/a.b.html", "de"},
      {"/a_de/b.html", "/a_de/b.html", ""},         // only before the end or a '.'

      {"/x_de", "/x", "de"},
      {"/img_12.png", "/img_12.png", ""},           // a digit after '_' is no code
      {"/my_file.txt", "/my_file.txt", ""},
      {"/a//b/./c.html", "/a/b/c.html", ""},
      {"/a/../b.html", "/a/b.html", ""},            // ".." never climbs
      {"/../../etc/passwd", "/etc/passwd", ""},
      {"/x/..", "/x/", ""},                         // nor does a trailing ".."
      {"/x/.", "/x/", ""},
      {"/x/...", "/x/...", ""},
      {"/help/helpde.html", "/help/helpde.html", "de"},
      {"/help/helpzz.html", "/help/helpzz.html", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    char buffer[64];
    std::strcpy(buffer, c.in);
    char code[3] = {'?', '?', 0};
    EXPECT_EQ(extractLanguageFromPath(buffer, code, knownCode), c.code[0] != '\0' ? 1 : 0);
    EXPECT_STREQ(buffer, c.path);
    EXPECT_STREQ(code, c.code);
  }
}

TEST(LanguageInPath, WithoutAKeyListAnyTwoLettersCount) {
  char buffer[] = "/index_zz.html";
  char code[3];
  EXPECT_EQ(extractLanguageFromPath(buffer, code), 1);
  EXPECT_STREQ(code, "zz");
  EXPECT_STREQ(buffer, "/index.html");
}

TEST(FormValueDecoding, TakesBothHexCasesAndLeavesBrokenEscapes) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a+b", "a b"}, {"%2f", "/"}, {"%2F", "/"}, {"%41%62c", "Abc"}, {"%", "%"}, {"%4", "%4"}, {"%zz1", "%zz1"}, {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    char buffer[32];
    std::strcpy(buffer, c.in);
    decodeFormValue(buffer);
    EXPECT_STREQ(buffer, c.out);
  }
}

TEST(MimeType, ByExtensionIgnoringCase) {
  struct Case {
    const char* path;
    const char* type;
  } cases[] = {
      {"/a.css", "text/css"},          {"/a.Js", "application/x-javascript"}, {"/x", "text/html"},
      {"/a.JPEG", "image/jpeg"},       {"/a.jpe", "image/jpeg"},              {"/a.tar.gz", "application/zip"},
      {"/a.bin", "application/octet-stream"}, {"/a.txt", "text/plain"},      {"/a.unknownextension", "text/html"},
      {"/dir.d/file", "text/html"},
  };
  for (const Case& c : cases) EXPECT_STREQ(mimeTypeForPath(c.path), c.type) << c.path;
}

TEST(HttpDate, IsRfc1123InGmt) {
  char date[40];
  formatHttpDate(784111777, date, sizeof date);
  EXPECT_STREQ(date, "Sun, 06 Nov 1994 08:49:37 GMT");
  formatHttpDate(0, date, sizeof date);
  EXPECT_STREQ(date, "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(std::strlen(date), 29u);
}

TEST(EchoCut, StopsAtMarkupAndQuery) {
  char a[] = "/a<script>";
  cutUrlForEcho(a);
  EXPECT_STREQ(a, "/a");
  char b[] = "/b?x=<y>";
  cutUrlForEcho(b);
  EXPECT_STREQ(b, "/b");
}

TEST(PageValue, NewlinesBecomeBreaksWithinTheBuffer) {
  const std::string value = "a\nb\n";
  EXPECT_EQ(pageValueLength(value.data(), value.size()), value.size() + 8);
  char out[32];
  EXPECT_EQ(writePageValue(value.data(), value.size(), out, sizeof out), 12u);
  EXPECT_STREQ(out, "a<br>\nb<br>\n");
  // Every newline needs five bytes: a buffer sized for the raw value
  // never overflows, the value is cut instead.
  char guarded[8 + 4];
  std::memset(guarded, 'Z', sizeof guarded);
  const size_t n = writePageValue(value.data(), value.size(), guarded, 8);
  EXPECT_LT(n, 8u);
  EXPECT_EQ(guarded[n], '\0');
  for (size_t i = 8; i < sizeof guarded; ++i) EXPECT_EQ(guarded[i], 'Z');
}

}  // namespace
