#ifndef LUMO_OPTIMALORDERING_H
#define LUMO_OPTIMALORDERING_H

#include <vector>

#include "CostMap.h"
#include "Ordering.h"

class CClusterNode;
class CMatrix;

// Optimal leaf ordering: of the 2^(n-1) orientations of a cluster tree, one
// with the least sum of distances between neighbouring leaves.
//
// Bottom-up, a dynamic programme fills the cost table M: for leaves u, w whose
// lowest common ancestor is v, M[u][w] = M[w][u] is the least cost of an
// ordering of v's subtree that starts with u and ends with w,
//     M[u][w] = min over m, k of M[u][m] + S(m, k) + M[k][w],
// m being the inner end of the left child's ordering and k that of the right
// child's. The minimum is taken in two pruned steps over lists sorted by cost.
// Top-down, the cheapest pair of ends of the whole tree is chosen and, at
// every node, the inner ends that attain the node's minimum are recovered and
// handed to the two children, so the final order costs exactly the least
// M[u][w] over the root's pairs.
//
// Memory is the n x n table plus O(n) scratch. Both passes walk the tree with
// explicit stacks, so deep trees need no deep call stack.
class COptimalOrdering : public COrdering
{
public:
    COptimalOrdering();
    virtual ~COptimalOrdering();

    // Allowed once per object; a second call throws (id 2).
    virtual void OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances);
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode* pCluster, CMatrix* pDistances);

    // Read access to the cost table for checks; valid after OrderLeaves.
    int GetTableSize() const { return m_ppCosts != nullptr ? m_iLeafCount : 0; }
    double GetTableCost(int uIndex, int wIndex) const { return m_ppCosts[uIndex][wIndex]; }

private:
    COptimalOrdering(const COptimalOrdering&);
    COptimalOrdering& operator=(const COptimalOrdering&);

    void CreateInternals(CClusterNode* pRoot, CMatrix* pDistances);
    void DeleteInternals();
    // Nodes of the tree children first; checks that the leaves carry the
    // indices 0 .. n-1, each once, so that the table is never addressed out
    // of bounds.
    void CollectNodes(CClusterNode* pRoot, std::vector<CClusterNode*>& postOrder);

    void SetCost(int uIndex, int wIndex, double cost) { m_ppCosts[uIndex][wIndex] = cost; }
    double GetCost(int uIndex, int wIndex) const { return m_ppCosts[uIndex][wIndex]; }
    void SetCost(CClusterNode* u, CClusterNode* w, double cost);
    double GetCost(CClusterNode* u, CClusterNode* w) const;

    void ComputeCosts(const std::vector<CClusterNode*>& postOrder);
    void ComputeNodeCosts(CClusterNode* pNode);
    void GetBestPair(CClusterNode* pRoot, CClusterNode** ppU, CClusterNode** ppW);
    void Backtrack(CClusterNode* pRoot, CClusterNode* u, CClusterNode* w);
    void FindInnerEnds(CClusterNode* pLeft, CClusterNode* u, CClusterNode* pRight, CClusterNode* w,
                       CClusterNode** ppM, CClusterNode** ppK);

    double** m_ppCosts;
    int m_iLeafCount;
    CClusterNode* m_pNode;
    CMatrix* m_pDistances;
    int m_iNodeCount;
    // Progress counters are doubles: n * n overflows an int for n above 46,340.
    double m_iNodeTracker;
    double m_iNodeTrackerMax;
    // Set by the first OrderLeaves, also for a tree too small for a table.
    bool m_bUsed;
    // Scratch of the node being processed, sized at most n each.
    std::vector<int> m_leftLeaves;   // the left child's leaves: its left side, then its right side
    std::vector<int> m_rightLeaves;  // the same for the right child
    std::vector<CostPairType> m_listM; // (M[u][m], m) of one end leaf u, sorted
    CCostMap m_listK;                  // (T[k], position of k) of one u, each side sorted
    std::vector<double> m_inner;       // T[k] = min over m of M[u][m] + S(m, k), for one u
    std::vector<double> m_innerMin;    // least M[w][k] over the k-candidates of each w
    std::vector<double> m_crossMin;    // least S(m, k) over the left child's leaves m, per k
    std::vector<CClusterNode*> m_scratchM, m_scratchK; // inner-end candidates in the top-down pass
};

#endif
