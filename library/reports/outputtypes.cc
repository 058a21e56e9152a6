// Output types, their information objects and their option tables.

#include "reports/outputtypes.h"

#include <string>

#include "kr/config.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "RPTOUTPUT";

// Option tables. A string option's default is installation data, named by its source in
// reports.cfg; a boolean option's default is fixed here.
constexpr RepParamInfo kPlainTextOptions[] = {
    {kRepTypeBoolean, "autocolumnheaders", "", 0, 0, "TRUE",
     "Whether or not to generate a column header for each column of a report"},
    {kRepTypeString, "textheaderrowpre", "", 1, 1, "reports.cfg,reports,textheaderrowpre",
     "Text to place before automatically generated column headers"},
    {kRepTypeString, "textheaderrowpost", "", 1, 1, "reports.cfg,reports,textheaderrowpost",
     "Text to place after automatically generated column headers"},
    {kRepTypeString, "emptyreporttext", "", 1, 1, "reports.cfg,reports,textemptyreporttext",
     "Text to output if the report is empty"},
    {kRepTypeString, "sumrowpre", "", 1, 1, "reports.cfg,reports,textsumrowpre",
     "Text to place before an automatically generated field sum row"},
    {kRepTypeString, "sumrowpost", "", 1, 1, "reports.cfg,reports,textsumrowpost",
     "Text to place after an automatically generated field sum row"},
    {kRepTypeString, "sumfieldpre", "", 1, 1, "reports.cfg,reports,textsumfieldpre",
     "Text to place before each field in a field sum row"},
    {kRepTypeString, "sumfieldpost", "", 1, 1, "reports.cfg,reports,textsumfieldpost",
     "Text to place after each field in a field sum row"},
    {kRepTypeString, "averagerowpre", "", 1, 1, "reports.cfg,reports,textaveragerowpre",
     "Text to place before an automatically generated field average row"},
    {kRepTypeString, "averagerowpost", "", 1, 1, "reports.cfg,reports,textaveragerowpost",
     "Text to place after an automatically generated field average row"},
    {kRepTypeString, "averagefieldpre", "", 1, 1, "reports.cfg,reports,textaveragefieldpre",
     "Text to place before each field in a field average row"},
    {kRepTypeString, "averagefieldpost", "", 1, 1, "reports.cfg,reports,textaveragefieldpost",
     "Text to place after each field in a field average row"},
    {kRepTypeBoolean, "disablerecordoutput", "", 0, 0, "FALSE",
     "Whether to disable output of all rows other than header, sum and average rows"},
    {kRepTypeBoolean, "outputtotalrecord", "", 0, 0, "FALSE",
     "Whether to output a row of column totals"},
    {kRepTypeBoolean, "outputaveragerecord", "", 0, 0, "FALSE",
     "Whether to output a row of column averages"},
    {kRepTypeBoolean, "variablewidthoutput", "", 0, 0, "FALSE",
     "If set, fields are not truncated/padded to a fixed width"},
    {0, nullptr, "", 0, 0, nullptr, nullptr},
};

