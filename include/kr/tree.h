// Trees: an object holding a rooted tree of nodes, each node holding one item object.
//
// A tree is an object (type kObjTreeType) and may sit in any object slot; it owns its nodes and
// one reference to each node's item. Nodes are handles into the tree, valid while the node and
// its tree live. Each node knows its parent, its children in order and its siblings. The walk
// order (TreeNextNode, TreeWalk) is pre-order: a node, then each child's subtree in order.
//
// Thread safety: none; a tree belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kr/object.h"

struct TreeNode;

struct Tree : Obj {
  static constexpr uint32_t kTypeCode = kObjTreeType;
  // Inline, so that ObjCast<Tree> on a hot path is one compare rather than a call into the runtime.
  static uint32_t TypeIndex() noexcept {
    static const uint32_t index = ObjTypeIndex(ObjTypeIntern(kObjTreeType, "T;", "Tree"));
    return index;
  }
};

Ref<Tree> TreeNewFromPool(MemPool* pool = nullptr) noexcept;

// Puts the root node, holding a new reference to `item`; null when the tree has a root already.
TreeNode* TreeInsertRoot(Tree* tree, Obj* item) noexcept;
// Adds a child holding a new reference to `item` as the last (first) child of `parent`.
TreeNode* TreeAddChildLast(TreeNode* parent, Obj* item) noexcept;
TreeNode* TreeAddChildFirst(TreeNode* parent, Obj* item) noexcept;
// Adds a sibling right after `node` (not for the root).
TreeNode* TreeAddSiblingAfter(TreeNode* node, Obj* item) noexcept;
// Removes a node with its whole subtree (the root empties the tree).
void TreeRemoveNode(Tree* tree, TreeNode* node) noexcept;

TreeNode* TreeFirstNode(const Tree* tree) noexcept;     // the root, or null when empty
TreeNode* TreeNextNode(const TreeNode* node) noexcept;  // pre-order successor, or null
TreeNode* TreeNodeParent(const TreeNode* node) noexcept;
TreeNode* TreeNodeFirstChild(const TreeNode* node) noexcept;
TreeNode* TreeNodeLastChild(const TreeNode* node) noexcept;
TreeNode* TreeNodeNextSibling(const TreeNode* node) noexcept;
TreeNode* TreeNodePrevSibling(const TreeNode* node) noexcept;
TreeNode* TreeNodeNthChild(const TreeNode* node, size_t n) noexcept;  // 1-based
size_t TreeNodeChildCount(const TreeNode* node) noexcept;
int TreeDepthOfNode(const TreeNode* node) noexcept;  // the root is at depth 1
size_t TreeNodeCount(const Tree* tree) noexcept;

Obj* TreeNodeItem(const TreeNode* node) noexcept;              // borrowed
void TreeNodeSetItem(TreeNode* node, Ref<Obj> item) noexcept;  // takes the reference

// Calls `callback(node, cookie)` for every node in pre-order, stopping at the first call that
// returns 0. 1 when every call returned non-zero (an empty tree gives 1).
int TreeWalk(const Tree* tree, int (*callback)(TreeNode* node, void* cookie),
             void* cookie) noexcept;
