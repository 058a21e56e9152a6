#include "reports/templatefile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "reports/utilities.h"
#include "testing.h"

using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

namespace {

// The value of `name` as the template holds it, or "<none>".
std::string Param(const char* text, const char* name, int quoted = 1) {
  Ref<RepTemplate> t = RepTemplateFromText(text);
  std::string value;
  return RepTemplateGetParam(&value, t.get(), name, quoted, 0) ? value : "<none>";
}

Ref<List> Definitions(const RepParamInfo* info) {
  Ref<List> defs;
  EXPECT_EQ(RepParamArrayToList(&defs, info), 1);
  return defs;
}

// A value of the definition's type that differs from its default, with text that stresses the
// quoting rules (every string is written between double quotes).
Ref<Obj> UnusualValue(const RepParamDef* def, int n) {
  switch (def->type()) {
    case kRepTypeBoolean:
      return ObjNewBoolean(!ObjGetBoolean(def->default_value()));
    case kRepTypeInteger:
      return ObjNewInteger(1000 + n);
    default: {
      std::string s = std::string(def->name()) +
                      " %ID::5 100%% 'single' %\"q%\" %\\n caf\xc3\xa9\n" +
                      "second line %format %% %";
      s += "%";
      return ObjNewString(s.c_str());
    }
  }
}

// Writes every definition of `info` with an unusual value, saves, reads back and compares.
void ExpectRoundTrip(const RepParamInfo* info, const char* name) {
  Ref<List> defs = Definitions(info);
  Ref<List> written = ListNewFromPool();
  int n = 0;
  for (Obj* o : *defs) {
    Ref<RepParamInstance> instance;
    RepParamDef* def = ObjCast<RepParamDef>(o);
    ASSERT_EQ(RepParamInstanceCreate(&instance, def, UnusualValue(def, n++).get()), 1);
    ListPushLastItemInternal(written.get(), std::move(instance));
  }
  Ref<RepTemplate> t = RepTemplateFromText("Saved by a test.\n");
  ASSERT_EQ(RepTemplateSetParamsValues(t.get(), written.get()), 1);
  ASSERT_EQ(RepTemplateSave(t.get(), name, 1), 1);

  std::string path;
  ASSERT_EQ(RepPathBuild(&path, "templates", name, nullptr), 1);
  Ref<RepTemplate> back;
  ASSERT_EQ(RepTemplateAlloc(path.c_str(), &back), 1);
  EXPECT_STREQ(back->contents(), t->contents());
  Ref<List> read;
  ASSERT_EQ(RepTemplateGetParamsValues(&read, defs.get(), back.get()), 1);
  ASSERT_EQ(read->size(), written->size());
  for (size_t i = 0; i < read->size(); ++i) {
    const RepParamInstance* a = ObjCast<RepParamInstance>(written->at(i));
    const RepParamInstance* b = ObjCast<RepParamInstance>(read->at(i));
    const RepParamDef* def = a->definition();
    EXPECT_EQ(b->definition(), def);
    if (def->type() == kRepTypeString)
      EXPECT_STREQ(ObjGetString(b->value()), ObjGetString(a->value())) << def->name();
    else
      EXPECT_EQ(RepCompareData(a->value(), b->value(), def->type()), 0) << def->name();
  }
}

}  // namespace

