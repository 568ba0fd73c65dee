// Escaping of values on their way into a page: every byte HTML must not
// see raw is caught wherever it stands in a long value (the scan looks at
// several bytes at once), and nothing else changes.
#include <gtest/gtest.h>

#include <string>

#include "web/templates/templateoutput.h"

namespace {

std::string written(const std::string& value, ValueKind kind = ValueKind::Text, size_t capacity = 4096) {
  std::string buffer(capacity, '\0');
  TemplateOutput out{&buffer[0], capacity, capacity, 0};
  writeTemplateValue(out, value.data(), value.size(), kind);
  return buffer.substr(0, out.length);
}

// The escaping as a person would write it, one byte at a time.
std::string reference(const std::string& value) {
  std::string result;
  for (char c : value) {
    switch (c) {
      case '&': result += "&amp;"; break;
      case '<': result += "&lt;"; break;
      case '>': result += "&gt;"; break;
      case '"': result += "&quot;"; break;
      case '\'': result += "&#39;"; break;
      case '\n': result += "<br>\n"; break;
      default: result += c;
    }
  }
  return result;
}

TEST(TemplateOutputTest, EverySpecialByteIsEscapedAtEveryPosition) {
  // Plain ASCII and UTF-8 bytes around it, and bytes one bit away from a
  // special one ('=' '?' '%' '#' '\x0b'), which must pass unchanged.
  const std::string fillers[] = {"abcdefghijklmnopqrstuvwxyz0123", "\xc3\xa4\xc3\xb6\xc3\xbc\xe2\x80\x93 Ger\xc3\xa4t xyz",
                                 "=?%#\x0b=?%#\x0b=?%#\x0b=?%#\x0b=?%#\x0b=?%#"};
  for (const std::string& filler : fillers) {
    EXPECT_EQ(written(filler), filler);
    for (char special : {'&', '<', '>', '"', '\'', '\n'}) {
      for (size_t at = 0; at < filler.size(); ++at) {
        std::string value = filler;
        value[at] = special;
        EXPECT_EQ(written(value), reference(value)) << "byte " << int(special) << " at " << at;
      }
    }
  }
}

TEST(TemplateOutputTest, MarkupPassesAndAFullBufferStopsAtItsEnd) {
  EXPECT_EQ(written("<b>&ndash;</b>", ValueKind::Markup), "<b>&ndash;</b>");
  // Never a byte past the capacity, however much the escaping grows.
  const std::string value(100, '<');
  const std::string cut = written(value, ValueKind::Text, 64);
  EXPECT_EQ(cut.size(), 64u);
  EXPECT_EQ(cut.compare(0, 8, "&lt;&lt;"), 0);
}

}  // namespace
