// Writing and rebuilding serialized objects.

#include "kr/serialize.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "coding.h"
#include "kr/list.h"
#include "kr/stanza.h"
#include "kr/trace.h"
#include "kr/tree.h"
#include "memory.h"
#include "object_internal.h"

using namespace kr_internal;

namespace {

constexpr const char* kTag = "KRSERIAL";

// --- writing ---------------------------------------------------------------------------------

// The buffers a write builds in. A served table serializes one record after another, so they
// are kept per thread and reused rather than allocated afresh for every object.
struct WriterScratch {
  std::string body;
  std::string table;
  std::vector<const ObjType*> table_types;  // the types `table` was written for
  std::vector<const ObjType*> types;
  std::vector<uint32_t> numbers;  // kNone except for the types of the object being written
};
KR_TLS_FAST thread_local WriterScratch t_writer_scratch;

class Writer {
 public:
  explicit Writer(WriterScratch& s)
      : body_(s.body),
        table_(s.table),
        table_types_(s.table_types),
        types_(s.types),
        numbers_(s.numbers) {
    body_.clear();
    types_.clear();
  }
  ~Writer() {
    for (const ObjType* t : types_) numbers_[t->index] = kNone;
    // A one-off huge object does not keep its buffer for the life of the thread.
    if (body_.capacity() > kKeepBytes) std::string().swap(body_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Object(const Obj* o, int depth) {
    if (depth > kObjMaxDepth) return false;
    const ObjType* t = TypeAt(o->type_index);
    Varint(TypeNumber(t));
    const ObjCell* c = o->cells();
    for (const SlotInfo& s : t->slots) {
      switch (s.kind) {
        case SlotKind::kInt:
          Varint(ZigZag(static_cast<int32_t>(c[s.cell].i)));
          break;
        case SlotKind::kInt64:
          Varint(ZigZag(c[s.cell].i));
          break;
        case SlotKind::kBool:
          body_.push_back(c[s.cell].i != 0 ? 1 : 0);
          break;
        case SlotKind::kString:
          String(c[s.cell].s);
          break;
        case SlotKind::kObject:
          if (!ObjectRef(c[s.cell].o, depth)) return false;
          break;
        case SlotKind::kPointer:
          Fixed64(c[s.cell].u);
          break;
        case SlotKind::kBytes:
        case SlotKind::kChars:
          body_.append(reinterpret_cast<const char*>(c[s.cell].bytes), s.bytes);
          break;
        case SlotKind::kRaw: {
          auto* b = static_cast<const RawBlock*>(c[s.cell].p);
          if (b == nullptr) {
            Varint(0);
          } else {
            Varint(b->size + 1);
            body_.append(reinterpret_cast<const char*>(b->data), b->size);
          }
          break;
        }
        case SlotKind::kStanza:
          Stanza(static_cast<const ::Stanza*>(c[s.cell].p));
          break;
        case SlotKind::kList:
          if (!ListBody(static_cast<const List*>(o), depth)) return false;
          break;
        case SlotKind::kTree: {
          TreeNode* root = TreeFirstNode(static_cast<const Tree*>(o));
          body_.push_back(root != nullptr ? 1 : 0);
          if (root != nullptr && !Node(root, depth + 1)) return false;
          break;
        }
        case SlotKind::kLocalObject:
        case SlotKind::kScratch:
        case SlotKind::kNone:
          break;
      }
      if (body_.size() > kObjMaxBodySize) return false;
    }
    return true;
  }

  // Header, type table and body.
  bool Finish(std::string* out) {
    std::string& table = table_;
    // The records of a table name the same types one after another: their table is written once.
    if (types_ != table_types_) {
      table.clear();
      VarintTo(&table, types_.size());
      for (const ObjType* t : types_) {
        Fixed32To(&table, t->code);
        VarintTo(&table, t->spec.size());
        table += t->spec;
      }
      table_types_ = types_;
    }
    uint64_t total = uint64_t{table.size()} + body_.size();
    if (total > kObjMaxBodySize) return false;
    size_t start = out->size();
    out->reserve(start + kObjHeaderSize + total);
    Fixed32To(out, kObjMagic);
    Fixed32To(out, static_cast<uint32_t>(total));
    out->append(table);
    out->append(body_);
    (void)start;
    return true;
  }

 private:
  static uint64_t ZigZag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
  }
  static void VarintTo(std::string* s, uint64_t v) {
    char buf[10];
    int n = 0;
    while (v >= 0x80) {
      buf[n++] = static_cast<char>((v & 0x7f) | 0x80);
      v >>= 7;
    }
    buf[n++] = static_cast<char>(v);
    s->append(buf, static_cast<size_t>(n));
  }
  static void Fixed32To(std::string* s, uint32_t v) {
    unsigned char b[4];
    PutU32(b, v);
    s->append(reinterpret_cast<const char*>(b), 4);
  }
  void Varint(uint64_t v) { VarintTo(&body_, v); }
  void Fixed64(uint64_t v) {
    Fixed32To(&body_, static_cast<uint32_t>(v));
    Fixed32To(&body_, static_cast<uint32_t>(v >> 32));
  }
  void String(const char* s) {
    if (s == nullptr) {
      Varint(0);
      return;
    }
    size_t n = std::strlen(s);
    Varint(n + 1);
    body_.append(s, n);
  }
  void Stanza(const ::Stanza* z) {
    if (z == nullptr) {
      body_.push_back(0);
      return;
    }
    body_.push_back(1);
    String(z->title.c_str());
    Varint(z->keys.size());
    for (const StnzKey& k : z->keys) {
      String(k.name.c_str());
      Varint(k.values.size());
      for (const std::string& v : k.values) String(v.c_str());
    }
  }
  bool ObjectRef(const Obj* o, int depth) {
    if (o == nullptr) {
      Varint(0);
      return true;
    }
    body_.push_back(1);
    return Object(o, depth + 1);
  }
  bool ListBody(const List* l, int depth) {
    Varint(l->size());
    for (Obj* item : *l)
      if (!Object(item, depth + 1)) return false;
    return ObjectRef(ListGetExtensionItem(l), depth);
  }
  bool Node(const TreeNode* n, int depth) {
    if (depth > kObjMaxDepth) return false;
    if (!ObjectRef(TreeNodeItem(n), depth)) return false;
    Varint(TreeNodeChildCount(n));
    for (TreeNode* c = TreeNodeFirstChild(n); c != nullptr; c = TreeNodeNextSibling(c))
      if (!Node(c, depth + 1)) return false;
    return true;
  }
  // The body's number for a type, indexed by the type's process-wide index.
  uint32_t TypeNumber(const ObjType* t) {
    if (t->index >= numbers_.size()) numbers_.resize(t->index + 1, kNone);
    uint32_t& n = numbers_[t->index];
    if (n == kNone) {
      n = static_cast<uint32_t>(types_.size());
      types_.push_back(t);
    }
    return n;
  }
  static constexpr uint32_t kNone = 0xffffffffu;
  static constexpr size_t kKeepBytes = size_t{1} << 20;

  std::string& body_;
  std::string& table_;
  std::vector<const ObjType*>& table_types_;
  std::vector<const ObjType*>& types_;
  std::vector<uint32_t>& numbers_;
};

// --- reading ---------------------------------------------------------------------------------

class Reader {
 public:
  Reader(const unsigned char* p, size_t n) : p_(p), end_(p + n), begin_(p) {}