TEST(Template, MarkersAndQuoting) {
  // Quoted values run to the same quote; %", %' and %% inside are pairs.
  EXPECT_EQ(Param("%class \"Weekly Jobs\" %outputtype 1", "class"), "Weekly Jobs");
  EXPECT_EQ(Param("%class 'It\"s' x", "class"), "It\"s");
  EXPECT_EQ(Param("%format \"%ID %\"x%\" 100%%\"", "format"), "%ID %\"x%\" 100%%");
  EXPECT_EQ(Param("%class \"\"", "class"), "");
  // Unquoted: a quoted-flag parameter runs to the next marker, any other to white space.
  EXPECT_EQ(Param("%format %JOBID %SIZE", "format"), "");
  EXPECT_EQ(Param("%format \"%JOBID %SIZE\"", "format"), "%JOBID %SIZE");
  // The white space before the next marker belongs to the value.
  EXPECT_EQ(Param("%class Unquoted words here %sort \"s\"", "class"), "Unquoted words here ");
  EXPECT_EQ(Param("%class Weekly Jobs \t\n%outputtype 1", "class"), "Weekly Jobs \t\n");
  EXPECT_EQ(Param("%class 100%% sure %\\n %sort x", "class"), "100%% sure %\\n ");
  EXPECT_EQ(Param("%class Jobs \n", "class"), "Jobs \n");
  EXPECT_EQ(Param("%outputtype 2 extra", "outputtype", 0), "2");
  EXPECT_EQ(Param("%outputtype\t\n 2\nnext", "outputtype", 0), "2");
  // Names are whole runs of letters and digits, compared case-blind.
  EXPECT_EQ(Param("%CLASS \"A\" %class \"B\"", "class"), "A");
  EXPECT_EQ(Param("%classes \"A\" %class \"B\"", "class"), "B");
  EXPECT_EQ(Param("%Class:\"A\"", "class"), ":\"A\"");
  // Nothing of these begins a marker.
  EXPECT_EQ(Param("%%class \"A\"", "class"), "<none>");
  EXPECT_EQ(Param("%\\class \"A\"", "class"), "<none>");
  EXPECT_EQ(Param("\"%class A\" 'x %class B'", "class"), "<none>");
  EXPECT_EQ(Param("\"%class A\" %class \"B\"", "class"), "B");
  EXPECT_EQ(Param("'%'%class A' %class \"C\"", "class"), "C");

  // No value: a marker at the end, or an unclosed quote; later markers are still tried.
  TraceCapture trace;
  EXPECT_EQ(Param("text %class", "class"), "<none>");
  EXPECT_EQ(Param("%class   ", "class"), "<none>");
  EXPECT_EQ(Param("%class \"unbalanced", "class"), "<none>");
  EXPECT_EQ(Param("%class \"", "class"), "<none>");
  EXPECT_EQ(Param("%class 'x%'", "class"), "<none>");
  EXPECT_EQ(Param("unbalanced \" %class \"A\"", "class"), "<none>");
  EXPECT_EQ(Param("%sort %outputtype 1", "outputtype", 0), "1");
  EXPECT_EQ(Param("%outputtype %outputtype 3", "outputtype", 0), "%outputtype");
  EXPECT_EQ(Param("", "class"), "<none>");
  EXPECT_EQ(Param("%", "class"), "<none>");
  EXPECT_TRUE(trace.Contains("Could not find value for param 'class'", 2));
  EXPECT_TRUE(trace.Contains("Failed finding param 'class'", 2));

  Ref<RepTemplate> t = RepTemplateFromText("%class \"Jobs\" %outputtype 2");
  std::string text;
  ASSERT_EQ(RepTemplateGetParam(&text, t.get(), "class", 1, 1), 1);
  EXPECT_EQ(text, "\"Jobs\"");
  const RepParamInfo* std_info = RepGetStdParamInformation();
  ASSERT_EQ(RepTemplateGetParamUsingArray(&text, t.get(), std_info, "OUTPUTTYPE"), 1);
  EXPECT_EQ(text, "2");
  EXPECT_EQ(RepTemplateGetParamUsingArray(&text, t.get(), std_info, "colour"), 0);
  EXPECT_TRUE(trace.Contains("Failed to find info for parameter 'colour'", -1));
}

TEST(Template, TypedValues) {
  TraceCapture trace;
  const RepParamInfo* info = RepGetStdParamInformation();
  Ref<RepTemplate> t = RepTemplateFromText("%outputtype 2 %conditionhits many %class \"Jobs\"");
  Ref<Obj> value;
  ASSERT_EQ(RepTemplateGetParamValueUsingArray(&value, t.get(), info, "outputtype"), 1);
  EXPECT_EQ(ObjGetInteger(value.get()), 2);
  EXPECT_TRUE(trace.Contains(
      "Succesfully encoded value string of parameter 'outputtype' (Value string was '2')", 3));
  ASSERT_EQ(RepTemplateGetParamValue(&value, t.get(), "class", 1, kRepTypeString), 1);
  EXPECT_STREQ(ObjGetString(value.get()), "Jobs");
  EXPECT_EQ(RepTemplateGetParamValueUsingArray(&value, t.get(), info, "conditionhits"), 0);
  EXPECT_TRUE(trace.Contains(
      "Failed to encode value string of parameter 'conditionhits' (Value string was 'many')", -1));
  EXPECT_EQ(RepTemplateGetParamValueUsingArray(&value, t.get(), info, "sort"), 0);
  EXPECT_TRUE(trace.Contains("Cannot get value string for parameter 'sort'", -1));
  EXPECT_EQ(RepTemplateGetParamValueUsingArray(&value, t.get(), info, "colour"), 0);
  EXPECT_TRUE(trace.Contains("Cannot find info on param 'colour'", -1));

  // One value that does not encode fails a whole list.
  Ref<List> defs = Definitions(info);
  Ref<List> untouched;
  EXPECT_EQ(RepTemplateGetParamsValues(&untouched, defs.get(), t.get()), 0);
  EXPECT_FALSE(untouched);
  EXPECT_TRUE(trace.Contains(
      "Failed when encoding value of param 'conditionhits' (Value string was 'many')", -1));
}

