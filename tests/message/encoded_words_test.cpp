#include "message/encoded_words.h"

#include <gtest/gtest.h>

#include "message/charset_text.h"
#include "message/mime_header.h"

namespace tarnhold {
namespace {

TEST(EncodedWords, DecodedAsAClientShowsThem) {
  const struct {
    const char* text;
    const char* want;
  } cases[] = {
      {"=?UTF-8?B?ZXZpbC5leGU=?=", "evil.exe"},
      {"=?utf-8?b?ZXZpbC5leGU=?=", "evil.exe"},
      {"=?UTF-8?Q?evil=2Eexe?=", "evil.exe"},
      {"=?iso-8859-1?q?caf=e9_bar?=", "caf\xc3\xa9 bar"},
      {"=?windows-1252?Q?=80?=", "\xe2\x82\xac"},
      {"=?UTF-8*en?Q?x?=", "x"},
      // Adjacent words: the white space between them goes, also across a fold.
      {"=?UTF-8?B?ZXZp?= =?UTF-8?B?bC5l?=\t=?utf-8?Q?xe?=", "evil.exe"},
      {"=?UTF-8?B?ZXZp?=\r\n =?UTF-8?B?bC5leGU=?=", "evil.exe"},
      // A group split between two words, and a character split between two words.
      {"=?UTF-8?B?ZXZ?= =?UTF-8?B?pbC5leGU=?=", "evil.exe"},
      {"=?UTF-8?Q?caf=C3?= =?UTF-8?Q?=A9?=", "caf\xc3\xa9"},
      // Mixed charsets convert each run on its own.
      {"=?iso-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\xc3\xa9\xc3\xa9"},
      // Text between words stays; words next to text are still words.
      {"best =?UTF-8?B?Y2FzaW5v?= now", "best casino now"},
      {"x=?UTF-8?Q?y?=z", "xyz"},
      // Malformed: kept as written.
      {"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
      {"=?UTF-8?Q?no end", "=?UTF-8?Q?no end"},
      {"=??Q?a?=", "=??Q?a?="},
      {"=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
      {"=?UTF-8?Q?=Z1=4?=", "=Z1=4"},
      {"plain text", "plain text"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeEncodedWords(c.text), c.want);
  }
}

TEST(EncodedWords, ParametersInEveryForm) {
  const struct {
    const char* field;
    const char* want_name;
    const char* want_filename;
  } cases[] = {
      {"Content-Type: a/b; name=\"=?UTF-8?B?ZXZpbC5leGU=?=\"", "evil.exe", ""},
      {"Content-Type: a/b; name*=UTF-8''evil%2Eexe", "evil.exe", ""},
      {"Content-Type: a/b; NAME*=utf-8'en'%65vil.exe", "evil.exe", ""},
      {"Content-Type: a/b; name*0*=UTF-8''ev; name*1*=il%2E; name*2=exe", "evil.exe", ""},
      // Sections in any order, the form with "*" before the plain one.
      {"Content-Type: a/b; name*2=exe; name*0*=UTF-8''ev; name*1*=il.; name=x.txt", "evil.exe", ""},
      {"Content-Type: a/b; name*0=\"ev\"; name*1=\"il.exe\"", "evil.exe", ""},
      {"Content-Type: a/b; name*0*=iso-8859-1''caf%E9.exe", "caf\xc3\xa9.exe", ""},
      {"Content-Disposition: attachment; filename*0*=UTF-8''a; filename*1*=b.exe", "", "ab.exe"},
      // Malformed escapes and sections stay as written or are passed over.
      {"Content-Type: a/b; name*=UTF-8''100%; name*x=y", "100%", ""},
      {"Content-Type: a/b; name*=no-quotes.exe", "no-quotes.exe", ""},
      {"Content-Type: a/b; name*99999=x", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    MimeField field = ParseMimeField(c.field);
    EXPECT_EQ(field.name, c.want_name);
    EXPECT_EQ(field.filename, c.want_filename);
  }
}

TEST(EncodedWords, CharsetsBecomeUtf8) {
  EXPECT_EQ(CharsetToUtf8("US-ASCII", "abc"), "abc");
  EXPECT_EQ(CharsetToUtf8("utf-8", "\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(CharsetToUtf8("ISO-8859-1", "\xe9\x80"), "\xc3\xa9\xc2\x80");
  EXPECT_EQ(CharsetToUtf8("Windows-1252", "\x80\x81"), "\xe2\x82\xac\xc2\x81");
  EXPECT_EQ(CharsetToUtf8("ISO-8859-15", "\xa4"), "\xe2\x82\xac");  // through iconv
  EXPECT_EQ(CharsetToUtf8("no-such-set", "\xff"), "\xff");
  EXPECT_EQ(CharsetToUtf8("UTF-8//TRANSLIT", "\xff"), "\xff");
  EXPECT_EQ(CharsetToUtf8("UTF-16LE", "A"), "A");  // half a character: does not convert
}

}  // namespace
}  // namespace tarnhold
