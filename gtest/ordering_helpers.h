// Helpers shared by the leaf-ordering tests: a full distance matrix, trees
// built by hand, an iterative leaf walk and a progress recorder.
#ifndef LUMO_GTEST_ORDERING_HELPERS_H
#define LUMO_GTEST_ORDERING_HELPERS_H

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "ClusterNode.h"
#include "Matrix.h"
#include "ProgressThread.h"

// Dense symmetric matrix over leaf indices.
class CFullMatrix : public CMatrix
{
public:
    explicit CFullMatrix(int n) : m_n(n), m_v(static_cast<std::size_t>(n) * n, 0.0) {}
    virtual void SetValue(int i, int j, double value)
    {
        m_v[static_cast<std::size_t>(i) * m_n + j] = value;
        m_v[static_cast<std::size_t>(j) * m_n + i] = value;
    }
    virtual double GetValue(int i, int j) { return m_v[static_cast<std::size_t>(i) * m_n + j]; }

private:
    int m_n;
    std::vector<double> m_v;
};

// Owns every node of a hand-built tree; deletes them one by one (no recursion).
struct STree
{
    std::vector<CClusterNode*> nodes; // leaves 0..n-1, then merges
    std::vector<std::vector<double>*> data;
    CClusterNode* root = nullptr;

    CClusterNode* Leaf(int index, std::vector<double>* pData = nullptr)
    {
        CClusterNode* p = new CClusterNode(pData, index);
        nodes.push_back(p);
        return p;
    }
    CClusterNode* Join(int index, CClusterNode* l, CClusterNode* r, std::vector<double>* pData = nullptr)
    {
        CClusterNode* p = new CClusterNode(pData, index, l, r);
        nodes.push_back(p);
        root = p;
        return p;
    }
    std::vector<double>* Data(std::vector<double> v)
    {
        data.push_back(new std::vector<double>(std::move(v)));
        return data.back();
    }
    ~STree()
    {
        for (CClusterNode* p : nodes)
            delete p;
        for (std::vector<double>* d : data)
            delete d;
    }
};

// A random binary tree over n leaves: repeatedly joins two random roots.
inline void RandomTree(STree& t, int n, std::mt19937& rng)
{
    std::vector<CClusterNode*> forest;
    for (int i = 0; i < n; ++i)
        forest.push_back(t.Leaf(i));
    int next = n;
    while (forest.size() > 1)
    {
        std::uniform_int_distribution<std::size_t> pick(0, forest.size() - 1);
        std::size_t a = pick(rng);
        std::size_t b = pick(rng);
        while (b == a)
            b = pick(rng);
        CClusterNode* p = t.Join(next++, forest[a], forest[b]);
        if (a > b)
            std::swap(a, b);
        forest.erase(forest.begin() + b);
        forest[a] = p;
    }
    if (n == 1)
        t.root = forest[0];
}

// Leaf indices left to right, following the children (iteratively).
inline std::vector<int> LeafWalk(CClusterNode* root)
{
    std::vector<int> out;
    std::vector<CClusterNode*> stack(1, root);
    while (!stack.empty())
    {
        CClusterNode* p = stack.back();
        stack.pop_back();
        if (p->IsLeaf())
        {
            out.push_back(p->GetIndex());
            continue;
        }
        if (p->GetRightChild())
            stack.push_back(p->GetRightChild());
        if (p->GetLeftChild())
            stack.push_back(p->GetLeftChild());
    }
    return out;
}

inline double PathCost(const std::vector<int>& order, CMatrix& d)
{
    double s = 0.0;
    for (std::size_t i = 1; i < order.size(); ++i)
        s += d.GetValue(order[i - 1], order[i]);
    return s;
}

// Random points in the plane, Euclidean distances.
inline void RandomDistances(CFullMatrix& d, int n, std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(n), y(n);
    for (int i = 0; i < n; ++i)
    {
        x[i] = u(rng);
        y[i] = u(rng);
    }
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            d.SetValue(i, j, std::hypot(x[i] - x[j], y[i] - y[j]));
}

// Random distances and then a random tree over n leaves, both drawn from one
// generator seeded with seed.
struct SRandomCase
{
    std::mt19937 rng;
    CFullMatrix d;
    STree t;
    SRandomCase(int n, unsigned seed) : rng(seed), d(n)
    {
        RandomDistances(d, n, rng);
        RandomTree(t, n, rng);
    }
};

struct SReport
{
    double max, current;
    int msgid;
};

struct SRecorder
{
    std::vector<SReport> reports;
    long stopAfter = -1; // throw a stop request at this report
    static void Callback(void* arg, double max, double current, int msgid)
    {
        SRecorder* r = static_cast<SRecorder*>(arg);
        if (r->stopAfter >= 0 && static_cast<long>(r->reports.size()) == r->stopAfter)
            throw CStopRequest();
        r->reports.push_back(SReport{max, current, msgid});
    }
};

#endif
