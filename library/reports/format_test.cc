#include "reports/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kr/time.h"
#include "kr/tree.h"
#include "kr/unique.h"
#include "output_test_util.h"
#include "testing.h"

using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using namespace rep_test;

namespace {

std::string Render(const RepFieldDef* f, const RepFieldValue* v, bool variable) {
  DString out, scratch;
  EXPECT_EQ(RepFieldToTextDS(&out, &scratch, f, v, variable ? 1 : 0), 1);
  return out.text;
}

std::string Typed(int32_t type, const Obj* value) {
  DString scratch;
  std::string_view text;
  if (RepTypedDataToText(&text, &scratch, type, value) != 1) return "<failed>";
  return std::string(text);
}

std::string DataCount(int64_t bytes) { return Typed(kRepTypeDataCount, ObjNewInt64(bytes).get()); }

// The output of the literal text up to the first reference, and the rest of the format.
std::pair<std::string, std::string> CopyToField(const char* format, const RepFieldList* fields) {
  DString out;
  const char* rest = RepCopyTextToNextFieldDS(&out, format, fields);
  return {out.text, rest != nullptr ? rest : "<null>"};
}

// A plugin screen item of the given kind holding `data` in slot 9.
Ref<Obj> ScreenItem(int32_t kind, Ref<Obj> data) {
  Ref<Obj> item = ObjNewInternal(0, kRepPlgScreenType, "i;s;s;s;s;s;s;s;o;", 0, nullptr);
  ObjSetSlotInteger(item.get(), 1, kind);
  ObjSetSlotObject(item.get(), 9, std::move(data));
  return item;
}

Ref<Obj> TextData(const char* first, int32_t second = 0, const char* fourth = nullptr) {
  Ref<Obj> d = ObjNewInternal(0, 0x7e570001, "s;i;s;s;", 0, nullptr);
  ObjSetSlotString(d.get(), 1, first);
  ObjSetSlotInteger(d.get(), 2, second);
  ObjSetSlotString(d.get(), 4, fourth);
  return d;
}

Ref<Obj> NumberData(int64_t v) {
  Ref<Obj> d = ObjNewInternal(0, 0x7e570002, "l;", 0, nullptr);
  ObjSetSlotInt64(d.get(), 1, v);
  return d;
}

// A selection tree item: name in slot 2, include flag in slot 7, exclude flag in slot 8.
Ref<Obj> Selection(const char* name, bool include, bool exclude) {
  Ref<Obj> item = ObjNewInternal(0, 0x7e570003, "i;s;i;i;i;i;b;b;", 0, nullptr);
  ObjSetSlotString(item.get(), 2, name);
  ObjSetSlotBoolean(item.get(), 7, include);
  ObjSetSlotBoolean(item.get(), 8, exclude);
  return item;
}

}  // namespace

// --- format strings ------------------------------------------------------------------------------

TEST(FormatString, SingleLineTest) {
  Ref<List> fields = Fields({Field("A", kRepTypeInteger, 3), Field("B", kRepTypeInteger, 3)});
  const struct {
    const char* format;
    int single;
  } cases[] = {
      // clang-format off
      {"%A %B%\\n", 1}, {"%A%\\n%B", 0}, {"%A\r\n", 1}, {"%A\n\n", 1}, {"%A\n\r", 1},
      {"%A\n ", 0}, {"%A\n\n\n", 0}, {"%A %B", 1}, {"", 1},
      {"%A\n%\\n", 0}, {"%A%\\n\n", 0},  // a %\n never pairs with a written line end
      {"%A%\\n%\\n", 0},
      {"%A\n%\\", 1}, {"%A%\\", 1},  // a %\ at the end ends the text, also after the break
      {"100%% done%\\t\n", 1},    // %% and %\t are not breaks
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RepFormatIsSingleLine(c.format, fields.get()), c.single) << c.format;
  }
  EXPECT_EQ(RepFormatIsSingleLine(nullptr, nullptr), 1);

  static_cast<RepFieldDef*>(fields->at(1))->set_must_start_line(true);
  EXPECT_EQ(RepFormatIsSingleLine("%A %B", fields.get()), 0);
}

