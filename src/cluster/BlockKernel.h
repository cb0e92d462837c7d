#ifndef LUMO_BLOCKKERNEL_H
#define LUMO_BLOCKKERNEL_H

#include <cstddef>

class CClusterNode;

// A distance evaluated from one node to many nodes at once, which the
// clustering engine uses instead of calling the distance pair by pair. The
// many nodes are stored as the kernel prepares them, four nodes to a block:
// node 4b + l (l = 0 ... 3) of block b has its value k at
// blocks[4 * dim * b + 4 * k + l] and its per-node scalar at spreads[4b + l].
//
// For two nodes whose data have the same length dim > 0, every value is bit
// for bit what the distance's Distance returns, except where Distance throws:
// there the kernel gives NaN, and the caller asks Distance itself for that
// pair so that its exception applies.
class CBlockKernel
{
public:
    virtual ~CBlockKernel() {}

    // The node's values as the kernel reads them, either written to pScratch
    // (room for the node's values) or the node's own data, and its per-node
    // scalar in *pSpread. The node and its data must exist.
    virtual const double* Prepare(CClusterNode* pNode, double* pScratch, double* pSpread) = 0;
    // Distances from prepared values x, with their scalar, to the nodes of
    // the blocks b0 ... b1 - 1: node 4b + l goes to out[4 * (b - b0) + l].
    // Nodes past the last stored one give meaningless values.
    virtual void Distances(const double* x, double spread, const double* blocks, const double* spreads, std::size_t dim,
                           int b0, int b1, double* out) const = 0;
    // Whether no distance between two rows of finite values can be NaN.
    virtual bool FiniteRowsCannotFail() const = 0;
};

#endif