TEST(Template, WritingValues) {
  TraceCapture trace;
  Ref<List> defs = Definitions(RepGetStdParamInformation());
  Ref<RepParamDef> cls, type, sort;
  ASSERT_EQ(RepFindParamInList(&cls, defs.get(), "class"), 1);
  ASSERT_EQ(RepFindParamInList(&type, defs.get(), "outputtype"), 1);
  ASSERT_EQ(RepFindParamInList(&sort, defs.get(), "sort"), 1);
  Ref<List> values = ListNewFromPool();
  Ref<RepParamInstance> a, b, c;
  RepParamInstanceCreateString(&a, cls.get(), "Jobs");
  RepParamInstanceCreateString(&b, type.get(), "0");
  RepParamInstanceCreateString(&c, sort.get(), "");
  ListAddLastItem(values.get(), a.get());
  ListAddLastItem(values.get(), b.get());
  ListAddLastItem(values.get(), c.get());
  Ref<RepTemplate> t = RepTemplateFromText("");
  ASSERT_EQ(RepTemplateSetParamsValues(t.get(), values.get()), 1);
  EXPECT_STREQ(t->contents(), "\n%CLASS \"Jobs\"\n%OUTPUTTYPE \"0\"\n%SORT \"\"\n");
  EXPECT_TRUE(trace.Contains("Added value 'Jobs' to template for param 'class'", 3));

  // A double quote is written as it stands, and reading stops at it.
  Ref<RepParamInstance> quoted;
  RepParamInstanceCreateString(&quoted, cls.get(), "say \"hi\"");
  Ref<List> one = ListNewFromPool();
  ListAddLastItem(one.get(), quoted.get());
  Ref<RepTemplate> q = RepTemplateFromText("");
  ASSERT_EQ(RepTemplateSetParamsValues(q.get(), one.get()), 1);
  EXPECT_STREQ(q->contents(), "\n%CLASS \"say \"hi\"\"\n");
  std::string back;
  ASSERT_EQ(RepTemplateGetParam(&back, q.get(), "class", 1, 0), 1);
  EXPECT_EQ(back, "say ");

  // A value that cannot be written leaves the text as it was.
  Ref<RepParamInstance> broken = RepParamInstance::New();
  broken->set_definition(type);
  ListAddLastItem(one.get(), broken.get());
  const std::string before = q->contents();
  EXPECT_EQ(RepTemplateSetParamsValues(q.get(), one.get()), 0);
  EXPECT_EQ(q->contents(), before);
  EXPECT_TRUE(trace.Contains("Cannot convert param 'outputtype' value to text", -1));
}

