#ifndef LUMO_CLUSTERTHREAD_H
#define LUMO_CLUSTERTHREAD_H

#include <vector>

#include "ProgressThread.h"

class CCluster;
class CClusterNode;
class COrdering;

// Background clustering job: clusters the rows with its engine, then applies
// its leaf ordering (if any) to the finished tree. With bDeleteAll the job
// owns the engine, the engine's distance and combine functions, the ordering
// and the row data, and releases them when it is destroyed (an owned ordering
// as soon as it has run); the result tree, with the data vectors of its
// merged nodes, is always the job's.
class CClusterThread : public CProgressThread
{
public:
    CClusterThread(CCluster* pCluster, std::vector<double>** pInData, int dataCount, COrdering* pOrdering,
                   bool bDeleteAll);
    virtual ~CClusterThread();

    virtual void CleanupForTermination();
    // Returns 0, -1 when the engine built no tree, or the id of the clustering
    // error (its message stored as the job's error text). An allocation
    // failure outside the engine's own checks ends the job with status 1 and
    // CLUSTER_MEMORY_MESSAGE.
    virtual int Go(pthread_t tid);

    CClusterNode* GetResult() { return m_pResult; }
    void SetResult(CClusterNode* pResult) { m_pResult = pResult; }
    CCluster* GetClusterer() { return m_pCluster; }
    int GetDataCount() { return m_dataCount; }
    std::vector<double>** GetData() { return m_pInData; }
    COrdering* GetOrdering() { return m_pOrdering; }

private:
    CClusterThread(const CClusterThread&);
    CClusterThread& operator=(const CClusterThread&);

    CCluster* m_pCluster;
    std::vector<double>** m_pInData;
    int m_dataCount;
    COrdering* m_pOrdering;
    CClusterNode* m_pResult;
    bool m_bDeleteAll;
};

// Message of every memory failure of a clustering run.
extern const char* const CLUSTER_MEMORY_MESSAGE;

// Releases a tree built by the clustering engine: every node and the data
// vectors of the merged nodes (a leaf's data are the caller's row data).
// Iterative, so the depth of the tree does not matter.
void DeleteClusterTree(CClusterNode* pRoot);

// Releases the first count row vectors (null entries skipped) and the array.
void DeleteRowData(std::vector<double>** pRows, int count);

#endif
