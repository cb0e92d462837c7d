#include "OptimalOrdering.h"

#include <algorithm>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "Matrix.h"

namespace
{
// Candidate range of inner ends for the end leaf at position p of a child
// occupying [start, start + size) with its left side [start, split): the other
// side, or the leaf itself when the child is a leaf.
inline void OtherSide(int p, int start, int split, int size, int& lo, int& hi)
{
    if (size == 1) {
        lo = start;
        hi = start + 1;
    } else if (p < split) {
        lo = split;
        hi = start + size;
    } else {
        lo = start;
        hi = split;
    }
}

// Least a[i] + b[i] over i < len (len >= 1). Four running minima hide the
// latency of the comparisons; the minimum of a set does not depend on the
// order in which it is taken.
inline double MinOfSums(const double* a, const double* b, int len)
{
    double m0 = a[0] + b[0];
    double m1 = m0, m2 = m0, m3 = m0;
    int i = 1;
    for (; i + 4 <= len; i += 4) {
        const double c0 = a[i] + b[i];
        const double c1 = a[i + 1] + b[i + 1];
        const double c2 = a[i + 2] + b[i + 2];
        const double c3 = a[i + 3] + b[i + 3];
        m0 = c0 < m0 ? c0 : m0;
        m1 = c1 < m1 ? c1 : m1;
        m2 = c2 < m2 ? c2 : m2;
        m3 = c3 < m3 ? c3 : m3;
    }
    for (; i < len; ++i) {
        const double c = a[i] + b[i];
        m0 = c < m0 ? c : m0;
    }
    m0 = m1 < m0 ? m1 : m0;
    m2 = m3 < m2 ? m3 : m2;
    return m2 < m0 ? m2 : m0;
}

struct SPending
{
    int node;  // entry in the node list
    int first; // position of the leaf the subtree's ordering must start with
    int last;  // position of the leaf it must end with
};

const int kTile = 64;
// Candidate ranges up to this length are scanned in full, longer ones pruned.
const int kDense = 64;
// Pruning is kept while it scans less than 1 / kRatio of the candidates.
const double kRatio = 6.0;
const int kProbe = 16;
} // namespace

COptimalOrdering::COptimalOrdering()
    : m_ppCosts(nullptr), m_iLeafCount(0), m_pNode(nullptr), m_pDistances(nullptr), m_pTriangle(nullptr),
      m_ppRows(nullptr), m_iNodeCount(0), m_iNodeTracker(0.0), m_iNodeTrackerMax(0.0), m_bUsed(false)
{}

COptimalOrdering::~COptimalOrdering()
{
    DeleteInternals();
}

std::uintmax_t COptimalOrdering::GetMemoryRequirement(CClusterNode*, CMatrix*)
{
    return 0;
}

void COptimalOrdering::OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances)
{
    if (pCluster == nullptr)
        throw new CClusterException(4, "argument pCluster may not be null");
    if (m_bUsed || m_ppCosts != nullptr)
        throw new CClusterException(2, "OrderLeaves may not be called more than once");
    m_bUsed = true;
    if (pDistances == nullptr)
        throw new CClusterException(4, "null pointer arguments");
    // A single leaf has nothing to order (and a leaf count of 0).
    if (pCluster->IsLeaf())
        return;

    CollectNodes(pCluster);
    CreateInternals(pCluster, pDistances);

    m_iNodeTrackerMax = static_cast<double>(m_iLeafCount) * m_iLeafCount;
    m_iNodeTracker = 0.0;
    ComputeCosts();

    int bestU = -1;
    int bestW = -1;
    GetBestPair(pCluster, &bestU, &bestW);

    m_iNodeTracker = 0.0;
    Backtrack(bestU, bestW);
}

