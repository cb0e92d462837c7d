#ifndef LUMO_MERGEENGINE_H
#define LUMO_MERGEENGINE_H

#include <memory>
#include <vector>

#include "CentroidPool.h"
#include "MergeState.h"
#include "WorkerPool.h"

class CClusterNode;
class CCombineDataFunction;
class CDistanceFunction;
class CUpperDiagonalMatrix;
class IProgressThreadCallback;

// What one worker's chunk of a merge step found.
struct SChunk
{
    int best; // least (d, node) of the chunk
    double key;
    int badNode; // least node with a NaN or negative distance, -1: none
    double badValue;
};

// The merge steps that use the centroid copy. Each step computes the
// distances from the new node c to every active node, and stores in the
// matrix the distances of the previous step's new node: until then nothing
// reads them (a rescan reads the distances from a node to smaller ones, and
// the newest node is the largest and not stale), so one pass of the workers
// both stores the previous node's distances, in the order of the slots, and
// computes c's. The computing chunks also mark the nodes that lost their
// partner and keep the least (d, node) of the chunk; c's partner is the
// least over the chunks.
class CMergeSteps
{
public:
    explicit CMergeSteps(int slots) : m_slots(slots), m_pending(-1) {}

    // *pBadNode is the least node whose distance to c is NaN or negative
    // (-1: none), so that the caller can fail as the plain loop in node order
    // would.
    void Step(CCentroidPool& batch, lumo::CWorkerPool& workers, CMergeState& state, CUpperDiagonalMatrix& m,
              const double* xc, double spread, int a, int b, int c, int minChunk, int* pBadNode, double* pBadValue);

    // Stores the pending distances now, before the pair-by-pair path takes
    // over; c is the node that path is building.
    void Flush(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int c);

private:
    void Compute(CCentroidPool& batch, CMergeState& state, const double* xc, double spread, int a, int b, int b0,
                 int b1, SChunk& ch);
    void Store(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int pendingSlot, int c, int s0,
               int s1);

    int m_slots;
    int m_pending;              // node whose distances wait in m_prev, -1: none
    std::vector<double> m_out;  // this step's distances, by position in the centroid copy
    std::vector<double> m_prev; // the pending node's distances, by the positions they had
    std::vector<SChunk> m_chunks;
};

// One clustering run over the n leaves in ppNodes[0 ... n - 1]: Fill
// computes the distances between the leaves, Merge then merges the closest
// pair n - 1 times, storing the merged nodes n ... 2n - 2 in ppNodes. The
// distance and combine functions, the node table, the matrix (n slots) and
// the progress reports belong to the caller.
//
// Where the distance has a block kernel (and the data have one length), the
// distances from a node to all others are computed a pass at a time on the
// worker threads; otherwise, and for any pair a pass could not give, the
// distance function is called pair by pair. The reports, the merges and any
// failure are the same either way.
class CMergeEngine
{
public:
    // Allocation failure throws CClusterException* id 1.
    CMergeEngine(IProgressThreadCallback& progress, CDistanceFunction* pDist, CCombineDataFunction* pCombine,
                 CClusterNode** ppNodes, CUpperDiagonalMatrix& m, lumo::CWorkerPool& workers, int minChunk);

    // Reports (total, step, 0) before the pair steps 0, 1000, 2000, ...
    void Fill();
    // Returns the root; reports (total, step, 1) every 1000 steps, counting
    // one step per node index below each new node, but not the final report.
    CClusterNode* Merge();
    // The total of the merge reports.
    double MergeTotal() const;

    // Puts the n leaves back into slots 0 ... n - 1 and computes their
    // distances again, as the fill did; repeats the report (total, total, 1)
    // once per 1000 pairs.
    static void RestoreLeafDistances(IProgressThreadCallback& progress, CDistanceFunction* pDist,
                                     CClusterNode** ppNodes, CUpperDiagonalMatrix& m, lumo::CWorkerPool& workers,
                                     double total);
    // The distance, or CClusterException* id 5 when it is NaN or negative.
    static double CheckedDistance(CDistanceFunction* pDist, CClusterNode* pNode1, CClusterNode* pNode2);
    static double CheckedValue(double d);

private:
    CMergeEngine(const CMergeEngine&);
    CMergeEngine& operator=(const CMergeEngine&);

    void FillUnchecked();
    void FillChecked();
    void BatchFillRows(int i0, int i1, std::vector<std::vector<double>>& rows, std::vector<char>& rowBad);
    void FillBlock(int i0, int i1, const std::vector<char>& rowBad);
    // Reports the steps before step (exclusive or inclusive).
    void ReportBefore(long long step, int msgid);
    void ReportUpTo(long long step, int msgid);
    void MergeStep(int c, int mini, int minj);
    void BatchedDistances(CClusterNode* pNode, int c, int mini, int minj);
    void PairDistances(CClusterNode* pNode, int c, int mini, int minj);
    CClusterNode* NewMergedNode(int index, int mini, int minj);

    IProgressThreadCallback& m_progress;
    CDistanceFunction* m_pDist;
    CCombineDataFunction* m_pCombine;
    CClusterNode** m_ppNodes;
    CUpperDiagonalMatrix& m_m;
    int m_n;
    int m_minChunk;
    std::unique_ptr<CMergeState> m_pState;
    std::unique_ptr<CCentroidPool> m_pPool;
    // The caller's pool when the distances come in passes; a one-thread pool of
    // the engine's own when the distance function is called pair by pair.
    std::unique_ptr<lumo::CWorkerPool> m_pSerial;
    lumo::CWorkerPool* m_pWorkers = nullptr;
    CMergeSteps m_steps;
    double m_total = 0.0; // of the current phase's reports
    long long m_step = 0; // steps done in the current phase
    long long m_nextReport = 0;
};

#endif
