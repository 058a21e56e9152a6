#include "reports/params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports/fields.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

Ref<RepParamInstance> StringInstance(RepParamDef* def, const char* text) {
  Ref<RepParamInstance> i;
  EXPECT_EQ(RepParamInstanceCreateString(&i, def, text), 1);
  return i;
}

// Two string options and a boolean one, as an output type's option table would have them.
constexpr RepParamInfo kOptions[] = {
    {kRepTypeString, "rowpre", "", 1, 0, "<tr>", "before"},
    {kRepTypeString, "rowpost", "", 1, 0, "</tr>", "after"},
    {kRepTypeBoolean, "headers", "", 0, 0, "TRUE", nullptr},
    {0, nullptr, "", 0, 0, nullptr, nullptr},
};

}  // namespace

TEST(Params, FreshParamsAndTheirOutputOptions) {
  Ref<RepParams> p = RepParamsAlloc();
  ASSERT_TRUE(p);
  EXPECT_EQ(RepParamsGetClass(p.get()), nullptr);
  EXPECT_EQ(RepParamsGetOutputType(p.get()), -1);
  EXPECT_EQ(RepParamsGetConditionHits(p.get()), 0);
  EXPECT_EQ(RepParamsGetKeepFiltered(p.get()), 0);
  Ref<List> options;
  ASSERT_EQ(RepParamsGetOutputOptions(&options, p.get()), 1);
  EXPECT_EQ(options->size(), 0u);
  EXPECT_EQ(RepParamsGetOutputOptions(&options, nullptr), 0);

  // The options are handed out as a new reference to the stored list.
  Ref<List> mine = ListNewFromPool();
  RepParamsSetOutputOptions(p.get(), mine.get(), 0);
  ASSERT_EQ(RepParamsGetOutputOptions(&options, p.get()), 1);
  EXPECT_EQ(options.get(), mine.get());
  EXPECT_EQ(mine->ref_count, 3u);
  // Replacing with nothing leaves an empty list, never a null slot.
  RepParamsSetOutputOptions(p.get(), nullptr, 0);
  ASSERT_EQ(RepParamsGetOutputOptions(&options, p.get()), 1);
  EXPECT_EQ(options->size(), 0u);
  EXPECT_NE(options.get(), mine.get());
}

TEST(Params, EachSetterStoresACopyInItsOwnSlot) {
  Ref<RepParams> p = RepParamsAlloc();
  using Get = const char* (*)(const RepParams*) noexcept;
  using Set = void (*)(RepParams*, const char*) noexcept;
  const std::pair<Get, Set> pairs[] = {
      {RepParamsGetClass, RepParamsSetClass},
      {RepParamsGetInclude, RepParamsSetInclude},
      {RepParamsGetExclude, RepParamsSetExclude},
      {RepParamsGetCondition, RepParamsSetCondition},
      {RepParamsGetSort, RepParamsSetSort},
      {RepParamsGetFormat, RepParamsSetFormat},
      {RepParamsGetServer, RepParamsSetServer},
      {RepParamsGetOtherFields, RepParamsSetOtherFields},
      {RepParamsGetHeaderName, RepParamsSetHeaderName},
      {RepParamsGetFooterName, RepParamsSetFooterName},
      {RepParamsGetHeaderText, RepParamsSetHeaderText},
      {RepParamsGetFooterText, RepParamsSetFooterText},
  };
  for (size_t i = 0; i < std::size(pairs); ++i) {
    std::string text = "first";
    pairs[i].second(p.get(), text.c_str());
    text = "changed by the caller";
    pairs[i].second(p.get(), std::to_string(i).c_str());  // replaces (and frees) the first copy
  }
  for (size_t i = 0; i < std::size(pairs); ++i)
    EXPECT_EQ(std::string(pairs[i].first(p.get())), std::to_string(i));
  RepParamsSetInclude(p.get(), nullptr);
  EXPECT_EQ(RepParamsGetInclude(p.get()), nullptr);

  RepParamsSetOutputType(p.get(), 2);
  RepParamsSetConditionHits(p.get(), 7);
  RepParamsSetKeepFiltered(p.get(), 5);
  EXPECT_EQ(RepParamsGetOutputType(p.get()), 2);
  EXPECT_EQ(RepParamsGetConditionHits(p.get()), 7);
  EXPECT_EQ(RepParamsGetKeepFiltered(p.get()), 1);

  Ref<Obj> ivalues = ObjNewString("kept");
  RepParamsSetIncludeIValues(p.get(), ivalues.get());
  RepParamsSetExcludeIValues(p.get(), ivalues.get());
  RepParamsSetConditionIValues(p.get(), ivalues.get());
  RepParamsSetConditionIValues(p.get(), nullptr);
  EXPECT_EQ(ivalues->ref_count, 3u);
  EXPECT_EQ(p->exclude_ivalues(), ivalues.get());
  EXPECT_EQ(p->condition_ivalues(), nullptr);
}