void COptimalOrdering::CollectNodes(CClusterNode* pRoot)
{
    const int leafCount = pRoot->GetLeafCount();
    const std::size_t maxNodes = 2 * static_cast<std::size_t>(leafCount) - 1;
    m_nodes.clear();
    m_nodes.reserve(maxNodes);

    // Pre-order, left child first: parents come before their children and
    // leaves appear from left to right.
    struct SItem
    {
        CClusterNode* pNode;
        int parent;
        bool isLeft;
    };
    std::vector<SItem> pending(1, SItem{pRoot, -1, false});
    while (!pending.empty()) {
        SItem item = pending.back();
        pending.pop_back();
        if (m_nodes.size() >= maxNodes)
            throw new CClusterException(5, "leaf index out of range");
        const int self = static_cast<int>(m_nodes.size());
        m_nodes.push_back(SNode{item.pNode, 0, 1, 1, -1, -1});
        if (item.parent >= 0)
            (item.isLeft ? m_nodes[item.parent].left : m_nodes[item.parent].right) = self;
        if (item.pNode->IsLeaf())
            continue;
        if (item.pNode->GetLeftChild() == nullptr || item.pNode->GetRightChild() == nullptr)
            throw new CClusterException(4, "pCluster is NULL");
        pending.push_back(SItem{item.pNode->GetRightChild(), self, false});
        pending.push_back(SItem{item.pNode->GetLeftChild(), self, true});
    }

    // Sizes bottom-up, then start positions top-down.
    for (std::size_t i = m_nodes.size(); i-- > 0;) {
        SNode& node = m_nodes[i];
        if (node.left >= 0) {
            node.leftSize = m_nodes[node.left].size;
            node.size = node.leftSize + m_nodes[node.right].size;
        }
    }
    if (m_nodes[0].size != leafCount)
        throw new CClusterException(5, "leaf index out of range");

    m_leafAt.assign(static_cast<std::size_t>(leafCount), -1);
    m_position.assign(static_cast<std::size_t>(leafCount), -1);
    m_nodes[0].start = 0;
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        const SNode& node = m_nodes[i];
        if (node.left >= 0) {
            m_nodes[node.left].start = node.start;
            m_nodes[node.right].start = node.start + node.leftSize;
            continue;
        }
        const int index = node.pNode->GetIndex();
        if (index < 0 || index >= leafCount)
            throw new CClusterException(5, "leaf index out of range");
        if (m_position[index] >= 0)
            throw new CClusterException(5, "leaf index occurs twice");
        m_position[index] = node.start;
        m_leafAt[node.start] = index;
    }
}

void COptimalOrdering::CreateInternals(CClusterNode* pRoot, CMatrix* pDistances)
{
    m_iLeafCount = pRoot->GetLeafCount();
    m_iNodeCount = 2 * m_iLeafCount - 1;
    m_pNode = pRoot;
    m_pDistances = pDistances;
    m_pTriangle = dynamic_cast<CUpperDiagonalMatrix*>(pDistances);
    if (m_pTriangle != nullptr && m_pTriangle->GetSize() < m_iLeafCount)
        m_pTriangle = nullptr;
    m_ppRows = nullptr;
    // Rows start null so that a failed allocation leaves a table that
    // DeleteInternals can release.
    m_ppCosts = new double*[m_iLeafCount]();
    for (int i = 0; i < m_iLeafCount; ++i)
        m_ppCosts[i] = new double[m_iLeafCount];

    const std::size_t n = static_cast<std::size_t>(m_iLeafCount);
    m_listM.reserve(n);
    m_listK.reserve(n);
    m_inner.reserve(n);
    m_innerMin.reserve(n);
    m_crossMin.reserve(n);
}

void COptimalOrdering::DeleteInternals()
{
    if (m_ppCosts != nullptr) {
        for (int i = 0; i < m_iLeafCount; ++i)
            delete[] m_ppCosts[i];
        delete[] m_ppCosts;
        m_ppCosts = nullptr;
    }
    m_pNode = nullptr;
    m_pDistances = nullptr;
    m_pTriangle = nullptr;
    m_ppRows = nullptr;
    m_iLeafCount = 0;
}

// The cost table reads distances of leaf pairs many millions of times: once
// the first read has run any pending refill of the matrix, the triangle's rows
// are indexed directly (leaf indices are below its size, checked when built).
double COptimalOrdering::Distance(int aPos, int bPos) const
{
    const int a = m_leafAt[aPos], b = m_leafAt[bPos];
    if (m_ppRows != nullptr)
        return a < b ? m_ppRows[b][a] : m_ppRows[a][b];
    const double value = m_pDistances->GetValue(a, b);
    if (m_pTriangle != nullptr)
        m_ppRows = m_pTriangle->DirectRows();
    return value;
}

void COptimalOrdering::ComputeCosts()
{
    // Children come after their parents in the node list: walk it backwards.
    for (std::size_t i = m_nodes.size(); i-- > 0;) {
        const SNode& node = m_nodes[i];
        if (node.left < 0) {
            SetCost(node.start, node.start, 0.0);
            DoCallback(m_iNodeTrackerMax, m_iNodeTracker, kPhaseOptimalCosts);
            m_iNodeTracker += 1.0;
        } else {
            ComputeNodeCosts(node);
        }
    }
}

