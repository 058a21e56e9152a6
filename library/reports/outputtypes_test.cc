#include "reports/outputtypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports/fields.h"
#include "reptesting.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

// A type's options in order, one word each: the key, "=" and the default for a boolean, ":" and
// the default for a non-empty string.
std::string Keys(const RepOutputTypeInfo* info) {
  std::string out;
  for (Obj* o : *info->options()) {
    const RepParamDef* d = ObjCast<RepParamDef>(o);
    EXPECT_EQ(d->quoted(), d->type() == kRepTypeString ? 1 : 0) << d->name();
    EXPECT_STREQ(d->short_name(), "") << d->name();
    EXPECT_NE(d->description(), nullptr) << d->name();
    out += out.empty() ? "" : " ";
    out += d->name();
    if (d->type() == kRepTypeBoolean)
      out += ObjGetBoolean(d->default_value()) ? "=TRUE" : "=FALSE";
    else if (*ObjGetString(d->default_value()) != '\0')
      out += std::string(":") + ObjGetString(d->default_value());
  }
  return out;
}

std::string Description(const RepOutputTypeInfo* info, const char* key) {
  Ref<RepParamDef> def;
  if (!RepFindParamInList(&def, info->options(), key)) return "(missing)";
  return def->description() != nullptr ? def->description() : "(null)";
}

// reports.cfg whose every value names its own key, so a test sees which key each option read.
std::string EchoingReportsCfg(const std::vector<std::string>& keys) {
  std::string text = "[reports]\n";
  for (const std::string& k : keys) text += k + " = \"<" + k + ">\"\n";
  return text;
}

}  // namespace

TEST(OutputTypes, ThreeTypesInOrderWithTheirNamesAndFlags) {
  TestHome home;
  Ref<List> types;
  ASSERT_EQ(RepGetAvailOutputTypes(&types), 1);
  ASSERT_EQ(types->size(), 3u);
  const char* names[] = {"Plain Text", "HTML Text", "Comma Separated Values"};
  for (int32_t id = 0; id < 3; ++id) {
    auto* info = ObjCast<RepOutputTypeInfo>(types->at(static_cast<size_t>(id)));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->id(), id);
    EXPECT_STREQ(info->display_name(), names[id]);
    EXPECT_EQ(info->html(), id == 1);
    EXPECT_TRUE(info->flag2());
    EXPECT_TRUE(info->flag3());
    EXPECT_EQ(info->ObjSlot<11>(), nullptr);
  }
  Ref<RepOutputTypeInfo> found;
  ASSERT_EQ(RepFindOutputTypeInList(&found, 2, types.get()), 1);
  EXPECT_EQ(found.get(), types->at(2));
  EXPECT_EQ(RepFindOutputTypeInList(&found, 3, types.get()), 0);
  EXPECT_EQ(RepFindOutputTypeInList(&found, 0, nullptr), 0);

  const RepOutputTypeRow* table = RepGetOutputTypeTable();
  EXPECT_STREQ(table[0].keyword, "plaintext");
  EXPECT_STREQ(table[1].keyword, "htmltext");
  EXPECT_STREQ(table[2].keyword, "commaseperatedvalues");
  EXPECT_EQ(table[3].id, -1);
}

TEST(OutputTypes, OnlyTheThreeIdsAreValid) {
  TestHome home;
  for (int32_t id : {-1, 3, 100, INT32_MIN}) {
    TraceCapture trace;
    EXPECT_EQ(RepIsValidOutputType(id), 0) << id;
    Ref<RepOutputTypeInfo> info;
    EXPECT_EQ(RepOutputTypeInfoFromID(&info, id), 0);
    EXPECT_FALSE(info);
    EXPECT_TRUE(trace.lines().empty()) << trace.Dump();  // an unknown id is no error
    Ref<List> options = ListNewFromPool();
    EXPECT_EQ(RepSanitiseOutputOptions(options.get(), id), 0);
    EXPECT_TRUE(trace.Contains("Unrecognised output type " + std::to_string(id) +
                               " - wont sanitise options"));
  }
  for (int32_t id = 0; id < 3; ++id) {
    EXPECT_EQ(RepIsValidOutputType(id), 1);
    Ref<RepOutputTypeInfo> info;
    ASSERT_EQ(RepOutputTypeInfoFromID(&info, id), 1);
    EXPECT_EQ(info->id(), id);
    // Any option list is acceptable to any valid type, and is left as it is.
    Ref<List> options;
    ASSERT_EQ(RepCreateDefaultParamInstances(&options, info->options()), 1);
    ListPushLastItemInternal(options.get(), ObjNewString("anything"));
    std::vector<Obj*> before(options->begin(), options->end());
    EXPECT_EQ(RepSanitiseOutputOptions(options.get(), (id + 1) % 3), 1);
    EXPECT_EQ(std::vector<Obj*>(options->begin(), options->end()), before);
  }
}