  bool Body(Ref<Obj>* out) {
    uint64_t ntypes;
    if (!Varint(&ntypes) || ntypes == 0 || ntypes > Left()) return Fail("bad type count");
    if (ntypes > kInlineTypes) more_types_.reserve(ntypes);
    for (uint64_t i = 0; i < ntypes; ++i) {
      uint32_t code;
      uint64_t len;
      if (!Fixed32(&code) || !Varint(&len) || len > Left() || len > kMaxSpecLength)
        return Fail("bad type entry");
      std::string spec(reinterpret_cast<const char*>(p_), len);
      p_ += len;
      if (spec.find('\0') != std::string::npos) return Fail("bad spec");
      const ObjType* t = ObjTypeIntern(code, spec.c_str(), nullptr);
      if (t == nullptr) return Fail("unusable type");
      if (i < kInlineTypes) {
        inline_types_[i] = t;
      } else {
        more_types_.push_back(t);
      }
      ++type_count_;
    }
    Ref<Obj> root;
    if (!Object(&root, 0)) return false;
    if (p_ != end_) return Fail("trailing bytes");
    *out = std::move(root);
    return true;
  }

 private:
  size_t Left() const { return static_cast<size_t>(end_ - p_); }

  bool Fail(const char* why) {
    if (!failed_)
      TraceMessage(kTag, 1, 0, -1, "Serialized object is corrupt at byte %zu: %s",
                   static_cast<size_t>(p_ - begin_), why);
    failed_ = true;
    return false;
  }

