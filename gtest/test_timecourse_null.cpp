// Bootstrap null F statistics of the three time-course designs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "timecourse_helpers.h"

using namespace tc;

namespace
{
const double kUnwritten = -12345.0;

// F of the data rows x under the two smoothers, computed plainly.
std::vector<double> PlainF(const std::vector<std::vector<double>>& x, const std::vector<std::vector<double>>& H1,
                           const std::vector<std::vector<double>>& H0)
{
    std::vector<double> F;
    for (const auto& row : x) {
        const size_t n = row.size();
        double r1 = 0, r0 = 0;
        for (size_t j = 0; j < n; j++) {
            double f1 = 0, f0 = 0;
            for (size_t l = 0; l < n; l++) {
                f1 += row[l] * H1[j][l];
                f0 += row[l] * H0[j][l];
            }
            r1 += (row[j] - f1) * (row[j] - f1);
            r0 += (row[j] - f0) * (row[j] - f0);
        }
        F.push_back(r0 / r1 - 1);
    }
    return F;
}

// The statistics of iteration k in F (m x B, gene-fastest: iteration k
// occupies F[k m .. k m + m - 1]) agree with expected, computed plainly.
void ExpectIteration(const std::vector<double>& expected, const std::vector<double>& F, long32 k, long32 m)
{
    for (long32 i = 0; i < m; i++)
        EXPECT_NEAR(expected[i], F[i + k * m], 1e-12 * std::max(1.0, std::fabs(expected[i]))) << i << " " << k;
}

// F, computed without a callback on one thread, ends at the m x B result,
// and runs that report progress, on any number of threads, produce the same
// bits.
template <class Case> void ExpectResultOnlyAndCallbackNeutral(const Case& t, const std::vector<double>& F)
{
    EXPECT_EQ(kUnwritten, F[t.m * t.B]);
    for (int32_t threads : {1, 2, 3}) {
        std::vector<Report> reports;
        std::vector<double> G = t.Run(&Record, &reports, threads);
        for (size_t i = 0; i < F.size(); i++)
            ASSERT_TRUE(SameBits(F[i], G[i])) << i << " threads " << threads;
    }
}

// Reports of a run: all with the kernel's maximum and message id, starting
// at 0, never decreasing, the last one at `last`.
void ExpectProgress(const std::vector<Report>& reports, double max, double last)
{
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(0.0, reports.front().current);
    for (size_t r = 0; r < reports.size(); r++) {
        EXPECT_EQ(max, reports[r].max);
        EXPECT_EQ(8, reports[r].msgid);
        if (r > 0) {
            EXPECT_GE(reports[r].current, reports[r - 1].current);
        }
    }
    EXPECT_EQ(last, reports.back().current);
}

std::vector<std::vector<int>> RandomMaps(long32 B, long32 width, long32 range, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(0, range - 1);
    std::vector<std::vector<int>> v(B, std::vector<int>(width));
    for (auto& row : v)
        for (auto& x : row)
            x = pick(gen);
    return v;
}

struct Smoothers
{
    std::vector<std::vector<double>> H1, H0;
    explicit Smoothers(long32 n)
    {
        std::vector<std::vector<double>> X1, X0;
        for (long32 c = 0; c < n; c++) {
            X1.push_back({1.0, (double)(c % 4), (double)((c % 4) * (c % 4))});
            X0.push_back({1.0});
        }
        H1 = Projection(X1);
        H0 = Projection(X0);
    }
};

// ---------------------------------------------------------------- independent design

struct IndepCase
{
    long32 m, n, B;
    std::vector<std::vector<double>> fit, res;
    std::vector<std::vector<int>> v;
    Smoothers h;
    IndepCase(long32 m_, long32 n_, long32 B_, unsigned seed)
        : m(m_), n(n_), B(B_), fit(RandomRows(m_, n_, seed)), res(RandomRows(m_, n_, seed + 1, 0.5)),
          v(RandomMaps(B_, n_, n_, seed + 2)), h(n_)
    {
    }
    std::vector<double> Run(update_progress_routine* cb, void* arg, int32_t threads = 1) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res), H1R = ColumnMajor(h.H1),
                            H0R = ColumnMajor(h.H0);
        std::vector<int> vR = ColumnMajor(v);
        std::vector<double> F((size_t)m * B + 1, kUnwritten);
        long32 mm = m, nn = n, BB = B;
        nullFIndep(fitR.data(), resR.data(), vR.data(), H1R.data(), H0R.data(), &mm, &nn, &BB, F.data(), cb, arg,
                   threads);
        return F;
    }
};