TEST(Template, SaveLoadAndPaths) {
  TestHome home;
  TraceCapture trace;
  Ref<RepTemplate> t = RepTemplateFromText("%class \"Jobs\"\n");
  EXPECT_EQ(RepTemplateSave(t.get(), "weekly", 0), 1);
  EXPECT_TRUE(
      trace.Contains("Wrote template file '" + home.ReportsPath("templates/weekly") + "' OK", 2));
  EXPECT_EQ(ReadFile(home.ReportsPath("templates/weekly")).value_or("?"), "%class \"Jobs\"\n");
  Ref<RepTemplate> other = RepTemplateFromText("%class \"Media\"\n");
  EXPECT_EQ(RepTemplateSave(other.get(), "weekly", 0), kRepTemplateExists);
  EXPECT_TRUE(trace.Contains("allready exists", 2));
  EXPECT_EQ(ReadFile(home.ReportsPath("templates/weekly")).value_or("?"), "%class \"Jobs\"\n");
  EXPECT_EQ(RepTemplateSave(other.get(), "weekly", 1), 1);
  EXPECT_EQ(ReadFile(home.ReportsPath("templates/weekly")).value_or("?"), "%class \"Media\"\n");
  for (const char* bad : {"../weekly", "a/b", "", ".."})
    EXPECT_EQ(RepTemplateSave(t.get(), bad, 1), 0) << bad;
  EXPECT_EQ(RepTemplateSave(nullptr, "x", 1), 0);

  Ref<RepTemplate> loaded;
  ASSERT_EQ(RepTemplateAlloc(home.ReportsPath("templates/weekly").c_str(), &loaded), 1);
  EXPECT_STREQ(loaded->path(), home.ReportsPath("templates/weekly").c_str());
  EXPECT_STREQ(loaded->contents(), "%class \"Media\"\n");
  EXPECT_TRUE(trace.Contains("Loaed template file", 2));
  EXPECT_EQ(RepTemplateAlloc(home.ReportsPath("templates/none").c_str(), &loaded), 0);
  EXPECT_TRUE(trace.Contains("does not exist!", -1));
  EXPECT_EQ(RepTemplateAlloc(home.ReportsPath("templates").c_str(), &loaded), 0);
  EXPECT_TRUE(trace.Contains("Could not read template file", -1));
  EXPECT_STREQ(loaded->contents(), "%class \"Media\"\n");  // untouched on failure

  std::string path;
  ASSERT_EQ(RepGetDefaultTemplatePath(&path, "kr"), 1);
  EXPECT_EQ(path, home.ReportsPath("templates/krclidefault"));
  ASSERT_EQ(RepGetDefaultTemplatePath(&path, nullptr), 1);
  EXPECT_EQ(path, home.ReportsPath("templates/clidefault"));
  EXPECT_EQ(RepGetDefaultTemplatePath(&path, "../"), 0);
}

TEST(Template, SaveWithoutAReportsDirectory) {
  TestHome::Options options;
  options.with_reports_dir = false;
  TestHome home(options);
  TraceCapture trace;
  Ref<RepTemplate> t = RepTemplateFromText("x");
  EXPECT_EQ(RepTemplateSave(t.get(), "weekly", 1), 0);
  std::string path;
  EXPECT_EQ(RepGetDefaultTemplatePath(&path, "kr"), 0);
  EXPECT_TRUE(trace.Contains("Could not work out location of reports dir on local machine", -1));
}

TEST(Template, NiceName) {
  std::string name;
  Ref<RepTemplate> none = RepTemplateFromText("%class \"Jobs\"");
  ASSERT_EQ(RepGetTemplateNiceName(&name, none.get(), "Fallback"), 1);
  EXPECT_EQ(name, "Fallback");
  Ref<RepTemplate> empty = RepTemplateFromText("%nicename \"\"");
  ASSERT_EQ(RepGetTemplateNiceName(&name, empty.get(), "Fallback"), 1);
  EXPECT_EQ(name, "Fallback");
  Ref<RepTemplate> named = RepTemplateFromText("%NiceName \"Weekly jobs\"");
  ASSERT_EQ(RepGetTemplateNiceName(&name, named.get(), "Fallback"), 1);
  EXPECT_EQ(name, "Weekly jobs");
  ASSERT_EQ(RepGetTemplateNiceName(&name, nullptr, nullptr), 1);
  EXPECT_EQ(name, "");
}

TEST(Template, RoundTripOfEveryParameterAndOption) {
  TestHome home;
  ExpectRoundTrip(RepGetStdParamInformation(), "standard");
  const RepOutputTypeRow* table = RepGetOutputTypeTable();
  for (const RepOutputTypeRow* row = table; row->id != -1; ++row) {
    SCOPED_TRACE(row->keyword);
    ExpectRoundTrip(row->options, row->keyword);
  }
}

