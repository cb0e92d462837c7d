// Helpers shared by the clustering and leaf-ordering tests.
#ifndef LUMO_GTEST_CLUSTER_HELPERS_H
#define LUMO_GTEST_CLUSTER_HELPERS_H

#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "ProgressThread.h"

typedef std::vector<double> Vec;

// Runs f and returns the id and message of the CClusterException it threw
// (released here), or (0, "") when it threw none.
template <typename F> std::pair<int, std::string> ClusterError(F f)
{
    try {
        f();
    } catch (CClusterException* e) {
        std::pair<int, std::string> r(e->Id(), e->Message());
        delete e;
        return r;
    }
    return std::make_pair(0, std::string());
}

// Progress reports, and distance calls where a test records them, in order:
// (0, a, b, 0) is Distance(a, b), (1, max, current, id) a report. A stop
// request is thrown at report number stopAfter.
typedef std::tuple<int, double, double, int> SEvent;
struct SEvents
{
    std::vector<SEvent> list;
    long stopAfter = -1, reports = 0;
    static void Callback(void* arg, double max, double current, int msgid)
    {
        SEvents* e = static_cast<SEvents*>(arg);
        if (e->reports == e->stopAfter)
            throw CStopRequest();
        ++e->reports;
        e->list.push_back(SEvent(1, max, current, msgid));
    }
};

// n rows of cols values: kind 1 standard normal, 0 normal * 100, 2 small
// integers (full of ties and duplicates).
inline std::vector<Vec> RandomRows(int n, int cols, unsigned seed, int kind = 1)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 3);
    std::vector<Vec> data(n, Vec(cols));
    for (Vec& v : data)
        for (double& x : v)
            x = kind == 2 ? small(rng) : normal(rng) * (kind == 0 ? 100.0 : 1.0);
    return data;
}

// Leaf indices left to right, following the children (iteratively).
inline std::vector<int> LeafWalk(CClusterNode* root)
{
    std::vector<int> out;
    std::vector<CClusterNode*> stack(1, root);
    while (!stack.empty()) {
        CClusterNode* p = stack.back();
        stack.pop_back();
        if (p->IsLeaf())
            out.push_back(p->GetIndex());
        if (p->GetRightChild())
            stack.push_back(p->GetRightChild());
        if (p->GetLeftChild())
            stack.push_back(p->GetLeftChild());
    }
    return out;
}

#endif