TEST(Params, MergingOptionsReplacesValuesAndAppendsNewOptions) {
  TestHome home;
  Ref<List> defs;
  ASSERT_EQ(RepParamArrayToList(&defs, kOptions), 1);
  auto* rowpre = ObjCast<RepParamDef>(defs->at(0));
  auto* rowpost = ObjCast<RepParamDef>(defs->at(1));

  Ref<RepParams> p = RepParamsAlloc();
  Ref<List> start = ListNewFromPool();
  ListPushLastItemInternal(start.get(), StringInstance(rowpre, "old"));
  RepParamsSetOutputOptions(p.get(), start.get(), 0);
  Obj* kept_instance = start->at(0);

  // A second definition object of the same name, as a template would bring.
  Ref<List> other_defs;
  ASSERT_EQ(RepParamArrayToList(&other_defs, kOptions), 1);
  Ref<List> update = ListNewFromPool();
  Ref<RepParamInstance> new_pre = StringInstance(ObjCast<RepParamDef>(other_defs->at(0)), "new");
  ListAddLastItem(update.get(), new_pre.get());
  ListPushLastItemInternal(update.get(), StringInstance(rowpost, "post"));
  ListPushLastItemInternal(update.get(), ObjNewString("not an instance"));

  TraceCapture trace;
  RepParamsSetOutputOptions(p.get(), update.get(), 1);
  EXPECT_TRUE(trace.Contains("Replace value of param 'rowpre'", 3)) << trace.Dump();
  EXPECT_TRUE(trace.Contains("Add new param 'rowpost'", 3));

  Ref<List> merged;
  RepParamsGetOutputOptions(&merged, p.get());
  ASSERT_EQ(merged->size(), 2u);
  auto* first = ObjCast<RepParamInstance>(merged->at(0));
  EXPECT_EQ(first, kept_instance);              // the existing instance is changed in place...
  EXPECT_EQ(first->definition(), rowpre);       // ...and keeps its own definition
  EXPECT_EQ(first->value(), new_pre->value());  // the value object is shared
  EXPECT_EQ(merged->at(1), update->at(1));      // an option not present is appended itself

  Ref<RepParamInstance> found;
  ASSERT_EQ(RepFindParamInstanceInList(&found, merged.get(), "ROWPOST"), 1);
  EXPECT_STREQ(ObjGetString(found->value()), "post");
  EXPECT_EQ(RepFindParamInstanceInList(&found, merged.get(), "headers"), 0);
}