TEST(FormatString, RecordByteEstimate) {
  Ref<RepFieldDef> id = Field("ID", kRepTypeInteger, 5);
  Ref<RepFieldDef> size = Field("SIZE", kRepTypeInteger, 10);
  Ref<List> fields = Fields({id, size});
  EXPECT_EQ(RepCountOutputRecordBytes("%ID::5|%SIZE\n", fields.get()), 20);
  size->set_must_start_line(true);
  EXPECT_EQ(RepCountOutputRecordBytes("%ID::5|%SIZE\n", fields.get()), 21);
  EXPECT_EQ(RepCountOutputRecordBytes(nullptr, nullptr), 0);
  // Fields that the text does not hold never make the estimate negative.
  EXPECT_EQ(RepCountOutputRecordBytes("", Fields({Field("LONGNAME", kRepTypeInteger, 1)}).get()),
            0);
}

TEST(FormatString, Generate) {
  Ref<List> fields = Fields({Field("id", kRepTypeInteger, 5), Field("size", kRepTypeInteger, 9)});
  std::string f;
  ASSERT_EQ(RepGenFormatString(&f, "[", "]", "<", ">", fields.get()), 1);
  EXPECT_EQ(f, "[<%ID><%SIZE>]");
  ASSERT_EQ(RepGenFormatString(&f, "", "\n", nullptr, " ", fields.get()), 1);
  EXPECT_EQ(f, "%ID %SIZE \n");
  ASSERT_EQ(RepGenFormatString(&f, "h", "t", "", "", nullptr), 1);
  EXPECT_EQ(f, "ht");

  TraceCapture trace;
  f = "untouched";
  EXPECT_EQ(RepGenFormatString(&f, nullptr, "]", "<", ">", fields.get()), 0);
  EXPECT_EQ(RepGenFormatString(&f, "[", nullptr, "<", ">", fields.get()), 0);
  EXPECT_EQ(RepGenFormatString(&f, "[", "]", "<", nullptr, fields.get()), 0);
  EXPECT_EQ(RepGenFormatString(nullptr, "[", "]", "<", ">", fields.get()), 0);
  EXPECT_EQ(f, "untouched");
  EXPECT_TRUE(trace.Contains("RepGenFormatString - bad params", -1));
}

TEST(FormatString, NextFieldAndControlSequences) {
  EXPECT_STREQ(RepGetNextFormatField("a%%b%\\nc%\"d%'e%NAME f"), "NAME f");
  EXPECT_EQ(RepGetNextFormatField("no refs %% here %\\"), nullptr);
  EXPECT_STREQ(RepSkipControlSequence("%\\nX"), "X");
  EXPECT_STREQ(RepSkipControlSequence("%X"), "X");
  EXPECT_STREQ(RepSkipControlSequence("X"), "X");
  const char* end = "%\\";
  EXPECT_EQ(RepSkipControlSequence(end), end + 2);  // never past the end
}
TEST(FormatString, CopyLiteralTextToNextReference) {
  Ref<RepFieldDef> id = Field("ID", kRepTypeInteger, 5);
  Ref<RepFieldDef> name = Field("NAME", kRepTypeString, 8);
  Ref<List> fields = Fields({id, name});

  EXPECT_EQ(CopyToField("%% done", fields.get()),
            std::make_pair(std::string("% done"), std::string("")));
  EXPECT_EQ(CopyToField("%ID%%", fields.get()), std::make_pair(std::string(""), std::string("%%")));
  EXPECT_EQ(CopyToField("%NAME:x", fields.get()).second, "x");
  EXPECT_EQ(CopyToField("%ID  two", fields.get()).second, " two");
  EXPECT_EQ(CopyToField("a%\\nb%\\tc%\"d%'e%xf%ID", fields.get()),
            std::make_pair(std::string("a\nbc\"d'exf"), std::string("")));
  EXPECT_EQ(CopyToField("tail%", fields.get()).first, "tail");

  // A field that must start a line gets a line feed unless the text before it ends one.
  name->set_must_start_line(true);
  EXPECT_EQ(CopyToField("%NAME", fields.get()).first, "\n");
  EXPECT_EQ(CopyToField("x %NAME", fields.get()).first, "x \n");
  EXPECT_EQ(CopyToField("x\n%NAME", fields.get()).first, "x\n");
  EXPECT_EQ(CopyToField("x%\\n%NAME", fields.get()).first, "x\n");
  // Each call starts afresh, so right after another reference there is always a line feed.
  DString out;
  const char* f = "%ID%NAME";
  const char* p = RepCopyTextToNextFieldDS(&out, f, fields.get());
  p = RepCopyTextToNextFieldDS(&out, p, fields.get());
  EXPECT_EQ(out.text, "\n");
  EXPECT_STREQ(p, "");
  EXPECT_EQ(RepCopyTextToNextFieldDS(nullptr, f, fields.get()), nullptr);
}

