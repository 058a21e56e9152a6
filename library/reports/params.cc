// Report parameters, parameter information, definitions and instances.

#include "reports/params.h"

#include <string>

#include "kr/text.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPPARAM";

// The standard report parameters. `template` has no slot in RepParams: it names the template
// the other values come from.
constexpr RepParamInfo kStdParams[] = {
    {kRepTypeString, "template", "t", 0, 0, "", nullptr},
    {kRepTypeString, "class", "c", 1, 0, "", nullptr},
    {kRepTypeString, "include", "i", 1, 0, "", nullptr},
    {kRepTypeString, "exclude", "e", 1, 0, "", nullptr},
    {kRepTypeString, "condition", "c", 1, 0, "", nullptr},
    {kRepTypeString, "sort", "s", 1, 0, "", nullptr},
    {kRepTypeInteger, "outputtype", "t", 0, 0, "1", nullptr},
    {kRepTypeInteger, "conditionhits", "n", 0, 0, "1", nullptr},
    {kRepTypeString, "otherfields", "l", 1, 0, "", nullptr},
    {kRepTypeString, "server", "s", 0, 0, "", nullptr},
    {kRepTypeString, "format", "f", 1, 0, "", nullptr},
    {kRepTypeString, "headername", "h", 1, 0, "Default", nullptr},
    {kRepTypeString, "footername", "o", 1, 0, "Default", nullptr},
    {kRepTypeString, "headertext", "", 1, 0, "", nullptr},
    {kRepTypeString, "footertext", "", 1, 0, "", nullptr},
    {0, nullptr, "", 0, 0, nullptr, nullptr},
};

// The name of an instance's parameter, or null when it has no well-formed definition.
const char* InstanceName(const RepParamInstance* instance) {
  const RepParamDef* def = instance != nullptr ? instance->definition() : nullptr;
  return def != nullptr ? def->name() : nullptr;
}

RepParamInstance* FindInstance(const List* instances, const char* name) {
  if (instances == nullptr || name == nullptr) return nullptr;
  for (Obj* o : *instances) {
    RepParamInstance* instance = ObjCast<RepParamInstance>(o);
    const char* n = InstanceName(instance);
    if (n != nullptr && StrCompareNoCase(n, name) == 0) return instance;
  }
  return nullptr;
}

// Makes the definition of one information row, its default encoded. Null on failure (traced).
Ref<RepParamDef> DefinitionFromRow(const RepParamInfo& row) {
  Ref<RepParamDef> def = RepParamDef::New();
  if (!def) return nullptr;
  def->set_type(row.type);
  def->set_name(row.name);
  def->set_short_name(row.short_name);
  def->set_description(row.description);
  def->set_quoted(row.quoted);

  Ref<Obj> value;
  if (row.file_read == 1) {
    std::string text;
    if (!RepExtractQuotedCfgValue(&text, StrOrEmpty(row.default_text))) {
      TraceMessage(kTag, 1, 0, 2, "Failed to get textual default file-read value for param '%s'",
                   row.name);
      return nullptr;
    }
    if (!RepEncodeData(&value, text.c_str(), row.type)) {
      TraceMessage(kTag, 2, 0, -1,
                   "Cannot encode default file-read value for param '%s' (Value was '%s')",
                   row.name, text.c_str());
      return nullptr;
    }
  } else if (!RepEncodeData(&value, StrOrEmpty(row.default_text), row.type)) {
    TraceMessage(kTag, 3, 0, -1,
                 "Cannot encode default quoted value for param '%s' (Value was '%s')", row.name,
                 StrOrEmpty(row.default_text));
    return nullptr;
  }
  def->set_default_value(std::move(value));
  return def;
}

}  // namespace

// --- the parameters object
// -------------------------------------------------------------------------

Ref<RepParams> RepParamsAlloc() noexcept {
  Ref<RepParams> p = RepParams::New();
  if (!p) return nullptr;
  p->SetIntSlot<13>(kRepOutputTypeNone);
  p->SetObjSlot<14>(ListNewFromPool());
  return p;
}

