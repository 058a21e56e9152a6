// Trees of item objects.

#include "kr/tree.h"

#include "object_internal.h"

using namespace kr_internal;

struct TreeNode {
  Obj* item = nullptr;  // one owned reference
  TreeNode* parent = nullptr;
  TreeNode* first = nullptr;
  TreeNode* last = nullptr;
  TreeNode* next = nullptr;
  TreeNode* prev = nullptr;
};

namespace {

const ObjType* TreeType() {
  static const ObjType* t = ObjTypeIntern(kObjTreeType, "T;", "Tree");
  return t;
}

inline TreeNode*& Root(Obj* tree) { return reinterpret_cast<TreeNode*&>(tree->cells()[0].p); }
inline TreeNode* Root(const Obj* tree) { return static_cast<TreeNode*>(tree->cells()[0].p); }

TreeNode* NewNode(Obj* item) {
  auto* n = new TreeNode;
  ObjIncRefCount(item);
  n->item = item;
  return n;
}

// Frees a subtree without recursion, so a deep tree cannot exhaust the stack.
void FreeSubtree(TreeNode* top) {
  TreeNode* n = top;
  while (n != nullptr) {
    if (n->first != nullptr) {
      TreeNode* c = n->first;
      n->first = c->next;
      c->parent = n;  // already so; kept for clarity of the climb below
      n = c;
      continue;
    }
    TreeNode* up = (n == top) ? nullptr : n->parent;
    ObjDecRefCount(n->item);
    delete n;
    n = up;
  }
}

void Unlink(TreeNode* node) {
  TreeNode* p = node->parent;
  if (node->prev) node->prev->next = node->next;
  if (node->next) node->next->prev = node->prev;
  if (p != nullptr) {
    if (p->first == node) p->first = node->next;
    if (p->last == node) p->last = node->prev;
  }
  node->prev = node->next = nullptr;
}

}  // namespace

namespace kr_internal {

void TreeReleaseCells(Obj* tree) noexcept {
  FreeSubtree(Root(tree));
  Root(tree) = nullptr;
}

bool TreeDuplicateInto(Obj* dst, const Obj* src, int depth) noexcept {
  const TreeNode* from = Root(src);
  if (from == nullptr) return true;
  auto copy_item = [&](const TreeNode* n, Ref<Obj>* out) {
    if (n->item == nullptr) return true;
    *out = DuplicateAt(n->item, depth + 1);
    return static_cast<bool>(*out);
  };
  Ref<Obj> item;
  if (!copy_item(from, &item)) return false;
  TreeNode* to = NewNode(item.get());
  Root(dst) = to;
  // Walk the source in pre-order, mirroring each step in the copy.
  const TreeNode* s = from;
  TreeNode* d = to;
  while (true) {
    if (s->first != nullptr) {
      s = s->first;
      Ref<Obj> ci;
      if (!copy_item(s, &ci)) return false;
      d = TreeAddChildLast(d, ci.get());
      continue;
    }
    while (s != from && s->next == nullptr) {
      s = s->parent;
      d = d->parent;
    }
    if (s == from) break;
    s = s->next;
    Ref<Obj> ci;
    if (!copy_item(s, &ci)) return false;
    d = TreeAddChildLast(d->parent, ci.get());
  }
  return true;
}

}  // namespace kr_internal

Ref<Tree> TreeNewFromPool(MemPool* /*pool*/) noexcept {
  Ref<Obj> o = ObjNewOfType(TreeType());
  return Ref<Tree>::Adopt(static_cast<Tree*>(o.release()));
}

TreeNode* TreeInsertRoot(Tree* tree, Obj* item) noexcept {
  if (tree == nullptr || Root(tree) != nullptr) return nullptr;
  Root(tree) = NewNode(item);
  return Root(tree);
}

