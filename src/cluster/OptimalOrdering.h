#ifndef LUMO_OPTIMALORDERING_H
#define LUMO_OPTIMALORDERING_H

#include <vector>

#include "CostMap.h"
#include "Ordering.h"
#include "UpperDiagonalMatrix.h"

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
// The table is indexed by leaf position in the tree's initial left-to-right
// order, in which every subtree occupies a contiguous range: the entries a
// node reads and writes are then contiguous runs of table rows. Memory is the
// n x n table plus O(n); both passes walk the tree with explicit stacks, so
// deep trees need no deep call stack.
class COptimalOrdering : public COrdering
{
public:
    COptimalOrdering();
    virtual ~COptimalOrdering();

    // Allowed once per object; a second call throws (id 2).
    virtual void OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances);
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode* pCluster, CMatrix* pDistances);

    // Read access to the cost table by leaf index, for checks; valid after OrderLeaves.
    int GetTableSize() const { return m_ppCosts != nullptr ? m_iLeafCount : 0; }
    double GetTableCost(int uIndex, int wIndex) const { return m_ppCosts[m_position[uIndex]][m_position[wIndex]]; }

private:
    COptimalOrdering(const COptimalOrdering&);
    COptimalOrdering& operator=(const COptimalOrdering&);

    // A node of the tree as it was when the ordering started: its leaves are
    // the positions [start, start + size), those of its left child first.
    struct SNode
    {
        CClusterNode* pNode;
        int start;
        int size;
        int leftSize; // 1 for a leaf, whose one position serves as both sides
        int left;     // children's entries in m_nodes (-1 for a leaf)
        int right;
    };

    void CreateInternals(CClusterNode* pRoot, CMatrix* pDistances);
    void DeleteInternals();
    // Fills m_nodes (parents before children), m_leafAt and m_position, and
    // checks that the leaves carry the indices 0 .. n-1, each once, so that
    // the table is never addressed out of bounds.
    void CollectNodes(CClusterNode* pRoot);

    void SetCost(int uPos, int wPos, double cost) { m_ppCosts[uPos][wPos] = cost; }
    double GetCost(int uPos, int wPos) const { return m_ppCosts[uPos][wPos]; }
    double Distance(int aPos, int bPos) const;

    // The bounds of one node's children and the pruning record of its two
    // steps (see ComputeNodeCosts).
    struct SNodeScan
    {
        int L0, nl, Ls;                        // left child: start, size, start of its right side
        int R0, nr, Rs;                        // right child: start, size, size of its left side
        bool prune2;                           // a side of the right child is long enough to prune step 2
        double scanned1 = 0.0, scanned2 = 0.0; // fractions the last pruned scans read
        int sincePrune1 = 0, sincePrune2 = 0;  // end leaves since the last pruned scan
    };

    void ComputeCosts();
    void ComputeNodeCosts(const SNode& node);
    void StashDistances(const SNodeScan& scan);
    void InnerMinima(const SNodeScan& scan);
    void InnerCosts(SNodeScan& scan, int u, double* T);
    void EndCosts(SNodeScan& scan, int u, const double* T);
    const CostPairType* SortedInnerCosts(const SNodeScan& scan, const double* T);
    static double PrunedMinimum(const CostPairType* listK, int elo, int ehi, const double* rowW, double leastWK,
                                long* pScanned);
    void MirrorCosts(const SNodeScan& scan);
    void GetBestPair(CClusterNode* pRoot, int* pU, int* pW);
    void Backtrack(int uPos, int wPos);
    void FindInnerEnds(const SNode& left, int uPos, const SNode& right, int wPos, int* pM, int* pK);

    double** m_ppCosts;
    int m_iLeafCount;
    CClusterNode* m_pNode;
    CMatrix* m_pDistances;
    // The distance triangle's rows once the matrix can be read directly (the
    // common case after a clustering run); until then reads go through GetValue.
    CUpperDiagonalMatrix* m_pTriangle;
    mutable double* const* m_ppRows;
    int m_iNodeCount;
    // Progress counters are doubles: n * n overflows an int for n above 46,340.
    double m_iNodeTracker;
    double m_iNodeTrackerMax;
    // Set by the first OrderLeaves, also for a tree too small for a table.
    bool m_bUsed;

    std::vector<SNode> m_nodes;
    std::vector<int> m_leafAt;   // leaf index at each position
    std::vector<int> m_position; // position of each leaf index
    // Scratch of the node being processed, sized at most n each.
    std::vector<CostPairType> m_listM; // (M[u][m], m) of one end leaf u, sorted
    CCostMap m_listK;                  // (T[k], k) of one u, each side of the right child sorted
    std::vector<double> m_inner;       // T[k] = min over m of M[u][m] + S(m, k), for one u
    std::vector<double> m_innerMin;    // least M[w][k] over the k-candidates of each w
    std::vector<double> m_crossMin;    // least S(m, k) over the left child's leaves m, per k
};

#endif
