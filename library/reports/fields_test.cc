#include "reports/fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

// A field stanza with every required key; `extra` adds keys.
std::string Field(const std::string& name, const std::string& type, const std::string& extra = "") {
  return "[field " + name + "]\nnicename = " + name +
         " nice\nnicenameid = 1\ndescription = " + name +
         " text\ndescriptionid = 2\ncharacters = 8\ntype = " + type + "\n" + extra + "\n";
}

void WriteFields(const TestHome& home, const std::string& table, const std::string& text) {
  ASSERT_TRUE(kr_testing::WriteFile(home.ReportsPath("fields/" + table + "fields"), text));
}

std::vector<std::string> Names(const List* l) {
  std::vector<std::string> v;
  for (Obj* o : *l) v.push_back(ObjCast<RepFieldDef>(o)->name());
  return v;
}

}  // namespace

TEST(FieldTypes, NamesAndKeywords) {
  TestHome home;
  EXPECT_STREQ(RepGetFieldTypeString(kRepTypeHdwmyCount), "Hour/day/week/month/year count");
  EXPECT_STREQ(RepGetFieldTypeString(kRepTypeUnique), "Unique ID");
  EXPECT_STREQ(RepGetFieldTypeString(16), "Unknown");
  EXPECT_STREQ(RepGetFieldTypeString(-1), "Unknown");
  Ref<List> infos;
  RepGetFieldTypeInfo(&infos);
  ASSERT_EQ(ListGetItemCount(infos.get()), 16u);
  Ref<RepFieldTypeInfo> info;
  ASSERT_EQ(RepGetFieldTypeInfoFromList(&info, infos.get(), kRepTypeHdwmyCount), 1);
  EXPECT_STREQ(info->name(), "HDWMY count");
  EXPECT_EQ(RepGetFieldTypeInfoFromList(&info, infos.get(), 16), 0);
  EXPECT_EQ(RepFieldTypeFromKeyword("DATACOUNT"), kRepTypeDataCount);
  EXPECT_EQ(RepFieldTypeFromKeyword("int"), -1);
}

TEST(FieldsFile, LoadsFieldsWithTheirTextsAndDefaults) {
  TestHome home;
  WriteFields(
      home, "jobs",
      Field("size", "DataCount", "muststartline = TRUE") +
          Field("status", "string", "compactname = St\ncompactnameid = 5\ngroup = G\ngroupid = 6") +
          Field("empty", "integer", "compactname =") + "[other thing]\nkey = v\n");
  Ref<List> l = ListNewFromPool();
  ListPushLastItemInternal(l.get(), RepNewFieldDef("callers", kRepTypeInteger, 3));
  ASSERT_EQ(RepLoadTableFields("JOBS", l.get(), 0), 1);  // the table name is lower-cased
  EXPECT_EQ(Names(l.get()), (std::vector<std::string>{"callers", "size", "status", "empty"}));
  auto* size = ObjCast<RepFieldDef>(l->at(1));
  EXPECT_STREQ(size->nice_name(), "size nice");
  EXPECT_STREQ(size->compact_name(), "size nice");
  EXPECT_EQ(size->group(), nullptr);
  EXPECT_STREQ(size->description(), "size text");
  EXPECT_EQ(size->type(), kRepTypeDataCount);
  EXPECT_EQ(size->characters(), 8);
  EXPECT_EQ(size->name_length(), 4);
  EXPECT_EQ(size->width_in_use(), 0);
  EXPECT_TRUE(size->must_start_line());
  auto* status = ObjCast<RepFieldDef>(l->at(2));
  EXPECT_STREQ(status->compact_name(), "St");
  EXPECT_STREQ(status->group(), "G");
  EXPECT_STREQ(ObjCast<RepFieldDef>(l->at(3))->compact_name(), "empty nice");
}

TEST(FieldsFile, EachBrokenRuleFailsTheWholeFileAndLeavesTheListAlone) {
  TestHome home;
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"[field a]\nnicenameid = 1\n", "Missing nice name string for field 'a'"},
      {"[field a]\nnicename = A\n", "Missing nice name id for field 'a'"},
      {"[field a]\nnicename = A\nnicenameid = 1\ndescription =\n",
       "Missing description string for field 'a'"},
      {Field("a", "integer")
           .replace(Field("a", "integer").find("characters = 8"), 14, "characters = 0"),
       "Failed to get char count for field 'a'"},
      {Field("a", "int"), "Failed to convert type 'int' for field 'a'"},
      {Field("a", "integer", "compactname = C"), "Compact name id missing for field 'a'"},
      {Field("a", "integer", "group = G"), "Missing group ID for field 'a'"},
      {"[borrow x]\nprepend = p\n", "Failed to load/process poss fields list"},
      {Field("a", "integer") + "[field b]\nnicename = \"unterminated\n",
       "Failed to load a stanza from fields file"},
  };
  for (const Case& c : cases) {
    WriteFields(home, "bad", c.text);
    TraceCapture trace;
    Ref<List> l = ListNewFromPool();
    ListPushLastItemInternal(l.get(), RepNewFieldDef("kept", kRepTypeInteger, 1));
    EXPECT_EQ(RepLoadTableFields("bad", l.get(), 0), 0) << c.message;
    EXPECT_EQ(l->size(), 1u);
    EXPECT_TRUE(trace.Contains(c.message)) << c.message << "\n" << trace.Dump();
  }
  TraceCapture trace;
  Ref<List> l = ListNewFromPool();
  EXPECT_EQ(RepLoadTableFields("missing", l.get(), 0), 0);
  EXPECT_TRUE(trace.Contains("Could not open file 'missing' containing possible fields for table"));
  EXPECT_EQ(RepLoadTableFields("../config/configure.cfg", l.get(), 0), 0);
}