#define REP_PARAMS_STRING(Name, slot)                                      \
  const char* RepParamsGet##Name(const RepParams* params) noexcept {       \
    return params != nullptr ? params->StrSlot<slot>() : nullptr;          \
  }                                                                        \
  void RepParamsSet##Name(RepParams* params, const char* value) noexcept { \
    if (params != nullptr) params->SetStrSlot<slot>(value);                \
  }

REP_PARAMS_STRING(Class, 1)
REP_PARAMS_STRING(Include, 2)
REP_PARAMS_STRING(Exclude, 3)
REP_PARAMS_STRING(Condition, 4)
REP_PARAMS_STRING(Sort, 5)
REP_PARAMS_STRING(Format, 6)
REP_PARAMS_STRING(Server, 7)
REP_PARAMS_STRING(OtherFields, 8)
REP_PARAMS_STRING(HeaderName, 9)
REP_PARAMS_STRING(FooterName, 10)
REP_PARAMS_STRING(HeaderText, 11)
REP_PARAMS_STRING(FooterText, 12)

#undef REP_PARAMS_STRING

int32_t RepParamsGetOutputType(const RepParams* params) noexcept {
  return params != nullptr ? params->output_type() : kRepOutputTypeNone;
}

void RepParamsSetOutputType(RepParams* params, int32_t value) noexcept {
  if (params != nullptr) params->SetIntSlot<13>(value);
}

int32_t RepParamsGetConditionHits(const RepParams* params) noexcept {
  return params != nullptr ? params->condition_hits() : 0;
}

void RepParamsSetConditionHits(RepParams* params, int32_t value) noexcept {
  if (params != nullptr) params->SetIntSlot<16>(value);
}

int RepParamsGetKeepFiltered(const RepParams* params) noexcept {
  return params != nullptr && params->keep_filtered() ? 1 : 0;
}

void RepParamsSetKeepFiltered(RepParams* params, int value) noexcept {
  if (params != nullptr) params->SetBoolSlot<15>(value != 0);
}

void RepParamsSetIncludeIValues(RepParams* params, Obj* values) noexcept {
  if (params != nullptr) params->SetObjSlot<17>(Ref<Obj>::Share(values));
}

void RepParamsSetExcludeIValues(RepParams* params, Obj* values) noexcept {
  if (params != nullptr) params->SetObjSlot<18>(Ref<Obj>::Share(values));
}

void RepParamsSetConditionIValues(RepParams* params, Obj* values) noexcept {
  if (params != nullptr) params->SetObjSlot<19>(Ref<Obj>::Share(values));
}

int RepParamsGetOutputOptions(Ref<List>* options, const RepParams* params) noexcept {
  if (options == nullptr || params == nullptr || params->output_options() == nullptr) return 0;
  *options = Ref<List>::Share(params->output_options());
  return 1;
}

void RepParamsSetOutputOptions(RepParams* params, List* options, int merge) noexcept {
  if (params == nullptr) return;
  if (merge != 1) {
    params->SetObjSlot<14>(options != nullptr ? Ref<List>::Share(options) : ListNewFromPool());
    return;
  }
  List* existing = params->output_options();
  if (existing == nullptr) {
    // Parameters made elsewhere may arrive without a list; merging into nothing is adding.
    params->SetObjSlot<14>(ListNewFromPool());
    existing = params->output_options();
  }
  if (options == nullptr || options == existing) return;
  for (Obj* o : *options) {
    RepParamInstance* instance = ObjCast<RepParamInstance>(o);
    const char* name = InstanceName(instance);
    if (name == nullptr) continue;
    if (RepParamInstance* old = FindInstance(existing, name)) {
      TraceMessage(kTag, 4, 0, 3, "Replace value of param '%s'", name);
      old->set_value(Ref<Obj>::Share(instance->value()));
    } else {
      TraceMessage(kTag, 5, 0, 3, "Add new param '%s'", name);
      ListAddLastItem(existing, instance);
    }
  }
}

// --- parameter information
// -------------------------------------------------------------------------

