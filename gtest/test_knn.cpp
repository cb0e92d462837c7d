// k-nearest-neighbour imputation against the one-row loops written out, for
// every kernel and thread count; edge cases of the two-means split.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "helpers.h"
#include "knnimpute.h"
#include "levels.h"

using kh::ColumnMajor;

namespace
{
// The one-row distance loop: column by column, skipping entries either row
// lacks, then the mean (1.0e10 with nothing shared).
std::vector<double> LiteralDistances(const std::vector<double>& x, const std::vector<long32>& imiss, long32 p, long32 n,
                                     long32 t)
{
    std::vector<double> dis(p, 0.0);
    std::vector<long32> cnt(p, 0);
    for (long32 j = 0; j < n; j++) {
        if (imiss[t + (size_t)j * p] > 0)
            continue;
        const double a = x[t + (size_t)j * p];
        for (long32 i = 0; i < p; i++) {
            const size_t ij = i + (size_t)j * p;
            if (imiss[ij] > 0)
                continue;
            const volatile double sq = (a - x[ij]) * (a - x[ij]); // rounded before adding, never fused
            dis[i] += sq;
            cnt[i] += 1;
        }
    }
    for (long32 i = 0; i < p; i++)
        dis[i] = cnt[i] > 0 ? dis[i] / cnt[i] : 1.0e10;
    return dis;
}

// A p x n study: values over many magnitudes (any reordered addition changes
// the bits) or small integers (ties); indicators 1 with probability missing,
// some -1 (present); NaN or infinity at missing positions, never to be read.
struct Study
{
    long32 p, n;
    std::vector<double> x;
    std::vector<long32> imiss;

    Study(long32 p_, long32 n_, double missing, bool integers, unsigned seed)
        : p(p_), n(n_), x((size_t)p_ * n_), imiss(x.size())
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (size_t k = 0; k < x.size(); k++) {
            x[k] = integers ? std::floor(4 * u(rng)) : (u(rng) - 0.3) * std::pow(10.0, 12 * u(rng) - 6);
            const double r = u(rng);
            imiss[k] = r < missing ? 1 : (r < missing + 0.05 ? -1 : 0);
            if (imiss[k] > 0)
                x[k] = k % 2 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
        }
    }
};

bool SameBits(const std::vector<double>& a, const double* b)
{
    return a.empty() || std::memcmp(a.data(), b, a.size() * sizeof(double)) == 0;
}

// One twomis call on rows, every output preset to -7.
struct TwoRun
{
    long32 p, n, maxit, iter = -1;
    double eps, ratio = -1;
    std::vector<double> x0, dist;
    std::vector<long32> imiss0, clust, nsize;

    TwoRun(const std::vector<std::vector<double>>& rows, const std::vector<long32>& imiss, long32 maxit_, double eps_,
           long32 s1, long32 s2)
        : p((long32)rows.size()), n((long32)rows[0].size()), maxit(maxit_), eps(eps_), x0(2 * n, -7), dist(2 * p, -7),
          imiss0(2 * n, -7), clust(2 * p, -7), nsize(2, -7)
    {
        const std::vector<double> x = ColumnMajor(rows);
        const std::vector<long32> miss = imiss.empty() ? std::vector<long32>(p * n, 0) : imiss;
        const long32 istart[2] = {s1, s2};
        std::vector<long32> iworkp(p), iworkn(n);
        twomis(x.data(), &p, &n, miss.data(), x0.data(), imiss0.data(), &maxit, &eps, istart, clust.data(),
               nsize.data(), dist.data(), &ratio, &iter, iworkp.data(), iworkn.data());
    }
};
} // namespace

