#ifndef LUMO_RINTF_CLUSTER_H
#define LUMO_RINTF_CLUSTER_H

#include <Rinternals.h>

#include <climits>
#include <vector>

#include "ClusterNode.h"

extern "C" {
// Starts a background clustering of the rows of a rows x cols matrix; returns the job id.
SEXP StartClusteringThread(SEXP sexpData, SEXP sexpRows, SEXP sexpCols, SEXP sexpOrderMethod, SEXP sexpDistanceMethod);
// Writes a finished job's tree into merge, height and order; returns integer(0).
SEXP FinishClusteringThread(SEXP sthreadid, SEXP sexpMerge, SEXP sexpHeight, SEXP sexpOrder);
// Clusters on the calling thread and fills merge, height and order.
SEXP Cluster(SEXP sexpData, SEXP sexpRows, SEXP sexpCols, SEXP sexpMerge, SEXP sexpHeight, SEXP sexpOrder,
             SEXP sexpOrderMethod, SEXP sexpDistanceMethod);
// The machine's physical memory in bytes as a double (0 when it cannot be told).
SEXP GetPhysicalMemory(void);
}

// Leaf orderings selectable from R (codes of R/native.R); any other value is refused.
enum ORDER_METHOD
{
    NONE = 0,
    EISEN = 1,
    OPTIMAL = 2
};

// Distances selectable from R (codes of R/native.R); any other value is refused.
enum DISTANCE_METHOD
{
    EUCLIDEAN = 0,
    CORRELATION = 1
};

// Collects leaf indices, left to right, into an int array while a walk visits
// the leaves. Writes beyond the capacity given are dropped.
class CLeafOrdering : public CClusterNodeFunction
{
public:
    explicit CLeafOrdering(int* pOrder, int capacity = INT_MAX) : m_pOrder(pOrder), m_current(0), m_capacity(capacity)
    {}
    virtual ~CLeafOrdering() {}
    virtual void Go(CClusterNode* pNode);
    int GetCount() const { return m_current; }

private:
    int* m_pOrder;
    int m_current;
    int m_capacity;
};

// One vector per row of R's column-major nrow x ncol matrix: row r holds
// elements r, r + nrow, r + 2 nrow, ... Throws std::bad_alloc after releasing
// what it built.
std::vector<double>** VectorizeRMatrix(const double* rmatrix, int nrow, int ncol);

#endif
