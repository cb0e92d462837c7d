#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "knnimpute.h"
#include "threads/WorkerPool.h"

namespace
{
// Column-major p x n matrix built from rows, as R would hand it over.
template <class T> std::vector<T> ColumnMajor(const std::vector<std::vector<T>>& rows)
{
    const size_t p = rows.size(), n = rows.empty() ? 0 : rows[0].size();
    std::vector<T> out(p * n);
    for (size_t i = 0; i < p; i++)
        for (size_t j = 0; j < n; j++)
            out[i + j * p] = rows[i][j];
    return out;
}

// One knnimp call with work arrays of the documented sizes.
struct KnnRun
{
    std::vector<double> ximp;
    std::vector<long32> imiss;

    KnnRun(const std::vector<double>& x, std::vector<long32> miss, std::vector<long32> irmiss, long32 p, long32 n,
           long32 kn)
        : ximp(x), imiss(miss)
    {
        // Sized generously so that rejected sizes are not an allocation problem here.
        const long32 sp = std::max<long32>(p, 1), sn = std::max<long32>({n, kn + 1, 1});
        std::vector<double> workp(sp), workn(sn);
        std::vector<long32> iworkp(sp), iworkn(sn);
        knnimp(x.data(), ximp.data(), &p, &n, imiss.data(), irmiss.data(), &kn, workp.data(), workn.data(),
               iworkp.data(), iworkn.data());
    }
};

std::string g_lastError;
void RecordError(const char* msg)
{
    g_lastError = msg;
}

class KnnErrors : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_lastError.clear();
        SetKnnErrorHandler(&RecordError);
    }
    void TearDown() override { SetKnnErrorHandler(0); }
};
} // namespace

// ---------------------------------------------------------------- distances and ordering

TEST(KnnDistance, MeanOverSharedColumnsAndUnreachableRows)
{
    // Target (1, missing, 3); row 2 shares column 1 only, row 3 nothing.
    const long32 p = 3, n = 3;
    std::vector<double> x = ColumnMajor<double>({{1, 2, 5}, {3, 0, 0}, {0, 7, 0}});
    std::vector<long32> imiss = ColumnMajor<long32>({{0, 0, 0}, {0, 1, 1}, {1, 0, 1}});
    const double x0[] = {1, 99, 3};
    const long32 imiss0[] = {0, 1, 0};
    double dis[3];
    long32 cnt[3];
    misdis(x0, x.data(), &p, &n, imiss0, imiss.data(), dis, cnt);
    EXPECT_DOUBLE_EQ(dis[0], (0.0 + 4.0) / 2);
    EXPECT_DOUBLE_EQ(dis[1], 4.0);
    EXPECT_EQ(dis[2], 1.0e10);
    EXPECT_EQ(cnt[0], 2);
    EXPECT_EQ(cnt[1], 1);
    EXPECT_EQ(cnt[2], 0);
}

TEST(KnnOrder, FirstKOfAStableSort)
{
    // Ties keep the earlier index, and a later value equal to the k-th never
    // enters: exactly the first k entries of a stable sort. Values from a
    // small set (many ties), with the unreachable distance among them.
    struct Case
    {
        long32 ntr, kn;
    } cases[] = {{7, 3}, {4, 2}, {2, 4}, {1, 1}, {50, 1}, {301, 11}, {64, 64}, {33, 0}};
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        std::vector<double> dist(c.ntr);
        for (double& d : dist)
            d = rng() % 9 == 0 ? 1.0e10 : (double)(rng() % 6);
        std::vector<long32> order(c.ntr);
        for (long32 j = 0; j < c.ntr; j++)
            order[j] = j + 1;
        std::stable_sort(order.begin(), order.end(), [&](long32 a, long32 b) { return dist[a - 1] < dist[b - 1]; });
        const long32 held = std::min(c.kn, c.ntr);
        std::vector<long32> pos(std::max<long32>(c.kn, 1), -1);
        std::vector<double> nndist(pos.size(), -1.0);
        porder(&c.kn, dist.data(), &c.ntr, pos.data(), nndist.data());
        for (long32 r = 0; r < held; r++) {
            EXPECT_EQ(pos[r], order[r]) << "ntr " << c.ntr << " kn " << c.kn << " rank " << r;
            EXPECT_EQ(nndist[r], dist[order[r] - 1]);
        }
        for (size_t r = held; r < pos.size(); r++)
            EXPECT_EQ(pos[r], -1) << "ntr " << c.ntr << " kn " << c.kn;
    }
}


