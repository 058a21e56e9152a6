// Records written from their values (RepRecordWriter, reports/serializedrecords.h): the bytes
// of the record the values would fill, without the record.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "kr/list.h"
#include "kr/serialize.h"
#include "recordcodec.h"
#include "reports/serializedrecords.h"

// One field of the record being written: the value as it will be written. Texts are kept one
// after another in `texts`, the blank record's first, and the value's text pointer is set as the
// record is written: setting every field back to blank is copying the blank fields and cutting
// `texts` back.
struct RepRecordWriter::Layout {
  struct Field {
    kr_internal::WrittenValue value{};
    bool has_text = false;  // a string that is not null: `value.text_length` bytes of `texts` at
                            // `text_at`, then a NUL
    size_t text_at = 0;
  };
  std::vector<Field> fields;
  std::vector<Field> blank;
  std::string texts;
  size_t blank_texts = 0;  // the blank record's texts, at the start of `texts`
  std::string table;       // the type table
  size_t bound = 0;        // the most a record takes besides its texts
  std::string scratch;     // the record, written here first
};

RepRecordWriter::RepRecordWriter() = default;
RepRecordWriter::~RepRecordWriter() = default;

bool RepRecordWriter::Start(const RepFieldList* fields) noexcept {
  using namespace kr_internal;
  layout_.reset();
  try {
    Ref<RepRecord> record = RepMakeBlankRecord(fields, kRepStateNormal);
    const List* values = record ? record->values() : nullptr;
    if (values == nullptr || record->ObjSlot<2>() != nullptr ||
        ListGetExtensionItem(values) != nullptr) {
      return false;
    }
    auto layout = std::make_unique<Layout>();
    TypeNumbers numbers(!values->empty());
    for (size_t i = 0; i < values->size(); ++i) {
      const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(i));
      if (v == nullptr || v->ObjSlot<3>() != nullptr) return false;
      Layout::Field f;
      WrittenValue& w = f.value;
      w.kind = KindOf(v->value());
      if (w.kind == kUnknown) return false;
      w.state = v->state();
      ReadWritten(&w, v->value());
      if (w.kind != kNoObject) w.type_number = numbers.Of(w.kind);
      if (w.text != nullptr) {
        f.has_text = true;
        f.text_at = layout->texts.size();
        layout->texts.append(w.text, w.text_length + 1);
        w.text = nullptr;  // set as each record is written
      }
      layout->fields.push_back(f);
    }
    layout->blank = layout->fields;
    layout->blank_texts = layout->texts.size();
    WriteTypeTable(&layout->table, numbers.types(), numbers.order());
    layout->bound = 32 + layout->table.size() + kValueBytes * layout->fields.size();
    layout_ = std::move(layout);
    return true;
  } catch (...) {
    return false;
  }
}

namespace {

// The field `field` when it exists and its value is of `kind`.
RepRecordWriter::Layout::Field* FieldOf(RepRecordWriter::Layout* layout, size_t field,
                                        kr_internal::ValueObject kind) {
  if (layout == nullptr || field >= layout->fields.size()) return nullptr;
  auto& f = layout->fields[field];
  return f.value.kind == kind ? &f : nullptr;
}

}  // namespace

bool RepRecordWriter::SetInteger(size_t field, int32_t value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kInteger);
  if (f != nullptr) f->value.number = value;
  return f != nullptr;
}

bool RepRecordWriter::SetInt64(size_t field, int64_t value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kInt64);
  if (f != nullptr) f->value.number = value;
  return f != nullptr;
}

bool RepRecordWriter::SetBoolean(size_t field, bool value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kBoolean);
  if (f != nullptr) f->value.number = value ? 1 : 0;
  return f != nullptr;
}

bool RepRecordWriter::SetText(size_t field, const char* text) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kString);
  if (f == nullptr) return false;
  if (text == nullptr) {
    f->has_text = false;
    return true;
  }
  const size_t length = std::strlen(text);
  try {
    layout_->texts.append(text, length + 1);
  } catch (...) {
    return false;  // no memory for the text: the field keeps its value
  }
  f->has_text = true;
  f->text_at = layout_->texts.size() - length - 1;
  f->value.text_length = length;
  return true;
}