// Fills M[u][w] = M[w][u] for every u below the left child and w below the
// right child.
//
// Step 1, per u: T[k] = min over m of M[u][m] + S(k, m) for every leaf k of
// the right child, m ranging over the other side of the left child.
// Step 2, per (u, w): M[u][w] = min over k of T[k] + M[w][k], k ranging over
// the other side of the right child.
//
// Short candidate ranges are scanned in full: they are contiguous runs of
// table rows. Long ones are scanned in ascending order of their first term
// and cut off by a lower bound of the second: C(k), the least distance from k
// to the left child, in step 1, and the least M[w][k] in step 2. The bounds
// use >=, and floating-point addition is monotone, so a pruned candidate is
// never strictly below the minimum. Either way the result is the exact
// minimum of (M[u][m] + S(k, m)) + M[w][k] over all (m, k), evaluated in that
// order, which is how the top-down pass recomputes it.
//
// While the node is processed, the distances S(k, m) wait in the table block
// of rows k, columns m, which receives the symmetric copies M[k][m] only at
// the end: step 1 then reads contiguous rows instead of scattered distances.
void COptimalOrdering::ComputeNodeCosts(const SNode& node)
{
    const SNode& l = m_nodes[node.left];
    const SNode& r = m_nodes[node.right];
    SNodeScan scan;
    scan.L0 = l.start;
    scan.nl = l.size;
    scan.Ls = l.start + l.leftSize;
    scan.R0 = r.start;
    scan.nr = r.size;
    scan.Rs = r.leftSize; // relative to R0
    // Pruned step 2 needs the least M[w][k] over each w's candidates.
    scan.prune2 = scan.nr - scan.Rs > kDense || scan.Rs > kDense;
    StashDistances(scan);
    InnerMinima(scan);
    m_inner.resize(static_cast<std::size_t>(scan.nr));
    double* T = m_inner.data();
    for (int u = scan.L0; u < scan.L0 + scan.nl; ++u) {
        InnerCosts(scan, u, T);
        EndCosts(scan, u, T);
    }
    MirrorCosts(scan);
}

// The distance stash and the lower bounds C(k).
void COptimalOrdering::StashDistances(const SNodeScan& scan)
{
    double** costs = m_ppCosts;
    m_crossMin.resize(static_cast<std::size_t>(scan.nr));
    double* crossMin = m_crossMin.data();
    for (int j = 0; j < scan.nr; ++j) {
        const int k = scan.R0 + j;
        double* rowK = costs[k];
        double least = 0.0;
        for (int m = scan.L0; m < scan.L0 + scan.nl; ++m) {
            const double d = Distance(k, m);
            rowK[m] = d;
            if (m == scan.L0 || d < least)
                least = d;
        }
        crossMin[j] = least;
    }
}

// The least M[w][k] over each w's candidates k, for pruned step 2.
void COptimalOrdering::InnerMinima(const SNodeScan& scan)
{
    const int R0 = scan.R0, nr = scan.nr;
    m_innerMin.assign(static_cast<std::size_t>(nr), 0.0);
    double* innerMin = m_innerMin.data();
    if (!scan.prune2 || nr <= 1)
        return;
    for (int j = 0; j < nr; ++j) {
        int lo, hi;
        OtherSide(R0 + j, R0, R0 + scan.Rs, nr, lo, hi);
        const double* rowW = m_ppCosts[R0 + j];
        double least = rowW[lo];
        for (int k = lo + 1; k < hi; ++k)
            if (rowW[k] < least)
                least = rowW[k];
        innerMin[j] = least;
    }
}

// Step 1 for one end leaf u: T over the right child.
//
// Pruning pays only while it skips most candidates (a pruned candidate costs
// a scattered read, a full scan streams): the fraction of candidates the last
// pruned end leaf scanned decides, and pruning is tried again every kProbe
// end leaves. The same holds for step 2.
void COptimalOrdering::InnerCosts(SNodeScan& scan, int u, double* T)
{
    double** costs = m_ppCosts;
    const int R0 = scan.R0, nr = scan.nr;
    const double* rowU = costs[u];
    int lo, hi;
    OtherSide(u, scan.L0, scan.Ls, scan.nl, lo, hi);
    const bool prune = hi - lo > kDense && (scan.scanned1 * kRatio < 1.0 || scan.sincePrune1 >= kProbe);
    if (!prune) {
        ++scan.sincePrune1;
        for (int j = 0; j < nr; ++j)
            T[j] = MinOfSums(rowU + lo, costs[R0 + j] + lo, hi - lo);
        return;
    }
    m_listM.clear();
    for (int m = lo; m < hi; ++m)
        m_listM.push_back(CostPairType(rowU[m], m));
    std::sort(m_listM.begin(), m_listM.end(), less_CostPairType());
    const CostPairType* listM = m_listM.data();
    const int lenM = static_cast<int>(m_listM.size());
    const double* crossMin = m_crossMin.data();
    long scanned = 0;
    for (int j = 0; j < nr; ++j) {
        const double* rowK = costs[R0 + j];
        const double C = crossMin[j];
        double best = listM[0].first + rowK[listM[0].second];
        int e = 1;
        for (; e < lenM; ++e) {
            const double um = listM[e].first;
            if (um + C >= best)
                break;
            const double cand = um + rowK[listM[e].second];
            if (cand < best)
                best = cand;
        }
        scanned += e;
        T[j] = best;
    }
    scan.scanned1 = static_cast<double>(scanned) / (static_cast<double>(lenM) * nr);
    scan.sincePrune1 = 0;
}