TEST(OutputOptions, WithoutReportsCfgStringDefaultsAreEmpty) {
  TestHome home;
  Ref<List> types;
  ASSERT_EQ(RepGetAvailOutputTypes(&types), 1);
  auto plain = ObjCast<RepOutputTypeInfo>(types->at(0));
  auto html = ObjCast<RepOutputTypeInfo>(types->at(1));
  auto csv = ObjCast<RepOutputTypeInfo>(types->at(2));
  for (auto* info : {plain, html, csv}) {
    EXPECT_STREQ(info->format_pre(), "");
    EXPECT_STREQ(info->format_field_post(), "");
  }
  // Plain text and HTML share most keys (HTML adds the header field texts and has no
  // variable-width output); CSV has its own header keys.
  const char* const kRows =
      "sumrowpre sumrowpost sumfieldpre sumfieldpost averagerowpre averagerowpost "
      "averagefieldpre averagefieldpost disablerecordoutput=FALSE outputtotalrecord=FALSE "
      "outputaveragerecord=FALSE";
  EXPECT_EQ(Keys(plain), std::string("autocolumnheaders=TRUE textheaderrowpre textheaderrowpost "
                                     "emptyreporttext ") +
                             kRows + " variablewidthoutput=FALSE");
  EXPECT_EQ(Keys(html), std::string("autocolumnheaders=TRUE textheaderrowpre textheaderrowpost "
                                    "textheaderfieldpre textheaderfieldpost emptyreporttext ") +
                            kRows);
  EXPECT_EQ(Keys(csv),
            "autocolumnheaders=TRUE csvheaderrowpre csvheaderrowpost csvheaderfieldpre "
            "csvheaderfieldpost emptyreporttext");
  // The descriptions a front end shows, where the types differ or a text is easily mistyped.
  EXPECT_EQ(Description(plain, "outputtotalrecord"), "Whether to output a row of column totals");
  EXPECT_EQ(Description(html, "outputtotalrecord"), "Whether to output a tow of column totals");
  EXPECT_EQ(Description(html, "outputaveragerecord"), "Whether to output a tow of column averages");
  EXPECT_EQ(Description(plain, "variablewidthoutput"),
            "If set, fields are not truncated/padded to a fixed width");
  EXPECT_EQ(Description(csv, "csvheaderfieldpre"),
            "Text to place before each field in an automatically generated column header string");
  EXPECT_EQ(Description(html, "textheaderrowpost"),
            "Text to place after automatically generated column headers");
  EXPECT_EQ(Description(plain, "autocolumnheaders"),
            "Whether or not to generate a column header for each column of a report");
  EXPECT_EQ(Description(csv, "emptyreporttext"), "Text to output if the report is empty");
  EXPECT_EQ(Description(plain, "disablerecordoutput"),
            "Whether to disable output of all rows other than header, sum and average rows");
  EXPECT_EQ(Description(html, "averagefieldpre"),
            "Text to place before each field in a field average row");
}

