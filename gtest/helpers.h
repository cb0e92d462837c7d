// Fixtures shared by the core tests: random data, progress recorders and the error
// probe of the clustering engine (global), and the kernels' matrices and references (kh).
#ifndef LUMO_GTEST_HELPERS_H
#define LUMO_GTEST_HELPERS_H

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "ProgressThread.h"
#include "lumo.h"

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

namespace kh
{
// Progress reports as a kernel hands them to its callback. Reports from any
// thread but the recorder's own are only counted (a callback may talk to R).
struct Report
{
    double max, current;
    int msgid;
};
struct Recorder
{
    std::vector<Report> reports;
    std::thread::id owner = std::this_thread::get_id();
    int foreign = 0;
};

inline void Record(void* arg, double max, double current, int msgid)
{
    Recorder* r = static_cast<Recorder*>(arg);
    if (std::this_thread::get_id() != r->owner)
        r->foreign++;
    else
        r->reports.push_back(Report{max, current, msgid});
}

typedef std::vector<std::vector<double>> Rows;

// A 0-based matrix (constant, or copied from rows) as the kernels take it.
struct Mat
{
    CDoubleMatrix m;
    Mat(long32 r, long32 c, double value = 0.0, const Rows* from = 0) : m(r, c)
    {
        for (long32 i = 0; i < r; i++)
            for (long32 j = 0; j < c; j++)
                m.get()[i][j] = from ? (*from)[i][j] : value;
    }
    Mat(const Rows& v, long32 cols = 0) : Mat((long32)v.size(), v.empty() ? cols : (long32)v[0].size(), 0.0, &v) {}
    double* operator[](long32 i) const { return m.get()[i]; }
    operator double**() const { return m.get(); }
};

inline Rows NormalRows(long32 r, long32 c, unsigned seed, double sd = 1.0)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> norm(0.0, sd);
    Rows v(r, std::vector<double>(c));
    for (auto& row : v)
        for (auto& x : row)
            x = norm(gen);
    return v;
}

// Column-major copy of rows, as R hands a matrix over.
template <class T> std::vector<T> ColumnMajor(const std::vector<std::vector<T>>& rows)
{
    const size_t r = rows.size(), c = rows.empty() ? 0 : rows[0].size();
    std::vector<T> out(r * c);
    for (size_t i = 0; i < r; i++)
        for (size_t j = 0; j < c; j++)
            out[i + j * r] = rows[i][j];
    return out;
}

// Projection onto the columns of X (full column rank), by Gauss-Jordan on the normal equations.
inline Rows Projection(const Rows& X)
{
    const size_t n = X.size(), p = X[0].size();
    Rows A(p, std::vector<double>(2 * p, 0.0));
    for (size_t a = 0; a < p; a++) {
        for (size_t b = 0; b < p; b++)
            for (size_t i = 0; i < n; i++)
                A[a][b] += X[i][a] * X[i][b];
        A[a][p + a] = 1.0;
    }
    for (size_t c = 0; c < p; c++) {
        const double piv = A[c][c];
        for (auto& x : A[c])
            x /= piv;
        for (size_t r = 0; r < p; r++) {
            const double f = A[r][c];
            for (size_t k = 0; r != c && k < 2 * p; k++)
                A[r][k] -= f * A[c][k];
        }
    }
    Rows H(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; i++)
        for (size_t j = 0; j < n; j++)
            for (size_t a = 0; a < p; a++)
                for (size_t b = 0; b < p; b++)
                    H[i][j] += X[i][a] * A[a][p + b] * X[j][b];
    return H;
}

// A pool without workers: the kernels run on the calling thread.
inline lumo::CWorkerPool& Serial()
{
    static lumo::CWorkerPool pool(1);
    return pool;
}

inline bool SameBits(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}
} // namespace kh

#endif
