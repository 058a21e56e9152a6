// Record format strings, value rendering, record rows and column headers.

#include "reports/format.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "fieldtypes.h"
#include "kr/config.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "kr/tree.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "RPTFORMAT";     // format strings and rendering
constexpr const char* kOutTag = "RPTOUTPUT";  // record rows and column headers

// A value that has no room in a fixed-width column is shown as hyphens: this run cut to the
// column's width.
constexpr char kDashRun[] =
    "------------------------------------------------------------------------------------------"
    "------------------------------------------------------------------------------------------"
    "---------------------------------------------------------";
static_assert(sizeof(kDashRun) - 1 == 237);

// The localised texts of the states, fetched once per process. The texts of values are their
// types' (fieldtypes.cc).
struct RenderTexts {
  std::string_view states[5];  // indexed by state; Normal unused
  size_t state_chars[5];
};

const RenderTexts& Texts() noexcept {
  static const RenderTexts texts = [] {
    RenderTexts t{};
    t.states[kRepStateNA] = LocaleGetStaticString("N/A", 8274);
    t.states[kRepStateUnknown] = LocaleGetStaticString("Unknown", 8275);
    t.states[kRepStateNever] = LocaleGetStaticString("Never", 8276);
    t.states[kRepStateUnlimited] = LocaleGetStaticString("Unlimited", 8277);
    for (int i = 1; i < 5; ++i) t.state_chars[i] = StrCharCount(t.states[i].data());
    return t;
  }();
  return texts;
}

int32_t ClampWidth(int32_t width) noexcept {
  return std::clamp<int32_t>(width, 0, kRepMaxFieldWidth);
}

// The characters of a text whose view ends at its terminating NUL; ASCII is counted by bytes.
size_t CountChars(std::string_view s) noexcept {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return StrCharCount(s.data());
  return s.size();
}

// Bytes of the first `chars` characters of `s` (a view ending at its terminating NUL).
size_t BytesOfChars(std::string_view s, size_t chars) noexcept {
  if (chars >= s.size()) return s.size();
  for (size_t i = 0; i < chars; ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return StrBytesForChars(s.data(), chars);
  return chars;
}

// Generic slot reads for objects made elsewhere: a slot read as a number whatever its kind.
int64_t SlotNumber(const Obj* obj, int slot) noexcept {
  switch (ObjSlotKind(obj, slot)) {
    case SlotKind::kInt:
      return ObjGetSlotInteger(obj, slot);
    case SlotKind::kInt64:
      return ObjGetSlotInt64(obj, slot);
    case SlotKind::kBool:
      return ObjGetSlotBoolean(obj, slot) ? 1 : 0;
    default:
      return 0;
  }
}

const char* SlotText(const Obj* obj, int slot) noexcept {
  const char* s = ObjGetSlotString(obj, slot);
  return StrOrEmpty(s);
}

// --- plugin screens ---

int AppendScreenItem(TreeNode* node, void* cookie) {
  std::string* out = static_cast<std::string*>(cookie);
  const Obj* item = TreeNodeItem(node);
  if (ObjGetMagic(item) != kRepPlgScreenType) {
    TraceMessage(kTag, 1, 0, 5, "Ignoring unexpected item type in PlgScreenO tree.");
    return 1;
  }
  const int32_t kind = ObjGetSlotInteger(item, 1);
  const Obj* data = ObjGetSlotObject(item, 9);
  const size_t indent = static_cast<size_t>(std::max(TreeDepthOfNode(node) - 1, 0));
  auto line = [&] {
    out->push_back('\n');
    out->append(indent, ' ');
  };
  char buf[24];
  switch (kind) {
    case 1:
    case 3:
    case 19:
      line();
      out->append(SlotText(data, 1));
      break;
    case 4:
      line();
      out->append(SlotText(data, 2));
      break;
    case 7:
    case 11:
      if (SlotNumber(data, 2) == 1) {
        line();
        out->append(SlotText(data, 1));
      }
      break;
    case 9:
      line();
      out->append(SlotText(data, 1));
      out->append(SlotNumber(data, 2) == 1 ? " = YES" : " = NO");
      break;
    case 13:
      line();
      out->append(SlotText(data, 4));
      break;
    case 14:
      out->push_back('\n');
      kr_internal::AppendDecimal(out, SlotNumber(data, 1));
      break;
    case 21:
      line();
      if (TimeToLongDateStringInternal(buf, sizeof(buf), SlotNumber(data, 1), 0, 0))
        out->append(buf);
      break;
    case 22:
      line();
      if (TimeToTimeOfDayStringInternal(buf, 9, SlotNumber(data, 1), 0)) out->append(buf);
      break;
    default:
      break;
  }
  return 1;
}

}  // namespace