// Step 2 for one end leaf u, given its T over the right child.
void COptimalOrdering::EndCosts(SNodeScan& scan, int u, const double* T)
{
    double* rowU = m_ppCosts[u];
    const int R0 = scan.R0, nr = scan.nr, Rs = scan.Rs;
    // A leaf on the right is its own inner end: M[u][w] = T.
    if (nr == 1) {
        rowU[R0] = T[0];
        DoCallback(m_iNodeTrackerMax, m_iNodeTracker, kPhaseOptimalCosts);
        m_iNodeTracker += 1.0;
        return;
    }
    const bool prune = scan.prune2 && (scan.scanned2 * kRatio < 1.0 || scan.sincePrune2 >= kProbe);
    const CostPairType* listK = prune ? SortedInnerCosts(scan, T) : nullptr;
    const double* innerMin = m_innerMin.data();
    long scanned = 0, candidates = 0;
    for (int j = 0; j < nr; ++j) {
        const double* rowW = m_ppCosts[R0 + j] + R0;
        // k ranges over the side of the right child that w is not on.
        const int elo = j < Rs ? Rs : 0;
        const int ehi = j < Rs ? nr : Rs;
        double best;
        if (!prune || ehi - elo <= kDense) {
            best = MinOfSums(T + elo, rowW + elo, ehi - elo);
        } else {
            best = PrunedMinimum(listK, elo, ehi, rowW, innerMin[j], &scanned);
            candidates += ehi - elo;
        }
        rowU[R0 + j] = best;
        DoCallback(m_iNodeTrackerMax, m_iNodeTracker, kPhaseOptimalCosts);
        m_iNodeTracker += 1.0;
    }
    if (prune) {
        scan.scanned2 = candidates > 0 ? static_cast<double>(scanned) / candidates : 0.0;
        scan.sincePrune2 = 0;
    } else {
        ++scan.sincePrune2;
    }
}

// (T[k], k) over the right child, each of its sides sorted when long.
const CostPairType* COptimalOrdering::SortedInnerCosts(const SNodeScan& scan, const double* T)
{
    m_listK.clear();
    for (int j = 0; j < scan.nr; ++j)
        m_listK.insert(CostPairType(T[j], j));
    CCostMap::iterator mid = m_listK.begin() + scan.Rs;
    if (scan.Rs > kDense)
        std::sort(m_listK.begin(), mid, less_CostPairType());
    if (scan.nr - scan.Rs > kDense)
        std::sort(mid, m_listK.end(), less_CostPairType());
    return &*m_listK.begin();
}

// Least T[k] + M[w][k] over the sorted candidates listK[elo ... ehi - 1],
// cut off once T[k] plus the least M[w][k] cannot win; rowW is M[w] from
// the right child's first position on. Adds the candidates read to *pScanned.
double COptimalOrdering::PrunedMinimum(const CostPairType* listK, int elo, int ehi, const double* rowW, double leastWK,
                                       long* pScanned)
{
    double best = listK[elo].first + rowW[listK[elo].second];
    int e = elo + 1;
    for (; e < ehi; ++e) {
        const double tk = listK[e].first;
        if (tk + leastWK >= best)
            break;
        const double cand = tk + rowW[listK[e].second];
        if (cand < best)
            best = cand;
    }
    *pScanned += e - elo;
    return best;
}

// The symmetric copies M[w][u] replace the distance stash, in tiles so that
// both sides stay in cache.
void COptimalOrdering::MirrorCosts(const SNodeScan& scan)
{
    double** costs = m_ppCosts;
    const int L0 = scan.L0, nl = scan.nl, R0 = scan.R0, nr = scan.nr;
    for (int u0 = L0; u0 < L0 + nl; u0 += kTile) {
        const int u1 = std::min(u0 + kTile, L0 + nl);
        for (int w0 = R0; w0 < R0 + nr; w0 += kTile) {
            const int w1 = std::min(w0 + kTile, R0 + nr);
            for (int w = w0; w < w1; ++w) {
                double* rowW = costs[w];
                for (int u = u0; u < u1; ++u)
                    rowW[u] = costs[u][w];
            }
        }
    }
}

