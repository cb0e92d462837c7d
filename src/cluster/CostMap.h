#ifndef LUMO_COSTMAP_H
#define LUMO_COSTMAP_H

#include <algorithm>
#include <utility>
#include <vector>

// (cost, leaf index)
typedef std::pair<double, int> CostPairType;

// Orders cost pairs by cost alone; the order of equal costs is irrelevant to
// the optimal ordering, whose pruning bounds never discard an equal candidate
// that could lower the minimum.
struct less_CostPairType
{
    bool operator()(const CostPairType& x, const CostPairType& y) const { return x.first < y.first; }
};

// A list of (cost, leaf) pairs that is filled, then sorted by ascending cost.
class CCostMap
{
public:
    typedef std::vector<CostPairType>::iterator iterator;

    CCostMap() {}
    ~CCostMap() {}

    void insert(CostPairType p) { m_vec.push_back(p); }
    void sort() { std::sort(m_vec.begin(), m_vec.end(), less_CostPairType()); }
    iterator begin() { return m_vec.begin(); }
    iterator end() { return m_vec.end(); }

    // Helpers for reusing one list for many leaves without reallocating.
    void clear() { m_vec.clear(); }
    void reserve(std::size_t n) { m_vec.reserve(n); }
    std::size_t size() const { return m_vec.size(); }
    const CostPairType& operator[](std::size_t i) const { return m_vec[i]; }

private:
    std::vector<CostPairType> m_vec;
};

#endif