TEST(ParamInfo, StandardArrayWithItsSharedShortNames) {
  const RepParamInfo* std_info = RepGetStdParamInformation();
  std::vector<std::string> names;
  std::string short_names, quoted;
  for (const RepParamInfo* r = std_info; r->name != nullptr; ++r) {
    names.push_back(r->name);
    short_names += r->short_name[0] != '\0' ? r->short_name : "-";
    quoted += static_cast<char>('0' + r->quoted);
    EXPECT_EQ(r->file_read, 0);
    EXPECT_EQ(r->description, nullptr);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"template", "class", "include", "exclude", "condition",
                                             "sort", "outputtype", "conditionhits", "otherfields",
                                             "server", "format", "headername", "footername",
                                             "headertext", "footertext"}));
  EXPECT_EQ(short_names, "tciecstnlsfho--");
  EXPECT_EQ(quoted, "011111001011111");

  const RepParamInfo* row = nullptr;
  ASSERT_EQ(RepFindParamInfo(&row, std_info, "CLASS"), 1);
  EXPECT_STREQ(row->name, "class");
  EXPECT_EQ(RepFindParamInfo(&row, std_info, "clas"), 0);
  const char* short_name = nullptr;
  ASSERT_EQ(RepGetShortParamName(&short_name, std_info, "Condition"), 1);
  EXPECT_STREQ(short_name, "c");
  EXPECT_EQ(RepGetShortParamName(&short_name, std_info, "nosuch"), 0);
}

TEST(ParamDefinitions, StandardArrayGivesFifteenTypedDefaults) {
  TestHome home;
  Ref<List> defs;
  ASSERT_EQ(RepParamArrayToList(&defs, RepGetStdParamInformation()), 1);
  EXPECT_EQ(defs->size(), 15u);

  Ref<RepParamDef> def;
  ASSERT_EQ(RepFindParamInList(&def, defs.get(), "OutputType"), 1);
  EXPECT_EQ(def->type(), kRepTypeInteger);
  EXPECT_EQ(ObjGetMagic(def->default_value()), kObjIntegerType);
  EXPECT_EQ(ObjGetInteger(def->default_value()), 1);
  EXPECT_STREQ(def->short_name(), "t");
  ASSERT_EQ(RepFindParamInList(&def, defs.get(), "headername"), 1);
  EXPECT_STREQ(ObjGetString(def->default_value()), "Default");
  EXPECT_EQ(def->quoted(), 1);
  ASSERT_EQ(RepFindParamInList(&def, defs.get(), "headertext"), 1);
  EXPECT_STREQ(ObjGetString(def->default_value()), "");
  EXPECT_STREQ(def->short_name(), "");
  EXPECT_EQ(def->description(), nullptr);
  EXPECT_EQ(RepFindParamInList(&def, defs.get(), "nosuch"), 0);
}

TEST(ParamDefinitions, FileReadDefaultsComeFromTheConfiguration) {
  TestHome home;
  ASSERT_TRUE(kr_testing::WriteFile(home.config_dir() + "/reports.cfg",
                                    "[Reports]\nrowpre = \"<tr class=a>\"\nshow = no\n"));
  constexpr RepParamInfo kRead[] = {
      {kRepTypeString, "pre", "", 1, 1, "reports.cfg,reports,rowpre", "row pre"},
      {kRepTypeString, "absent", "", 1, 1, "reports.cfg,reports,nosuchkey", nullptr},
      {kRepTypeString, "nofile", "", 1, 1, "other.cfg,reports,rowpre", nullptr},
      {kRepTypeBoolean, "show", "", 0, 1, "reports.cfg,reports,show", nullptr},
      {0, nullptr, "", 0, 0, nullptr, nullptr},
  };
  Ref<List> defs;
  ASSERT_EQ(RepParamArrayToList(&defs, kRead), 1);
  ASSERT_EQ(defs->size(), 4u);
  auto* pre = ObjCast<RepParamDef>(defs->at(0));
  EXPECT_STREQ(ObjGetString(pre->default_value()), "<tr class=a>");
  EXPECT_STREQ(pre->description(), "row pre");
  EXPECT_STREQ(ObjGetString(ObjCast<RepParamDef>(defs->at(1))->default_value()), "");
  EXPECT_STREQ(ObjGetString(ObjCast<RepParamDef>(defs->at(2))->default_value()), "");
  EXPECT_EQ(ObjGetBoolean(ObjCast<RepParamDef>(defs->at(3))->default_value()), false);
}