void COptimalOrdering::GetBestPair(CClusterNode* pRoot, int* pU, int* pW)
{
    if (pU == nullptr || pW == nullptr || pRoot == nullptr)
        throw new CClusterException(4, "null pointer arguments");
    CClusterNodeVector* pLeft = pRoot->GetLeftLeaves();
    CClusterNodeVector* pRight = pRoot->GetRightLeaves();
    const double trackerTotal = static_cast<double>(pLeft->size()) * pRight->size();
    double tracker = 0.0;
    // Positions of the right side, in the order of the root's stored list.
    std::vector<int> rightPos;
    rightPos.reserve(static_cast<std::size_t>(pRight->size()));
    for (CClusterNodeVector_iterator b = pRight->begin(); b != pRight->end(); b++)
        rightPos.push_back(m_position[(*b)->GetIndex()]);

    *pU = -1;
    *pW = -1;
    double minCost = -1.0;
    for (CClusterNodeVector_iterator a = pLeft->begin(); a != pLeft->end(); a++) {
        const int u = m_position[(*a)->GetIndex()];
        const double* rowU = m_ppCosts[u];
        for (std::size_t j = 0; j < rightPos.size(); ++j) {
            const double cost = rowU[rightPos[j]];
            if (cost < minCost || minCost < 0 || *pU < 0) {
                *pU = u;
                *pW = rightPos[j];
                minCost = cost;
            }
            DoCallback(trackerTotal, tracker, kPhaseOptimalPairs);
            tracker += 1.0;
        }
    }
    if (*pU < 0 || *pW < 0)
        throw new CClusterException(4, "sanity check failed");
}

// The inner ends (m, k) at which the ordering of the left child with end u
// meets the ordering of the right child with end w: a pair attaining M[u][w],
// recomputed exactly as the bottom-up pass computed it.
void COptimalOrdering::FindInnerEnds(const SNode& left, int u, const SNode& right, int w, int* pM, int* pK)
{
    int mlo, mhi, klo, khi;
    OtherSide(u, left.start, left.start + left.leftSize, left.size, mlo, mhi);
    OtherSide(w, right.start, right.start + right.leftSize, right.size, klo, khi);
    const double target = GetCost(u, w);
    const double* rowU = m_ppCosts[u];
    const double* rowW = m_ppCosts[w];
    *pM = mlo;
    *pK = klo;
    bool found = false;
    double best = 0.0;
    for (int m = mlo; m < mhi; ++m) {
        for (int k = klo; k < khi; ++k) {
            double cand = rowU[m] + Distance(k, m);
            if (right.size > 1)
                cand = cand + rowW[k];
            if (!found || cand < best) {
                found = true;
                best = cand;
                *pM = m;
                *pK = k;
                if (cand == target)
                    return;
            }
        }
    }
}

// Orients every node, parents before children: the node's first leaf goes to
// its left side, and its two children receive the ends that attain its cost.
// Every node is still in its initial orientation when it is reached, which
// the node list describes.
void COptimalOrdering::Backtrack(int uPos, int wPos)
{
    std::vector<SPending> pending;
    pending.reserve(m_nodes.size());
    pending.push_back(SPending{0, uPos, wPos});
    while (!pending.empty()) {
        const SPending job = pending.back();
        pending.pop_back();
        const SNode& node = m_nodes[job.node];
        if (node.left >= 0) {
            const SNode& l = m_nodes[node.left];
            const SNode& r = m_nodes[node.right];
            // The end on the left child's side is u, the other one w.
            const bool swap = job.first >= r.start;
            const int u = swap ? job.last : job.first;
            const int w = swap ? job.first : job.last;
            int m = -1;
            int k = -1;
            FindInnerEnds(l, u, r, w, &m, &k);
            if (swap) {
                node.pNode->SwapLeaves();
                pending.push_back(SPending{node.left, m, u});
                pending.push_back(SPending{node.right, w, k});
            } else {
                pending.push_back(SPending{node.right, k, w});
                pending.push_back(SPending{node.left, u, m});
            }
        }
        DoCallback(m_iNodeCount, m_iNodeTracker, kPhaseOptimalOrienting);
        m_iNodeTracker += 1.0;
    }
}
