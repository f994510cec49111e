#include "message/mail_address.h"

#include <gtest/gtest.h>

namespace tarnhold {
namespace {

TEST(MailAddress, ExtractAddress) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {" Alice <alice@x.test>", "alice@x.test"},
      {"alice@x.test", "alice@x.test"},
      {"  alice@x.test (Alice)", "alice@x.test"},
      {"<  spaced@x.test  >", "spaced@x.test"},
      {"<unclosed@x.test", "unclosed@x.test"},
      {"\"A <b>\" <c@x.test>", "b"},
      {"", ""},
      {"   ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ExtractAddress(c.text), c.want);
  }
}

TEST(MailAddress, DomainOf) {
  EXPECT_EQ(DomainOf("a@x.test"), "x.test");
  EXPECT_EQ(DomainOf("a@b@c"), "b@c");
  EXPECT_EQ(DomainOf("local"), "local");
  EXPECT_EQ(DomainOf(""), "");
}

}  // namespace
}  // namespace tarnhold
