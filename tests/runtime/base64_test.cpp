#include "runtime/text/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string encode(const Bytes& data, int size, int startColumn = 0) {
  std::vector<char> out(static_cast<size_t>(size) + 8, '#');
  const int n = base64Encode(data.data(), static_cast<int>(data.size()), out.data(), size, startColumn);
  EXPECT_LT(n, size);
  EXPECT_EQ(out[static_cast<size_t>(n)], 0);
  // Nothing beyond the given size is touched.
  for (size_t i = static_cast<size_t>(size); i < out.size(); ++i) EXPECT_EQ(out[i], '#');
  return std::string(out.data(), static_cast<size_t>(n));
}

std::string encodeRoomy(const Bytes& data, int startColumn = 0) {
  return encode(data, static_cast<int>(data.size()) * 2 + 16, startColumn);
}

std::string withoutLineBreaks(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

// What coreutils makes of the bytes: base64 -w 0 on a temporary file.
std::string coreutilsBase64(const Bytes& data) {
  char name[] = "/tmp/b64in.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "<mkstemp failed>";
  if (!data.empty() && write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) return "<write failed>";
  close(fd);
  const std::string command = std::string("base64 -w 0 < ") + name;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  if (pipe) {
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  unlink(name);
  return out;
}

// Inputs of every length 0..200 with bytes across the whole range, plus
// texts and all-zero / all-0xff runs.
std::vector<Bytes> inputTable() {
  std::vector<Bytes> table;
  uint32_t state = 12345;
  for (size_t length = 0; length <= 200; ++length) {
    Bytes b(length);
    for (auto& c : b) {
      state = state * 1103515245u + 12345u;
      c = static_cast<unsigned char>(state >> 16);
    }
    table.push_back(b);
  }
  for (const char* text : {"user:password", "A", "AB", "ABC", "Hello, world!\r\n"})
    table.emplace_back(text, text + std::string(text).size());
  table.push_back(Bytes(100, 0x00));
  table.push_back(Bytes(99, 0xff));
  return table;
}

TEST(Base64, EncodingAgreesWithCoreutilsAndBreaksLinesEvery80Characters) {
  for (const Bytes& data : inputTable()) {
    const std::string reference = coreutilsBase64(data);
    const std::string ours = encodeRoomy(data);
    EXPECT_EQ(withoutLineBreaks(ours), reference) << "length " << data.size();

    // Every full 80-character line is followed by CR LF, nothing else is.
    std::string expected;
    for (size_t at = 0; at < reference.size(); at += 80) {
      const std::string line = reference.substr(at, 80);
      expected += line;
      if (line.size() == 80) expected += "\r\n";
    }
    EXPECT_EQ(ours, expected) << "length " << data.size();
  }
}

TEST(Base64, PaddingAndLineBreakCases) {
  EXPECT_EQ(encodeRoomy(Bytes{'A'}), "QQ==");
  EXPECT_EQ(encodeRoomy(Bytes{'A', 'B'}), "QUI=");
  EXPECT_EQ(encodeRoomy(Bytes{'A', 'B', 'C'}), "QUJD");

  const std::string s57 = encodeRoomy(Bytes(57, 'x'));
  EXPECT_EQ(s57.size(), 76u);
  EXPECT_EQ(s57.find('\r'), std::string::npos);

  const std::string s60 = encodeRoomy(Bytes(60, 'x'));
  ASSERT_EQ(s60.size(), 82u);
  EXPECT_EQ(s60.substr(80), "\r\n");

  const std::string s61 = encodeRoomy(Bytes(61, 'x'));
  ASSERT_EQ(s61.size(), 86u);
  EXPECT_EQ(s61.substr(80, 2), "\r\n");
  EXPECT_EQ(s61.substr(82), "eA==");  // padding stays inside its group
}

TEST(Base64, StartColumnShortensOnlyTheFirstLine) {
  // From column 20 the first line takes 60 characters, the next ones 80.
  const Bytes data(150, 'y');
  const std::string out = encodeRoomy(data, 20);
  ASSERT_GE(out.size(), 62u);
  EXPECT_EQ(out.find("\r\n"), 60u);
  EXPECT_EQ(out.find("\r\n", 62), 142u);
  EXPECT_EQ(withoutLineBreaks(out), coreutilsBase64(data));
  // A start column past the line width breaks after the first group.
  EXPECT_EQ(encodeRoomy(Bytes(6, 'z'), 90), "enp6\r\nenp6");
}

TEST(Base64, OutputIsCutAfterTheLastWholeGroup) {
  const Bytes data(60, 'x');
  struct Case {
    int size;
    size_t length;
  };
  const Case cases[] = {
      {1, 0}, {4, 0}, {5, 4}, {8, 4}, {9, 8}, {81, 80},
      {82, 80},  // one character of room left: no CR LF
      {83, 82},
  };
  for (const Case& c : cases) EXPECT_EQ(encode(data, c.size).size(), c.length) << "size " << c.size;
  char untouched = '#';
  EXPECT_EQ(base64Encode(data.data(), 60, &untouched, 0, 0), 0);
  EXPECT_EQ(untouched, '#');
}

TEST(Base64, DecodingRestoresCoreutilsText) {
  for (const Bytes& data : inputTable()) {
    const std::string text = coreutilsBase64(data);
    std::vector<unsigned char> out(data.size() + 2, 0xAA);
    const int n = base64Decode(text.c_str(), out.data(), static_cast<int>(out.size()));
    ASSERT_EQ(n, static_cast<int>(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin())) << "length " << data.size();
    EXPECT_EQ(out[data.size()], 0);
  }
}

TEST(Base64, DecodingStopsAtTheFirstCharacterOutsideTheAlphabetOrTheRoom) {
  struct Case {
    const char* text;
    int size;
    std::string bytes;
  };
  const Case cases[] = {
      {"QUJD\r\nREVG", 64, "ABC"},  // a line break ends the text
      {"QUJDREVG", 64, "ABCDEF"},
      {"QUJDREVG", 4, "ABC"},  // size - 1 bytes at most
      {"QUJDREVG", 1, ""},
      {"QQ==QUJD", 64, "A"},
      {"*QUJD", 64, ""},
      {"", 64, ""},
      {"dXNlcjpwYXNzd29yZA==", 64, "user:password"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> out(80, 0xAA);
    const int n = base64Decode(c.text, out.data(), c.size);
    EXPECT_EQ(std::string(out.begin(), out.begin() + n), c.bytes) << c.text << " size " << c.size;
    EXPECT_EQ(out[static_cast<size_t>(n)], 0);
    for (size_t i = static_cast<size_t>(c.size); i < out.size(); ++i) ASSERT_EQ(out[i], 0xAA) << c.text;
  }
  unsigned char none = 0xAA;
  EXPECT_EQ(base64Decode("QUJD", &none, 0), 0);
  EXPECT_EQ(none, 0xAA);
  EXPECT_EQ(base64Decode(nullptr, &none, 1), 0);
}

}  // namespace
