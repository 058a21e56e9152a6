#include "kr/tree.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Builds a with children b and e; b with children c and d.
struct Sample {
  Ref<Tree> tree = TreeNewFromPool();
  TreeNode *a, *b, *c, *d, *e;
  Sample() {
    a = TreeInsertRoot(tree.get(), ObjNewString("a").get());
    b = TreeAddChildLast(a, ObjNewString("b").get());
    e = TreeAddChildLast(a, ObjNewString("e").get());
    d = TreeAddChildFirst(b, ObjNewString("d").get());
    c = TreeAddChildFirst(b, ObjNewString("c").get());
  }
};

std::string Walk(const Tree* t) {
  std::string s;
  for (TreeNode* n = TreeFirstNode(t); n; n = TreeNextNode(n)) s += ObjGetString(TreeNodeItem(n));
  return s;
}

}  // namespace

TEST(Tree, PreOrderNavigationAndDepth) {
  Sample s;
  EXPECT_EQ(Walk(s.tree.get()), "abcde");
  EXPECT_EQ(TreeInsertRoot(s.tree.get(), ObjNewString("x").get()), nullptr);
  EXPECT_EQ(TreeNodeParent(s.c), s.b);
  EXPECT_EQ(TreeNodeNthChild(s.a, 2), s.e);
  EXPECT_EQ(TreeNodeNthChild(s.a, 3), nullptr);
  EXPECT_EQ(TreeNodeNextSibling(s.c), s.d);
  EXPECT_EQ(TreeNodePrevSibling(s.e), s.b);
  EXPECT_EQ(TreeNodeLastChild(s.b), s.d);
  EXPECT_EQ(TreeNodeLastChild(s.c), nullptr);
  EXPECT_EQ(TreeDepthOfNode(s.a), 1);
  EXPECT_EQ(TreeDepthOfNode(s.d), 3);
  EXPECT_EQ(TreeNodeCount(s.tree.get()), 5u);
  std::string visited;
  EXPECT_EQ(TreeWalk(
                s.tree.get(),
                [](TreeNode* n, void* c) {
                  *static_cast<std::string*>(c) += ObjGetString(TreeNodeItem(n));
                  return *ObjGetString(TreeNodeItem(n)) == 'c' ? 0 : 1;
                },
                &visited),
            0);
  EXPECT_EQ(visited, "abc");
}

TEST(Tree, RemovingASubtreeReleasesItsItems) {
  Sample s;
  Ref<Obj> keep = Ref<Obj>::Share(TreeNodeItem(s.c));
  EXPECT_EQ(keep->ref_count, 2u);
  TreeRemoveNode(s.tree.get(), s.b);
  EXPECT_EQ(keep->ref_count, 1u);
  EXPECT_EQ(Walk(s.tree.get()), "ae");
  // Replacing a node's item releases the one it held.
  Ref<Obj> old = Ref<Obj>::Share(TreeNodeItem(s.e));
  TreeNodeSetItem(s.e, ObjNewString("E"));
  EXPECT_EQ(old->ref_count, 1u);
  EXPECT_EQ(Walk(s.tree.get()), "aE");
  TreeAddSiblingAfter(s.e, ObjNewString("f").get());
  EXPECT_EQ(Walk(s.tree.get()), "aEf");
  TreeRemoveNode(s.tree.get(), TreeFirstNode(s.tree.get()));
  EXPECT_EQ(TreeFirstNode(s.tree.get()), nullptr);
}

TEST(Tree, AVeryDeepTreeIsFreedWithoutRecursion) {
  Ref<Tree> t = TreeNewFromPool();
  TreeNode* n = TreeInsertRoot(t.get(), nullptr);
  for (int i = 0; i < 200000; ++i) n = TreeAddChildLast(n, nullptr);
  EXPECT_EQ(TreeDepthOfNode(n), 200001);
  t.reset();  // must not overflow the stack
}
