#ifndef LUMO_CENTROIDPOOL_H
#define LUMO_CENTROIDPOOL_H

#include <cstddef>
#include <memory>
#include <vector>

#include "BlockKernel.h"

class CClusterNode;
class CDistanceFunction;

// The data of the active nodes, prepared by the distance's block kernel and
// copied into one contiguous array, four nodes to a block (see
// CBlockKernel): a pass over all active nodes then streams through memory
// instead of chasing node and vector objects over the heap. A removed node's
// place is filled by the last one, so the active nodes stay at positions
// 0 ... count - 1.
//
// Used only while the distance has a kernel and every data vector has the
// same non-zero length. A value that the distance function would reject
// comes out as NaN; the caller then asks the distance function itself for
// that pair, so that its exception applies.
class CCentroidPool
{
public:
    // Copies the n leaves; allocation failure throws std::bad_alloc.
    CCentroidPool(CDistanceFunction* pDist, CClusterNode** ppLeaves, int n);

    // No distance between leaves can be rejected.
    bool LeavesCannotFail() const { return m_finite && m_pKernel->FiniteRowsCannotFail(); }

    bool On() const { return m_on; }
    int Count() const { return m_count; }
    int Blocks() const { return (m_count + 3) / 4; }
    int NodeAt(int p) const { return m_posNode[static_cast<std::size_t>(p)]; }
    int PositionOf(int node) const { return m_nodePos[static_cast<std::size_t>(node)]; }
    std::size_t Dim() const { return m_dim; }

    // A merged node whose data do not match ends the pool's use.
    bool Accepts(CClusterNode* pNode);
    // The node's prepared values, valid until the next call, and its spread.
    const double* Prepare(CClusterNode* pNode, double* pSpread);
    void Append(CClusterNode* pNode);
    // The prepared values of the node at position p, and its spread.
    void Extract(int p, double* out, double* pSpread) const;

    // Position of a node before the removals since the last ClearMoves.
    int EarlierPositionOf(int node) const
    {
        for (int k = 0; k < m_moveCount; ++k)
            if (m_moves[k][0] == node)
                return m_moves[k][1];
        return PositionOf(node);
    }

    void ClearMoves() { m_moveCount = 0; }
    void Remove(int node);

    // Distances from prepared values x (with their spread) to the nodes at
    // positions 4 * b0 ... 4 * b1 - 1; out[4 * b0] is the first. Positions
    // past the count give meaningless values.
    void Distances(const double* x, double spread, int b0, int b1, double* out) const
    {
        m_pKernel->Distances(x, spread, m_x.data(), m_spread.data(), m_dim, b0, b1, out);
    }

private:
    CCentroidPool(const CCentroidPool&);
    CCentroidPool& operator=(const CCentroidPool&);

    std::size_t Index(int p, std::size_t k) const
    {
        return static_cast<std::size_t>(p / 4) * 4 * m_dim + 4 * k + static_cast<std::size_t>(p % 4);
    }

    std::unique_ptr<CBlockKernel> m_pKernel; // null: the distance has none
    bool m_on = false;
    bool m_finite = false; // every leaf value is finite
    std::size_t m_dim = 0;
    int m_count = 0;
    std::vector<double> m_x;
    std::vector<double> m_spread; // by position
    std::vector<double> m_row;    // one node's prepared values
    std::vector<int> m_posNode;   // node at each position
    std::vector<int> m_nodePos;   // position of each node index, -1: none
    int m_moves[2][2];            // (node, earlier position) of the nodes moved
    int m_moveCount = 0;          // by removals since ClearMoves
};

#endif
