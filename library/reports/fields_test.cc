#include "reports/fields.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "kr/text.h"
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
  // The same reading from a directory of the caller's, the table name lower-cased there too.
  ASSERT_TRUE(kr_testing::WriteFile(home.ReportsPath("other/mediafields"), Field("label", "string")));
  Ref<List> other = ListNewFromPool();
  ASSERT_EQ(RepLoadTableFieldsFromDir("Media", home.ReportsPath("other").c_str(), other.get(), 0), 1);
  EXPECT_EQ(Names(other.get()), std::vector<std::string>{"label"});
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

// --- field lists ---------------------------------------------------------------------------------

namespace {

Ref<RepFieldDef> Def(const char* name, int32_t type = kRepTypeInteger, int32_t characters = 8,
                     const char* nice = nullptr) {
  Ref<RepFieldDef> f = RepNewFieldDef(name, type, characters);
  if (nice != nullptr) f->set_nice_name(nice);
  return f;
}

Ref<List> ListOf(std::initializer_list<Ref<RepFieldDef>> defs) {
  Ref<List> l = ListNewFromPool();
  for (const auto& d : defs) ListAddLastItem(l.get(), d.get());
  return l;
}

Ref<List> Named(std::initializer_list<const char*> names) {
  Ref<List> l = ListNewFromPool();
  for (const char* n : names) ListPushLastItemInternal(l.get(), Def(n));
  return l;
}

// Every scanner result over a whole text: found names as they are written, "!name" for a bad
// reference, and "." at the end.
std::string ScanAll(const char* text, const List* list) {
  std::string out;
  const char* p = text;
  for (int guard = 0; guard < 100; ++guard) {
    Ref<RepFieldDef> f;
    const char* name = nullptr;
    int32_t chars = -1;
    int r = RepFindField(&f, p, &name, &chars, list);
    if (r == kRepFieldNoMore) return out + ".";
    std::string written(name, StrBytesForChars(name, static_cast<size_t>(chars)));
    out += (r == kRepFieldFound ? written : "!" + written) + " ";
    p = name;
  }
  return out + "<no end>";
}

class FieldListsTest : public ::testing::Test {
 protected:
  TestHome home_;
  Ref<List> list_ =
      ListOf({Def("size", kRepTypeDataCount, 10, "Size"), Def("ID", kRepTypeInteger, 6, "Job id"),
              Def("job_name", kRepTypeString, 20, "Name"),
              Def("\xc3\xa9tat", kRepTypeString, 5, "State")});
};

TEST_F(FieldListsTest, LookupsShareTheListsDefinitions) {
  Ref<RepFieldDef> f;
  ASSERT_EQ(RepFindFieldInList(&f, "SIZE", list_.get()), 1);
  EXPECT_EQ(f.get(), list_->at(0));
  EXPECT_EQ(RepFindFieldInList(&f, "siz", list_.get()), 0);
  ASSERT_EQ(RepFindFieldInListFromNiceName(&f, "job ID", list_.get()), 1);
  EXPECT_EQ(f.get(), list_->at(1));
  EXPECT_EQ(RepFindFieldInListFromNiceName(&f, "Job", list_.get()), 0);

  int32_t index = -1, type = -1;
  EXPECT_EQ(RepGetFieldIndex(&index, "%job_NAME::12 more", list_.get()), 1);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(RepGetFieldIndex(&index, "id,", list_.get()), 1);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(RepGetFieldIndexAndType(&index, &type, "%\xc3\x89TAT", list_.get()), 0);  // ASCII fold
  EXPECT_EQ(RepGetFieldIndexAndType(&index, &type, "%\xc3\xa9tat", list_.get()), 1);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(type, kRepTypeString);
  EXPECT_EQ(RepGetFieldIndex(&index, "%", list_.get()), 0);
  EXPECT_EQ(RepGetFieldIndex(&index, "%siz", list_.get()), 0);
  EXPECT_EQ(RepGetFieldIndex(&index, nullptr, list_.get()), 0);

  std::string names;
  ASSERT_EQ(RepGetAllFieldsString(&names, list_.get()), 1);
  EXPECT_EQ(names, "size\nID\njob_name\n\xc3\xa9tat\n");
}

TEST_F(FieldListsTest, ScannerSkipsEscapesAndFindsGoodAndBadReferences) {
  struct Case {
    const char* text;
    const char* expect;
  } cases[] = {
      {"100%% of %size", "size ."},
      {"%%size", "."},                // a doubled percent, then plain text
      {"%\"quoted%' %\\n%\\%", "."},  // quote escapes and control sequences
      {"%\\", "."},                   // a backslash at the very end
      {"%\\\xc3\xa9%id", "id ."},     // a control sequence takes one whole character
      {"%", "! ."},                   // a percent at the very end
      {"50% off", "! ."},             // a percent followed by a space
      {"%size::12,%ID%job_name", "size ID job_name ."},
      {"%size-%sizes %SIZE", "size !sizes SIZE ."},
      {"%\xc3\xa9tat is %job_name.", "\xc3\xa9tat job_name ."},
      {"\"%size", "size ."},  // a quote before the percent means nothing to the scanner
      {"no references", "."},
      {"", "."},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanAll(c.text, list_.get()), c.expect) << c.text;
  EXPECT_EQ(RepFindField(nullptr, nullptr, nullptr, nullptr, list_.get()), kRepFieldNoMore);
  EXPECT_EQ(ScanAll("%size", nullptr), "!size .");
}

TEST_F(FieldListsTest, FieldAtTheStartOfAText) {
  Ref<RepFieldDef> f;
  EXPECT_EQ(RepFieldAt(&f, "%job_name::20 rest", list_.get()), 1);
  EXPECT_EQ(f.get(), list_->at(2));
  EXPECT_EQ(RepAtFieldName("%ID", list_.get()), 1);
  for (const char* text : {"%%size", "%\\size", "size", " %size", "%sizes", "%", "", "%job"})
    EXPECT_EQ(RepAtFieldName(text, list_.get()), 0) << text;
  EXPECT_EQ(RepAtFieldName(nullptr, list_.get()), 0);
}

TEST_F(FieldListsTest, WidthsAndTheEndOfAReference) {
  struct Case {
    const char* name;  // the text just after the '%'
    int32_t width;
    const char* rest;  // what RepMoveAfterField leaves
  } cases[] = {
      {"size::12 next", 12, "next"},
      {"size::12  two", 12, " two"},
      {"size:12 x", 0, "12 x"},  // one colon: no width, the colon alone is consumed
      {"size:: x", 0, "x"},
      {"size::", 0, ""},
      {"size", 0, ""},
      {"size x", 0, "x"},
      {"size,x", 0, ",x"},
      {"job_name::7%ID", 7, "%ID"},
      {"\xc3\xa9tat::3.", 3, "."},
      {"size::99999999999", 0, ""},
      {"size::0012", 12, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RepGetFieldChars(c.name), c.width) << c.name;
    EXPECT_STREQ(RepMoveAfterField(c.name), c.rest) << c.name;
  }
  EXPECT_EQ(RepGetFieldChars(nullptr), 0);
  EXPECT_EQ(RepMoveAfterField(nullptr), nullptr);
}

TEST_F(FieldListsTest, FieldsInStringListsEachReferenceAndSetsWidths) {
  TraceCapture trace;
  Ref<List> used;
  ASSERT_EQ(RepFieldsInString(&used, "%size::5 %ID and %SIZE::9 %job_name:12 %%", list_.get()), 1);
  EXPECT_EQ(Names(used.get()), (std::vector<std::string>{"size", "ID", "size", "job_name"}));
  EXPECT_EQ(used->at(0), list_->at(0));  // shared, so the last width wins
  EXPECT_EQ(ObjCast<RepFieldDef>(list_->at(0))->width_in_use(), 9);
  EXPECT_EQ(ObjCast<RepFieldDef>(list_->at(1))->width_in_use(), 6);   // no width: characters
  EXPECT_EQ(ObjCast<RepFieldDef>(list_->at(2))->width_in_use(), 20);  // one colon: characters
  EXPECT_TRUE(trace.Contains("RepFieldsInString - were 4 fields in string", 3));

  ASSERT_EQ(RepFieldsInString(&used, "", list_.get()), 1);
  EXPECT_TRUE(used->empty());
  ASSERT_EQ(RepFieldsInString(&used, nullptr, list_.get()), 1);
  EXPECT_TRUE(trace.Contains("RepFieldsInString - empty string, return empty list", 2));

  Ref<List> before = used;
  EXPECT_EQ(RepFieldsInString(&used, "%ID %bogus tail", list_.get()), kRepFieldBad);
  EXPECT_EQ(used, before);
  EXPECT_TRUE(trace.Contains("String contains bad field.  at 'bogus tail'", -1));
  EXPECT_EQ(RepFieldsInString(&used, "100% sure", list_.get()), kRepFieldBad);
  EXPECT_EQ(RepFieldsInString(&used, "ends in %", list_.get()), kRepFieldBad);
}

TEST_F(FieldListsTest, CheckInvalidFieldsCollectsEveryBadName) {
  TraceCapture trace;
  std::string invalid = "untouched";
  // More references than the list has fields: every one is still checked.
  EXPECT_EQ(RepCheckInvalidFields(&invalid, "%size %ID %x %size %job_name %\xc3\xa9tat %y1 %",
                                  list_.get()),
            1);
  EXPECT_EQ(invalid, "x\n\ny1\n\n");
  EXPECT_TRUE(trace.Contains("Bad field found 'y1'", 3));
  EXPECT_TRUE(trace.Contains("Finished with Invalid Fields 'x\n\ny1\n\n'", 3));
  EXPECT_TRUE(trace.Contains("TRUE==RepCheckInvalidFields", 2));

  EXPECT_EQ(RepCheckInvalidFields(&invalid, "%size %% %\\t", list_.get()), 0);
  EXPECT_EQ(invalid, "");
  EXPECT_TRUE(trace.Contains("FALSE==RepCheckInvalidFields", 2));

  invalid = "untouched";
  Ref<List> empty = ListNewFromPool();
  EXPECT_EQ(RepCheckInvalidFields(&invalid, "%x", empty.get()), 0);
  EXPECT_TRUE(trace.Contains("List of possible fileds was invalid", -1));
  EXPECT_EQ(RepCheckInvalidFields(&invalid, "", list_.get()), 0);
  EXPECT_TRUE(trace.Contains("Selection string is NULL", -1));
  EXPECT_EQ(invalid, "untouched");
}

TEST_F(FieldListsTest, SortingAndInsertingAlphabetically) {
  Ref<List> l = ListOf({Def("b", 0, 1, "Same"), Def("C", 0, 1, "alpha"), Def("a", 0, 1, "same"),
                        Def("d", 0, 1, "Zed")});
  Ref<List> sorted;
  ASSERT_EQ(RepSortFieldsAlphabetically(&sorted, l.get(), 0), 1);
  EXPECT_EQ(Names(sorted.get()), (std::vector<std::string>{"a", "b", "C", "d"}));
  EXPECT_EQ(sorted->at(0), l->at(2));  // the same definitions
  ASSERT_EQ(RepSortFieldsAlphabetically(&sorted, l.get(), 1), 1);
  EXPECT_EQ(Names(sorted.get()), (std::vector<std::string>{"C", "b", "a", "d"}));  // stable
  EXPECT_EQ(Names(l.get()), (std::vector<std::string>{"b", "C", "a", "d"}));       // untouched

  TraceCapture trace;
  ListPushLastItemInternal(l.get(), ObjNewInteger(1));
  EXPECT_EQ(RepSortFieldsAlphabetically(&sorted, l.get(), 0), 0);
  EXPECT_TRUE(
      trace.Contains("Bad field object when sorting fields list. Obj is of type 'Integer'", -1));

  // Labels: the nice name where set, else the name.
  Ref<List> menu = ListOf({Def("x", 0, 1, "Banana"), Def("y", 0, 1, "Cherry")});
  EXPECT_EQ(RepFieldInsertAlphabetically(menu.get(), Def("z", 0, 1, "apple").get()), 1);
  EXPECT_EQ(RepFieldInsertAlphabetically(menu.get(), Def("w", 0, 1, "banana").get()), 3);
  EXPECT_EQ(RepFieldInsertAlphabetically(menu.get(), Def("zz", 0, 1, "").get()), 5);
  EXPECT_EQ(RepFieldInsertAlphabetically(menu.get(), Def("blueberry", 0, 1, "").get()), 4);
  EXPECT_EQ(Names(menu.get()), (std::vector<std::string>{"z", "x", "w", "blueberry", "y", "zz"}));
  EXPECT_EQ(RepFieldInsertAlphabetically(menu.get(), nullptr), 0);
}

TEST_F(FieldListsTest, AddingNewFieldsCopiesThem) {
  TraceCapture trace;
  Ref<List> dest = Named({"a"});
  Ref<List> other = Named({"B"});
  Ref<List> source = ListOf({Def("A"), Def("b"), Def("c"), Def("C"), Def("d")});
  ObjCast<RepFieldDef>(source->at(2))->set_derived(Named({"c_day"}));
  RepAddAnyNewFields(dest.get(), other.get(), source.get());
  EXPECT_EQ(Names(dest.get()), (std::vector<std::string>{"a", "c", "d"}));
  auto* copy = ObjCast<RepFieldDef>(dest->at(1));
  EXPECT_NE(copy, source->at(2));  // a copy, deep: its derived list too
  ASSERT_NE(copy->derived(), nullptr);
  EXPECT_NE(copy->derived(), ObjCast<RepFieldDef>(source->at(2))->derived());
  EXPECT_EQ(Names(copy->derived()), (std::vector<std::string>{"c_day"}));
  EXPECT_TRUE(trace.Contains("RepAddAnyNewFields() - adding field 'd' to results list", 3));

  RepAddAnyNewFields(dest.get(), dest.get(), dest.get());  // nothing is new
  EXPECT_EQ(dest->size(), 3u);

  EXPECT_EQ(RepCountAbsentFields(dest.get(), source.get()), 1);  // b
  EXPECT_EQ(RepCountAbsentFields(dest.get(), nullptr), 0);
  EXPECT_EQ(RepCountAbsentFields(nullptr, source.get()), 5);

  Ref<RepFieldDef> x = Def("Name", kRepTypeString), y = Def("NAME", kRepTypeString);
  EXPECT_EQ(RepFieldsAreSame(x.get(), y.get()), kRepFieldsSame);
  y->set_primary_index(true);
  EXPECT_EQ(RepFieldsAreSame(x.get(), y.get()), kRepFieldsDifferent);
  EXPECT_EQ(RepFieldsAreSame(x.get(), Def("Name", kRepTypeInteger).get()), kRepFieldsDifferent);
  EXPECT_EQ(RepFieldsAreSame(x.get(), Def("Names", kRepTypeString).get()), kRepFieldsDifferent);
}

TEST_F(FieldListsTest, CompareFormatsGivesEachOfItsFiveAnswers) {
  struct Case {
    std::initializer_list<const char*> first, second;
    int expect;
  } cases[] = {
      {{"a", "b", "c"}, {"A", "B", "C"}, kRepFieldsSame},
      {{}, {}, kRepFieldsSame},
      {{"a", "b", "c"}, {"c", "a", "b"}, kRepFieldsReordered},
      {{"a", "b", "c"}, {"a", "c", "b"}, kRepFieldsReordered},
      {{"a", "b", "c"}, {"a", "b"}, kRepFieldsFirstHasMore},  // its own prefix
      {{"a", "b", "c"}, {"c", "a"}, kRepFieldsFirstHasMore},
      {{"a", "b"}, {"a", "b", "c"}, kRepFieldsSecondHasMore},  // a longer list beginning with it
      {{"b"}, {"a", "b"}, kRepFieldsSecondHasMore},
      {{}, {"a"}, kRepFieldsSecondHasMore},
      {{"a"}, {}, kRepFieldsFirstHasMore},
      {{"a", "b"}, {"a", "c"}, kRepFieldsEachHasOthers},
      {{"x"}, {"y"}, kRepFieldsEachHasOthers},
  };
  for (const Case& c : cases) {
    Ref<List> a = Named(c.first), b = Named(c.second);
    EXPECT_EQ(RepCompareFormats(a.get(), b.get()), c.expect)
        << c.first.size() << " vs " << c.second.size() << " fields";
  }
  EXPECT_EQ(RepCompareFormats(nullptr, nullptr), kRepFieldsSame);
}

TEST_F(FieldListsTest, DerivedFieldsExpandAndMerge) {
  Ref<RepFieldDef> start = Def("start", kRepTypeSysTime);
  start->set_derived(Named({"startdate", "starttime"}));
  Ref<List> l = ListOf({Def("id"), start, Def("end", kRepTypeSysTime)});
  Ref<List> expanded;
  RepExpandDerivedFields(&expanded, l.get());
  EXPECT_EQ(Names(expanded.get()),
            (std::vector<std::string>{"id", "start", "startdate", "starttime", "end"}));
  EXPECT_EQ(expanded->at(2), start->derived()->at(0));

  TraceCapture trace;
  Ref<RepFieldDef> start2 = Def("START", kRepTypeSysTime);
  start2->set_derived(Named({"STARTDATE", "startweek"}));
  Ref<RepFieldDef> end2 = Def("end", kRepTypeSysTime);
  end2->set_derived(Named({"enddate"}));
  Ref<List> source = ListOf({start2, end2, Def("other")});
  RepMergeDerivedFields(l.get(), source.get());
  EXPECT_EQ(Names(start->derived()),
            (std::vector<std::string>{"startdate", "starttime", "startweek"}));
  EXPECT_EQ(start->derived()->at(2), start2->derived()->at(1));  // shared, not copied
  RepFieldDef* end = ObjCast<RepFieldDef>(l->at(2));
  ASSERT_NE(end->derived(), nullptr);
  EXPECT_EQ(Names(end->derived()), (std::vector<std::string>{"enddate"}));
  EXPECT_TRUE(trace.Contains("Add derived field 'startweek' to field 'start'", 3));
  RepMergeDerivedFields(l.get(), l.get());  // merging a list into itself changes nothing
  EXPECT_EQ(start->derived()->size(), 3u);
}

}  // namespace