TEST(OutputOptions, StringDefaultsAndFormatTextsReadTheirOwnKeys) {
  TestHome home;
  std::vector<std::string> keys;
  for (const char* prefix : {"text", "html", "csv"}) {
    for (const char* k :
         {"formatpre", "formatpost", "formatfieldpre", "formatfieldpost", "headerrowpre",
          "headerrowpost", "headerfieldpre", "headerfieldpost", "emptyreporttext", "sumrowpre",
          "sumrowpost", "sumfieldpre", "sumfieldpost", "averagerowpre", "averagerowpost",
          "averagefieldpre", "averagefieldpost"})
      keys.push_back(std::string(prefix) + k);
  }
  ASSERT_TRUE(kr_testing::WriteFile(home.config_dir() + "/reports.cfg", EchoingReportsCfg(keys)));
  Ref<List> types;
  ASSERT_EQ(RepGetAvailOutputTypes(&types), 1);
  const char* prefixes[] = {"text", "html", "csv"};
  for (size_t id = 0; id < 3; ++id) {
    auto* info = ObjCast<RepOutputTypeInfo>(types->at(id));
    std::string p = prefixes[id];
    EXPECT_EQ(info->format_pre(), "<" + p + "formatpre>");
    EXPECT_EQ(info->format_post(), "<" + p + "formatpost>");
    EXPECT_EQ(info->format_field_pre(), "<" + p + "formatfieldpre>");
    EXPECT_EQ(info->format_field_post(), "<" + p + "formatfieldpost>");
  }
  auto option_default = [&](size_t id, const char* key) {
    Ref<RepParamDef> def;
    EXPECT_EQ(RepFindParamInList(&def, ObjCast<RepOutputTypeInfo>(types->at(id))->options(), key),
              1)
        << key;
    return def ? std::string(ObjGetString(def->default_value())) : std::string("(missing)");
  };
  // Plain text options read text... keys; HTML options keep the plain text names (the header
  // texts included) but read html... keys; CSV reads csv... keys.
  EXPECT_EQ(option_default(0, "textheaderrowpre"), "<textheaderrowpre>");
  EXPECT_EQ(option_default(0, "emptyreporttext"), "<textemptyreporttext>");
  EXPECT_EQ(option_default(0, "averagefieldpost"), "<textaveragefieldpost>");
  EXPECT_EQ(option_default(1, "textheaderrowpre"), "<htmlheaderrowpre>");
  EXPECT_EQ(option_default(1, "textheaderfieldpost"), "<htmlheaderfieldpost>");
  EXPECT_EQ(option_default(1, "emptyreporttext"), "<htmlemptyreporttext>");
  EXPECT_EQ(option_default(1, "sumrowpre"), "<htmlsumrowpre>");
  EXPECT_EQ(option_default(2, "csvheaderrowpre"), "<csvheaderrowpre>");
  EXPECT_EQ(option_default(2, "emptyreporttext"), "<csvemptyreporttext>");
}

TEST(OutputOptions, MissingOrBrokenReportsCfgGivesEmptyTexts) {
  TestHome home;
  const std::string cfg = home.config_dir() + "/reports.cfg";
  const std::string contents[] = {
      "",                                                  // empty file
      "[other]\ncsvemptyreporttext = elsewhere\n",         // no reports stanza
      "[Reports]\ncsvheaderrowpre = x\n",                  // stanza without the key asked
      "[reports]\ncsvemptyreporttext = \"unterminated\n",  // not a stanza file at all
  };
  for (const std::string& text : contents) {
    ASSERT_TRUE(kr_testing::WriteFile(cfg, text));
    Ref<RepOutputTypeInfo> csv;
    ASSERT_EQ(RepOutputTypeInfoFromID(&csv, 2), 1) << text;
    Ref<RepParamDef> def;
    ASSERT_EQ(RepFindParamInList(&def, csv->options(), "emptyreporttext"), 1);
    EXPECT_STREQ(ObjGetString(def->default_value()), "") << text;
    EXPECT_STREQ(csv->format_pre(), "");
  }
}

TEST(OutputTypes, InformationNeedsTheReportsDirectory) {
  TestHome::Options o;
  o.with_reports_dir = false;
  TestHome home(o);
  TraceCapture trace;
  Ref<List> types;
  EXPECT_EQ(RepGetAvailOutputTypes(&types), 0);
  EXPECT_FALSE(types);
  EXPECT_TRUE(trace.Contains("Could not work out location of reports dir on local machine"));
  Ref<RepOutputTypeInfo> info;
  EXPECT_EQ(RepOutputTypeInfoFromID(&info, 0), 0);
  EXPECT_TRUE(trace.Contains("Failed to make output info obj"));
}

