#ifndef LUMO_BASICCLUSTER_H
#define LUMO_BASICCLUSTER_H

#include "Cluster.h"

class CClusterNode;
class CMatrix;
class CUpperDiagonalMatrix;

// Centroid-style agglomerative clustering: n rows become leaves 0 ... n - 1,
// and the closest pair of unmerged nodes (the first in (i, j) order among
// equally close pairs) is merged n - 1 times into nodes n ... 2n - 2, the
// left child being the one with the smaller index. The distances of all
// compared pairs stay in the distance matrix after the run.
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
    virtual unsigned long long GetMemoryRequirement(unsigned long long iDataSize,
                                                    unsigned long long iDataCount);

    // Node of the given index, or null when the index is outside 0 ... 2n - 2
    // or no tree has been built.
    CClusterNode* GetNodeByIndex(int index);
    // Stores a node in the index table; an index outside the table throws
    // CClusterException* id 5.
    void SetNodeByIndex(int index, CClusterNode* pNode);
    double GetCachedDistance(CClusterNode* pNode1, CClusterNode* pNode2);
    // Number of entries of the node table (2n - 1 after a run, else 0).
    int GetNodeCount() { return m_iNodeCount; }

private:
    CBasicCluster(const CBasicCluster&);
    CBasicCluster& operator=(const CBasicCluster&);

    double CheckedDistance(CDistanceFunction* pDist, CClusterNode* pNode1, CClusterNode* pNode2);
    static double CheckedValue(double d);
    void ReleasePartialTree(int iDataCount);
    CClusterNode* NewMergedNode(CCombineDataFunction* pCombine, int index, int mini, int minj);

    CUpperDiagonalMatrix* m_pDistances;
    CClusterNode** m_ppNodes;
    int m_iNodeCount;
};

#endif
