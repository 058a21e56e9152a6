// Filter push-down: a filter tree into an SQL condition that keeps at least what the filter
// keeps (see pushdown.h for what translates and why the rest does not).

#include "pushdown.h"

#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/reports.h"
#include "rows.h"

namespace catalog {

namespace {

// Chains deeper than this are left to the filter rather than recursed into.
constexpr int kMaxDepth = 2000;
const char kFalse[] = "(1 = 0)";

bool IsNumber(int32_t type) {
  return type == kRepTypeInteger || type == kRepTypeTimePassed || type == kRepTypeSysTime ||
         type == kRepTypeInt64 || type == kRepTypeDataCount;
}

// Whether a non-NULL column can still give a value that is not Normal: a 32-bit field whose
// column holds a larger number, a text outside a value map, a text that is no date or count.
bool CanFailToConvert(const FieldSql& f) {
  if (f.type == kRepTypeString || f.type == kRepTypeBoolean) return f.mapped_values;
  return !(f.type == kRepTypeInt64 || f.type == kRepTypeDataCount);
}

class Translator {
 public:
  Translator(const std::vector<FieldSql>& fields, const Dialect& d, std::vector<Param>* params)
      : fields_(fields), d_(d), params_(params) {}

  // The condition for the subtree at `node`, or "" for one that cannot be translated.
  std::string Node(const TreeNode* node, int depth) {
    if (node == nullptr || depth > kMaxDepth) return "";
    const Obj* item = TreeNodeItem(node);
    if (const auto* b = ObjCast<RepFilterBoolNode>(item)) {
      const TreeNode* first = TreeNodeFirstChild(node);
      if (b->op() == kRepBoolTop) return Node(first, depth + 1);
      const TreeNode* second = first != nullptr ? TreeNodeNextSibling(first) : nullptr;
      if (second == nullptr) return "";
      const size_t mark = params_->size();
      std::string l = Node(first, depth + 1);
      std::string r = Node(second, depth + 1);
      if (b->op() == kRepBoolAnd) {
        if (l.empty()) return r;
        if (r.empty()) return l;
        return "(" + l + " AND " + r + ")";
      }
      if (b->op() != kRepBoolOr || l.empty() || r.empty()) {
        params_->resize(mark);  // neither side is used: drop what they bound
        return "";
      }
      return "(" + l + " OR " + r + ")";
    }
    if (const auto* e = ObjCast<RepFilterExpression>(item)) return Expression(*e);
    return "";
  }

 private:
  std::string Bind(Param p) {
    const bool text = p.is_text;
    params_->push_back(std::move(p));
    return d_.Placeholder(static_cast<int>(params_->size()), text);
  }

  std::string Expression(const RepFilterExpression& e) {
    const RepFilterConstant* c = e.constant();
    const int32_t index = e.field_index();
    if (c == nullptr || index < 0 || static_cast<size_t>(index) >= fields_.size()) return "";
    const FieldSql& f = fields_[static_cast<size_t>(index)];
    if (!f.mapped || e.field_type() != f.type) return "";
    const int32_t op = e.op();
    // A status constant compares states: 0 or 2, never -1 or 1; so do strings.
    if ((op == kRepOpGreater || op == kRepOpLess) &&
        (c->kind() == kRepConstStatus || f.type == kRepTypeString)) {
      return kFalse;
    }
    if (c->kind() == kRepConstStatus) return Status(f, op == kRepOpNotEqual, c->state());
    if (c->kind() != kRepConstValue || f.mapped_values) return "";
    if (IsNumber(f.type)) return Number(f, op, c->value());
    if (f.type == kRepTypeString) return String(f, op, *c);
    return "";
  }

  // Every value is Normal, the NULL state, or (when conversion can fail) Unknown.
  std::string Status(const FieldSql& f, bool not_equal, int32_t state) {
    const bool can_fail = CanFailToConvert(f);
    const std::string is_null = "(" + d_.Select(f.expr, ReadAsOf(f)) + ") IS NULL";
    const std::string not_null = "(" + d_.Select(f.expr, ReadAsOf(f)) + ") IS NOT NULL";
    if (!not_equal) {
      if (state == kRepStateNormal) return not_null;
      if (state == f.null_state) {
        return (state == kRepStateUnknown && can_fail) ? "" : is_null;
      }
      return (state == kRepStateUnknown && can_fail) ? "" : kFalse;
    }
    if (state == kRepStateNormal) return can_fail ? "" : is_null;
    if (state == f.null_state) return not_null;
    return "";
  }

  // How the field is read, so a NULL test looks at the very column selected.
  static ReadAs ReadAsOf(const FieldSql& f) {
    ReadAs as = ReadAs::kInt;
    ReadAsFor(f.type, &as);
    return as;
  }

  std::string Number(const FieldSql& f, int32_t op, const Obj* value) {
    int64_t v = 0;
    if (const auto* i = ObjCast<ObjInteger>(value)) {
      v = i->value();
    } else if (const auto* i64 = ObjCast<ObjInt64>(value)) {
      v = i64->value();
    } else {
      return "";
    }
    const std::string col = d_.CompareInt(f.expr);
    const char* sym = nullptr;
    switch (op) {
      case kRepOpEqual:
        sym = " = ";
        break;
      case kRepOpGreater:
        sym = " > ";
        break;
      case kRepOpGreaterEqual:
        sym = " >= ";
        break;
      case kRepOpLess:
        sym = " < ";
        break;
      case kRepOpLessEqual:
        sym = " <= ";
        break;
      case kRepOpNotEqual:
        return "(" + col + " IS NULL OR " + col + " <> " + Bind(Param::Int(v)) + ")";
      default:
        return "";
    }
    return "(" + col + sym + Bind(Param::Int(v)) + ")";
  }

  std::string String(const FieldSql& f, int32_t op, const RepFilterConstant& c) {
    if (c.is_pattern() || (c.flags() & kRepConstRegExp) != 0 || c.text() == nullptr) return "";
    std::string lowered;
    for (const char* p = c.text(); *p != '\0'; ++p) {
      const unsigned char ch = static_cast<unsigned char>(*p);
      if (ch >= 0x80) return "";  // the filter folds such texts beyond ASCII: leave it to it
      lowered += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch);
    }
    const std::string col = d_.Select(f.expr, ReadAs::kText);
    const std::string folded = d_.AsciiLower(col);
    if (op == kRepOpEqual || op == kRepOpGreaterEqual || op == kRepOpLessEqual) {
      std::string eq = folded + " = " + Bind(Param::Text(lowered));
      return "(" + eq + " OR " + d_.NonAscii(col, params_) + ")";
    }
    if (op == kRepOpNotEqual) {
      std::string ne = folded + " <> " + Bind(Param::Text(lowered));
      return "((" + col + ") IS NULL OR " + ne + " OR " + d_.NonAscii(col, params_) + ")";
    }
    return "";
  }

  const std::vector<FieldSql>& fields_;
  const Dialect& d_;
  std::vector<Param>* params_;
};

}  // namespace

std::string FilterToSql(const Tree* tree, const std::vector<FieldSql>& fields,
                        const Dialect& dialect, std::vector<Param>* params) {
  if (tree == nullptr) return "";
  Translator t(fields, dialect, params);
  return t.Node(TreeFirstNode(tree), 0);
}

}  // namespace catalog