// ---------------------------------------------------------------- blocked distances against the one-row loop

namespace
{
// The one-row distance loop, written out: column by column, skipping the
// entries either row lacks, then the mean (1.0e10 with nothing shared).
std::vector<double> LiteralDistances(const std::vector<double>& x, const std::vector<long32>& imiss, long32 p,
                                     long32 n, long32 t)
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
            // The square is rounded before it is added, as the library does
            // on every platform (a fused multiply-add would not round it).
            const volatile double sq = (a - x[ij]) * (a - x[ij]);
            dis[i] += sq;
            cnt[i] += 1;
        }
    }
    for (long32 i = 0; i < p; i++)
        dis[i] = cnt[i] > 0 ? dis[i] / cnt[i] : 1.0e10;
    return dis;
}

// A p x n study: values spread over many magnitudes (so that any change in the
// order of the additions changes the bits) or small integers (many tied
// distances), indicators 1 with probability `missing`, some -1 (present),
// and NaN or infinity stored at missing positions, which must never be read.
struct Study
{
    long32 p, n;
    std::vector<double> x;
    std::vector<long32> imiss;

    Study(long32 p_, long32 n_, double missing, bool integers, unsigned seed) : p(p_), n(n_), x((size_t)p_ * n_), imiss(x.size())
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
} // namespace

TEST(KnnDistance, EveryKernelGivesTheBitsOfTheOneRowLoop)
{
    // p, n (over 64 columns needs two bit words), share missing, targets in
    // the block, integer data (ties).
    struct Case
    {
        long32 p, n;
        double missing;
        int count;
        bool integers;
    } cases[] = {{37, 5, 0.1, 8, false}, {50, 70, 0.3, 3, false}, {20, 0, 0.0, 2, false},
                 {30, 8, 0.85, 8, false}, {41, 13, 0.2, 5, true},  {9, 130, 0.5, 1, false}};
    ASSERT_GE(lumo::KnnKernelCount(), 1);
    for (const Case& c : cases) {
        const Study s(c.p, c.n, c.missing, c.integers, 100 + c.p);
        const lumo::CKnnRows rows(s.x.data(), s.imiss.data(), s.p, s.n);
        lumo::CKnnBlock block(rows);
        // Targets out of order and not adjacent.
        std::vector<long32> targets;
        for (int t = 0; t < c.count; t++)
            targets.push_back((7 * t + 3) % s.p);
        for (int level = 0; level < lumo::KnnKernelCount(); level++) {
            block.Compute(targets.data(), c.count, level);
            for (int t = 0; t < c.count; t++) {
                const std::vector<double> ref = LiteralDistances(s.x, s.imiss, s.p, s.n, targets[t]);
                EXPECT_EQ(0, std::memcmp(ref.data(), block.Distances(t), ref.size() * sizeof(double)))
                    << "p " << c.p << " n " << c.n << " target " << t << " kernel " << lumo::KnnKernelName(level);
                // The one-target routine of the two-means split, on a copy of the row.
                std::vector<double> x0(s.n), dis(s.p);
                std::vector<long32> imiss0(s.n), shared(s.p);
                for (long32 j = 0; j < s.n; j++) {
                    x0[j] = s.x[targets[t] + (size_t)j * s.p];
                    imiss0[j] = s.imiss[targets[t] + (size_t)j * s.p];
                }
                lumo::KnnColumnDistances(x0.data(), s.x.data(), s.p, s.n, imiss0.data(), s.imiss.data(), dis.data(),
                                         shared.data(), level);
                EXPECT_EQ(0, std::memcmp(ref.data(), dis.data(), ref.size() * sizeof(double)))
                    << "one target: p " << c.p << " n " << c.n << " kernel " << lumo::KnnKernelName(level);
            }
        }
    }
}