TEST(Template, ParamsFromTemplate) {
  TestHome home;
  TraceCapture trace;
  Ref<RepParams> p;
  Ref<RepTemplate> t = RepTemplateFromText(
      "Weekly report\n%class \"Weekly Jobs\" %outputtype 1 %sort \"%ID\" %include \"%ID > 3\"\n"
      "%exclude \"%NAME = x\" %condition \"%ID = 4\" %format \"%ID %NAME%\\n\"\n"
      "%headername \"Top\" %footername \"Bottom\" %headertext \"Hi\" %footertext \"Bye\"\n"
      "%conditionhits 5 %server \"elsewhere\" %otherfields \"x\" %autocolumnheaders \"No\"\n");
  ASSERT_EQ(RepMakeParamsFromTemplate(&p, t.get()), 1);
  EXPECT_STREQ(RepParamsGetClass(p.get()), "Weekly Jobs");
  EXPECT_STREQ(RepParamsGetSort(p.get()), "%ID");
  EXPECT_STREQ(RepParamsGetInclude(p.get()), "%ID > 3");
  EXPECT_STREQ(RepParamsGetExclude(p.get()), "%NAME = x");
  EXPECT_STREQ(RepParamsGetCondition(p.get()), "%ID = 4");
  EXPECT_STREQ(RepParamsGetFormat(p.get()), "%ID %NAME%\\n");
  EXPECT_STREQ(RepParamsGetHeaderName(p.get()), "Top");
  EXPECT_STREQ(RepParamsGetFooterName(p.get()), "Bottom");
  EXPECT_STREQ(RepParamsGetHeaderText(p.get()), "Hi");
  EXPECT_STREQ(RepParamsGetFooterText(p.get()), "Bye");
  EXPECT_EQ(RepParamsGetConditionHits(p.get()), 5);
  EXPECT_STREQ(RepParamsGetServer(p.get()), "testhost");  // never taken from the template
  EXPECT_EQ(RepParamsGetOtherFields(p.get()), nullptr);
  EXPECT_EQ(RepParamsGetOutputType(p.get()), 1);
  // Every HTML option, at its default but for the one the template sets.
  const List* options = p->output_options();
  ASSERT_EQ(options->size(), 17u);
  Ref<RepParamInstance> option;
  ASSERT_EQ(RepFindParamInstanceInList(&option, options, "autocolumnheaders"), 1);
  EXPECT_FALSE(ObjGetBoolean(option->value()));
  ASSERT_EQ(RepFindParamInstanceInList(&option, options, "outputtotalrecord"), 1);
  EXPECT_FALSE(ObjGetBoolean(option->value()));
  ASSERT_EQ(RepFindParamInstanceInList(&option, options, "textheaderrowpre"), 1);
  EXPECT_STREQ(ObjGetString(option->value()), "");

  // Without an output type the parameters say "don't output"; without a class there are none.
  ASSERT_EQ(RepMakeParamsFromTemplate(&p, RepTemplateFromText("%class \"Jobs\"").get()), 1);
  EXPECT_EQ(RepParamsGetOutputType(p.get()), -1);
  EXPECT_EQ(p->output_options()->size(), 0u);
  EXPECT_TRUE(trace.Contains("Output type not specified in template - set to dont output", 2));
  Ref<RepParams> none;
  EXPECT_EQ(RepMakeParamsFromTemplate(&none, RepTemplateFromText("%outputtype 0").get()), 0);
  EXPECT_TRUE(trace.Contains("Bad template file - no class specified", -1));
  EXPECT_FALSE(none);

  EXPECT_EQ(RepMakeParamsFromTemplate(&none, RepTemplateFromText("%class A %outputtype x").get()),
            0);
  EXPECT_TRUE(trace.Contains("Cannot convert output type 'x' to integer", -1));
  EXPECT_EQ(RepMakeParamsFromTemplate(&none, RepTemplateFromText("%class A %outputtype 7").get()),
            0);
  EXPECT_TRUE(trace.Contains("Failed to get info on output type 7", -1));
  EXPECT_EQ(
      RepMakeParamsFromTemplate(
          &none, RepTemplateFromText("%class A %outputtype 2 %autocolumnheaders maybe").get()),
      0);
  EXPECT_TRUE(trace.Contains("Cannot get output options from template", -1));
  EXPECT_TRUE(trace.Contains("Failed when converting output info from template to params", -1));
  EXPECT_FALSE(none);
}