// --- format strings ------------------------------------------------------------------------------

int RepFormatIsSingleLine(const char* format, const RepFieldList* format_fields) noexcept {
  if (format_fields != nullptr) {
    for (Obj* o : *format_fields) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      if (f != nullptr && f->must_start_line()) return 0;
    }
  }
  if (format == nullptr) return 1;
  const char* p = format;
  bool broke = false;
  bool raw_break = false;  // the first break is a written line feed or carriage return
  while (*p != '\0' && !broke) {
    if (*p == '\n' || *p == '\r') {
      ++p;
      broke = raw_break = true;
    } else if (*p == '%' && p[1] == '%') {
      p += 2;
    } else if (*p == '%' && p[1] == '\\') {
      if (p[2] == '\0') return 1;  // a %\ at the very end ends the text
      broke = p[2] == 'n';
      p = StrNextChar(p + 2);
    } else {
      ++p;
    }
  }
  if (!broke) return 1;
  // CR LF, LF LF, LF CR and CR CR are one break; a %\n is always a break of its own, so it
  // never pairs with a written line end on either side.
  if (raw_break && (*p == '\n' || *p == '\r')) ++p;
  if (p[0] == '%' && p[1] == '\\' && p[2] == '\0') return 1;
  return *p == '\0' ? 1 : 0;
}

int64_t RepCountOutputRecordBytes(const char* format, const RepFieldList* format_fields) noexcept {
  int64_t bytes = format != nullptr ? static_cast<int64_t>(std::strlen(format)) : 0;
  if (format_fields != nullptr) {
    for (Obj* o : *format_fields) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      if (f == nullptr) continue;
      const char* name = f->name();
      bytes -= static_cast<int64_t>(name != nullptr ? std::strlen(name) : 0) + 1;
      bytes += ClampWidth(f->width_in_use()) + (f->must_start_line() ? 1 : 0);
    }
  }
  if (bytes < 0) bytes = 0;
  TraceMessage(kTag, 2, 0, 3, "Chars in format = '%" PRId64 "'", bytes);
  return bytes;
}

int RepGenFormatString(std::string* format, const char* head, const char* tail,
                       const char* field_pre, const char* field_post,
                       const RepFieldList* fields) noexcept {
  if (format == nullptr || head == nullptr || tail == nullptr || field_post == nullptr) {
    TraceMessage(kTag, 3, 0, -1, "RepGenFormatString - bad params");
    return 0;
  }
  std::string out = head;
  if (fields != nullptr) {
    for (Obj* o : *fields) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      if (f == nullptr) continue;
      if (field_pre != nullptr) out += field_pre;
      out += '%';
      for (const char* n = f->name(); n != nullptr && *n != '\0'; ++n)
        out += (*n >= 'a' && *n <= 'z') ? static_cast<char>(*n - 'a' + 'A') : *n;
      out += field_post;
    }
  }
  out += tail;
  *format = std::move(out);
  return 1;
}

const char* RepGetNextFormatField(const char* p) noexcept {
  if (p == nullptr) return nullptr;
  while (*p != '\0') {
    if (*p != '%') {
      ++p;
      continue;
    }
    const char c = p[1];
    if (c == '%' || c == '"' || c == '\'') {
      p += 2;
    } else if (c == '\\') {
      if (p[2] == '\0') return nullptr;
      p = StrNextChar(p + 2);
    } else {
      return p + 1;
    }
  }
  return nullptr;
}