bool RepRecordWriter::SetDate(size_t field, int32_t year, int32_t month, int32_t day) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kDate);
  if (f != nullptr) f->value.parts[0] = year, f->value.parts[1] = month, f->value.parts[2] = day;
  return f != nullptr;
}

bool RepRecordWriter::SetTime(size_t field, int32_t hour, int32_t minute, int32_t second) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kTime);
  if (f != nullptr)
    f->value.parts[0] = hour, f->value.parts[1] = minute, f->value.parts[2] = second;
  return f != nullptr;
}

void RepRecordWriter::SetState(size_t field, int32_t state) noexcept {
  if (layout_ != nullptr && field < layout_->fields.size())
    layout_->fields[field].value.state = state;
}

int RepRecordWriter::Append(std::string* out, int32_t index_type) noexcept {
  using namespace kr_internal;
  Layout* l = layout_.get();
  if (l == nullptr || out == nullptr) return 0;
  int result = 0;
  try {
    // The length and index RepSRecordsAppendRecord puts before the record, then the record as
    // AppendRecordFast writes it.
    const bool indexed = index_type == kRepTypeInteger || index_type == kRepTypeSysTime;
    const size_t prefix = indexed ? 8 : 4;
    const size_t bound = l->bound + l->texts.size();
    if (l->scratch.size() < bound) l->scratch.resize(std::max(bound, size_t{4096}));
    char* const start = l->scratch.data();
    char* const header = start + prefix;
    char* const p =
        PutRecord(header, l->table, l->fields.size(), [l](size_t i) -> const WrittenValue& {
          Layout::Field& f = l->fields[i];
          f.value.text = f.has_text ? l->texts.data() + f.text_at : nullptr;
          return f.value;
        });
    const uint64_t body = static_cast<uint64_t>(p - header) - kObjHeaderSize;
    const uint64_t total = static_cast<uint64_t>(p - start);
    if (body <= kObjMaxBodySize && total <= kRepSRecordsMaxRecordSize) {
      PutLe32(start, static_cast<uint32_t>(total));
      if (indexed) {
        const WrittenValue* first = l->fields.empty() ? nullptr : &l->fields[0].value;
        const bool integer = first != nullptr && first->kind == kInteger;
        PutLe32(start + 4, static_cast<uint32_t>(integer ? first->number : 0));
      }
      out->append(start, static_cast<size_t>(total));
      result = 1;
    }
  } catch (...) {
    result = 0;
  }
  Discard();
  if (l->scratch.size() > kKeptScratch) l->scratch = std::string();
  return result;
}

void RepRecordWriter::Discard() noexcept {
  Layout* l = layout_.get();
  if (l == nullptr) return;
  std::copy(l->blank.begin(), l->blank.end(), l->fields.begin());
  l->texts.resize(l->blank_texts);
  if (l->texts.capacity() > kr_internal::kKeptScratch) l->texts.shrink_to_fit();
}

bool RepRecordWriter::FillRecordFields(RepRecord* record,
                                       const std::vector<size_t>& fields) const noexcept {
  using namespace kr_internal;
  const Layout* l = layout_.get();
  if (l == nullptr || record == nullptr) return false;
  for (size_t i : fields) {
    RepFieldValue* v = record->value_at(i);
    if (i >= l->fields.size() || v == nullptr) return false;
    const Layout::Field& field = l->fields[i];
    const WrittenValue& f = field.value;
    Obj* o = v->value();
    if (KindOf(o) != f.kind) return false;
    v->set_state(f.state);
    switch (f.kind) {
      case kString:
        ObjSetString(o, field.has_text ? l->texts.data() + field.text_at : nullptr);
        break;
      case kInteger:
        ObjSetInteger(o, static_cast<int32_t>(f.number));
        break;
      case kInt64:
        ObjSetInt64(o, f.number);
        break;
      case kBoolean:
        ObjSetBoolean(o, f.number != 0);
        break;
      case kDate: {
        RepDateValue* d = ObjCast<RepDateValue>(o);
        d->set_year(f.parts[0]), d->set_month(f.parts[1]), d->set_day(f.parts[2]);
        break;
      }
      case kTime: {
        RepTimeValue* t = ObjCast<RepTimeValue>(o);
        t->set_hour(f.parts[0]), t->set_minute(f.parts[1]), t->set_second(f.parts[2]);
        t->set_reserved(f.parts[3]);
        break;
      }
      default:
        break;
    }
  }
  return true;
}