// Catches an ordering other than the first k of a stable sort (ties keep the earlier row).
TEST(KnnOrder, FirstKOfAStableSort)
{
    const long32 cases[][2] = {{7, 3}, {4, 2}, {2, 4}, {1, 1}, {50, 1}, {301, 11}, {64, 64}, {33, 0}};
    std::mt19937 rng(5);
    for (const auto& c : cases) {
        const long32 ntr = c[0], kn = c[1];
        std::vector<double> dist(ntr);
        for (double& d : dist)
            d = rng() % 9 == 0 ? 1.0e10 : (double)(rng() % 6);
        std::vector<long32> order(ntr);
        for (long32 j = 0; j < ntr; j++)
            order[j] = j + 1;
        std::stable_sort(order.begin(), order.end(), [&](long32 a, long32 b) { return dist[a - 1] < dist[b - 1]; });
        std::vector<long32> pos(std::max<long32>(kn, 1), -1);
        std::vector<double> nndist(pos.size(), -1.0);
        porder(&kn, dist.data(), &ntr, pos.data(), nndist.data());
        for (long32 r = 0; r < (long32)pos.size(); r++) {
            const bool held = r < std::min(kn, ntr);
            EXPECT_EQ(pos[r], held ? order[r] : -1) << "ntr " << ntr << " kn " << kn << " rank " << r;
            EXPECT_EQ(nndist[r], held ? dist[order[r] - 1] : -1.0);
        }
    }
}

// Catches any kernel, block shape, tail or thread count differing in a bit from the one-row loops.
TEST(KnnImpute, EveryKernelAndThreadCountGivesTheBitsOfTheOneRowLoops)
{
    const struct
    {
        long32 p, n, kn;
        double missing;
        int count; // targets of a distance block
        bool integers;
    } cases[] = {{37, 5, 5, 0.1, 8, false},   {50, 70, 10, 0.3, 3, false}, {20, 0, 3, 0.0, 2, false},
                 {30, 8, 4, 0.85, 8, false},  {41, 13, 10, 0.2, 5, true},  {9, 130, 2, 0.5, 1, false},
                 {120, 9, 5, 0.15, 8, false}, {40, 4, 39, 0.5, 3, true},   {33, 3, 0, 0.2, 2, false}};
    for (const auto& c : cases) {
        const Study s(c.p, c.n, c.missing, c.integers, 100 + c.p);
        const lumo::CKnnRows rows(s.x.data(), s.imiss.data(), s.p, s.n);
        lumo::CKnnBlock block(rows);
        std::vector<long32> targets; // out of order, not adjacent
        for (int t = 0; t < c.count; t++)
            targets.push_back((7 * t + 3) % s.p);
        for (lumo::simd::Level level : kh::RunnableLevels()) {
            const kh::CForcedLevel forced(level);
            SCOPED_TRACE(::testing::Message() << "p " << c.p << " n " << c.n << " " << lumo::KnnKernelName());
            block.Compute(targets.data(), c.count);
            for (int t = 0; t < c.count; t++) {
                const std::vector<double> ref = LiteralDistances(s.x, s.imiss, s.p, s.n, targets[t]);
                EXPECT_TRUE(SameBits(ref, block.Distances(t))) << "target " << t;
                std::vector<double> x0(s.n), dis(s.p);
                std::vector<long32> imiss0(s.n), shared(s.p);
                for (long32 j = 0; j < s.n; j++) {
                    x0[j] = s.x[targets[t] + (size_t)j * s.p];
                    imiss0[j] = s.imiss[targets[t] + (size_t)j * s.p];
                }
                lumo::KnnColumnDistances(x0.data(), s.x.data(), s.p, s.n, imiss0.data(), s.imiss.data(), dis.data(),
                                         shared.data());
                EXPECT_TRUE(SameBits(ref, dis.data())) << "one target " << t;
            }
        }
        // knnimp takes the indicators 0 and 1 only: the present -1 become 0.
        Study q = s;
        for (long32& v : q.imiss)
            v = v > 0 ? 1 : 0;
        std::vector<long32> irmiss(q.p, 0); // every fourth row left unflagged whatever it misses
        for (long32 i = 0; i < q.p; i++)
            for (long32 j = 0; j < q.n; j++)
                irmiss[i] |= q.imiss[i + (size_t)j * q.p] != 0 && i % 4 != 3;
        std::vector<double> ximp(q.x);
        std::vector<long32> imiss(q.imiss);
        const long32 m = c.kn + 1;
        for (long32 i = 0; i < q.p; i++) {
            if (!irmiss[i])
                continue;
            const std::vector<double> dist = LiteralDistances(q.x, q.imiss, q.p, q.n, i);
            std::vector<long32> pos(m), ind(q.n);
            std::vector<double> nndist(m), row(q.n);
            porder(&m, dist.data(), &q.p, pos.data(), nndist.data());
            // The kn nearest other than row i itself, wherever it ranks.
            std::vector<long32> nb;
            for (long32 r = 0; r < m && (long32)nb.size() < c.kn; r++)
                if (pos[r] != i + 1)
                    nb.push_back(pos[r]);
            for (long32 j = 0; j < q.n; j++)
                ind[j] = q.imiss[i + (size_t)j * q.p];
            misave(q.x.data(), row.data(), &q.p, &q.n, ind.data(), q.imiss.data(), nb.data(), &c.kn);
            for (long32 j = 0; j < q.n; j++) {
                if (ind[j] == 0)
                    continue;
                ximp[i + (size_t)j * q.p] = row[j];
                imiss[i + (size_t)j * q.p] = ind[j] == 2 ? 2 : imiss[i + (size_t)j * q.p];
            }
        }
        for (int threads : {1, 2, 3, 7}) {
            lumo::SetDefaultThreadCount(threads);
            std::vector<double> out(q.x);
            std::vector<long32> outMiss(q.imiss);
            knnimp(q.x.data(), out.data(), &q.p, &q.n, outMiss.data(), irmiss.data(), &c.kn, 0, 0, 0, 0);
            lumo::SetDefaultThreadCount(1);
            EXPECT_TRUE(SameBits(ximp, out.data())) << "p " << c.p << " threads " << threads;
            EXPECT_EQ(imiss, outMiss) << "p " << c.p << " threads " << threads;
        }
    }
}