  bool Varint(uint64_t* v) {
    uint64_t r = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ == end_) return false;
      unsigned char b = *p_++;
      if (shift == 63 && b > 1) return false;
      r |= uint64_t{b & 0x7fu} << shift;
      if ((b & 0x80) == 0) {
        *v = r;
        return true;
      }
    }
    return false;
  }
  bool Fixed32(uint32_t* v) {
    if (Left() < 4) return false;
    *v = GetU32(p_);
    p_ += 4;
    return true;
  }
  bool Fixed64(uint64_t* v) {
    if (Left() < 8) return false;
    *v = GetU64(p_);
    p_ += 8;
    return true;
  }
  bool Byte(unsigned char* b) {
    if (p_ == end_) return false;
    *b = *p_++;
    return true;
  }
  // A string: 0 null, else its length + 1 and its bytes (no NUL inside).
  bool String(char** out) {
    uint64_t n;
    if (!Varint(&n)) return false;
    if (n == 0) {
      *out = nullptr;
      return true;
    }
    --n;
    if (n > Left()) return false;
    if (std::memchr(p_, 0, n) != nullptr) return false;
    *out = CopyString(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }
  bool StdString(std::string* out) {
    char* s = nullptr;
    if (!String(&s) || s == nullptr) {
      FreeString(s);
      return false;
    }
    out->assign(s);
    FreeString(s);
    return true;
  }
  static int64_t UnZigZag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
  }

