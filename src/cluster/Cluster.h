#ifndef LUMO_CLUSTER_H
#define LUMO_CLUSTER_H

#include "IProgressThreadCallback.h"

class CBlockKernel;
class CClusterNode;
class CMatrix;

// Distance between two nodes, computed from their data vectors
// (std::vector<double>*).
class CDistanceFunction
{
public:
    virtual ~CDistanceFunction() {}
    virtual double Distance(CClusterNode* pNode1, CClusterNode* pNode2) = 0;
    // Bytes the function object holds for a clustering run.
    virtual unsigned long long GetMemoryRequirement() = 0;
    // The kernel that computes this distance for many pairs at once, bit for
    // bit as Distance does (see CBlockKernel): a new object that the caller
    // owns and that uses this one, or null when there is none, and the
    // clustering engine then calls Distance pair by pair. Every distance
    // says which; the library's distances with a kernel are final, so that
    // no class derived from them can change Distance behind their kernel.
    virtual CBlockKernel* NewBlockKernel() = 0;
};

// Forms the data of a merged node from the data of its two children. The
// result is a new std::vector<double>* that the caller owns.
class CCombineDataFunction
{
public:
    virtual ~CCombineDataFunction() {}
    virtual void* CombineData(CClusterNode* pNode1, CClusterNode* pNode2) = 0;
    virtual unsigned long long GetMemoryRequirement() = 0;
};

// Agglomerative clustering over a distance and a combine strategy, neither
// owned. Reports progress through the inherited callback holder.
class CCluster : public IProgressThreadCallback
{
public:
    CCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData);
    virtual ~CCluster();

    virtual CMatrix* GetDistanceMatrix() = 0;
    // Builds the tree over iDataCount rows, ppData[i] being row i's
    // std::vector<double>*; returns the root.
    virtual CClusterNode* Cluster(void** ppData, int iDataCount) = 0;
    // Bytes a run over iDataCount rows of iDataSize bytes each will need.
    // Overflow throws std::out_of_range*.
    virtual unsigned long long GetMemoryRequirement(unsigned long long iDataSize, unsigned long long iDataCount) = 0;
    // Returns normally when that much memory can be obtained now; otherwise
    // throws CClusterException* id 1 "Not enough memory available to cluster.".
    virtual void CheckMemory(unsigned long long iDataSize, unsigned long long iDataCount);

    CDistanceFunction* GetDistanceFunction() { return m_pDistance; }
    CCombineDataFunction* GetCombineDataFunction() { return m_pCombineData; }

    // Largest single block the memory probe requests.
    static const unsigned long long PROBE_BLOCK_SIZE = 2147483647ULL;
    // Splits a requirement into full probe blocks and a remainder block (0: none).
    // Throws std::out_of_range* when the block count overflows.
    static void GetProbeBlocks(unsigned long long memReq, unsigned long long* pFullBlocks,
                               unsigned long long* pRemainder);
    // Physical memory of the machine in bytes, or 0 when it cannot be told: no
    // requirement above it can be met. Other analyses refuse by the same bound.
    static unsigned long long PhysicalMemory();

protected:
    CDistanceFunction* m_pDistance;
    CCombineDataFunction* m_pCombineData;

private:
    CCluster(const CCluster&);
    CCluster& operator=(const CCluster&);
};

#endif
