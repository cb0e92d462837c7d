#ifndef LUMO_BASICCLUSTER_H
#define LUMO_BASICCLUSTER_H

#include <memory>

#include "Cluster.h"
#include "WorkerPool.h"

class CClusterNode;
class CMatrix;
class CUpperDiagonalMatrix;

// Centroid-style agglomerative clustering: n rows become leaves 0 ... n - 1,
// and the closest pair of unmerged nodes (the first in (i, j) order among
// equally close pairs) is merged n - 1 times into nodes n ... 2n - 2, the
// left child being the one with the smaller index.
//
// The distance matrix has n slots: during the run it keeps the distances
// between unmerged nodes only, a merged node taking over a child's slot.
// After the run it holds the distances between leaves, which are computed
// again (with the run's distance function and threads, repeating the run's
// last progress report between passes) when the matrix is first read;
// distances involving merged nodes are not kept.
class CBasicCluster : public CCluster
{
public:
    CBasicCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData);
    // Releases the node table (not the nodes) and the distance matrix. The
    // tree returned by Cluster and all data vectors outlive the object.
    virtual ~CBasicCluster();

    virtual CMatrix* GetDistanceMatrix();
    // May be called once per object; needs at least two rows. The caller owns
    // the returned tree, including the data vectors of its merged nodes. On
    // any failure everything built by the call is released again.
    virtual CClusterNode* Cluster(void** ppData, int iDataCount);
    virtual unsigned long long GetMemoryRequirement(unsigned long long iDataSize, unsigned long long iDataCount);

    // Node of the given index, or null when the index is outside 0 ... 2n - 2
    // or no tree has been built.
    CClusterNode* GetNodeByIndex(int index);
    // Stores a node in the index table; an index outside the table throws
    // CClusterException* id 5.
    void SetNodeByIndex(int index, CClusterNode* pNode);
    double GetCachedDistance(CClusterNode* pNode1, CClusterNode* pNode2);
    // Number of entries of the node table (2n - 1 after a run, else 0).
    int GetNodeCount() { return m_iNodeCount; }
    // Threads of the distance computations; taken from
    // lumo::DefaultThreadCount() when the object is built. The result does
    // not depend on it.
    void SetThreadCount(int threads) { m_iThreads = threads < 1 ? 1 : threads; }
    int GetThreadCount() const { return m_iThreads; }
    // Fewest active nodes a thread takes in one pass of a merge step (at
    // least 1); smaller passes run on the calling thread alone. A merge step
    // over n active nodes takes about 10 n nanoseconds; measured on two
    // cores, waking a second thread for it pays only from about 16,000
    // active nodes on.
    void SetMinimumChunk(int nodes) { m_iMinChunk = nodes < 1 ? 1 : nodes; }
    enum
    {
        kDefaultMinChunk = 8192
    };

private:
    CBasicCluster(const CBasicCluster&);
    CBasicCluster& operator=(const CBasicCluster&);

    // The steps of Cluster: the checks and the node table, the leaves and
    // the matrix, the run itself, and what the run leaves behind.
    void StartRun(void** ppData, int iDataCount);
    void PrepareRun(void** ppData);
    CClusterNode* Run();
    void FinishRun(double total);
    void ReleasePartialTree(int iDataCount);
    void RestoreLeafDistances();
    lumo::CWorkerPool& Workers();

    CUpperDiagonalMatrix* m_pDistances;
    CClusterNode** m_ppNodes;
    int m_iNodeCount;
    int m_iThreads;
    std::unique_ptr<lumo::CWorkerPool> m_pWorkers;
    int m_iMinChunk;
    double m_fFinalTotal; // the total of the merge reports
};

#endif