const char* RepSkipControlSequence(const char* p) noexcept {
  if (p == nullptr || *p != '%') return p;
  if (p[1] == '%') return p + 2;
  if (p[1] == '\\') return p[2] == '\0' ? p + 2 : StrNextChar(p + 2);
  return p + 1;
}

const char* RepCopyTextToNextFieldDS(DString* out, const char* p,
                                     const RepFieldList* format_fields) noexcept {
  if (out == nullptr || p == nullptr) return nullptr;
  std::string& s = out->text;
  const char* segment = p;
  char previous = '\0';  // the last character this call has written
  for (;;) {
    if (*p == '\0') {
      s.append(segment, static_cast<size_t>(p - segment));
      return p;
    }
    if (*p != '%') {
      ++p;
      continue;
    }
    if (p > segment) {
      s.append(segment, static_cast<size_t>(p - segment));
      previous = p[-1];
    }
    Ref<RepFieldDef> field;
    if (RepFieldAt(&field, p, format_fields)) {
      if (field->must_start_line() && previous != '\n') s += '\n';
      return RepMoveAfterField(p + 1);
    }
    if (p[1] == '%') {
      s += '%';
      previous = '%';
      p += 2;
    } else if (p[1] == '\\') {
      if (p[2] == '\0') return p + 2;
      if (p[2] == 'n') {
        s += '\n';
        previous = '\n';
      }
      p = StrNextChar(p + 2);
    } else {
      ++p;  // only the '%' is dropped
    }
    segment = p;
  }
}

// --- rendering -----------------------------------------------------------------------------------

int RepPluginScreenToText(DString* scratch, const Obj* tree) noexcept {
  const Tree* t = ObjCast<Tree>(tree);
  if (scratch == nullptr || t == nullptr) return 0;
  if (!TreeWalk(t, AppendScreenItem, &scratch->text)) {
    TraceMessage(kTag, 4, 0, -1, "Failed to walk plugin tree when converting to text");
    return 0;
  }
  return 1;
}

int RepTypedDataToText(std::string_view* text, DString* scratch, int32_t type,
                       const Obj* value) noexcept {
  if (text == nullptr || scratch == nullptr) return 0;
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  if (ops == nullptr) {
    TraceMessage(kTag, 6, 0, -1, "Unrecognised data type in RepTypedDataToText");
    return kRepTextBadType;
  }
  if (!ops->render_appends) scratch->text.clear();
  return ops->render(value, scratch, text) ? 1 : 0;
}

int RepFieldValueToText(std::string_view* text, DString* scratch, const RepFieldDef* field,
                        const RepFieldValue* value, int variable_width) noexcept {
  if (text == nullptr || scratch == nullptr || field == nullptr || value == nullptr) return 0;
  scratch->text.clear();
  const int32_t state = value->state();
  if (state == kRepStateNormal)
    return RepTypedDataToText(text, scratch, field->type(), value->value()) == kRepOk ? 1 : 0;
  if (state < 0 || state >= kRepStateCount) return 0;
  const RenderTexts& t = Texts();
  if (variable_width) {
    *text = t.states[state];
    return 1;
  }
  const bool tree = field->type() == kRepTypeSelectionTree || field->type() == kRepTypePluginScreen;
  const bool fits = t.state_chars[state] <= static_cast<size_t>(ClampWidth(field->width_in_use()));
  switch (state) {
    case kRepStateNA:
      *text = tree ? t.states[state] : std::string_view(kDashRun);
      break;
    case kRepStateUnknown:
      *text = fits ? t.states[state] : std::string_view("?");
      break;
    default:  // Never, Unlimited
      *text = fits ? t.states[state] : std::string_view(kDashRun);
      break;
  }
  return 1;
}

int RepFieldToTextDS(DString* out, DString* scratch, const RepFieldDef* field,
                     const RepFieldValue* value, int variable_width) noexcept {
  if (out == nullptr || scratch == nullptr || field == nullptr) return 0;
  std::string_view text;
  if (!RepFieldValueToText(&text, scratch, field, value, variable_width)) {
    TraceMessage(kTag, 7, 0, -1, "Cannot convert field '%s' to text.", StrOrEmpty(field->name()));
    return 0;
  }
  if (variable_width) {
    out->text.append(text);
    return 1;
  }
  const size_t width = static_cast<size_t>(ClampWidth(field->width_in_use()));
  const size_t bytes = BytesOfChars(text, width);
  out->text.append(text.data(), bytes);
  if (field->type() != kRepTypeSelectionTree && field->type() != kRepTypePluginScreen) {
    const size_t chars = bytes == text.size() ? CountChars(text) : width;
    if (chars < width) out->text.append(width - chars, ' ');
  }
  return 1;
}

