// Cluster tree: leaf lists, walks, swaps, the node-pointer vector and deep trees.
#include <gtest/gtest.h>

#include <pthread.h>
#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"

namespace
{
struct SCollect : public CClusterNodeFunction
{
    std::vector<int> seen;
    virtual void Go(CClusterNode* pNode) { seen.push_back(pNode->GetIndex()); }
};

std::vector<int> Indices(CClusterNodeVector* v)
{
    std::vector<int> out;
    for (CClusterNodeVector_iterator it = v->begin(); it != v->end(); it++)
        out.push_back((*it)->GetIndex());
    return out;
}

std::vector<int> Leaves(CClusterNode* p)
{
    SCollect c;
    p->WalkLeaves(&c);
    return c.seen;
}

std::vector<int> PreOrder(CClusterNode* p)
{
    SCollect c;
    p->WalkTree(&c);
    return c.seen;
}

// (a, (b, c)) with a = 0, b = 1, c = 2, the (b, c) node 3 and the root 4.
struct SSmallTree
{
    CClusterNode a{0, 0}, b{0, 1}, c{0, 2};
    CClusterNode bc{0, 3, &b, &c};
    CClusterNode root{0, 4, &a, &bc};
};
} // namespace

TEST(ClusterNode, LeafCountsAndParents)
{
    SSmallTree t;
    EXPECT_TRUE(t.a.IsLeaf());
    EXPECT_EQ(t.a.GetLeafCount(), 0);
    EXPECT_EQ(t.bc.GetLeafCount(), 2);
    EXPECT_EQ(t.root.GetLeafCount(), 3);
    EXPECT_EQ(t.a.GetParent(), &t.root);
    EXPECT_EQ(t.b.GetParent(), &t.bc);
    EXPECT_EQ(t.bc.GetParent(), &t.root);
    EXPECT_EQ(t.root.GetParent(), nullptr);
    EXPECT_EQ(t.a.GetLeftLeaves()->capacity(), 0);
}

