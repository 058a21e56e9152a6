#include "plainvalue.h"

#include <cstdio>
#include <ctime>
#include <string_view>

#include "kr/text.h"
#include "reports/format.h"

namespace krreport {
namespace {

std::string IsoUtc(int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm) == nullptr) return std::to_string(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

PlainValue Number(int64_t n) {
  PlainValue p;
  p.kind = PlainValue::kNumber;
  p.number = n;
  return p;
}

PlainValue Text(std::string text) {
  PlainValue p;
  p.kind = PlainValue::kText;
  p.text = std::move(text);
  return p;
}

}  // namespace

PlainValue ToPlainValue(const RepFieldDef* field, const RepFieldValue* value) {
  if (value == nullptr || value->state() == kRepStateUnknown) return {};
  if (value->state() != kRepStateNormal) return Text(RepStateToText(value->state()));
  const Obj* v = value->value();
  char buf[32];
  switch (field->type()) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
      return Number(ObjGetInteger(v));
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return Number(ObjGetInt64(v));
    case kRepTypeBoolean: {
      PlainValue p;
      p.kind = PlainValue::kBoolean;
      p.boolean = ObjGetBoolean(v);
      return p;
    }
    case kRepTypeString:
      return Text(StrOrEmpty(ObjGetString(v)));
    case kRepTypeSysTime:
      return Text(IsoUtc(ObjGetInteger(v)));
    case kRepTypeDate:
      if (const auto* d = ObjCast<RepDateValue>(v)) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d->year(), d->month(), d->day());
        return Text(buf);
      }
      return {};
    case kRepTypeTime:
      if (const auto* t = ObjCast<RepTimeValue>(v)) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t->hour(), t->minute(), t->second());
        return Text(buf);
      }
      return {};
    default: {
      DString scratch;
      std::string_view text;
      if (RepTypedDataToText(&text, &scratch, field->type(), v) != kRepOk) return {};
      return Text(std::string(text));
    }
  }
}

}  // namespace krreport
