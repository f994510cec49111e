#include "transport/tokens.h"

#include <gtest/gtest.h>

namespace tarnhold {
namespace {

constexpr const char* kAddressDelimiters = "\t ,:";

TEST(Tokens, GetTokenSplitsAtRunsOfDelimiters) {
  struct Case {
    const char* text;
    const char* delimiters;
    int index;
    int want_rc;
    const char* want;
  } cases[] = {
      {"MAIL FROM:<a@b.example>", kAddressDelimiters, 2, 0, "<a@b.example>"},
      {"MAIL FROM: <a@b.example>", kAddressDelimiters, 2, 0, "<a@b.example>"},
      {"RCPT TO:<x@y.example>\r\n", kAddressDelimiters, 2, 0, "<x@y.example>\r\n"},
      {"a,,b", ",", 1, 0, "b"},
      {",,a,,b,,", ",", 0, 0, "a"},
      {",,a,,b,,", ",", 2, 1, ""},
      {"     ", " ", 0, 1, ""},
      {"", " ", 0, 1, ""},
      {"one two", " ", -1, 1, ""},
      {"one two", "", 0, 1, ""},
      {"HELO", " ", 1, 1, ""},
      {"HELO  client.example ", " ", 1, 0, "client.example"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "stale";
    EXPECT_EQ(GetToken(c.text, c.delimiters, c.index, out, 260), c.want_rc);
    EXPECT_EQ(out, c.want);
  }
}

TEST(Tokens, GetTokenRefusesTokensThatDoNotFit) {
  std::string out;
  EXPECT_EQ(GetToken("x 12345", " ", 1, out, 5), 1);  // 5 characters need 6 bytes
  EXPECT_EQ(out, "");
  EXPECT_EQ(GetToken("x 12345", " ", 1, out, 6), 0);
  EXPECT_EQ(out, "12345");
  EXPECT_EQ(GetToken("x 1", " ", 1, out, 0), 1);
}

TEST(Tokens, CountTokens) {
  struct Case {
    const char* text;
    const char* delimiters;
    int want;
  } cases[] = {
      {"", " ", 0},          {"   ", " ", 0},      {"a", " ", 1},
      {" a  b ", " ", 2},    {"a@b", "@", 2},      {"@b", "@", 1},
      {"a@", "@", 1},        {"@", "@", 0},        {"a,,b,c", ",", 3},
      {"<a@b>", "<>", 1},    {"<>", "<>", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CountTokens(c.text, c.delimiters), c.want);
  }
}

TEST(Tokens, GetTokenNumberReadsLikeAtol) {
  struct Case {
    const char* text;
    int index;
    int want_rc;
    long want;
  } cases[] = {
      {"+OK 3 120", 1, 0, 3},          {"+OK 3 120", 2, 0, 120}, {"RETR abc", 1, 0, 0},
      {"RETR 12abc", 1, 0, 12},        {"RETR", 1, 1, 0},        {"DELE -4", 1, 0, -4},
      {"X 99999999999999999999", 1, 0, 2147483647},
      {"X 1234567890123456789012345678901234567890123456789012345678901", 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    long got = 77;
    EXPECT_EQ(GetTokenNumber(c.text, " ", c.index, got), c.want_rc);
    EXPECT_EQ(got, c.want);
  }
}

TEST(Tokens, StripLineEnd) {
  struct Case {
    std::string text;
    std::string want;
  } cases[] = {
      {"QUIT\r\n", "QUIT"}, {"QUIT\n", "QUIT"}, {"QUIT\r", "QUIT"}, {"QUIT", "QUIT"},
      {"\r\n", ""},         {"\r", ""},         {"\n", ""},         {"", ""},
      {"ab\nc", "ab"},      {"\n\n", ""},       {"x\r\n\r\n", "x\r\n"},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.text);
    StripLineEnd(c.text);
    EXPECT_EQ(c.text, c.want);
  }
}

}  // namespace
}  // namespace tarnhold