const RepParamInfo* RepGetStdParamInformation() noexcept { return kStdParams; }

int RepFindParamInfo(const RepParamInfo** row, const RepParamInfo* array,
                     const char* name) noexcept {
  if (row == nullptr || array == nullptr || name == nullptr) return 0;
  for (const RepParamInfo* r = array; r->name != nullptr; ++r) {
    if (StrCompareNoCase(r->name, name) == 0) {
      *row = r;
      return 1;
    }
  }
  return 0;
}

int RepGetShortParamName(const char** short_name, const RepParamInfo* array,
                         const char* name) noexcept {
  const RepParamInfo* row = nullptr;
  if (short_name == nullptr || !RepFindParamInfo(&row, array, name)) return 0;
  *short_name = row->short_name;
  return 1;
}

// --- definitions and instances -----------------------------------------------------------------

int RepParamArrayToList(Ref<List>* definitions, const RepParamInfo* array) noexcept {
  if (definitions == nullptr || array == nullptr) return 0;
  Ref<List> list = ListNewFromPool();
  for (const RepParamInfo* row = array; row->name != nullptr; ++row) {
    Ref<RepParamDef> def = DefinitionFromRow(*row);
    if (!def) return 0;  // the partial list goes with `list`
    ListPushLastItemInternal(list.get(), std::move(def));
  }
  *definitions = std::move(list);
  return 1;
}

int RepFindParamInList(Ref<RepParamDef>* definition, const List* definitions,
                       const char* name) noexcept {
  if (definition == nullptr || definitions == nullptr || name == nullptr) return 0;
  for (Obj* o : *definitions) {
    RepParamDef* def = ObjCast<RepParamDef>(o);
    if (def != nullptr && def->name() != nullptr && StrCompareNoCase(def->name(), name) == 0) {
      *definition = Ref<RepParamDef>::Share(def);
      return 1;
    }
  }
  return 0;
}

int RepParamInstanceCreateString(Ref<RepParamInstance>* instance, RepParamDef* definition,
                                 const char* text) noexcept {
  if (instance == nullptr || definition == nullptr) return 0;
  Ref<Obj> value;
  if (!RepEncodeData(&value, text, definition->type())) {
    TraceMessage(kTag, 6, 0, -1, "Cannot encode value for parameter '%s' (Value was '%s')",
                 StrOrEmpty(definition->name()), StrOrEmpty(text));
    return 0;
  }
  return RepParamInstanceCreate(instance, definition, value.get());
}

int RepParamInstanceCreate(Ref<RepParamInstance>* instance, RepParamDef* definition,
                           Obj* value) noexcept {
  if (instance == nullptr || definition == nullptr || value == nullptr) return 0;
  Ref<RepParamInstance> i = RepParamInstance::New();
  if (!i) return 0;
  i->set_definition(Ref<Obj>::Share(definition));
  i->set_value(Ref<Obj>::Share(value));
  *instance = std::move(i);
  return 1;
}

int RepCreateDefaultParamInstances(Ref<List>* instances, const List* definitions) noexcept {
  if (instances == nullptr || definitions == nullptr) return 0;
  Ref<List> list = ListNewWithCapacity(definitions->size());
  for (Obj* o : *definitions) {
    RepParamDef* def = ObjCast<RepParamDef>(o);
    if (def == nullptr) continue;
    Ref<RepParamInstance> i = RepParamInstance::New();
    if (!i) return 0;
    i->set_definition(Ref<Obj>::Share(def));
    i->set_value(Ref<Obj>::Share(def->default_value()));
    ListPushLastItemInternal(list.get(), std::move(i));
  }
  *instances = std::move(list);
  return 1;
}

int RepFindParamInstanceInList(Ref<RepParamInstance>* instance, const List* instances,
                               const char* name) noexcept {
  if (instance == nullptr) return 0;
  RepParamInstance* found = FindInstance(instances, name);
  if (found == nullptr) return 0;
  *instance = Ref<RepParamInstance>::Share(found);
  return 1;
}