// --- record rows and column headers --------------------------------------------------------------

int RepGenFieldObjCopyArray(std::vector<int32_t>* map, const RepFieldList* record_fields,
                            const RepFieldList* format_fields) noexcept {
  if (map == nullptr) return 0;
  const size_t wanted = ListGetItemCount(format_fields);
  std::vector<int32_t> out;
  out.reserve(ListGetItemCount(record_fields) + wanted);
  size_t matches = 0;
  if (record_fields != nullptr) {
    for (Obj* ro : *record_fields) {
      const RepFieldDef* rf = ObjCast<RepFieldDef>(ro);
      for (size_t i = 0; rf != nullptr && i < wanted; ++i) {
        const RepFieldDef* ff = ObjCast<RepFieldDef>(format_fields->at(i));
        if (ff == nullptr || StrCompareNoCase(rf->name(), ff->name()) != 0) continue;
        out.push_back(static_cast<int32_t>(i));
        ++matches;
        TraceMessage(kOutTag, 8, 0, 3, "Avail field '%s' goes to index %zu", rf->name(), i);
      }
      out.push_back(-1);
    }
  }
  if (matches != wanted) {
    TraceMessage(kOutTag, 9, 0, -1,
                 "All using fields not matched in RepGenFieldObjCopyArray - had %zu using "
                 "fields but only %zu matches",
                 wanted, matches);
    return 0;
  }
  *map = std::move(out);
  return 1;
}

int RepFieldListIndicesInOtherList(std::vector<int32_t>* indices, const RepFieldList* list,
                                   const RepFieldList* other) noexcept {
  if (indices == nullptr) return 0;
  std::vector<int32_t> out;
  size_t found = 0;
  const size_t needed = ListGetItemCount(other);
  if (list != nullptr) {
    for (Obj* o : *list) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      int32_t index = -1;
      for (size_t i = 0; f != nullptr && i < needed; ++i) {
        const RepFieldDef* g = ObjCast<RepFieldDef>(other->at(i));
        if (g != nullptr && StrCompareNoCase(f->name(), g->name()) == 0) {
          index = static_cast<int32_t>(i);
          break;
        }
      }
      if (index >= 0) ++found;
      out.push_back(index);
    }
  }
  if (found != needed) {
    TraceMessage(kOutTag, 10, 0, -1,
                 "RepFieldListIndicesInOtherList() failing. Only found indices for %zu "
                 "fields; needed %zu indices.",
                 found, needed);
    return 0;
  }
  *indices = std::move(out);
  return 1;
}

namespace {

// The format cut at its references, ready to be filled record after record.
struct RecordLayout {
  std::vector<std::string> pieces;                       // n + 1
  std::vector<const RepFieldDef*> fields;                // n
  std::vector<std::pair<size_t, size_t>> value_to_slot;  // (record value, format position)
};

int MakeLayout(RecordLayout* layout, const RepFieldList* record_fields,
               const RepFieldList* format_fields, const char* format) {
  std::vector<int32_t> map;
  if (!RepGenFieldObjCopyArray(&map, record_fields, format_fields)) {
    TraceMessage(kOutTag, 11, 0, -1,
                 "All format fields not in report records. Cannot output report records.");
    return 0;
  }
  size_t value = 0;
  for (int32_t m : map) {
    if (m < 0)
      ++value;
    else
      layout->value_to_slot.emplace_back(value, static_cast<size_t>(m));
  }
  const size_t n = ListGetItemCount(format_fields);
  for (size_t i = 0; i < n; ++i)
    layout->fields.push_back(ObjCast<RepFieldDef>(format_fields->at(i)));
  const char* p = StrOrEmpty(format);
  layout->pieces.resize(n + 1);
  for (size_t i = 0; i < n; ++i) {
    DString piece;
    p = RepCopyTextToNextFieldDS(&piece, p, format_fields);
    if (p == nullptr) return 0;
    layout->pieces[i] = std::move(piece.text);
  }
  DString tail;
  while (p != nullptr && *p != '\0') p = RepCopyTextToNextFieldDS(&tail, p, format_fields);
  if (p == nullptr) return 0;
  // Every record ends a line, whether or not the format says so.
  if (tail.text.empty() || tail.text.back() != '\n') tail.text += '\n';
  layout->pieces[n] = std::move(tail.text);
  return 1;
}

}  // namespace