TreeNode* TreeAddChildLast(TreeNode* parent, Obj* item) noexcept {
  if (parent == nullptr) return nullptr;
  TreeNode* n = NewNode(item);
  n->parent = parent;
  n->prev = parent->last;
  if (parent->last) parent->last->next = n;
  parent->last = n;
  if (parent->first == nullptr) parent->first = n;
  return n;
}

TreeNode* TreeAddChildFirst(TreeNode* parent, Obj* item) noexcept {
  if (parent == nullptr) return nullptr;
  TreeNode* n = NewNode(item);
  n->parent = parent;
  n->next = parent->first;
  if (parent->first) parent->first->prev = n;
  parent->first = n;
  if (parent->last == nullptr) parent->last = n;
  return n;
}

TreeNode* TreeAddSiblingAfter(TreeNode* node, Obj* item) noexcept {
  if (node == nullptr || node->parent == nullptr) return nullptr;
  TreeNode* n = NewNode(item);
  n->parent = node->parent;
  n->prev = node;
  n->next = node->next;
  if (node->next) node->next->prev = n;
  node->next = n;
  if (node->parent->last == node) node->parent->last = n;
  return n;
}

void TreeRemoveNode(Tree* tree, TreeNode* node) noexcept {
  if (tree == nullptr || node == nullptr) return;
  if (node == Root(tree)) {
    TreeReleaseCells(tree);
    return;
  }
  Unlink(node);
  FreeSubtree(node);
}

TreeNode* TreeFirstNode(const Tree* tree) noexcept { return tree ? Root(tree) : nullptr; }

TreeNode* TreeNextNode(const TreeNode* node) noexcept {
  if (node == nullptr) return nullptr;
  if (node->first) return node->first;
  while (node != nullptr) {
    if (node->next) return node->next;
    node = node->parent;
  }
  return nullptr;
}

TreeNode* TreeNodeParent(const TreeNode* node) noexcept { return node ? node->parent : nullptr; }
TreeNode* TreeNodeFirstChild(const TreeNode* node) noexcept { return node ? node->first : nullptr; }
TreeNode* TreeNodeLastChild(const TreeNode* node) noexcept { return node ? node->last : nullptr; }
TreeNode* TreeNodeNextSibling(const TreeNode* node) noexcept { return node ? node->next : nullptr; }
TreeNode* TreeNodePrevSibling(const TreeNode* node) noexcept { return node ? node->prev : nullptr; }

TreeNode* TreeNodeNthChild(const TreeNode* node, size_t n) noexcept {
  if (node == nullptr || n < 1) return nullptr;
  TreeNode* c = node->first;
  while (c != nullptr && --n > 0) c = c->next;
  return c;
}

size_t TreeNodeChildCount(const TreeNode* node) noexcept {
  size_t n = 0;
  for (TreeNode* c = node ? node->first : nullptr; c != nullptr; c = c->next) ++n;
  return n;
}

int TreeDepthOfNode(const TreeNode* node) noexcept {
  int d = 0;
  for (; node != nullptr; node = node->parent) ++d;
  return d;
}

size_t TreeNodeCount(const Tree* tree) noexcept {
  size_t n = 0;
  for (TreeNode* x = TreeFirstNode(tree); x != nullptr; x = TreeNextNode(x)) ++n;
  return n;
}

Obj* TreeNodeItem(const TreeNode* node) noexcept { return node ? node->item : nullptr; }

void TreeNodeSetItem(TreeNode* node, Ref<Obj> item) noexcept {
  if (node == nullptr) return;
  Obj* old = node->item;
  node->item = item.release();
  ObjDecRefCount(old);
}

int TreeWalk(const Tree* tree, int (*callback)(TreeNode*, void*), void* cookie) noexcept {
  if (callback == nullptr) return 0;
  for (TreeNode* n = TreeFirstNode(tree); n != nullptr; n = TreeNextNode(n))
    if (callback(n, cookie) == 0) return 0;
  return 1;
}