TEST(KnnImpute, SameBitsAsTheOneRowImputationForAnyThreadCount)
{
    struct Case
    {
        long32 p, n, kn;
        double missing;
        bool integers;
    } cases[] = {{120, 9, 5, 0.15, false}, {97, 6, 10, 0.3, true}, {40, 4, 39, 0.5, true}, {33, 3, 0, 0.2, false}};
    for (const Case& c : cases) {
        const Study s(c.p, c.n, c.missing, c.integers, 7 + c.p);
        // Every fourth row is left unflagged whatever it misses.
        std::vector<long32> irmiss(s.p, 0);
        for (long32 i = 0; i < s.p; i++)
            for (long32 j = 0; j < s.n; j++)
                if (s.imiss[i + (size_t)j * s.p] != 0 && i % 4 != 3)
                    irmiss[i] = 1;

        // The one-row imputation: distances, ordering and averaging in turn.
        std::vector<double> ximp(s.x);
        std::vector<long32> imiss(s.imiss);
        const long32 m = c.kn + 1;
        for (long32 i = 0; i < s.p; i++) {
            if (!irmiss[i])
                continue;
            const std::vector<double> dist = LiteralDistances(s.x, s.imiss, s.p, s.n, i);
            std::vector<long32> pos(m), ind(s.n);
            std::vector<double> nndist(m), row(s.n);
            porder(&m, dist.data(), &s.p, pos.data(), nndist.data());
            for (long32 j = 0; j < s.n; j++)
                ind[j] = s.imiss[i + (size_t)j * s.p];
            misave(s.x.data(), row.data(), &s.p, &s.n, ind.data(), s.imiss.data(), pos.data() + 1, &c.kn);
            for (long32 j = 0; j < s.n; j++) {
                if (ind[j] == 0)
                    continue;
                ximp[i + (size_t)j * s.p] = row[j];
                if (ind[j] == 2)
                    imiss[i + (size_t)j * s.p] = 2;
            }
        }

        for (int threads : {1, 2, 3, 7}) {
            lumo::SetDefaultThreadCount(threads);
            KnnRun r(s.x, s.imiss, irmiss, s.p, s.n, c.kn);
            lumo::SetDefaultThreadCount(1);
            EXPECT_EQ(0, std::memcmp(ximp.data(), r.ximp.data(), ximp.size() * sizeof(double)))
                << "p " << c.p << " threads " << threads;
            EXPECT_EQ(imiss, r.imiss) << "p " << c.p << " threads " << threads;
        }
    }
}

// ---------------------------------------------------------------- imputation

TEST(KnnImpute, RowWithNoSharedColumnRanksLast)
{
    // Row 2 shares no column with row 1 (distance 1.0e10); row 3 is far but
    // reachable; with kn = 1 the reachable row is used.
    const long32 p = 3, n = 3;
    std::vector<double> x = ColumnMajor<double>({{0, 0, 0}, {0, 50, 0}, {100, 0, 7}});
    std::vector<long32> miss = ColumnMajor<long32>({{0, 1, 1}, {1, 0, 0}, {0, 0, 0}});
    KnnRun r1(x, miss, {1, 0, 0}, p, n, 1);
    EXPECT_DOUBLE_EQ(r1.ximp[0 + 1 * p], 0.0);
    EXPECT_DOUBLE_EQ(r1.ximp[0 + 2 * p], 7.0);
    EXPECT_EQ(r1.imiss[0 + 1 * p], 1);
    // With kn = 2 the unreachable row joins the neighbours.
    KnnRun r2(x, miss, {1, 0, 0}, p, n, 2);
    EXPECT_DOUBLE_EQ(r2.ximp[0 + 1 * p], 25.0);
    EXPECT_DOUBLE_EQ(r2.ximp[0 + 2 * p], 3.5);
}