TEST(ClusterNode, LeafListsAndWalks)
{
    SSmallTree t;
    EXPECT_EQ(Indices(t.root.GetLeftLeaves()), (std::vector<int>{0}));
    EXPECT_EQ(Indices(t.root.GetRightLeaves()), (std::vector<int>{1, 2}));
    EXPECT_EQ(Leaves(&t.root), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(PreOrder(&t.root), (std::vector<int>{4, 0, 3, 1, 2}));
    EXPECT_EQ(Leaves(&t.a), (std::vector<int>{0}));
}

TEST(ClusterNode, SwapAtRootReversesSides)
{
    SSmallTree t;
    t.root.SwapLeaves();
    EXPECT_EQ(Indices(t.root.GetLeftLeaves()), (std::vector<int>{1, 2}));
    EXPECT_EQ(Indices(t.root.GetRightLeaves()), (std::vector<int>{0}));
    EXPECT_EQ(Leaves(&t.root), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(t.root.GetLeftChild(), &t.bc);
}

TEST(ClusterNode, SwapBelowLeavesAncestorListsAlone)
{
    SSmallTree t;
    t.bc.SwapLeaves();
    EXPECT_EQ(Indices(t.bc.GetLeftLeaves()), (std::vector<int>{2}));
    EXPECT_EQ(Indices(t.bc.GetRightLeaves()), (std::vector<int>{1}));
    // The walk follows the children, the root's stored list keeps its order.
    EXPECT_EQ(Leaves(&t.root), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(Indices(t.root.GetRightLeaves()), (std::vector<int>{1, 2}));
    EXPECT_EQ(t.b.GetParent(), &t.bc);
}

TEST(ClusterNode, IsLeftAndRightLeaf)
{
    SSmallTree t;
    for (CClusterNode* x : {&t.a, &t.b, &t.c, &t.bc, &t.root})
    {
        EXPECT_FALSE(t.a.IsLeftLeaf(x));
        EXPECT_FALSE(t.a.IsRightLeaf(x));
    }
    EXPECT_TRUE(t.root.IsLeftLeaf(&t.a));
    EXPECT_FALSE(t.root.IsLeftLeaf(&t.b));
    EXPECT_TRUE(t.root.IsRightLeaf(&t.b));
    EXPECT_TRUE(t.root.IsRightLeaf(&t.c));
    EXPECT_FALSE(t.root.IsRightLeaf(&t.bc)); // internal nodes are not in the lists
    EXPECT_FALSE(t.root.IsRightLeaf(&t.a));
}

TEST(ClusterNode, NullChildren)
{
    CClusterNode a(0, 0);
    CClusterNode half(0, 1, &a, nullptr);
    EXPECT_EQ(half.GetLeafCount(), 1);
    EXPECT_TRUE(half.IsLeftLeaf(&a));
    EXPECT_FALSE(half.IsRightLeaf(&a));
    EXPECT_EQ(Leaves(&half), (std::vector<int>{0}));
    CClusterNode none(0, 2, nullptr, nullptr);
    EXPECT_TRUE(none.IsLeaf());
}

TEST(ClusterNode, RecursiveDeleteLeavesData)
{
    std::vector<double> data(3, 1.0);
    CClusterNode* a = new CClusterNode(&data, 0);
    CClusterNode* b = new CClusterNode(&data, 1);
    CClusterNode* c = new CClusterNode(&data, 2);
    CClusterNode* bc = new CClusterNode(&data, 3, b, c);
    CClusterNode* root = new CClusterNode(&data, 4, a, bc);
    root->RecursiveDelete();
    EXPECT_TRUE(root->IsLeaf());
    delete root;
    EXPECT_EQ(data.size(), 3u); // the data were not freed
}

TEST(ClusterNodeVector, CapacityAndIterators)
{
    CClusterNodeVector empty(0);
    EXPECT_TRUE(empty.begin() == empty.end());
    EXPECT_THROW(empty.push_back(nullptr), invalid_index);
    EXPECT_THROW(*empty.begin(), invalid_index);
    CClusterNodeVector negative(-3);
    EXPECT_EQ(negative.capacity(), -3);
    EXPECT_THROW(negative.push_back(nullptr), invalid_index);

    CClusterNode a(0, 0), b(0, 1);
    CClusterNodeVector v(2);
    v.push_back(&a);
    v.insert(v.begin(), &b); // appends whatever the position
    EXPECT_EQ(Indices(&v), (std::vector<int>{0, 1}));
    EXPECT_THROW(v.push_back(&a), invalid_index);
    EXPECT_EQ(v.size(), 2);

    CClusterNodeVector_iterator end = v.end();
    end++;
    EXPECT_TRUE(end == v.end());
    EXPECT_THROW(*end, invalid_index);
    EXPECT_THROW(CClusterNodeVector_iterator(nullptr, 0), std::bad_alloc);
}

TEST(ClusterNodeVector, RangeInsertOnlyAtEnd)
{
    CClusterNode a(0, 0), b(0, 1), c(0, 2);
    CClusterNodeVector src(3);
    src.push_back(&a);
    src.push_back(&b);
    src.push_back(&c);
    CClusterNodeVector dst(3);
    EXPECT_THROW(dst.insert(src.begin(), src.begin(), src.end()), invalid_index);
    EXPECT_EQ(dst.size(), 0);
    dst.insert(dst.end(), src.begin(), src.end());
    EXPECT_EQ(Indices(&dst), (std::vector<int>{0, 1, 2}));
    // Overfilling by a range stops at the capacity with invalid_index.
    CClusterNodeVector small(2);
    EXPECT_THROW(small.insert(small.end(), src.begin(), src.end()), invalid_index);
    EXPECT_EQ(small.size(), 2);
}

// A chain-shaped tree of 5000 leaves is as deep as it is wide; building,
// walking and deleting it must not recurse, which a 256 KiB stack enforces.
namespace
{
struct SDeepResult
{
    bool ok = false;
    std::size_t leafCount = 0, nodeCount = 0;
    int firstLeaf = -1, lastLeaf = -1;
};

void* DeepChain(void* arg)
{
    SDeepResult* r = static_cast<SDeepResult*>(arg);
    const int n = 5000;
    CClusterNode* root = new CClusterNode(0, 0);
    for (int i = 1; i < n; ++i)
    {
        CClusterNode* leaf = new CClusterNode(0, i);
        root = new CClusterNode(0, n + i - 1, root, leaf);
    }
    // Swap every other level so the walk order is not the build order.
    CClusterNode* p = root;
    for (int level = 0; p != 0 && !p->IsLeaf(); ++level)
    {
        CClusterNode* next = p->GetLeftChild();
        if (level % 2 == 0)
            p->SwapLeaves();
        p = next;
    }
    SCollect leaves, nodes;
    root->WalkLeaves(&leaves);
    root->WalkTree(&nodes);
    r->leafCount = leaves.seen.size();
    r->nodeCount = nodes.seen.size();
    r->firstLeaf = leaves.seen.front();
    r->lastLeaf = leaves.seen.back();
    root->RecursiveDelete();
    delete root;
    r->ok = true;
    return 0;
}
} // namespace

TEST(ClusterNode, DeepChainOnSmallStack)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    SDeepResult r;
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, DeepChain, &r), 0);
    pthread_join(t, 0);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.leafCount, 5000u);
    EXPECT_EQ(r.nodeCount, 9999u);
    EXPECT_EQ(r.firstLeaf, 4999); // the root was swapped: its newest leaf comes first
}