// --- rendering -----------------------------------------------------------------------------------

TEST(Rendering, StatesAtFixedAndVariableWidth) {
  const struct {
    int32_t type, width, state;
    bool variable;
    std::string text;
  } cases[] = {
      // clang-format off
      {kRepTypeInteger, 5, kRepStateUnknown, false, "?    "},
      {kRepTypeInteger, 7, kRepStateUnknown, false, "Unknown"},
      {kRepTypeInteger, 3, kRepStateUnknown, true, "Unknown"},
      {kRepTypeInteger, 6, kRepStateNA, false, "------"},
      {kRepTypeInteger, 6, kRepStateNA, true, "N/A"},
      {kRepTypeSelectionTree, 2, kRepStateNA, false, "N/"},  // cut, never padded
      {kRepTypeInteger, 3, kRepStateNever, false, "---"},
      {kRepTypeInteger, 6, kRepStateNever, false, "Never "},
      {kRepTypeInteger, 6, kRepStateUnlimited, false, "------"},
      {kRepTypeInteger, 6, kRepStateUnlimited, true, "Unlimited"},
      // A column wider than the dash run gets the whole run, then spaces.
      {kRepTypeInteger, 240, kRepStateNA, false, std::string(237, '-') + "   "},
      // clang-format on
  };
  for (const auto& c : cases) {
    Ref<RepFieldDef> f = Field("N", c.type, c.width);
    EXPECT_EQ(Render(f.get(), InState(c.state).get(), c.variable), c.text)
        << c.width << " " << c.state << " " << c.variable;
  }

  Ref<RepFieldDef> i6 = Field("N", kRepTypeInteger, 6);
  TraceCapture trace;
  DString out, scratch;
  out.text = "kept";
  EXPECT_EQ(RepFieldToTextDS(&out, &scratch, i6.get(), InState(7).get(), 0), 0);
  EXPECT_EQ(out.text, "kept");  // nothing appended, not even padding
  EXPECT_TRUE(trace.Contains("Cannot convert field 'N' to text.", -1));
}