TEST(KnnImpute, EarlierRowAtDistanceZeroRanksBeforeTheRowItself)
{
    // Row 1 equals row 2 on the shared column, so it ranks first and is left
    // out; row 2 itself (nothing in column 2) and row 3 are averaged.
    const long32 p = 3, n = 2, kn = 1;
    std::vector<double> x = ColumnMajor<double>({{1, 5}, {1, 0}, {2, 9}});
    std::vector<long32> miss = ColumnMajor<long32>({{0, 0}, {0, 1}, {0, 0}});
    KnnRun r(x, miss, {0, 1, 0}, p, n, kn);
    // The neighbour averaged is row 2 itself: nothing present, so 0 and 2.
    EXPECT_EQ(r.ximp[1 + 1 * p], 0.0);
    EXPECT_EQ(r.imiss[1 + 1 * p], 2);
    KnnRun r2(x, miss, {0, 1, 0}, p, n, 2);
    EXPECT_DOUBLE_EQ(r2.ximp[1 + 1 * p], 9.0);
    EXPECT_EQ(r2.imiss[1 + 1 * p], 1);
}

TEST_F(KnnErrors, RejectsOutOfRangeSizesBeforeWriting)
{
    const long32 p = 3, n = 2;
    std::vector<double> x = ColumnMajor<double>({{1, 5}, {1, 0}, {2, 9}});
    std::vector<long32> miss = ColumnMajor<long32>({{0, 0}, {0, 1}, {0, 0}});
    const std::vector<double> before(x);
    for (long32 kn : {3, 50, -1}) {
        g_lastError.clear();
        KnnRun r(x, miss, {1, 1, 1}, p, n, kn);
        EXPECT_NE(g_lastError.find("'kn'"), std::string::npos) << kn;
        EXPECT_NE(g_lastError.find("p is 3"), std::string::npos) << g_lastError;
        EXPECT_EQ(r.ximp, before);
        EXPECT_EQ(r.imiss, miss);
    }
    g_lastError.clear();
    KnnRun neg(x, miss, {1, 1, 1}, 3, -1, 1);
    EXPECT_NE(g_lastError.find("'n'"), std::string::npos);
    // No rows: nothing to do and nothing to complain about.
    g_lastError.clear();
    KnnRun none({}, {}, {}, 0, 2, 0);
    EXPECT_TRUE(g_lastError.empty());
}

// ---------------------------------------------------------------- two-means split

namespace
{
struct TwoRun
{
    long32 p, n, maxit, iter;
    double eps, ratio;
    long32 istart[2];
    std::vector<double> x0, dist;
    std::vector<long32> imiss0, clust, nsize;

    TwoRun(const std::vector<double>& x, const std::vector<long32>& imiss, long32 p_, long32 n_, long32 maxit_,
           double eps_, long32 s1, long32 s2)
        : p(p_), n(n_), maxit(maxit_), iter(-1), eps(eps_), ratio(-1), x0(2 * n_, -7), dist(2 * p_, -7),
          imiss0(2 * n_, -7), clust(2 * p_, -7), nsize(2, -7)
    {
        istart[0] = s1;
        istart[1] = s2;
        std::vector<long32> iworkp(p), iworkn(n);
        twomis(x.data(), &p, &n, imiss.data(), x0.data(), imiss0.data(), &maxit, &eps, istart, clust.data(),
               nsize.data(), dist.data(), &ratio, &iter, iworkp.data(), iworkn.data());
    }
};
} // namespace

TEST(TwoMeans, SeparatesTwoGroupsAndReportsCentres)
{
    const long32 p = 5, n = 2;
    std::vector<double> x = ColumnMajor<double>({{0, 0}, {10, 10}, {0.2, 0}, {10, 9.8}, {0, 0.4}});
    std::vector<long32> imiss(p * n, 0);
    TwoRun r(x, imiss, p, n, 10, 1e-6, 1, 2);
    EXPECT_EQ(r.nsize[0], 3);
    EXPECT_EQ(r.nsize[1], 2);
    EXPECT_EQ(r.clust[0], 1);
    EXPECT_EQ(r.clust[1], 3);
    EXPECT_EQ(r.clust[2], 5);
    EXPECT_EQ(r.clust[p + 0], 2);
    EXPECT_EQ(r.clust[p + 1], 4);
    EXPECT_NEAR(r.x0[0], 0.2 / 3, 1e-12);
    EXPECT_NEAR(r.x0[n + 1], 9.9, 1e-12);
    EXPECT_EQ(r.imiss0[0], 0);
    EXPECT_LE(r.ratio, 1e-6);
    EXPECT_GE(r.iter, 2);
}