TEST(ParamDefinitions, AnyFailingRowFailsTheWholeList) {
  TestHome home;
  ASSERT_TRUE(
      kr_testing::WriteFile(home.config_dir() + "/reports.cfg", "[reports]\nnumber = many\n"));
  struct Case {
    RepParamInfo bad;
    std::vector<std::string> messages;
  } cases[] = {
      {{kRepTypeString, "nocomma", "", 1, 1, "reports.cfg", nullptr},
       {"No first comma in default stanza spec for param 'reports.cfg'",
        "Failed to get textual default file-read value for param 'nocomma'"}},
      {{kRepTypeString, "onecomma", "", 1, 1, "reports.cfg,reports", nullptr},
       {"No second comma in default stanza spec for param 'reports.cfg,reports'",
        "Failed to get textual default file-read value for param 'onecomma'"}},
      {{kRepTypeInteger, "count", "", 0, 1, "reports.cfg,reports,number", nullptr},
       {"Cannot encode default file-read value for param 'count' (Value was 'many')"}},
      {{kRepTypeInteger, "hits", "", 0, 0, "lots", nullptr},
       {"Cannot encode default quoted value for param 'hits' (Value was 'lots')"}},
  };
  for (const Case& c : cases) {
    const RepParamInfo array[] = {kOptions[0], c.bad, kOptions[2], kOptions[3]};
    TraceCapture trace;
    Ref<List> defs;
    EXPECT_EQ(RepParamArrayToList(&defs, array), 0);
    EXPECT_FALSE(defs);
    for (const std::string& m : c.messages) EXPECT_TRUE(trace.Contains(m)) << m << trace.Dump();
  }
}

TEST(ParamInstances, MadeFromTextFromObjectsAndFromDefaults) {
  TestHome home;
  Ref<List> defs;
  ASSERT_EQ(RepParamArrayToList(&defs, RepGetStdParamInformation()), 1);
  Ref<RepParamDef> hits;
  ASSERT_EQ(RepFindParamInList(&hits, defs.get(), "conditionhits"), 1);

  Ref<RepParamInstance> i;
  ASSERT_EQ(RepParamInstanceCreateString(&i, hits.get(), "42"), 1);
  EXPECT_EQ(i->definition(), hits.get());
  EXPECT_EQ(ObjGetInteger(i->value()), 42);
  {
    TraceCapture trace;
    Ref<RepParamInstance> bad;
    EXPECT_EQ(RepParamInstanceCreateString(&bad, hits.get(), "4x2"), 0);
    EXPECT_FALSE(bad);
    EXPECT_TRUE(
        trace.Contains("Cannot encode value for parameter 'conditionhits' (Value was '4x2')"));
  }

  Ref<Obj> value = ObjNewInteger(9);
  ASSERT_EQ(RepParamInstanceCreate(&i, hits.get(), value.get()), 1);
  EXPECT_EQ(i->value(), value.get());
  EXPECT_EQ(RepParamInstanceCreate(&i, nullptr, value.get()), 0);

  Ref<List> instances;
  ASSERT_EQ(RepCreateDefaultParamInstances(&instances, defs.get()), 1);
  ASSERT_EQ(instances->size(), defs->size());
  for (size_t k = 0; k < defs->size(); ++k) {
    auto* inst = ObjCast<RepParamInstance>(instances->at(k));
    auto* def = ObjCast<RepParamDef>(defs->at(k));
    EXPECT_EQ(inst->definition(), def);
    EXPECT_EQ(inst->value(), def->default_value());  // shared, not copied
  }
  Ref<RepParamInstance> found;
  ASSERT_EQ(RepFindParamInstanceInList(&found, instances.get(), "FOOTERNAME"), 1);
  EXPECT_STREQ(ObjGetString(found->value()), "Default");
  EXPECT_EQ(RepCreateDefaultParamInstances(&instances, nullptr), 0);
}