TEST(OutputTypes, MalformedSourcesFailTheInformation) {
  TestHome home;
  RepOutputTypeRow bad_format = RepGetOutputTypeTable()[0];
  bad_format.format_sources[2] = "reports.cfg,textformatfieldpre";
  {
    TraceCapture trace;
    Ref<RepOutputTypeInfo> info;
    EXPECT_EQ(RepOutputTypeInfoObjFromStruct(&info, &bad_format), 0);
    EXPECT_FALSE(info);
    EXPECT_TRUE(trace.Contains(
        "No second comma in default stanza spec for param 'reports.cfg,textformatfieldpre'"));
    EXPECT_TRUE(trace.Contains("Failed to get record and field pre/post texts for output type"));
  }
  const RepParamInfo bad_options[] = {
      {kRepTypeString, "rowpre", "", 1, 1, "reports.cfg", nullptr},
      {0, nullptr, "", 0, 0, nullptr, nullptr},
  };
  RepOutputTypeRow bad_option = RepGetOutputTypeTable()[1];
  bad_option.options = bad_options;
  TraceCapture trace;
  Ref<RepOutputTypeInfo> info;
  EXPECT_EQ(RepOutputTypeInfoObjFromStruct(&info, &bad_option), 0);
  EXPECT_TRUE(trace.Contains("No first comma in default stanza spec for param 'reports.cfg'"));
  EXPECT_TRUE(trace.Contains("Failed to convert param array to list"));
  ASSERT_EQ(RepOutputTypeInfoObjFromStruct(&info, &RepGetOutputTypeTable()[1]), 1);
  EXPECT_TRUE(trace.Contains("RepOutputTypeInfoObjFromStruct(): 17 options", 2));
}

TEST(OutputFields, FormatFieldsAreLookedUpInThePossibleFields) {
  TestHome home;
  Ref<List> fields = kr_testing::FieldList(
      {{"id", kRepTypeInteger, 6}, {"name", kRepTypeString, 12}, {"size", kRepTypeDataCount, 9}});
  Ref<RepTable> table = RepNewTable("jobs", fields, ListNewFromPool());
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetFormat(params.get(), "%size::4 %ID, %name and %id%%");

  // The fresh parameters' "don't output" is no output type to list fields for.
  Ref<RepControl> c = RepControlFromTable(params.get(), table.get());
  Ref<List> out;
  {
    TraceCapture trace;
    EXPECT_EQ(RepListOutputFields(&out, c.get()), 0);
    EXPECT_TRUE(trace.Contains("Unknown output type - cannot list fields required to output it"));
  }
  for (int32_t type = 0; type < 3; ++type) {
    RepParamsSetOutputType(c->params(), type);
    ASSERT_EQ(RepListOutputFields(&out, c.get()), 1) << type;
    ASSERT_EQ(out->size(), 4u);
    EXPECT_EQ(out->at(0), fields->at(2));
    EXPECT_EQ(out->at(1), fields->at(0));
    EXPECT_EQ(out->at(2), fields->at(1));
    EXPECT_EQ(out->at(3), fields->at(0));
    EXPECT_EQ(ObjCast<RepFieldDef>(fields->at(2))->width_in_use(), 4);
  }
  RepParamsSetOutputType(c->params(), 3);
  EXPECT_EQ(RepListOutputFields(&out, c.get()), 0);

  RepParamsSetOutputType(c->params(), 2);
  RepParamsSetFormat(c->params(), nullptr);
  ASSERT_EQ(RepListOutputFields(&out, c.get()), 1);
  EXPECT_EQ(out->size(), 0u);
  RepParamsSetFormat(c->params(), "%id %owner");
  out.reset();
  EXPECT_EQ(RepListOutputFields(&out, c.get()), 0);
  EXPECT_FALSE(out);
}