TEST(TwoMeans, MaxitBelowOneBecomesFive)
{
    const long32 p = 4, n = 1;
    std::vector<double> x = {0, 1, 5, 6};
    std::vector<long32> imiss(p * n, 0);
    TwoRun r(x, imiss, p, n, 0, -1.0, 1, 4);
    EXPECT_EQ(r.maxit, 5);
    // eps below any ratio: every one of the 5 iterations runs.
    EXPECT_EQ(r.iter, 5);
}

TEST(TwoMeans, LargeEpsReturnsStartRows)
{
    const long32 p = 3, n = 2;
    std::vector<double> x = ColumnMajor<double>({{1, 2}, {3, 4}, {5, 6}});
    std::vector<long32> imiss = ColumnMajor<long32>({{0, 0}, {0, 0}, {0, 1}});
    TwoRun r(x, imiss, p, n, 4, 10.0, 2, 3);
    EXPECT_EQ(r.iter, 0);
    EXPECT_EQ(r.ratio, 10.0);
    EXPECT_EQ(r.x0[0], 3);
    EXPECT_EQ(r.x0[1], 4);
    EXPECT_EQ(r.x0[n + 0], 5);
    EXPECT_EQ(r.imiss0[n + 1], 1);
    EXPECT_EQ(r.nsize[0], -7);
}

TEST(TwoMeans, IdenticalRowsAllGoToSecondCluster)
{
    const long32 p = 3, n = 2;
    std::vector<double> x = ColumnMajor<double>({{1, 2}, {1, 2}, {1, 2}});
    std::vector<long32> imiss(p * n, 0);
    TwoRun r(x, imiss, p, n, 5, 1e-4, 1, 2);
    EXPECT_EQ(r.iter, 1);
    EXPECT_EQ(r.nsize[0], 0);
    EXPECT_EQ(r.nsize[1], 3);
    EXPECT_EQ(r.clust[p + 2], 3);
    EXPECT_EQ(r.ratio, 10.0);
}

TEST(TwoMeans, EmptyClusterGetsUndefinedCentre)
{
    // Both start rows are the same row: every tie goes to cluster 2, so
    // cluster 1 is empty after the first pass.
    const long32 p = 3, n = 2;
    std::vector<double> x = ColumnMajor<double>({{0, 0}, {1, 1}, {3, 3}});
    std::vector<long32> imiss(p * n, 0);
    TwoRun r(x, imiss, p, n, 1, -1.0, 2, 2);
    EXPECT_EQ(r.iter, 1);
    EXPECT_EQ(r.nsize[0], 0);
    EXPECT_EQ(r.nsize[1], 3);
    EXPECT_EQ(r.x0[0], 0.0);
    EXPECT_EQ(r.x0[1], 0.0);
    EXPECT_EQ(r.imiss0[0], 1);
    EXPECT_EQ(r.imiss0[1], 1);
    EXPECT_EQ(r.imiss0[n], 0);
    EXPECT_NEAR(r.x0[n], 4.0 / 3, 1e-12);
    // In a second iteration every row is at 1.0e10 from the empty centre.
    TwoRun r2(x, imiss, p, n, 2, -1.0, 2, 2);
    EXPECT_EQ(r2.dist[0], 1.0e10);
    EXPECT_EQ(r2.nsize[1], 3);
}

TEST_F(KnnErrors, TwoMeansRejectsStartRowsOutsideTheMatrix)
{
    const long32 p = 3, n = 1;
    std::vector<double> x = {1, 2, 3};
    std::vector<long32> imiss(3, 0);
    for (long32 bad : {0, 4, -5}) {
        g_lastError.clear();
        TwoRun r(x, imiss, p, n, 0, 0.0, 1, bad);
        EXPECT_NE(g_lastError.find("'istart[2]'"), std::string::npos) << g_lastError;
        EXPECT_EQ(r.maxit, 0);
        EXPECT_EQ(r.iter, -1);
        EXPECT_EQ(r.x0[0], -7);
    }
}