  bool Object(Ref<Obj>* out, int depth) {
    if (depth > kObjMaxDepth) return Fail("nested too deeply");
    uint64_t number;
    if (!Varint(&number) || number >= type_count_) return Fail("bad type number");
    const ObjType* t =
        number < kInlineTypes ? inline_types_[number] : more_types_[number - kInlineTypes];
    Ref<Obj> o = ObjNewOfType(t);
    ObjCell* c = o->cells();
    for (const SlotInfo& s : t->slots) {
      switch (s.kind) {
        case SlotKind::kInt: {
          uint64_t v;
          if (!Varint(&v)) return Fail("bad integer");
          int64_t x = UnZigZag(v);
          if (x < INT32_MIN || x > INT32_MAX) return Fail("integer out of range");
          c[s.cell].i = x;
          break;
        }
        case SlotKind::kInt64: {
          uint64_t v;
          if (!Varint(&v)) return Fail("bad integer");
          c[s.cell].i = UnZigZag(v);
          break;
        }
        case SlotKind::kBool: {
          unsigned char b;
          if (!Byte(&b) || b > 1) return Fail("bad boolean");
          c[s.cell].i = b;
          break;
        }
        case SlotKind::kString:
          if (!String(&c[s.cell].s)) return Fail("bad string");
          break;
        case SlotKind::kObject: {
          Ref<Obj> child;
          if (!ObjectRef(&child, depth)) return false;
          c[s.cell].o = child.release();
          break;
        }
        case SlotKind::kPointer:
          // Only ever a token: it names something in the sender, never something here.
          if (!Fixed64(&c[s.cell].u)) return Fail("bad token");
          break;
        case SlotKind::kBytes:
        case SlotKind::kChars:
          if (Left() < s.bytes) return Fail("short byte block");
          std::memcpy(c[s.cell].bytes, p_, s.bytes);
          p_ += s.bytes;
          break;
        case SlotKind::kRaw: {
          uint64_t n;
          if (!Varint(&n)) return Fail("bad data field");
          if (n > 0) {
            if (n - 1 > Left()) return Fail("short data field");
            c[s.cell].p = NewRawBlock(p_, n - 1);
            p_ += n - 1;
          }
          break;
        }
        case SlotKind::kStanza:
          if (!StanzaSlot(&c[s.cell])) return Fail("bad stanza");
          break;
        case SlotKind::kList:
          if (!ListBody(static_cast<List*>(o.get()), depth)) return false;
          break;
        case SlotKind::kTree: {
          unsigned char has_root;
          if (!Byte(&has_root) || has_root > 1) return Fail("bad tree");
          if (has_root == 1) {
            Ref<Obj> item;
            if (!ObjectRef(&item, depth)) return false;
            TreeNode* root = TreeInsertRoot(static_cast<Tree*>(o.get()), item.get());
            if (!Children(root, depth + 1)) return false;
          }
          break;
        }
        case SlotKind::kLocalObject:
        case SlotKind::kScratch:
        case SlotKind::kNone:
          break;
      }
    }
    *out = std::move(o);
    return true;
  }

  bool ObjectRef(Ref<Obj>* out, int depth) {
    unsigned char present;
    if (!Byte(&present) || present > 1) return Fail("bad object reference");
    if (present == 0) {
      out->reset();
      return true;
    }
    return Object(out, depth + 1);
  }

  bool ListBody(List* l, int depth) {
    uint64_t n;
    if (!Varint(&n) || n > Left()) return Fail("bad list count");  // each item takes a byte
    ListReserve(l, n);
    for (uint64_t i = 0; i < n; ++i) {
      Ref<Obj> item;
      if (!Object(&item, depth + 1)) return false;
      ListPushLastItemInternal(l, std::move(item));
    }
    Ref<Obj> ext;
    if (!ObjectRef(&ext, depth)) return false;
    if (ext) ListSetExtensionItem(l, ext.get());
    return true;
  }

  bool Children(TreeNode* parent, int depth) {
    if (depth > kObjMaxDepth) return Fail("tree nested too deeply");
    uint64_t n;
    if (!Varint(&n) || n > Left()) return Fail("bad child count");
    for (uint64_t i = 0; i < n; ++i) {
      Ref<Obj> item;
      if (!ObjectRef(&item, depth)) return false;
      TreeNode* child = TreeAddChildLast(parent, item.get());
      if (!Children(child, depth + 1)) return false;
    }
    return true;
  }

  bool StanzaSlot(ObjCell* cell) {
    unsigned char present;
    if (!Byte(&present) || present > 1) return false;
    if (present == 0) return true;
    auto z = std::make_unique<::Stanza>();
    uint64_t nkeys;
    if (!StdString(&z->title) || !Varint(&nkeys) || nkeys > Left()) return false;
    z->keys.reserve(nkeys);
    for (uint64_t k = 0; k < nkeys; ++k) {
      StnzKey key;
      uint64_t nvalues;
      if (!StdString(&key.name) || !Varint(&nvalues) || nvalues > Left()) return false;
      key.values.reserve(nvalues);
      for (uint64_t v = 0; v < nvalues; ++v) {
        std::string value;
        if (!StdString(&value)) return false;
        key.values.push_back(std::move(value));
      }
      z->keys.push_back(std::move(key));
    }
    cell->p = z.release();
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
  const unsigned char* begin_;
  // The body's type table: a record names a handful of types, so they live in the reader itself
  // and only a longer table allocates.
  static constexpr size_t kInlineTypes = 16;
  const ObjType* inline_types_[kInlineTypes];
  std::vector<const ObjType*> more_types_;
  size_t type_count_ = 0;
  bool failed_ = false;
};

}  // namespace