namespace {

// After a sort, records are written in an order unrelated to where they lie in memory, and each
// needs a chain of dependent loads (the record, its value list, each value, each typed value)
// before it can be rendered. Touching each link a few records ahead of the writer lets those
// cache misses overlap instead of queueing one after another. Only reads; nothing changes.
template <class Layout>
void PrefetchAhead(const List* records, size_t i, size_t total, const Layout& layout) {
  constexpr size_t kRecordAhead = 16, kListAhead = 12, kItemsAhead = 8, kValuesAhead = 4,
                   kTypedAhead = 2;
  if (i + kRecordAhead < total) __builtin_prefetch(records->at(i + kRecordAhead));
  if (i + kListAhead < total) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i + kListAhead));
    if (r != nullptr && r->values() != nullptr) __builtin_prefetch(r->values());
  }
  if (i + kItemsAhead < total) {  // the list's array of value pointers
    const RepRecord* r = ObjCast<RepRecord>(records->at(i + kItemsAhead));
    const List* values = r != nullptr ? r->values() : nullptr;
    if (values != nullptr && !values->empty()) __builtin_prefetch(values->begin());
  }
  if (i + kValuesAhead < total) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i + kValuesAhead));
    const List* values = r != nullptr ? r->values() : nullptr;
    if (values != nullptr)
      for (const auto& entry : layout.value_to_slot)
        if (entry.first < values->size()) __builtin_prefetch(values->at(entry.first));
  }
  if (i + kTypedAhead < total) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i + kTypedAhead));
    const List* values = r != nullptr ? r->values() : nullptr;
    if (values != nullptr)
      for (const auto& entry : layout.value_to_slot) {
        if (entry.first >= values->size()) continue;
        const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(entry.first));
        if (v != nullptr && v->value() != nullptr) __builtin_prefetch(v->value());
      }
  }
}

}  // namespace

namespace {

// Renders records [begin, end) as rows into `out`. Only reads the records.
struct RowRenderer {
  const List* records;
  const RecordLayout& layout;
  int variable_width;
  bool alone = true;  // no other thread renders the blocks between this one's
  DString scratch;
  std::vector<const RepFieldValue*> at;

  RowRenderer(const List* r, const RecordLayout& l, int v)
      : records(r), layout(l), variable_width(v), at(l.fields.size()) {}

