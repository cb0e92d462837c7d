#ifndef LUMO_CLUSTERNODE_H
#define LUMO_CLUSTERNODE_H

#include "ClusterException.h"
#include "ClusterNodeVector.h"

class CClusterNode;

// Visitor called by the tree walks for each visited node.
class CClusterNodeFunction
{
public:
    virtual ~CClusterNodeFunction() {}
    virtual void Go(CClusterNode* pNode) = 0;
};

// Node of a binary cluster tree. A leaf stands for one input row, an internal
// node for the merge of its two children. Every node keeps the leaves below
// its left child and below its right child, each in left-to-right order as
// they were when the node was built. The data pointer is opaque to the tree
// and never freed by it.
class CClusterNode
{
public:
    // Leaf. Throws CClusterException* id 1 when its (empty) leaf lists cannot be made.
    CClusterNode(void* pData, int index);
    // Internal node over two existing subtrees (either may be null); becomes
    // their parent. Throws CClusterException* id 1 on allocation failure.
    CClusterNode(void* pData, int index, CClusterNode* pLeft, CClusterNode* pRight);
    // Deletes the two leaf lists, not the children and not the data.
    ~CClusterNode();

    // Deletes every node below this one (not this node, not the data).
    // Iterative, so the depth of the tree does not matter.
    void RecursiveDelete();

    CClusterNode* GetParent() { return m_pParent; }
    void SetParent(CClusterNode* pNewParent) { m_pParent = pNewParent; }
    CClusterNode* GetLeftChild() { return m_pLeft; }
    CClusterNode* GetRightChild() { return m_pRight; }
    int GetIndex() { return m_index; }
    void* GetData() { return m_pData; }
    CClusterNodeVector* GetLeftLeaves() { return m_pLeftLeaves; }
    CClusterNodeVector* GetRightLeaves() { return m_pRightLeaves; }

    bool IsLeaf() { return m_pLeft == 0 && m_pRight == 0; }
    // Sum of the two leaf-list sizes: 0 for a leaf.
    int GetLeafCount();
    // Whether child (by pointer) is among the left (right) leaves; false without
    // a left (right) child.
    bool IsLeftLeaf(CClusterNode* child);
    bool IsRightLeaf(CClusterNode* child);
    // Exchanges the children and the two leaf lists of this node only.
    void SwapLeaves();

    // Go on every leaf of the subtree, left to right, following the children.
    void WalkLeaves(CClusterNodeFunction* pAction);
    // Go on every node of the subtree in pre-order (node, left, right).
    void WalkTree(CClusterNodeFunction* pAction);

private:
    CClusterNode(const CClusterNode&);
    CClusterNode& operator=(const CClusterNode&);

    bool VectorContains(CClusterNodeVector* pVec, CClusterNode* pTree);
    void AppendLeavesOf(CClusterNode* pChild, CClusterNodeVector* pList);

    CClusterNode* m_pParent;
    CClusterNode* m_pLeft;
    CClusterNode* m_pRight;
    void* m_pData;
    CClusterNodeVector* m_pLeftLeaves;
    CClusterNodeVector* m_pRightLeaves;
    int m_index;
};

#endif
