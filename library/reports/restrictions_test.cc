#include "reports/restrictions.h"

#include <gtest/gtest.h>

#include "reports/reports.h"
#include "reptesting.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

Ref<RepSqlRestriction> Restriction(const char* field, const char* lower, const char* upper) {
  Ref<RepSqlRestriction> r = RepSqlRestriction::New();
  r->set_table("jobs");
  r->set_field(field);
  r->set_lower_text(lower);
  r->set_upper_text(upper);
  return r;
}

Ref<List> Fields() {
  return kr_testing::FieldList({{"Size", kRepTypeInteger, 10},
                                {"name", kRepTypeString, 10},
                                {"amount", kRepTypeDataCount, 10}});
}

TEST(Restrictions, BoundsAreEncodedForTheFieldType) {
  TestHome home;
  TraceCapture trace;
  Ref<List> fields = Fields();
  Ref<List> rs = ListNewFromPool();
  ListPushLastItemInternal(rs.get(), Restriction("size", "1", "5"));
  ListPushLastItemInternal(rs.get(), Restriction("elsewhere", "x", "y"));  // not in the list
  ListPushLastItemInternal(rs.get(), Restriction("AMOUNT", "2kb", "1mb"));
  ASSERT_EQ(RepConvTextRestrictions(rs.get(), fields.get()), 1);
  auto* size = ObjCast<RepSqlRestriction>(rs->at(0));
  EXPECT_EQ(ObjGetInteger(size->lower()), 1);
  EXPECT_EQ(ObjGetInteger(size->upper()), 5);
  EXPECT_EQ(ObjCast<RepSqlRestriction>(rs->at(1))->lower(), nullptr);
  EXPECT_EQ(ObjGetInt64(ObjCast<RepSqlRestriction>(rs->at(2))->upper()), 1048576);
  EXPECT_TRUE(trace.Contains("Converted restriction list textual bounds to data types OK."));

  // Converting again encodes afresh from the texts.
  size->set_lower_text("3");
  ASSERT_EQ(RepConvTextRestrictions(rs.get(), fields.get()), 1);
  EXPECT_EQ(ObjGetInteger(size->lower()), 3);

  EXPECT_EQ(RepConvTextRestrictions(nullptr, fields.get()), 1);
  EXPECT_EQ(RepConvTextRestrictions(rs.get(), nullptr), 1);
  EXPECT_TRUE(trace.Contains("No fields or no restrictions. Not converting textual restrictions."));
}

TEST(Restrictions, ABoundThatDoesNotEncodeStopsTheConversion) {
  TestHome home;
  TraceCapture trace;
  Ref<List> fields = Fields();
  Ref<List> rs = ListNewFromPool();
  ListPushLastItemInternal(rs.get(), Restriction("name", "a", "m"));
  ListPushLastItemInternal(rs.get(), Restriction("size", "abc", "5"));
  ListPushLastItemInternal(rs.get(), Restriction("amount", "1", "2"));
  EXPECT_EQ(RepConvTextRestrictions(rs.get(), fields.get()), 0);
  EXPECT_TRUE(trace.Contains("Failed to convert lower bound of restriction for field 'size'."));
  EXPECT_STREQ(ObjGetString(ObjCast<RepSqlRestriction>(rs->at(0))->upper()), "m");
  EXPECT_EQ(ObjCast<RepSqlRestriction>(rs->at(2))->lower(), nullptr);  // never reached

  ObjCast<RepSqlRestriction>(rs->at(1))->set_lower_text("1");
  ObjCast<RepSqlRestriction>(rs->at(1))->set_upper_text("5x");
  EXPECT_EQ(RepConvTextRestrictions(rs.get(), fields.get()), 0);
  EXPECT_TRUE(trace.Contains("Failed to convert upper bound of restriction for field 'size'."));
  EXPECT_EQ(ObjGetInteger(ObjCast<RepSqlRestriction>(rs->at(1))->lower()), 1);
}

TEST(Restrictions, FoundByFieldNameIgnoringCase) {
  TestHome home;
  Ref<List> rs = ListNewFromPool();
  ListPushLastItemInternal(rs.get(), Restriction("Size", "1", "5"));
  ListPushLastItemInternal(rs.get(), Restriction("size", "7", "9"));
  Ref<RepSqlRestriction> found;
  ASSERT_EQ(RepFindFieldRestriction(&found, "SIZE", rs.get()), 1);
  EXPECT_EQ(found.get(), rs->at(0));
  Ref<RepSqlRestriction> none = Restriction("x", "", "");
  EXPECT_EQ(RepFindFieldRestriction(&none, "name", rs.get()), 0);
  EXPECT_STREQ(none->field(), "x");
  EXPECT_EQ(RepFindFieldRestriction(&none, "size", nullptr), 0);
}

}  // namespace