TEST(FieldsFile, PrimaryIndexComesFirstAndOnlyOnce) {
  TestHome home;
  WriteFields(home, "media",
              Field("label", "string") + Field("id", "integer", "primaryindex = yes") +
                  Field("other", "integer", "primaryindex = TRUE"));
  TraceCapture trace;
  Ref<List> l = ListNewFromPool();
  ASSERT_EQ(RepLoadTableFields("media", l.get(), 0), 1);
  EXPECT_EQ(Names(l.get()), (std::vector<std::string>{"id", "label", "other"}));
  EXPECT_TRUE(ObjCast<RepFieldDef>(l->at(0))->primary_index());
  EXPECT_FALSE(ObjCast<RepFieldDef>(l->at(2))->primary_index());
  EXPECT_TRUE(
      trace.Contains("Warning - field 'other' cannot be primary index field. Allready have "
                     "primary index field 'id' in file"));
  EXPECT_TRUE(trace.Contains("Loaded primary index field 'id'", 3));
}

TEST(FieldsFile, DerivedFieldsHangUnderTheirParent) {
  TestHome home;
  WriteFields(home, "jobs",
              Field("start", "systime") + Field("startdate", "date", "derivedfrom = START") +
                  Field("early", "date", "derivedfrom = later") + Field("later", "systime"));
  TraceCapture trace;
  Ref<List> l = ListNewFromPool();
  ASSERT_EQ(RepLoadTableFields("jobs", l.get(), 0), 1);
  EXPECT_EQ(Names(l.get()), (std::vector<std::string>{"start", "early", "later"}));
  RepFieldList* derived = ObjCast<RepFieldDef>(l->at(0))->derived();
  ASSERT_NE(derived, nullptr);
  EXPECT_EQ(Names(derived), (std::vector<std::string>{"startdate"}));
  EXPECT_TRUE(trace.Contains(
      "Failed to find derived-from field 'later' in list of allready loaded fields"));
  Ref<List> flat = ListNewFromPool();
  ASSERT_EQ(RepLoadTableFields("jobs", flat.get(), 1), 1);
  EXPECT_EQ(Names(flat.get()), (std::vector<std::string>{"start", "startdate", "early", "later"}));
}

TEST(FieldsFile, BorrowsAddPrefixedFieldsAndRejectDuplicates) {
  TestHome home;
  WriteFields(home, "jobs",
              Field("name", "string") + "[borrow Clients]\nprepend = job_\n" +
                  "[borrow Media]\nprepend = job_\n" + "[borrow Plain]\nprepend =\n");
  WriteFields(home, "Clients", Field("id", "integer") + Field("host", "string"));
  WriteFields(home, "Media", Field("id", "integer") + Field("label", "string"));
  WriteFields(home, "Plain", Field("name", "string") + Field("extra", "string"));
  TraceCapture trace;
  Ref<List> l = ListNewFromPool();
  ASSERT_EQ(RepLoadTableFields("jobs", l.get(), 0), 1);
  EXPECT_EQ(Names(l.get()),
            (std::vector<std::string>{"name", "job_id", "job_host", "job_label", "extra"}));
  EXPECT_TRUE(trace.Contains("Reject duplicate field 'job_id'"));
  EXPECT_TRUE(trace.Contains("Reject duplicate field 'name'"));
}

TEST(FieldsFile, ABorrowLoopIsRefused) {
  TestHome home;
  WriteFields(home, "a", Field("x", "string") + "[borrow b]\nprepend = b_\n");
  WriteFields(home, "b", Field("y", "string") + "[borrow a]\nprepend = a_\n");
  TraceCapture trace;
  Ref<List> l = ListNewFromPool();
  EXPECT_EQ(RepLoadTableFields("a", l.get(), 0), 0);
  EXPECT_TRUE(trace.Contains("borrows itself through a loop of borrows"));
  EXPECT_TRUE(trace.Contains("Failed to load borrowed fields"));
  EXPECT_TRUE(l->empty());
}
