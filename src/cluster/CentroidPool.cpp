#include "CentroidPool.h"

#include <cmath>

#include "Cluster.h"
#include "ClusterNode.h"
#include "MergeState.h"

namespace
{
const std::vector<double>* DataOf(CClusterNode* p)
{
    return static_cast<const std::vector<double>*>(p->GetData());
}
} // namespace

CCentroidPool::CCentroidPool(CDistanceFunction* pDist, CClusterNode** ppLeaves, int n)
{
    if (pDist == 0)
        return;
    m_pKernel.reset(pDist->NewBlockKernel());
    if (!m_pKernel)
        return;
    const std::vector<double>* p0 = DataOf(ppLeaves[0]);
    if (p0 == 0 || p0->empty())
        return;
    m_dim = p0->size();
    for (int i = 1; i < n; ++i) {
        const std::vector<double>* p = DataOf(ppLeaves[i]);
        if (p == 0 || p->size() != m_dim)
            return;
    }
    m_x.assign(CMergeState::Padded(n) * m_dim, 0.0);
    m_spread.assign(CMergeState::Padded(n), 0.0);
    m_row.resize(m_dim);
    m_posNode.assign(static_cast<std::size_t>(n), -1);
    m_nodePos.assign(static_cast<std::size_t>(2 * n - 1), -1);
    m_finite = true;
    for (int i = 0; i < n && m_finite; ++i)
        for (std::size_t k = 0; k < m_dim; ++k)
            m_finite = m_finite && std::isfinite((*DataOf(ppLeaves[i]))[k]);
    for (int i = 0; i < n; ++i)
        Append(ppLeaves[i]);
    m_on = true;
}

bool CCentroidPool::Accepts(CClusterNode* pNode)
{
    const std::vector<double>* p = DataOf(pNode);
    if (m_on && (p == 0 || p->size() != m_dim))
        m_on = false;
    return m_on;
}

const double* CCentroidPool::Prepare(CClusterNode* pNode, double* pSpread)
{
    *pSpread = 0.0;
    return m_pKernel->Prepare(pNode, m_row.data(), pSpread);
}

void CCentroidPool::Append(CClusterNode* pNode)
{
    double spread;
    const double* v = Prepare(pNode, &spread);
    for (std::size_t k = 0; k < m_dim; ++k)
        m_x[Index(m_count, k)] = v[k];
    m_spread[static_cast<std::size_t>(m_count)] = spread;
    m_posNode[static_cast<std::size_t>(m_count)] = pNode->GetIndex();
    m_nodePos[static_cast<std::size_t>(pNode->GetIndex())] = m_count;
    ++m_count;
}

void CCentroidPool::Extract(int p, double* out, double* pSpread) const
{
    for (std::size_t k = 0; k < m_dim; ++k)
        out[k] = m_x[Index(p, k)];
    *pSpread = m_spread[static_cast<std::size_t>(p)];
}

void CCentroidPool::Remove(int node)
{
    const int p = m_nodePos[static_cast<std::size_t>(node)];
    const int last = m_count - 1;
    if (p != last) {
        const int moved = m_posNode[static_cast<std::size_t>(last)];
        if (m_moveCount < 2 && EarlierPositionOf(moved) == last) {
            m_moves[m_moveCount][0] = moved;
            m_moves[m_moveCount][1] = last;
            ++m_moveCount;
        }
        for (std::size_t k = 0; k < m_dim; ++k)
            m_x[Index(p, k)] = m_x[Index(last, k)];
        m_spread[static_cast<std::size_t>(p)] = m_spread[static_cast<std::size_t>(last)];
        m_posNode[static_cast<std::size_t>(p)] = moved;
        m_nodePos[static_cast<std::size_t>(moved)] = p;
    }
    m_nodePos[static_cast<std::size_t>(node)] = -1;
    --m_count;
}
