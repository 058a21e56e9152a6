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

// One field of the record being written: its state and its value object's contents. Texts are
// kept one after another in `texts`, the blank record's first: setting every field back to blank
// is copying the blank fields and cutting `texts` back.
struct RepRecordWriter::Layout {
  struct Field {
    kr_internal::ValueObject kind = kr_internal::kNoObject;
    uint32_t type_number = 0;  // of its value object, in the record's type table
    int32_t state = kRepStateNormal;
    int64_t number = 0;     // an integer, 64-bit integer or boolean
    int32_t parts[4] = {};  // a date's year, month, day; a time's hour, minute, second, reserved
    bool has_text = false;  // a string that is not null: `text_length` bytes of `texts` at
                            // `text_at`, then a NUL
    size_t text_at = 0;
    size_t text_length = 0;
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
    uint32_t number_of[kNoObject];
    std::fill(std::begin(number_of), std::end(number_of), ~0u);
    uint32_t types = values->empty() ? 2 : 3;
    uint64_t order = 0;
    for (size_t i = 0; i < values->size(); ++i) {
      const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(i));
      if (v == nullptr || v->ObjSlot<3>() != nullptr) return false;
      const Obj* o = v->value();
      Layout::Field f;
      f.kind = KindOf(o);
      f.state = v->state();
      switch (f.kind) {
        case kString:
          if (const char* text = ObjCast<ObjString>(o)->value()) {
            f.has_text = true;
            f.text_at = layout->texts.size();
            f.text_length = std::strlen(text);
            layout->texts.append(text, f.text_length + 1);
          }
          break;
        case kInteger:
          f.number = ObjCast<ObjInteger>(o)->value();
          break;
        case kInt64:
          f.number = ObjCast<ObjInt64>(o)->value();
          break;
        case kBoolean:
          f.number = ObjCast<ObjBoolean>(o)->value() ? 1 : 0;
          break;
        case kDate: {
          const RepDateValue* d = ObjCast<RepDateValue>(o);
          f.parts[0] = d->year(), f.parts[1] = d->month(), f.parts[2] = d->day();
          break;
        }
        case kTime: {
          const RepTimeValue* t = ObjCast<RepTimeValue>(o);
          f.parts[0] = t->hour(), f.parts[1] = t->minute(), f.parts[2] = t->second();
          f.parts[3] = t->reserved();
          break;
        }
        case kNoObject:
          break;
        default:
          return false;
      }
      if (f.kind != kNoObject) {
        if (number_of[f.kind] == ~0u) {
          number_of[f.kind] = types++;
          order |= uint64_t{f.kind} << (4 * (number_of[f.kind] - 3));
        }
        f.type_number = number_of[f.kind];
      }
      layout->fields.push_back(f);
    }
    layout->blank = layout->fields;
    layout->blank_texts = layout->texts.size();
    WriteTypeTable(&layout->table, types, order);
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
  return f.kind == kind ? &f : nullptr;
}

}  // namespace

bool RepRecordWriter::SetInteger(size_t field, int32_t value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kInteger);
  if (f != nullptr) f->number = value;
  return f != nullptr;
}

bool RepRecordWriter::SetInt64(size_t field, int64_t value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kInt64);
  if (f != nullptr) f->number = value;
  return f != nullptr;
}

bool RepRecordWriter::SetBoolean(size_t field, bool value) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kBoolean);
  if (f != nullptr) f->number = value ? 1 : 0;
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
  f->text_length = length;
  return true;
}

bool RepRecordWriter::SetDate(size_t field, int32_t year, int32_t month, int32_t day) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kDate);
  if (f != nullptr) f->parts[0] = year, f->parts[1] = month, f->parts[2] = day;
  return f != nullptr;
}

bool RepRecordWriter::SetTime(size_t field, int32_t hour, int32_t minute, int32_t second) noexcept {
  auto* f = FieldOf(layout_.get(), field, kr_internal::kTime);
  if (f != nullptr) f->parts[0] = hour, f->parts[1] = minute, f->parts[2] = second;
  return f != nullptr;
}

void RepRecordWriter::SetState(size_t field, int32_t state) noexcept {
  if (layout_ != nullptr && field < layout_->fields.size()) layout_->fields[field].state = state;
}

int RepRecordWriter::Append(std::string* out, int32_t index_type) noexcept {
  using namespace kr_internal;
  Layout* l = layout_.get();
  if (l == nullptr || out == nullptr) return 0;
  int result = 0;
  try {
    // The same bytes, in the same order, as AppendRecordFast writes for the filled record,
    // after the length and index RepSRecordsAppendRecord puts before it.
    const bool indexed = index_type == kRepTypeInteger || index_type == kRepTypeSysTime;
    const size_t prefix = indexed ? 8 : 4;
    const size_t bound = l->bound + l->texts.size();
    if (l->scratch.size() < bound) l->scratch.resize(std::max(bound, size_t{4096}));
    char* const start = l->scratch.data();
    char* const header = start + prefix;
    char* p = header + kObjHeaderSize;
    std::memcpy(p, l->table.data(), l->table.size());
    p += l->table.size();
    *p++ = 0;  // the record
    *p++ = 1;  // its list is there
    *p++ = 1;  // the list
    p = PutVarint(p, l->fields.size());
    for (const Layout::Field& f : l->fields) {
      *p++ = 2;
      p = PutInt(p, f.state);
      if (f.kind == kNoObject) {
        *p++ = 0;
      } else {
        *p++ = 1;
        p = PutVarint(p, f.type_number);
        switch (f.kind) {
          case kString:
            if (!f.has_text) {
              p = PutVarint(p, 0);
            } else {
              p = PutVarint(p, f.text_length + 1);
              std::memcpy(p, l->texts.data() + f.text_at, f.text_length);
              p += f.text_length;
            }
            break;
          case kBoolean:
            *p++ = static_cast<char>(f.number);
            break;
          case kDate:
            for (int k = 0; k < 3; ++k) p = PutInt(p, f.parts[k]);
            break;
          case kTime:
            for (int k = 0; k < 4; ++k) p = PutInt(p, f.parts[k]);
            break;
          default:  // an integer or a 64-bit integer
            p = PutInt(p, f.number);
        }
      }
      *p++ = 0;  // the value's third slot
    }
    *p++ = 0;  // no list extension
    *p++ = 0;  // the record's second slot
    const uint64_t body = static_cast<uint64_t>(p - header) - kObjHeaderSize;
    const uint64_t total = static_cast<uint64_t>(p - start);
    if (body <= kObjMaxBodySize && total <= kRepSRecordsMaxRecordSize) {
      PutLe32(PutLe32(header, kObjMagic), static_cast<uint32_t>(body));
      PutLe32(start, static_cast<uint32_t>(total));
      if (indexed) {
        const bool integer = !l->fields.empty() && l->fields[0].kind == kInteger;
        PutLe32(start + 4, static_cast<uint32_t>(integer ? l->fields[0].number : 0));
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
    const Layout::Field& f = l->fields[i];
    Obj* o = v->value();
    if (KindOf(o) != f.kind) return false;
    v->set_state(f.state);
    switch (f.kind) {
      case kString:
        ObjSetString(o, f.has_text ? l->texts.data() + f.text_at : nullptr);
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