TEST(Rendering, EveryType) {
  TestHome home;
  auto typed = [](int32_t type, Ref<RepFieldValue> v) { return Typed(type, v->value()); };
  EXPECT_EQ(typed(kRepTypeInteger, Int(-42)), "-42");
  EXPECT_EQ(typed(kRepTypeSysTime, Int(1700000000)), "1700000000");  // seconds, not a date
  EXPECT_EQ(typed(kRepTypeString, Str("abc")), "abc");
  EXPECT_EQ(typed(kRepTypeString, Str("")), "None");
  EXPECT_EQ(typed(kRepTypeString, Str(nullptr)), "None");
  EXPECT_EQ(typed(kRepTypeBoolean, Bool(true)), "Yes");
  EXPECT_EQ(typed(kRepTypeBoolean, Bool(false)), "No");
  EXPECT_EQ(typed(kRepTypeDate, Date(2024, 3, 5)), "Tue 5 March 2024");
  EXPECT_EQ(typed(kRepTypeDate, Date(2024, 13, 5)), "<failed>");
  EXPECT_EQ(typed(kRepTypeTime, Time(7, 5, 9)), "07:05:09");
  EXPECT_EQ(typed(kRepTypeTimePassed, Int(25 * 3600 + 61)), "25:01:01");
  EXPECT_EQ(typed(kRepTypeTimePassed, Int(59)), "00:00:59");
  EXPECT_EQ(typed(kRepTypeTimePassed, Int(100 * 3600)), "100:00:00");
  EXPECT_EQ(typed(kRepTypeInt64, I64(-9000000000LL)), "-9000000000");

  Ref<RepHdwmyCountValue> h = RepHdwmyCountValue::New();
  h->set_unit(kRepHdwmyDays);
  h->set_count(3);
  EXPECT_EQ(Typed(kRepTypeHdwmyCount, h.get()), "3 days");
  h->set_unit(7);
  EXPECT_EQ(Typed(kRepTypeHdwmyCount, h.get()), "3");

  Ref<RepDaysInWeekValue> w = RepDaysInWeekValue::New();
  w->days()[0] = w->days()[2] = w->days()[6] = 1;
  EXPECT_EQ(Typed(kRepTypeDaysInWeek, w.get()), "M-W---S");
  Ref<RepWeeksInMonthValue> wk = RepWeeksInMonthValue::New();
  wk->weeks()[1] = wk->weeks()[4] = 1;
  EXPECT_EQ(Typed(kRepTypeWeeksInMonth, wk.get()), "-2--L");
  Ref<RepDaysInMonthValue> dm = RepDaysInMonthValue::New();
  EXPECT_EQ(Typed(kRepTypeDaysInMonth, dm.get()), "");
  dm->days()[0] = dm->days()[14] = dm->days()[31] = 1;
  EXPECT_EQ(Typed(kRepTypeDaysInMonth, dm.get()), "1,15,last");

  UniqueId id{};
  ASSERT_EQ(UniqueFromString(&id, "3f2504e0-4f89-41d3-9a0c-0305e82c3301"), 1);
  EXPECT_EQ(Typed(kRepTypeUnique, ObjNewUnique(id).get()), "3f2504e0-4f89-41d3-9a0c-0305e82c3301");

  // A selection tree with no tree is empty; a plugin screen with none cannot be rendered.
  EXPECT_EQ(Typed(kRepTypeSelectionTree, RepSelectionTreeValue::New().get()), "");
  EXPECT_EQ(Typed(kRepTypePluginScreen, RepPluginScreenValue::New().get()), "<failed>");

  TraceCapture trace;
  DString scratch;
  std::string_view text;
  EXPECT_EQ(RepTypedDataToText(&text, &scratch, 16, ObjNewInteger(1).get()), kRepTextBadType);
  EXPECT_EQ(RepTypedDataToText(&text, &scratch, -1, nullptr), kRepTextBadType);
  EXPECT_TRUE(trace.Contains("Unrecognised data type in RepTypedDataToText", -1));
  // Value objects of the wrong form fail rather than being misread.
  EXPECT_EQ(RepTypedDataToText(&text, &scratch, kRepTypeDate, ObjNewInteger(1).get()), 0);
}

