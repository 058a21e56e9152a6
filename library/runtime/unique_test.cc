#include "kr/unique.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

TEST(Unique, CreatedIdsAreValidDistinctAndOrderedBytewise) {
  UniqueId a, b;
  ASSERT_EQ(UniqueCreate(&a), 1);
  ASSERT_EQ(UniqueCreate(&b), 1);
  EXPECT_TRUE(UniqueIsValid(&a));
  EXPECT_NE(UniqueCompare(&a, &b), 0);
  std::string text;
  ASSERT_EQ(UniqueToString(&text, &a), 1);
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")));
  UniqueInvalidate(&a);
  EXPECT_FALSE(UniqueIsValid(&a));

  UniqueId lo = {}, hi = {};
  lo.bytes[0] = 0x7F;
  lo.bytes[15] = 0xFF;
  hi.bytes[0] = 0x80;  // the first byte decides, compared unsigned
  EXPECT_EQ(UniqueCompare(&lo, &hi), -1);
  EXPECT_EQ(UniqueCompare(&hi, &lo), 1);
}

TEST(Unique, TextRoundTripAndRefusals) {
  UniqueId id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<unsigned char>(i * 17);
  std::string text;
  ASSERT_EQ(UniqueToString(&text, &id), 1);
  EXPECT_EQ(text, "00112233-4455-6677-8899-aabbccddeeff");
  UniqueId back = {};
  ASSERT_EQ(UniqueFromString(&back, "00112233-4455-6677-8899-AABBCCDDEEFF"), 1);
  EXPECT_EQ(UniqueCompare(&back, &id), 0);

  std::memset(back.bytes, 0xAB, sizeof back.bytes);
  for (const char* bad :
       {"", "00112233-4455-6677-8899-aabbccddeef", "00112233-4455-6677-8899-aabbccddeeff0",
        " 00112233-4455-6677-8899-aabbccddeeff", "001122334-455-6677-8899-aabbccddeeff",
        "00112233-4455-6677-8899-aabbccddeefg", "{00112233-4455-6677-8899-aabbccddeeff}"})
    EXPECT_EQ(UniqueFromString(&back, bad), 0) << bad;
  for (unsigned char b : back.bytes) EXPECT_EQ(b, 0xAB);
}

}  // namespace