// HTML shares the plain text option names, so a template or a front end sets "the header row
// pre text" the same way for both, but reads its defaults from the html keys. It has no
// variablewidthoutput: HTML output is always variable-width.
constexpr RepParamInfo kHtmlTextOptions[] = {
    {kRepTypeBoolean, "autocolumnheaders", "", 0, 0, "TRUE",
     "Whether or not to generate a column header for each column of a report"},
    {kRepTypeString, "textheaderrowpre", "", 1, 1, "reports.cfg,reports,htmlheaderrowpre",
     "Text to place before automatically generated column headers"},
    {kRepTypeString, "textheaderrowpost", "", 1, 1, "reports.cfg,reports,htmlheaderrowpost",
     "Text to place after automatically generated column headers"},
    {kRepTypeString, "textheaderfieldpre", "", 1, 1, "reports.cfg,reports,htmlheaderfieldpre",
     "Text to place before each field in an automatically generated column header string"},
    {kRepTypeString, "textheaderfieldpost", "", 1, 1, "reports.cfg,reports,htmlheaderfieldpost",
     "Text to place after each field in an automatically generated column header string"},
    {kRepTypeString, "emptyreporttext", "", 1, 1, "reports.cfg,reports,htmlemptyreporttext",
     "Text to output if the report is empty"},
    {kRepTypeString, "sumrowpre", "", 1, 1, "reports.cfg,reports,htmlsumrowpre",
     "Text to place before an automatically generated field sum row"},
    {kRepTypeString, "sumrowpost", "", 1, 1, "reports.cfg,reports,htmlsumrowpost",
     "Text to place after an automatically generated field sum row"},
    {kRepTypeString, "sumfieldpre", "", 1, 1, "reports.cfg,reports,htmlsumfieldpre",
     "Text to place before each field in a field sum row"},
    {kRepTypeString, "sumfieldpost", "", 1, 1, "reports.cfg,reports,htmlsumfieldpost",
     "Text to place after each field in a field sum row"},
    {kRepTypeString, "averagerowpre", "", 1, 1, "reports.cfg,reports,htmlaveragerowpre",
     "Text to place before an automatically generated field average row"},
    {kRepTypeString, "averagerowpost", "", 1, 1, "reports.cfg,reports,htmlaveragerowpost",
     "Text to place after an automatically generated field average row"},
    {kRepTypeString, "averagefieldpre", "", 1, 1, "reports.cfg,reports,htmlaveragefieldpre",
     "Text to place before each field in a field average row"},
    {kRepTypeString, "averagefieldpost", "", 1, 1, "reports.cfg,reports,htmlaveragefieldpost",
     "Text to place after each field in a field average row"},
    {kRepTypeBoolean, "disablerecordoutput", "", 0, 0, "FALSE",
     "Whether to disable output of all rows other than header, sum and average rows"},
    {kRepTypeBoolean, "outputtotalrecord", "", 0, 0, "FALSE",
     "Whether to output a tow of column totals"},
    {kRepTypeBoolean, "outputaveragerecord", "", 0, 0, "FALSE",
     "Whether to output a tow of column averages"},
    {0, nullptr, "", 0, 0, nullptr, nullptr},
};

// CSV has no sum, average, record-disabling or width options: it is always variable-width.
constexpr RepParamInfo kCsvOptions[] = {
    {kRepTypeBoolean, "autocolumnheaders", "", 0, 0, "TRUE",
     "Whether or not to generate a column header for each column of a report"},
    {kRepTypeString, "csvheaderrowpre", "", 1, 1, "reports.cfg,reports,csvheaderrowpre",
     "Text to place before automatically generated column headers"},
    {kRepTypeString, "csvheaderrowpost", "", 1, 1, "reports.cfg,reports,csvheaderrowpost",
     "Text to place after automatically generated column headers"},
    {kRepTypeString, "csvheaderfieldpre", "", 1, 1, "reports.cfg,reports,csvheaderfieldpre",
     "Text to place before each field in an automatically generated column header string"},
    {kRepTypeString, "csvheaderfieldpost", "", 1, 1, "reports.cfg,reports,csvheaderfieldpost",
     "Text to place after each field in an automatically generated column header string"},
    {kRepTypeString, "emptyreporttext", "", 1, 1, "reports.cfg,reports,csvemptyreporttext",
     "Text to output if the report is empty"},
    {0, nullptr, "", 0, 0, nullptr, nullptr},
};

constexpr RepOutputTypeRow kOutputTypes[] = {
    {kRepOutputPlainText,
     "plaintext",
     "Plain Text",
     8279,
     0,
     1,
     1,
     {"reports.cfg,reports,textformatpre", "reports.cfg,reports,textformatpost",
      "reports.cfg,reports,textformatfieldpre", "reports.cfg,reports,textformatfieldpost"},
     kPlainTextOptions},
    {kRepOutputHtmlText,
     "htmltext",
     "HTML Text",
     8278,
     1,
     1,
     1,
     {"reports.cfg,reports,htmlformatpre", "reports.cfg,reports,htmlformatpost",
      "reports.cfg,reports,htmlformatfieldpre", "reports.cfg,reports,htmlformatfieldpost"},
     kHtmlTextOptions},
    {kRepOutputCsv,
     "commaseperatedvalues",
     "Comma Separated Values",
     8280,
     0,
     1,
     1,
     {"reports.cfg,reports,csvformatpre", "reports.cfg,reports,csvformatpost",
      "reports.cfg,reports,csvformatfieldpre", "reports.cfg,reports,csvformatfieldpost"},
     kCsvOptions},
    {-1, nullptr, nullptr, 0, 0, 0, 0, {nullptr, nullptr, nullptr, nullptr}, nullptr},
};

const RepOutputTypeRow* FindRow(int32_t id) {
  for (const RepOutputTypeRow* r = kOutputTypes; r->id != -1; ++r)
    if (r->id == id) return r;
  return nullptr;
}

}  // namespace