  void Block(size_t begin, size_t end, DString* out) {
    const size_t total = records->size();
    const size_t n = layout.fields.size();
    for (size_t next = begin; next < end; ++next) {
      PrefetchAhead(records, next, alone ? total : end, layout);
      const RepRecord* record = ObjCast<RepRecord>(records->at(next));
      const List* values = record != nullptr ? record->values() : nullptr;
      const size_t count = values != nullptr ? values->size() : 0;
      std::fill(at.begin(), at.end(), nullptr);
      for (const auto& [v, slot] : layout.value_to_slot)
        if (v < count) at[slot] = ObjCast<RepFieldValue>(values->at(v));
      for (size_t i = 0; i < n; ++i) {
        out->text.append(layout.pieces[i]);
        if (at[i] != nullptr && layout.fields[i] != nullptr)
          RepFieldToTextDS(out, &scratch, layout.fields[i], at[i], variable_width);
      }
      out->text.append(layout.pieces[n]);
    }
  }
};

// Below this many blocks a second thread costs more than it saves.
constexpr size_t kSharedMinBlocks = 16;

// Types whose rendering only reads the value and texts loaded once for the process (no time
// zone, no trees): their rows can be rendered on another thread.
bool RendersByReading(const RecordLayout& layout) {
  for (const RepFieldDef* f : layout.fields) {
    if (f == nullptr) continue;
    switch (f->type()) {
      case kRepTypeInteger:
      case kRepTypeString:
      case kRepTypeBoolean:
      case kRepTypeTimePassed:
      case kRepTypeInt64:
      case kRepTypeUnique:
      case kRepTypeDataCount:
        break;
      default:
        return false;
    }
  }
  return true;
}

// The odd-numbered blocks of a long table, rendered by a second thread a few blocks ahead while
// the calling thread renders the even ones and writes every block in order. The file gets the
// same bytes in the same writes as from one thread; after a sort the rendering is bound by
// memory latency, which two threads overlap.
class OddBlocks {
 public:
  OddBlocks(const List* records, const RecordLayout& layout, int variable_width, size_t per_block)
      : renderer_(records, layout, variable_width), per_block_(per_block) {
    renderer_.alone = false;
    thread_ = std::thread([this] { Run(); });
  }
  ~OddBlocks() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // Block b's text (b odd), once rendered; valid until Release(b).
  const std::string& Take(size_t b) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return full_[Slot(b)]; });
    return slots_[Slot(b)].text;
  }
  void Release(size_t b) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      full_[Slot(b)] = false;
    }
    cv_.notify_all();
  }

 private:
  static constexpr size_t kAhead = 4;
  static size_t Slot(size_t b) { return (b / 2) % kAhead; }

  void Run() {
    const size_t total = renderer_.records->size();
    for (size_t b = 1; b * per_block_ < total; b += 2) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !full_[Slot(b)]; });
        if (stop_) return;
      }
      DString& out = slots_[Slot(b)];  // not full: the caller does not read it
      out.text.clear();
      renderer_.Block(b * per_block_, std::min(total, (b + 1) * per_block_), &out);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        full_[Slot(b)] = true;
      }
      cv_.notify_all();
    }
  }

  RowRenderer renderer_;
  const size_t per_block_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::array<DString, kAhead> slots_;
  std::array<bool, kAhead> full_{};  // guarded by mutex_
  bool stop_ = false;                // guarded by mutex_
  std::thread thread_;               // last: started once everything above exists
};

}  // namespace

int RepOutputRecords(const List* records, const RepFieldList* record_fields,
                     const RepFieldList* format_fields, const char* format, FileSysFile* file,
                     int records_per_block, int variable_width, RepProgressCallback progress,
                     void* progress_argument) noexcept {
  if (file == nullptr) return 0;
  const size_t total = ListGetItemCount(records);
  if (total == 0) {
    TraceMessage(kOutTag, 12, 0, 2, "No records in report. Output nothing.");
    if (!FileSysFPutString(file, LocaleGetStaticString("Nothing to display", 8271))) {
      TraceMessage(kOutTag, 13, 0, -1, "Failed to write block of records to disk. Giving up.");
      return 0;
    }
    return 1;
  }
  RecordLayout layout;
  if (!MakeLayout(&layout, record_fields, format_fields, format)) return 0;
  const size_t per_block = records_per_block > 0 ? static_cast<size_t>(records_per_block) : 1;

  const int64_t estimate = RepCountOutputRecordBytes(format, format_fields) + 1;
  DString block;
  block.text.reserve(static_cast<size_t>(
      std::min<int64_t>(estimate * static_cast<int64_t>(per_block), int64_t{64} << 20)));
  RowRenderer renderer(records, layout, variable_width);
  std::optional<OddBlocks> odd;
  if (total / per_block >= kSharedMinBlocks && RendersByReading(layout)) {
    try {
      odd.emplace(records, layout, variable_width, per_block);
    } catch (const std::system_error&) {
      // No second thread: every block is rendered here.
    }
  }
  renderer.alone = !odd;
  size_t since_progress = 0;
  for (size_t b = 0, next = 0; next < total; ++b) {
    const size_t end = std::min(total, next + per_block);
    const size_t in_block = end - next;
    const std::string* text = &block.text;
    if (odd && b % 2 == 1) {
      text = &odd->Take(b);
    } else {
      block.text.clear();
      renderer.Block(next, end, &block);
    }
    next = end;
    if (progress != nullptr) {
      since_progress += in_block;
      if (since_progress >= static_cast<size_t>(kRepProgressInterval)) {
        progress(progress_argument, 0);
        since_progress = 0;
      }
    }
    const bool written = FileSysFWrite(file, text->data(), text->size());
    if (odd && b % 2 == 1) odd->Release(b);
    if (!written) {
      TraceMessage(kOutTag, 14, 0, -1, "Failed to write block of records to disk. Giving up.");
      return 0;
    }
  }
  return 1;
}