TEST(TimecourseNullIndep, EachIterationIsTheFOfFitPlusResampledResiduals)
{
    IndepCase t(7, 8, 4, 21);
    std::vector<double> F = t.Run(0, 0);
    for (long32 k = 0; k < t.B; k++) {
        std::vector<std::vector<double>> null(t.m, std::vector<double>(t.n));
        for (long32 i = 0; i < t.m; i++)
            for (long32 j = 0; j < t.n; j++)
                null[i][j] = t.fit[i][j] + t.res[i][t.v[k][j]];
        ExpectIteration(PlainF(null, t.h.H1, t.h.H0), F, k, t.m);
    }
    ExpectResultOnlyAndCallbackNeutral(t, F);
}

TEST(TimecourseNullIndep, NoIterationsWritesNothingAndReportsNothing)
{
    IndepCase t(5, 4, 0, 22);
    std::vector<Report> reports;
    std::vector<double> F = t.Run(&Record, &reports);
    EXPECT_EQ(kUnwritten, F[0]);
    EXPECT_TRUE(reports.empty());
}

TEST(TimecourseNullIndep, ProgressFiguresOfARun)
{
    // m = 1000, n = 2, B = 2: maximum (n + 1)^2 B m = 18000; the work done
    // is B m (n^2 + n + 1) = 14000.
    IndepCase t(1000, 2, 2, 23);
    for (int32_t threads : {1, 3}) {
        std::vector<Report> reports;
        t.Run(&Record, &reports, threads);
        ExpectProgress(reports, 18000.0, 14000.0);
    }
    // Several chunks: 60 x 8 pairs of 1641 units. On one thread a report
    // comes at least every 2^18 units; on more, the total is still exact.
    IndepCase big(60, 40, 8, 24);
    for (int32_t threads : {1, 2}) {
        std::vector<Report> reports;
        big.Run(&Record, &reports, threads);
        ExpectProgress(reports, 41.0 * 41.0 * 480, 1641.0 * 480);
        for (size_t r = 1; threads == 1 && r < reports.size(); r++)
            EXPECT_LE(reports[r].current - reports[r - 1].current, 262144.0);
    }
}

// ---------------------------------------------------------------- longitudinal design without intercept

// Four individuals at times 0..3; the reduced residuals are mapped back to
// the columns inc, and column rmv[l] balances individual l.
struct NoIntCase
{
    long32 m, n, N, B;
    std::vector<int> nGrp, idx, rmv, inc;
    std::vector<std::vector<double>> fit, res0, wsq;
    std::vector<std::vector<int>> v;
    Smoothers h;
    NoIntCase(long32 m_, long32 B_, unsigned seed, bool everyColumnBalancing = false)
        : m(m_), n(16), N(everyColumnBalancing ? 16 : 4), B(B_), h(16)
    {
        if (everyColumnBalancing) {
            nGrp.assign(16, 1);
            for (int c = 0; c < 16; c++) {
                idx.push_back(c);
                rmv.push_back(c);
            }
        } else {
            nGrp = {4, 4, 4, 4};
            // Stored time point by time point: individual l at time t is column 4 t + l.
            for (int l = 0; l < 4; l++)
                for (int t = 0; t < 4; t++)
                    idx.push_back(4 * t + l);
            for (int l = 0; l < 4; l++)
                rmv.push_back(12 + l); // last time point balances
            for (int c = 0; c < 12; c++)
                inc.push_back(c);
        }
        const long32 nr = n - N;
        fit = RandomRows(m, n, seed);
        res0 = RandomRows(m, nr, seed + 1, 0.5);
        wsq = RandomRows(nr, nr, seed + 2, 0.3);
        v = RandomMaps(B, nr, nr, seed + 3);
    }
    std::vector<double> Run(update_progress_routine* cb, void* arg, int32_t threads = 1) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res0), wsqR = ColumnMajor(wsq),
                            H1R = ColumnMajor(h.H1), H0R = ColumnMajor(h.H0);
        std::vector<int> vR = ColumnMajor(v), r = rmv, in = inc, ix = idx, ng = nGrp, ind(n, 0);
        r.push_back(0);
        in.push_back(0);
        std::vector<double> F((size_t)m * B + 1, kUnwritten);
        long32 mm = m, nn = n, NN = N, BB = B;
        nullFLongNoInt(fitR.data(), resR.data(), vR.data(), r.data(), in.data(), H1R.data(), H0R.data(),
                       wsqR.data(), ind.data(), ix.data(), &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg,
                       threads);
        return F;
    }
    // Residual row of gene i in iteration k.
    std::vector<double> Residuals(long32 i, long32 k) const
    {
        const long32 nr = n - N;
        std::vector<double> r(n, 0.0);
        for (long32 j = 0; j < nr; j++)
            for (long32 l = 0; l < nr; l++)
                r[inc[j]] += res0[i][v[k][l]] * wsq[l][j];
        long32 c = 0;
        for (long32 l = 0; l < N; l++) {
            double s = 0;
            for (int t = 0; t < nGrp[l]; t++)
                s += r[idx[c++]];
            r[rmv[l]] = -s;
        }
        return r;
    }
};

