#include "Cluster.h"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>
#include <unistd.h>

#include "ClusterException.h"
#include "SafeInt.h"

CCluster::CCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData)
    : IProgressThreadCallback(), m_pDistance(pDistance), m_pCombineData(pCombineData)
{}

CCluster::~CCluster() {}

const unsigned long long CCluster::PROBE_BLOCK_SIZE;

void CCluster::GetProbeBlocks(unsigned long long memReq, unsigned long long* pFullBlocks,
                              unsigned long long* pRemainder)
{
    *pRemainder = CSafeInt<unsigned long long>::Mod(memReq, PROBE_BLOCK_SIZE);
    *pFullBlocks = CSafeInt<unsigned long long>::Divide(memReq, PROBE_BLOCK_SIZE);
    // The block count must itself be representable.
    CSafeInt<unsigned long long>::Add(*pFullBlocks, *pRemainder != 0 ? 1 : 0);
}

unsigned long long CCluster::PhysicalMemory()
{
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        try {
            return CSafeInt<unsigned long long>::Multiply(static_cast<unsigned long long>(pages),
                                                          static_cast<unsigned long long>(pageSize));
        } catch (std::out_of_range* e) {
            delete e;
        }
    }
#endif
    return 0;
}

static void ReleaseBlocks(std::vector<void*>& blocks)
{
    for (std::size_t i = 0; i < blocks.size(); ++i)
        std::free(blocks[i]);
    blocks.clear();
}

void CCluster::CheckMemory(unsigned long long iDataSize, unsigned long long iDataCount)
{
    static const char* const kMessage = "Not enough memory available to cluster.";
    unsigned long long memReq = 0, div = 0, mod = 0;
    try {
        memReq = GetMemoryRequirement(iDataSize, iDataCount);
        GetProbeBlocks(memReq, &div, &mod);
    } catch (std::out_of_range* e) {
        delete e;
        throw new CClusterException(1, kMessage);
    }
    if (div > PROBE_BLOCK_SIZE)
        throw new CClusterException(1, kMessage);
    // With overcommitting allocators, address space is granted far beyond the
    // memory that exists and the run would die when it touches its pages; a
    // requirement above the physical memory can never be met.
    unsigned long long physical = PhysicalMemory();
    if (physical != 0 && memReq > physical)
        throw new CClusterException(1, kMessage);
    // The blocks (div full ones, then the remainder) are obtained and
    // released, never touched.
    const unsigned long long count = div + (mod != 0 ? 1 : 0);
    std::vector<void*> blocks;
    try {
        blocks.reserve(static_cast<std::size_t>(count));
        for (unsigned long long i = 0; i < count; ++i) {
            void* p = std::malloc(static_cast<std::size_t>(i < div ? PROBE_BLOCK_SIZE : mod));
            if (p == 0) {
                ReleaseBlocks(blocks);
                throw new CClusterException(1, kMessage);
            }
            blocks.push_back(p);
        }
    } catch (const std::bad_alloc&) {
        ReleaseBlocks(blocks);
        throw new CClusterException(1, kMessage);
    }
    ReleaseBlocks(blocks);
}