const RepOutputTypeRow* RepGetOutputTypeTable() noexcept { return kOutputTypes; }

int RepOutputTypeInfoObjFromStruct(Ref<RepOutputTypeInfo>* info,
                                   const RepOutputTypeRow* row) noexcept {
  if (info == nullptr || row == nullptr) return 0;
  std::string reports_dir;
  if (!RepGetReportsDir(&reports_dir)) return 0;  // traced there

  Ref<RepOutputTypeInfo> o = RepOutputTypeInfo::New();
  if (!o) return 0;
  o->SetIntSlot<1>(row->id);
  o->SetBoolSlot<3>(row->html != 0);
  o->SetBoolSlot<4>(row->flag2 != 0);
  o->SetBoolSlot<5>(row->flag3 != 0);

  std::string texts[4];
  for (int i = 0; i < 4; ++i) {
    if (!RepExtractQuotedCfgValue(&texts[i], row->format_sources[i])) {
      TraceMessage(kTag, 1, 0, -1, "Failed to get record and field pre/post texts for output type");
      return 0;
    }
  }
  o->SetStrSlot<6>(texts[0].c_str());
  o->SetStrSlot<7>(texts[1].c_str());
  o->SetStrSlot<8>(texts[2].c_str());
  o->SetStrSlot<9>(texts[3].c_str());

  o->SetStrSlot<2>(LocaleGetString(row->display_name, row->display_name_id).c_str());

  Ref<List> options;
  if (!RepParamArrayToList(&options, row->options)) {
    TraceMessage(kTag, 2, 0, -1, "Failed to convert param array to list");
    return 0;
  }
  TraceMessage(kTag, 3, 0, 2, "RepOutputTypeInfoObjFromStruct(): %ld options",
               static_cast<long>(options->size()));
  o->SetObjSlot<10>(std::move(options));
  *info = std::move(o);
  return 1;
}

int RepGetAvailOutputTypes(Ref<List>* list) noexcept {
  if (list == nullptr) return 0;
  Ref<List> l = ListNewFromPool();
  for (const RepOutputTypeRow* r = kOutputTypes; r->id != -1; ++r) {
    Ref<RepOutputTypeInfo> info;
    if (!RepOutputTypeInfoObjFromStruct(&info, r)) {
      TraceMessage(kTag, 4, 0, -1, "Failed to make output info obj");
      return 0;
    }
    ListPushLastItemInternal(l.get(), std::move(info));
  }
  *list = std::move(l);
  return 1;
}

int RepIsValidOutputType(int32_t id) noexcept { return FindRow(id) != nullptr ? 1 : 0; }

int RepOutputTypeInfoFromID(Ref<RepOutputTypeInfo>* info, int32_t id) noexcept {
  const RepOutputTypeRow* row = FindRow(id);
  if (info == nullptr || row == nullptr) return 0;
  if (!RepOutputTypeInfoObjFromStruct(info, row)) {
    TraceMessage(kTag, 5, 0, -1, "Failed to make output info obj");
    return 0;
  }
  return 1;
}

int RepFindOutputTypeInList(Ref<RepOutputTypeInfo>* info, int32_t id, const List* list) noexcept {
  if (info == nullptr || list == nullptr) return 0;
  for (Obj* o : *list) {
    RepOutputTypeInfo* i = ObjCast<RepOutputTypeInfo>(o);
    if (i != nullptr && i->id() == id) {
      *info = Ref<RepOutputTypeInfo>::Share(i);
      return 1;
    }
  }
  return 0;
}

int RepSanitiseOutputOptions(List* /*options*/, int32_t id) noexcept {
  if (RepIsValidOutputType(id)) return 1;
  TraceMessage(kTag, 6, 0, -1, "Unrecognised output type %ld - wont sanitise options",
               static_cast<long>(id));
  return 0;
}

int RepListOutputFields(Ref<List>* fields, const RepControl* control) noexcept {
  if (fields == nullptr || control == nullptr) return 0;
  const RepParams* params = control->params();
  if (!RepIsValidOutputType(RepParamsGetOutputType(params))) {
    TraceMessage(kTag, 7, 0, -1, "Unknown output type - cannot list fields required to output it");
    return 0;
  }
  if (control->possible_fields() == nullptr) return 0;
  Ref<List> found;
  if (RepFieldsInString(&found, RepParamsGetFormat(params), control->possible_fields()) != kRepOk)
    return 0;  // the bad reference is traced by the scanner
  *fields = std::move(found);
  return 1;
}