TEST(Rendering, DataCounts) {
  const int64_t kT = int64_t{1} << 40;
  const std::pair<int64_t, const char*> cases[] = {
      // clang-format off
      {0, "0B"}, {1023, "1023B"}, {-5000, "-5000B"}, {1024, "1KB"}, {1536, "1KB"},
      {1048575, "1023KB"}, {1048576, "1MB"}, {1572864, "1.5MB"}, {1073741823, "1023.9MB"},
      {1610612736, "1.5GB"},
      // Past the GB range the units go on in the same way.
      {kT, "1TB"}, {kT - 1, "1023.9GB"}, {3 * kT / 2, "1.5TB"}, {kT << 10, "1PB"},
      {kT << 20, "1EB"}, {INT64_MAX, "7.9EB"},
      // clang-format on
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(DataCount(bytes), text) << bytes;
}

TEST(Rendering, SelectionTreeLines) {
  Ref<Tree> tree = TreeNewFromPool();
  TreeNode* root = TreeInsertRoot(tree.get(), Selection("Root", false, false).get());
  TreeNode* data = TreeAddChildLast(root, Selection("Data", true, false).get());
  TreeAddChildLast(data, Selection("Tmp", false, true).get());
  TreeAddChildLast(data, Selection("Keep", false, false).get());
  TreeAddChildLast(root, Selection("Logs", true, true).get());
  Ref<RepSelectionTreeValue> v = RepSelectionTreeValue::New();
  v->set_tree(tree);
  const std::string text = "Include: Root->Data\nExclude: Root->Data->Tmp\nInclude: Root->Logs\n";
  EXPECT_EQ(Typed(kRepTypeSelectionTree, v.get()), text);

  // Fixed width cuts the lines like any text and never pads them.
  Ref<RepFieldDef> f = Field("SEL", kRepTypeSelectionTree, 12);
  EXPECT_EQ(Render(f.get(), Normal(v).get(), false), text.substr(0, 12));
  f->set_width_in_use(200);
  EXPECT_EQ(Render(f.get(), Normal(v).get(), false), text);
  EXPECT_EQ(Render(f.get(), Normal(v).get(), true), text);
}

TEST(Rendering, PluginScreenText) {
  TraceCapture trace(5);
  const int64_t when = 1700000000;
  char date[24], clock[9];
  ASSERT_EQ(TimeToLongDateStringInternal(date, sizeof(date), when, 0, 0), 1);
  ASSERT_EQ(TimeToTimeOfDayStringInternal(clock, sizeof(clock), when, 0), 1);

  Ref<Tree> tree = TreeNewFromPool();
  TreeNode* root = TreeInsertRoot(tree.get(), ScreenItem(1, TextData("Backup")).get());
  TreeAddChildLast(root, ScreenItem(9, TextData("Compress", 1)).get());
  TreeAddChildLast(root, ScreenItem(9, TextData("Verify", 0)).get());
  TreeAddChildLast(root, ScreenItem(7, TextData("Hidden", 0)).get());
  TreeNode* shown = TreeAddChildLast(root, ScreenItem(11, TextData("Shown", 1)).get());
  TreeAddChildLast(shown, ScreenItem(14, NumberData(42)).get());
  TreeAddChildLast(shown, ScreenItem(13, TextData("a", 0, "Fourth")).get());
  TreeAddChildLast(root, ScreenItem(4, ObjNewInternal(0, 0x7e570004, "s;s;", 0, nullptr)).get());
  TreeAddChildLast(root, ObjNewString("not a screen item").get());
  TreeAddChildLast(root, ScreenItem(2, TextData("Never shown")).get());
  TreeAddChildLast(root, ScreenItem(21, NumberData(when)).get());
  TreeAddChildLast(root, ScreenItem(22, NumberData(when)).get());
  TreeAddChildLast(root, ScreenItem(19, nullptr).get());  // no data: an empty line

  DString scratch;
  scratch.text = "kept:";
  ASSERT_EQ(RepPluginScreenToText(&scratch, tree.get()), 1);
  EXPECT_EQ(scratch.text,
            std::string("kept:\nBackup\n Compress = YES\n Verify = NO\n Shown\n42\n") +
                "  Fourth\n \n " + date + "\n " + clock + "\n ");
  EXPECT_TRUE(trace.Contains("Ignoring unexpected item type in PlgScreenO tree.", 5));
  EXPECT_EQ(RepPluginScreenToText(&scratch, nullptr), 0);
  EXPECT_EQ(RepPluginScreenToText(&scratch, ObjNewInteger(3).get()), 0);

  // As a field value the scratch text is cleared first, and fixed width never pads.
  Ref<RepPluginScreenValue> v = RepPluginScreenValue::New();
  v->set_tree(tree);
  Ref<RepFieldDef> f = Field("SCREEN", kRepTypePluginScreen, 10);
  EXPECT_EQ(Render(f.get(), Normal(v).get(), false), "\nBackup\n C");
  EXPECT_EQ(Render(f.get(), InState(kRepStateNA).get(), false), "N/A");
}

TEST(Rendering, CutAndPad) {
  Ref<RepFieldDef> f = Field("S", kRepTypeString, 10);
  EXPECT_EQ(Render(f.get(), Str("twelve chars").get(), false), "twelve cha");
  EXPECT_EQ(Render(f.get(), Str("twelve chars").get(), true), "twelve chars");
  f->set_width_in_use(8);
  EXPECT_EQ(Render(f.get(), Str("").get(), false), "None    ");
  // Widths count characters, not bytes.
  f->set_width_in_use(4);
  EXPECT_EQ(Render(f.get(), Str("\xc3\xa9t\xc3\xa9").get(), false), "\xc3\xa9t\xc3\xa9 ");
  EXPECT_EQ(Render(f.get(), Str("\xc3\xa9t\xc3\xa9s ok").get(), false), "\xc3\xa9t\xc3\xa9s");
  // A width of 0 shows nothing; a huge one is capped.
  f->set_width_in_use(0);
  EXPECT_EQ(Render(f.get(), Str("x").get(), false), "");
  f->set_width_in_use(INT32_MAX);
  EXPECT_EQ(Render(f.get(), Str("x").get(), false).size(), static_cast<size_t>(kRepMaxFieldWidth));
}

// --- record rows and column headers --------------------------------------------------------------

namespace {

struct RowsFixture {
  TestHome home;
  std::string path = home.HomePath("out.txt");
  Ref<RepFieldDef> id = Field("ID", kRepTypeInteger, 4, "Identifier", "Ident");
  Ref<RepFieldDef> name = Field("NAME", kRepTypeString, 6, "Name", "Name");
  Ref<List> record_fields = Fields({id, name});

  // Writes the records with the format, returning what the file holds (or "<failed>").
  std::string Write(const List* records, const char* format, int per_block, bool variable,
                    RepProgressCallback progress = nullptr, void* arg = nullptr) {
    Ref<List> format_fields;
    if (RepFieldsInString(&format_fields, format, record_fields.get()) != 1) return "<bad format>";
    std::unique_ptr<FileSysFile> f = OpenAppend(path);
    int ok = RepOutputRecords(records, record_fields.get(), format_fields.get(), format, f.get(),
                              per_block, variable ? 1 : 0, progress, arg);
    FileSysFClose(&f);
    std::string text = ReadFile(path).value_or("<unreadable>");
    std::remove(path.c_str());
    return ok ? text : "<failed>" + text;
  }
};

int CountCalls(void* arg, int) {
  ++*static_cast<int*>(arg);
  return 0;
}

Ref<List> Numbered(int n) {
  Ref<List> l = ListNewFromPool();
  for (int i = 0; i < n; ++i) ListPushLastItemInternal(l.get(), Record({Int(i), Str("x")}));
  return l;
}

}  // namespace

TEST(Records, FixedAndVariableRows) {
  RowsFixture fx;
  EXPECT_EQ(fx.Write(Records({}).get(), "%ID %NAME\n", 500, false), "Nothing to display");
  Ref<List> records = Records({Record({Int(7), Str("alpha")}), Record({Int(12345), Str("")}),
                               Record({InState(kRepStateUnknown), InState(kRepStateNA)})});
  // A format without a final line feed still writes one record per line.
  EXPECT_EQ(fx.Write(records.get(), "%ID %NAME", 500, false),
            "7   alpha \n1234None  \n?   ------\n");
  EXPECT_EQ(fx.Write(records.get(), "%ID::4 | %NAME::6\n", 500, false),
            "7   | alpha \n1234| None  \n?   | ------\n");
  EXPECT_EQ(fx.Write(records.get(), "%ID,%NAME%\\n", 500, true),
            "7,alpha\n12345,None\nUnknown,N/A\n");
  // The same field twice: its value at both places.
  EXPECT_EQ(fx.Write(records.get(), "%NAME=%ID=%NAME", 1, true),
            "alpha=7=alpha\nNone=12345=None\nN/A=Unknown=N/A\n");
  // A field that must start a line begins on one.
  fx.name->set_must_start_line(true);
  EXPECT_EQ(fx.Write(records.get(), "%ID %NAME", 500, true),
            "7\nalpha\n12345\nNone\nUnknown\nN/A\n");
}

TEST(Records, BlocksAndProgress) {
  RowsFixture fx;
  const struct {
    int records, per_block, calls;
  } cases[] = {{1200, 500, 0}, {5000, 500, 2}, {2600, 1, 1}, {9000, 500, 3}};
  for (const auto& c : cases) {
    int calls = 0;
    std::string text =
        fx.Write(Numbered(c.records).get(), "%ID\n", c.per_block, true, CountCalls, &calls);
    EXPECT_EQ(calls, c.calls) << c.records;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.records);
    EXPECT_EQ(text.substr(text.size() - 5), std::to_string(c.records - 1) + "\n");
    // Long tables are rendered by two threads: every row still in its place.
    std::string expected;
    for (int i = 0; i < c.records; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(text, expected) << c.records;
  }
  // No callback, blocks of any size.
  EXPECT_EQ(fx.Write(Numbered(3).get(), "%ID\n", 0, true), "0\n1\n2\n");
}

TEST(Records, FormatFieldsMustAllBeInTheRecords) {
  RowsFixture fx;
  TraceCapture trace;
  Ref<List> records = Records({Record({Int(1), Str("a")})});
  Ref<List> other = Fields({Field("SIZE", kRepTypeInteger, 4)});
  std::unique_ptr<FileSysFile> f = OpenAppend(fx.path);
  EXPECT_EQ(RepOutputRecords(records.get(), fx.record_fields.get(), other.get(), "%SIZE", f.get(),
                             500, 0, nullptr, nullptr),
            0);
  FileSysFClose(&f);
  EXPECT_EQ(ReadFile(fx.path).value_or("?"), "");  // nothing written
  EXPECT_TRUE(trace.Contains("had 1 using fields but only 0 matches", -1));
  EXPECT_TRUE(
      trace.Contains("All format fields not in report records. Cannot output report "
                     "records.",
                     -1));
}

TEST(Records, WriteFailureIsReported) {
  TestHome home;
  TraceCapture trace;
  Ref<List> fields = Fields({Field("ID", kRepTypeInteger, 4)});
  Ref<List> format_fields;
  ASSERT_EQ(RepFieldsInString(&format_fields, "%ID\n", fields.get()), 1);
  std::unique_ptr<FileSysFile> full = OpenAppend("/dev/full");
  ASSERT_TRUE(full);
  EXPECT_EQ(RepOutputRecords(Numbered(3).get(), fields.get(), format_fields.get(), "%ID\n",
                             full.get(), 500, 0, nullptr, nullptr),
            0);
  EXPECT_TRUE(trace.Contains("Failed to write block of records to disk. Giving up.", -1));
  EXPECT_EQ(RepOutputColHeadersFree(format_fields.get(), full.get(), "", "\n", "", ","), 0);
  EXPECT_TRUE(trace.Contains("Failed to write free column headers to file", -1));
  EXPECT_EQ(RepOutputColHeadersFixed(format_fields.get(), "%ID\n", full.get(), "", "\n"), 0);
  EXPECT_TRUE(trace.Contains("Failed to write fixed format string", -1));
}

TEST(Records, CopyMapAndIndices) {
  Ref<RepFieldDef> a = Field("a", kRepTypeInteger, 1);
  Ref<RepFieldDef> b = Field("b", kRepTypeInteger, 1);
  Ref<RepFieldDef> c = Field("c", kRepTypeInteger, 1);
  Ref<List> record_fields = Fields({a, b, c});
  std::vector<int32_t> map;
  ASSERT_EQ(
      RepGenFieldObjCopyArray(&map, record_fields.get(), Fields({c, a, Field("C", 0, 1)}).get()),
      1);
  EXPECT_EQ(map, (std::vector<int32_t>{1, -1, -1, 0, 2, -1}));
  EXPECT_EQ(RepGenFieldObjCopyArray(&map, record_fields.get(), Fields({Field("d", 0, 1)}).get()),
            0);

  std::vector<int32_t> indices;
  ASSERT_EQ(RepFieldListIndicesInOtherList(&indices, record_fields.get(), Fields({c, a}).get()), 1);
  EXPECT_EQ(indices, (std::vector<int32_t>{1, -1, 0}));
  TraceCapture trace;
  EXPECT_EQ(RepFieldListIndicesInOtherList(&indices, Fields({a}).get(), Fields({a, b}).get()), 0);
  EXPECT_TRUE(
      trace.Contains("RepFieldListIndicesInOtherList() failing. Only found indices for 1 "
                     "fields; needed 2 indices.",
                     -1));
}

TEST(Headers, FixedHeadersLineUpWithTheColumns) {
  RowsFixture fx;
  const char* format = "%ID::4 | %NAME::6\n";
  Ref<List> format_fields;
  ASSERT_EQ(RepFieldsInString(&format_fields, format, fx.record_fields.get()), 1);
  std::unique_ptr<FileSysFile> f = OpenAppend(fx.path);
  ASSERT_EQ(RepOutputColHeadersFixed(format_fields.get(), format, f.get(), "<%%>", "=%\\n"), 1);
  FileSysFClose(&f);
  EXPECT_EQ(ReadFile(fx.path).value_or("?"), "<%>Iden  Name  \n=\n");

  // The header and the rows agree column by column.
  std::string rows = fx.Write(Records({Record({Int(1), Str("abc")})}).get(), format, 500, false);
  EXPECT_EQ(rows, "<%>Iden  Name  \n=\n1   | abc   \n");
}

TEST(Headers, FreeHeaders) {
  RowsFixture fx;
  Ref<List> format_fields;
  ASSERT_EQ(RepFieldsInString(&format_fields, "%ID,%NAME", fx.record_fields.get()), 1);
  std::unique_ptr<FileSysFile> f = OpenAppend(fx.path);
  ASSERT_EQ(RepOutputColHeadersFree(format_fields.get(), f.get(), "", "\n", "", ","), 1);
  ASSERT_EQ(
      RepOutputColHeadersFree(format_fields.get(), f.get(), "<tr>", "</tr>%\\n", "<th>", "</th>"),
      1);
  FileSysFClose(&f);
  EXPECT_EQ(ReadFile(fx.path).value_or("?"),
            "Identifier,Name,\n<tr><th>Identifier</th><th>Name</th></tr>\n");

  TraceCapture trace;
  f = OpenAppend(fx.path);
  const char* messages[] = {"row pre", "row post", "field pre", "field post"};
  for (int missing = 0; missing < 4; ++missing) {
    const char* t[4] = {"", "", "", ""};
    t[missing] = nullptr;
    EXPECT_EQ(RepOutputColHeadersFree(format_fields.get(), f.get(), t[0], t[1], t[2], t[3]), 0);
    EXPECT_TRUE(trace.Contains(std::string("Failed to process control chars in ") +
                               messages[missing] + " string"));
  }
}
