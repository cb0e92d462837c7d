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
// ordering of v's subtree that starts with u and ends with w. Top-down, the
// cheapest pair of ends of the whole tree is chosen and, at every node, the
// inner ends that attain the node's minimum are recovered and handed to the
// two children, so the final order costs exactly min M[u][w] over the root's
// pairs.
//
// Memory is the n x n table plus O(n): the sorted candidate lists of a node's
// children are kept, packed, in one of the two symmetric copies of the
// children's own table entries while the node is processed, and that copy is
// restored afterwards.
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

    // One side's candidate list of inner ends for an end leaf (see the .cpp).
    struct SList;

    void CreateInternals(CClusterNode* pRoot, CMatrix* pDistances);
    void DeleteInternals();
    void CheckLeafIndices(CClusterNode* pRoot);

    void SetCost(int uIndex, int wIndex, double cost) { m_ppCosts[uIndex][wIndex] = cost; }
    double GetCost(int uIndex, int wIndex) const { return m_ppCosts[uIndex][wIndex]; }
    void SetCost(CClusterNode* u, CClusterNode* w, double cost);
    double GetCost(CClusterNode* u, CClusterNode* w) const;

    void ComputeCosts(CClusterNode* pCluster);
    void ComputeNodeCosts(CClusterNode* pNode);
    void PackLists(const std::vector<int>& x, const std::vector<int>& y);
    void UnpackLists(const std::vector<int>& x, const std::vector<int>& y);
    double InnerCosts(const CostPairType* listM, int lenM, const std::vector<int>& ks, double C, double* T);
    void _ComputeCost(int uIndex, int wIndex, const double* T, double leastT, const CostPairType* listK, int lenK);
    void GetBestPair(CClusterNode* pRoot, CClusterNode** ppU, CClusterNode** ppW);
    void Backtrack(CClusterNode* pCluster, CClusterNode* u, CClusterNode* w);
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
    // Scratch leaf-index lists of the node being processed (sizes bounded by n).
    std::vector<int> m_LL, m_LR, m_RL, m_RR;
    CCostMap m_sortBuffer;
    std::vector<CostPairType> m_listM; // M-lists of a block of end leaves
    std::vector<CostPairType> m_listK;
    std::vector<double> m_inner;       // T[k] of a block of end leaves, by leaf index
    std::vector<double> m_innerMin;
};

#endif