int RepOutputColHeadersFixed(const RepFieldList* format_fields, const char* format,
                             FileSysFile* file, const char* row_pre,
                             const char* row_post) noexcept {
  if (file == nullptr || format == nullptr) return 0;
  std::string pre, post;
  if (!RepReplaceControlChars(&pre, row_pre)) {
    TraceMessage(kOutTag, 15, 0, -1, "Failed to process control chars in row pre string");
    return 0;
  }
  if (!RepReplaceControlChars(&post, row_post)) {
    TraceMessage(kOutTag, 16, 0, -1, "Failed to process control chars in row post string");
    return 0;
  }
  std::string line = std::move(pre);
  const char* p = format;
  if (format_fields != nullptr) {
    for (Obj* o : *format_fields) {
      const char* name = RepGetNextFormatField(p);
      if (name == nullptr) break;
      line.append(static_cast<size_t>(name - 1 - p), ' ');
      p = RepMoveAfterField(name);
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      if (f == nullptr) continue;
      const size_t width = static_cast<size_t>(ClampWidth(f->width_in_use()));
      std::string_view label = StrOrEmpty(f->compact_name());
      const size_t bytes = BytesOfChars(label, width);
      line.append(label.data(), bytes);
      const size_t chars = bytes == label.size() ? CountChars(label) : width;
      if (chars < width) line.append(width - chars, ' ');
    }
  }
  TraceMessage(kOutTag, 17, 0, 3, "Do end of auto col headers apppend of '%s'", p);
  line += p;
  line += post;
  if (!FileSysFWrite(file, line.data(), line.size())) {
    TraceMessage(kOutTag, 18, 0, -1, "Failed to write fixed format string");
    return 0;
  }
  TraceMessage(kOutTag, 19, 0, 3, "Wrote fixed format string to file");
  return 1;
}

int RepOutputColHeadersFree(const RepFieldList* format_fields, FileSysFile* file,
                            const char* row_pre, const char* row_post, const char* field_pre,
                            const char* field_post) noexcept {
  if (file == nullptr) return 0;
  std::string pre, post, fpre, fpost;
  if (!RepReplaceControlChars(&pre, row_pre)) {
    TraceMessage(kOutTag, 20, 0, -1, "Failed to process control chars in row pre string");
    return 0;
  }
  if (!RepReplaceControlChars(&post, row_post)) {
    TraceMessage(kOutTag, 21, 0, -1, "Failed to process control chars in row post string");
    return 0;
  }
  if (!RepReplaceControlChars(&fpre, field_pre)) {
    TraceMessage(kOutTag, 22, 0, -1, "Failed to process control chars in field pre string");
    return 0;
  }
  if (!RepReplaceControlChars(&fpost, field_post)) {
    TraceMessage(kOutTag, 23, 0, -1, "Failed to process control chars in field post string");
    return 0;
  }
  std::string line = std::move(pre);
  if (format_fields != nullptr) {
    for (Obj* o : *format_fields) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      line += fpre;
      if (f != nullptr && f->nice_name() != nullptr) line += f->nice_name();
      line += fpost;
    }
  }
  line += post;
  if (!FileSysFWrite(file, line.data(), line.size())) {
    TraceMessage(kOutTag, 24, 0, -1, "Failed to write free column headers to file");
    return 0;
  }
  TraceMessage(kOutTag, 25, 0, 3, "Wrote free column headers to file");
  return 1;
}