// Catches a wrong iteration default or stop rule, ties not in cluster 2, an unmarked empty centre.
TEST(TwoMeans, EdgeCases)
{
    TwoRun fiveIterations({{0}, {1}, {5}, {6}}, {}, 0, -1.0, 1, 4);
    EXPECT_EQ(fiveIterations.maxit, 5);
    EXPECT_EQ(fiveIterations.iter, 5);

    TwoRun startRows({{1, 2}, {3, 4}, {5, 6}}, ColumnMajor<long32>({{0, 0}, {0, 0}, {0, 1}}), 4, 10.0, 2, 3);
    EXPECT_EQ(startRows.iter, 0);
    EXPECT_EQ(startRows.ratio, 10.0);
    EXPECT_EQ(startRows.x0, std::vector<double>({3, 4, 5, 6}));
    EXPECT_EQ(startRows.imiss0, std::vector<long32>({0, 0, 0, 1}));
    EXPECT_EQ(startRows.nsize[0], -7);

    TwoRun identical({{1, 2}, {1, 2}, {1, 2}}, {}, 5, 1e-4, 1, 2);
    EXPECT_EQ(identical.iter, 1);
    EXPECT_EQ(identical.nsize, std::vector<long32>({0, 3}));
    EXPECT_EQ(identical.clust[3 + 2], 3);
    EXPECT_EQ(identical.ratio, 10.0);

    for (long32 maxit : {1, 2}) { // same start row twice: cluster 1 empty after the first pass
        TwoRun empty({{0, 0}, {1, 1}, {3, 3}}, {}, maxit, -1.0, 2, 2);
        EXPECT_EQ(empty.iter, maxit);
        EXPECT_EQ(empty.nsize, std::vector<long32>({0, 3}));
        EXPECT_EQ(empty.x0[0], 0.0);
        EXPECT_EQ(empty.imiss0, std::vector<long32>({1, 1, 0, 0}));
        EXPECT_NEAR(empty.x0[2], 4.0 / 3, 1e-12);
        EXPECT_EQ(empty.dist[0], maxit == 2 ? 1.0e10 : 1.0);
    }
}