TEST(TimecourseNullNoInt, NullDataAreFitPlusRebuiltAndBalancedResiduals)
{
    NoIntCase t(6, 3, 31);
    std::vector<double> F = t.Run(0, 0);
    for (long32 k = 0; k < t.B; k++) {
        std::vector<std::vector<double>> null(t.m, std::vector<double>(t.n));
        for (long32 i = 0; i < t.m; i++) {
            std::vector<double> r = t.Residuals(i, k);
            // Each balancing column is one of its individual's own and not
            // an included one: the individual's residuals sum to zero.
            for (int l = 0; l < 4; l++) {
                double s = 0;
                for (int tt = 0; tt < 4; tt++)
                    s += r[4 * tt + l];
                EXPECT_NEAR(0.0, s, 1e-12);
            }
            for (long32 j = 0; j < t.n; j++)
                null[i][j] = t.fit[i][j] + r[j];
        }
        ExpectIteration(PlainF(null, t.h.H1, t.h.H0), F, k, t.m);
    }
    ExpectResultOnlyAndCallbackNeutral(t, F);
}

TEST(TimecourseNullNoInt, OneObservationPerIndividualLeavesOnlyTheFit)
{
    // N = n: no included columns, every residual is -0.0, so every
    // iteration's F is that of the fitted values themselves.
    NoIntCase t(5, 2, 32, true);
    std::vector<double> F = t.Run(0, 0);
    std::vector<double> expected = PlainF(t.fit, t.h.H1, t.h.H0);
    for (long32 k = 0; k < t.B; k++)
        for (long32 i = 0; i < t.m; i++)
            EXPECT_NEAR(expected[i], F[i + k * t.m], 1e-12 * std::max(1.0, std::fabs(expected[i])));
    std::vector<double> r = t.Residuals(0, 0);
    for (double x : r) {
        EXPECT_EQ(0.0, x);
        EXPECT_TRUE(std::signbit(x));
    }
}

TEST(TimecourseNullNoInt, NoIterationsAndProgressFigures)
{
    NoIntCase none(4, 0, 33);
    std::vector<Report> reports;
    std::vector<double> F = none.Run(&Record, &reports);
    EXPECT_EQ(kUnwritten, F[0]);
    EXPECT_TRUE(reports.empty());

    // m = 1, n = 16, N = 4, B = 1: maximum 17^2 + 12^2 + 4 = 437; the work
    // is 148 residual steps and 272 of the F statistic, m (n + 1) below.
    NoIntCase one(1, 1, 34);
    reports.clear();
    one.Run(&Record, &reports);
    ExpectProgress(reports, 437.0, 420.0);
}

// ---------------------------------------------------------------- longitudinal design with intercept

struct IntCase
{
    long32 m, n, N, B;
    std::vector<int> nGrp, idx;
    std::vector<std::vector<double>> fit, res, alpha;
    std::vector<std::vector<int>> v, v1;
    Smoothers h;
    double eps;
    IntCase(long32 m_, long32 B_, unsigned seed, double eps_ = 1e-4)
        : m(m_), n(12), N(3), B(B_), h(12), eps(eps_)
    {
        nGrp = {4, 4, 4};
        for (int c = 0; c < 12; c++)
            idx.push_back(c);
        fit = RandomRows(m, n, seed);
        res = RandomRows(m, n, seed + 1, 0.5);
        alpha = RandomRows(m, n, seed + 2, 1.5);
        v = RandomMaps(B, n, n, seed + 3);
        v1 = RandomMaps(B, n, n, seed + 4);
    }
    std::vector<double> Run(update_progress_routine* cb, void* arg, int32_t threads = 1) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res), alphaR = ColumnMajor(alpha),
                            H1R = ColumnMajor(h.H1), H0R = ColumnMajor(h.H0);
        std::vector<int> vR = ColumnMajor(v), v1R = ColumnMajor(v1), ix = idx, ng = nGrp, ind(n, 0);
        std::vector<double> F((size_t)m * B + 1, kUnwritten);
        long32 mm = m, nn = n, NN = N, BB = B;
        double e = eps;
        nullFLongInt(fitR.data(), resR.data(), vR.data(), v1R.data(), H1R.data(), H0R.data(), alphaR.data(),
                     ind.data(), ix.data(), &e, &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg, threads);
        return F;
    }
};