int ObjSerializeToMemory(std::string* out, const Obj* obj) noexcept {
  if (out == nullptr || obj == nullptr) return 0;
  Writer w(t_writer_scratch);
  if (!w.Object(obj, 0)) {
    TraceMessage(kTag, 2, 0, -1, "Cannot serialize object of type '%s': too deep or too large",
                 ObjNameFromObject(obj));
    return 0;
  }
  if (!w.Finish(out)) {
    TraceMessage(kTag, 3, 0, -1, "Serialized object of type '%s' too large for the format",
                 ObjNameFromObject(obj));
    return 0;
  }
  return 1;
}

int ObjBufferAnalyze(uint32_t* body_size, const void* buffer, size_t available) noexcept {
  if (buffer == nullptr || available < kObjHeaderSize) return 0;
  auto* p = static_cast<const unsigned char*>(buffer);
  if (GetU32(p) != kObjMagic) return 0;
  uint32_t n = GetU32(p + 4);
  if (n > kObjMaxBodySize) return 0;
  if (body_size != nullptr) *body_size = n;
  return 1;
}

int ObjReconstructFromMemory(Ref<Obj>* out, const void* body, size_t size) noexcept {
  if (out == nullptr || body == nullptr || size == 0 || size > kObjMaxBodySize) {
    TraceMessage(kTag, 4, 0, -1, "Cannot rebuild object from %zu bytes", size);
    return 0;
  }
  Reader r(static_cast<const unsigned char*>(body), size);
  return r.Body(out) ? 1 : 0;
}

int ObjSerializeToFile(const Obj* obj, const char* path) noexcept {
  if (path == nullptr) return 0;
  std::string bytes;
  if (!ObjSerializeToMemory(&bytes, obj)) return 0;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    TraceMessage(kTag, 5, 0, -1, "Cannot open '%s' to write object: %s", path, strerror(errno));
    return 0;
  }
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      TraceMessage(kTag, 6, 0, -1, "Failed writing object to '%s': %s", path,
                   n < 0 ? strerror(errno) : "no progress");
      ::close(fd);
      return 0;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    TraceMessage(kTag, 7, 0, -1, "Failed closing '%s': %s", path, strerror(errno));
    return 0;
  }
  return 1;
}

int ObjReconstructFromFile(Ref<Obj>* out, const char* path) noexcept {
  if (out == nullptr || path == nullptr) return 0;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    TraceMessage(kTag, 8, 0, -1, "Cannot open '%s' to read object: %s", path, strerror(errno));
    return 0;
  }
  struct stat st;
  unsigned char header[kObjHeaderSize];
  uint32_t body_size = 0;
  bool ok = ::fstat(fd, &st) == 0 && ::read(fd, header, sizeof header) == sizeof header &&
            ObjBufferAnalyze(&body_size, header, sizeof header) &&
            static_cast<uint64_t>(st.st_size) == kObjHeaderSize + uint64_t{body_size};
  std::string body;
  if (ok) {
    body.resize(body_size);
    size_t got = 0;
    while (got < body_size) {
      ssize_t n = ::read(fd, body.data() + got, body_size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ok = got == body_size;
  }
  ::close(fd);
  if (!ok) {
    TraceMessage(kTag, 9, 0, -1, "File '%s' does not hold a serialized object", path);
    return 0;
  }
  return ObjReconstructFromMemory(out, body.data(), body.size());
}