TEST(TimecourseNullInt, EachIterationIsFEMOfTheResampledData)
{
    // One gene is never fitted: its fits count as 0.
    for (long32 genes : {5, 1}) {
        IntCase t(genes, 3, 41);
        std::vector<double> F = t.Run(0, 0);
        const long32 m = t.m, n = t.n, N = t.N;
        for (long32 k = 0; k < t.B; k++) {
            Mat dat(m, n), H1(t.h.H1), H0(t.h.H0), fit1(m, n), fit0(m, n), alpha1(m, n), alpha0(m, n), datC(m, n);
            Mat A0(m, N), AA0(m, N), AA(m, N);
            for (long32 i = 0; i < m; i++)
                for (long32 j = 0; j < n; j++)
                    dat[i][j] = (t.fit[i][j] + t.res[i][t.v[k][j]]) + t.alpha[i][t.v1[k][j]];
            std::vector<double> rss1(m, 0.0), rss0(m, 0.0), Ft(m), gm(m), lik0(m), lik(m), tau(m), sig(m), atmp(N);
            std::vector<long32> EM(m);
            std::vector<int> ng = t.nGrp, ix = t.idx;
            long32 mm = m, nn = n, NN = N;
            int ind = 0;
            double eps = t.eps;
            FEM(dat, H1, H0, &ind, ix.data(), &eps, fit1, fit0, alpha1, alpha0, rss1.data(), rss0.data(), datC,
                gm.data(), A0, AA0, AA, lik0.data(), lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &mm,
                &nn, &NN, ng.data(), Ft.data(), 0, 0, 0, 0);
            for (long32 i = 0; i < m; i++)
                EXPECT_TRUE(SameBits(Ft[i], F[i + k * m])) << i << " " << k;
        }
        EXPECT_EQ(kUnwritten, F[m * t.B]);
    }
}

TEST(TimecourseNullInt, CallbackDoesNotChangeFAndCurrentEndsAtTwiceB)
{
    IntCase t(6, 4, 42);
    std::vector<Report> reports;
    std::vector<double> F = t.Run(0, 0), G = t.Run(&Record, &reports, 2), H = t.Run(0, 0, 3);
    for (size_t i = 0; i < F.size(); i++) {
        EXPECT_TRUE(SameBits(F[i], G[i])) << i;
        EXPECT_TRUE(SameBits(F[i], H[i])) << i;
    }
    EXPECT_EQ(std::vector<double>({1, 2, 3, 4, 5, 6, 7, 8}), Advances(reports));
    for (const Report& r : reports)
        EXPECT_EQ(8.0, r.max);
    EXPECT_EQ(8.0, reports.back().current);

    IntCase none(3, 0, 43);
    reports.clear();
    F = none.Run(&Record, &reports);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(kUnwritten, F[0]);
}

struct StopAtSecondReport
{
    int calls = 0;
};

void ThrowAtSecondReport(void* arg, double, double, int)
{
    if (++static_cast<StopAtSecondReport*>(arg)->calls == 2)
        throw StopAtSecondReport();
}

TEST(TimecourseNullKernels, AStopFromTheCallbackEndsEveryDesignOnAnyThreads)
{
    IndepCase a(200, 12, 50, 61);
    NoIntCase b(200, 50, 62);
    IntCase c(200, 10, 63, 1e-6);
    for (int32_t threads : {1, 2, 3}) {
        StopAtSecondReport sa, sb, sc;
        EXPECT_THROW(a.Run(&ThrowAtSecondReport, &sa, threads), StopAtSecondReport) << threads;
        EXPECT_THROW(b.Run(&ThrowAtSecondReport, &sb, threads), StopAtSecondReport) << threads;
        EXPECT_THROW(c.Run(&ThrowAtSecondReport, &sc, threads), StopAtSecondReport) << threads;
        EXPECT_EQ(2, sa.calls);
        EXPECT_EQ(2, sb.calls);
        EXPECT_EQ(2, sc.calls);
    }
}

TEST(TimecourseNullKernels, NoGenesGiveAnEmptyResult)
{
    // Zero genes (and zero arrays) must neither read nor write anything.
    IndepCase a(0, 4, 3, 51);
    std::vector<Report> reports;
    std::vector<double> F = a.Run(&Record, &reports);
    EXPECT_EQ(kUnwritten, F[0]);
    IntCase b(0, 2, 52);
    F = b.Run(0, 0);
    EXPECT_EQ(kUnwritten, F[0]);
    NoIntCase c(0, 2, 53);
    F = c.Run(0, 0);
    EXPECT_EQ(kUnwritten, F[0]);
}
} // namespace
