// Time-course kernels: F without EM against literal products, the random-
// intercept EM against the fit written sweep by sweep, and the bootstrap null
// F of the three designs against literal references.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "InterceptFit.h"
#include "helpers.h"
#include "levels.h"

using namespace kh;

namespace
{
const double kUnwritten = -12345.0;

void ExpectClose(double want, double got, const std::string& what)
{
    EXPECT_NEAR(want, got, 1e-12 * std::max(1.0, std::fabs(want))) << what;
}

// Fit x H' of each row of x.
Rows PlainFit(const Rows& x, const Rows& H)
{
    Rows f(x.size(), std::vector<double>(H.size(), 0.0));
    for (size_t i = 0; i < x.size(); i++)
        for (size_t j = 0; j < H.size(); j++)
            for (size_t l = 0; l < H.size(); l++)
                f[i][j] += x[i][l] * H[j][l];
    return f;
}

double Rss(const std::vector<double>& x, const std::vector<double>& fit, const std::vector<double>& alpha = {})
{
    double r = 0;
    for (size_t j = 0; j < x.size(); j++)
        r += std::pow(x[j] - fit[j] - (alpha.empty() ? 0.0 : alpha[j]), 2);
    return r;
}

// Projection onto polynomials of the given degree in time c % 4, c = 0..n-1.
Rows Trend(long32 n, int degree)
{
    Rows X(n);
    for (long32 c = 0; c < n; c++)
        for (int d = 0; d <= degree; d++)
            X[c].push_back(std::pow((double)(c % 4), d));
    return Projection(X);
}

// Three individuals at times 0..3 stored in columns idx; linear trend against a constant.
struct Study
{
    std::vector<int> nGrp{4, 4, 4}, idx, owner;
    Rows H1, H0;
    explicit Study(bool timeMajor = false, int degree = 1) : H1(Trend(12, degree)), H0(Trend(12, 0))
    {
        for (int c = 0; c < 12; c++) {
            idx.push_back(timeMajor ? 3 * (c % 4) + c / 4 : c);
            owner.push_back(c / 4);
        }
    }
    // Data with an intercept per individual, for the EM to find.
    Rows Data(long32 m, unsigned seed) const
    {
        Rows x = NormalRows(m, 12, seed), a = NormalRows(m, 3, seed + 1, 2.0);
        for (long32 i = 0; i < m; i++)
            for (int c = 0; c < 12; c++)
                x[i][c] += a[i][c / 4] + 0.5 * (c % 4);
        return x;
    }
};

// The fit as it is defined, sweep by sweep: every iteration updates the genes
// still listed in list order, then copies every proxy and rebuilds the list.
// Same arithmetic in the same order: the kernel must agree bit for bit.
struct SweepEM
{
    long32 iter = 1;
    Rows fit, alpha, A0, AA0;
    std::vector<double> tau, sig, lik0, lik;

    SweepEM(const Rows& dat, const Rows& H, const Study& d, double eps)
    {
        const long32 m = (long32)dat.size(), n = 12, N = 3;
        const std::vector<int>& own = d.owner;
        fit = alpha = Rows(m, std::vector<double>(n, 0.0));
        A0 = AA0 = Rows(m, std::vector<double>(N, 0.0));
        tau = sig = lik0 = std::vector<double>(m, 0.0);
        lik.assign(m, 1.0);
        std::vector<long32> list;
        for (long32 i = 0; i < m; i++) {
            list.push_back(i);
            double gm = 0.0;
            for (long32 j = 0; j < n; j++)
                gm = dat[i][j] + gm;
            for (long32 c = 0; c < n; c++)
                A0[i][own[c]] = (dat[i][d.idx[c]] - gm / n) + A0[i][own[c]];
            for (long32 l = 0; l < N; l++) {
                alpha[i][l] = A0[i][l] = A0[i][l] / d.nGrp[l];
                AA0[i][l] = A0[i][l] * A0[i][l];
            }
        }
        for (long32 sweep = 0; list.size() > 1 && sweep < kEMFitMaxIterations; sweep++, iter++) {
            for (long32 g : list) {
                std::copy(A0[g].begin(), A0[g].end(), alpha[g].begin());
                const std::vector<double> AA = AA0[g];
                for (long32 j = 0; j < n; j++) {
                    fit[g][j] = 0.0;
                    for (long32 c = 0; c < n; c++)
                        fit[g][j] = (dat[g][c] - alpha[g][own[c]]) * H[j][c] + fit[g][j];
                }
                tau[g] = sig[g] = 0.0;
                for (long32 l = 0; l < N; l++)
                    tau[g] = AA[l] + tau[g];
                tau[g] = tau[g] / N;
                for (long32 c = 0; c < n; c++) {
                    const double res = dat[g][c] - fit[g][c];
                    sig[g] = ((res * res + (res * -2.0) * alpha[g][own[c]]) + AA[own[c]]) + sig[g];
                }
                sig[g] = sig[g] / n;
                std::vector<double> s(N, 0.0);
                for (long32 c = 0; c < n; c++)
                    s[own[c]] = (dat[g][d.idx[c]] - fit[g][d.idx[c]]) + s[own[c]];
                for (long32 l = 0; l < N; l++) {
                    const double w = d.nGrp[l] * tau[g];
                    A0[g][l] = (w / (w + sig[g])) * (s[l] / d.nGrp[l]);
                    AA0[g][l] = tau[g] * (1.0 - w / (w + sig[g])) + A0[g][l] * A0[g][l];
                }
            }
            lik0 = lik;
            for (long32 g : list)
                lik[g] = (double)((-N) / 2) * std::log(tau[g]) - (double)(m / 2) * std::log(sig[g]);
            list.clear();
            for (long32 i = 0; i < m; i++)
                if (std::fabs(lik[i] - lik0[i]) > eps)
                    list.push_back(i);
        }
        for (long32 i = 0; i < m; i++) {
            const std::vector<double> a(alpha[i].begin(), alpha[i].begin() + N);
            for (long32 c = 0; c < n; c++)
                alpha[i][d.idx[c]] = a[own[c]];
        }
    }
};

// The arrays of one EM fit of the rows x.
struct EMWork
{
    long32 m, n = 12, N = 3, iter = 0;
    Mat dat, fit, alpha, datC, A0, AA0, AA;
    std::vector<double> gm, lik0, lik, tau, sig, atmp;
    std::vector<long32> EM;
    EMWork(const Rows& x)
        : m((long32)x.size()), dat(x, 12), fit(m, n), alpha(m, n), datC(m, n), A0(m, N), AA0(m, N), AA(m, N), gm(m + 1),
          lik0(m + 1), lik(m + 1), tau(m + 1), sig(m + 1), atmp(N), EM(m + 1)
    {}
};

std::vector<std::vector<int>> RandomMaps(long32 B, long32 width, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<std::vector<int>> v(B, std::vector<int>(width));
    for (auto& row : v)
        for (auto& x : row)
            x = (int)(gen() % width);
    return v;
}

// A bootstrap problem of a design from the seed: fits, residuals, column maps v, and
// wsq (no intercept: 4 individuals x 4 times stored by time, the last balancing) or
// intercepts with maps v1 (fitted by EM, or gene by gene by maximum likelihood on
// the designs of H1 and H0).
enum Design
{
    kIndep,
    kNoInt,
    kInt,
    kIntML
};
struct NullCase
{
    Design d;
    long32 m, n, B, nr;
    Rows fit, res, extra, H1, H0;
    std::vector<std::vector<int>> v, v1;
    std::vector<int> nGrp, idx, rmv{12, 13, 14, 15, 0}, inc;
    double eps;
    NullCase(Design d_, long32 m_, long32 B_, unsigned seed, long32 n_ = 12, double eps_ = 1e-4)
        : d(d_), m(m_), n(d_ == kNoInt ? 16 : n_), B(B_), nr(d_ == kNoInt ? 12 : n), fit(NormalRows(m, n, seed)),
          res(NormalRows(m, nr, seed + 1, 0.5)),
          extra(d == kNoInt ? NormalRows(12, 12, seed + 3, 0.3) : NormalRows(m, n, seed + 3, 1.5)), H1(Trend(n, 2)),
          H0(Trend(n, 0)), v(RandomMaps(B, nr, seed + 2)), v1(RandomMaps(B, n, seed + 4)), nGrp(d == kNoInt ? 4 : 3, 4),
          eps(eps_)
    {
        for (int c = 0; c < n; c++)
            idx.push_back(d == kNoInt ? 4 * (c % 4) + c / 4 : c);
        for (int c = 0; c <= 12; c++)
            inc.push_back(c % 12);
    }
    // F (m x B, gene-fastest) and one guard entry after it.
    // With rss1, it receives the residual sums of squares of the alternative fits.
    std::vector<double> Run(update_progress_routine* cb, void* arg, int32_t threads,
                            std::vector<double>* rss1 = 0) const
    {
        if (rss1 != 0)
            rss1->assign((size_t)m * B + 1, kUnwritten);
        double* rs = rss1 != 0 ? rss1->data() : 0;
        std::vector<double> F((size_t)m * B + 1, kUnwritten), fitR = ColumnMajor(fit), resR = ColumnMajor(res),
                                                              xR = ColumnMajor(extra), H1R = ColumnMajor(H1),
                                                              H0R = ColumnMajor(H0);
        std::vector<int> vR = ColumnMajor(v), v1R = ColumnMajor(v1), ix = idx, ng = nGrp, r = rmv, in = inc, ind(n);
        long32 mm = m, nn = n, NN = (long32)nGrp.size(), BB = B;
        double e = eps;
        lumo::CWorkerPool pool(threads);
        if (d == kIndep)
            nullFIndep(fitR.data(), resR.data(), vR.data(), H1R.data(), H0R.data(), &mm, &nn, &BB, F.data(), cb, arg,
                       pool, rs);
        else if (d == kNoInt)
            nullFLongNoInt(fitR.data(), resR.data(), vR.data(), r.data(), in.data(), H1R.data(), H0R.data(), xR.data(),
                           ind.data(), ix.data(), &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg, pool, rs);
        else if (d == kInt)
            nullFLongInt(fitR.data(), resR.data(), vR.data(), v1R.data(), H1R.data(), H0R.data(), xR.data(), ind.data(),
                         ix.data(), &e, &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg, pool, rs);
        else
            nullFLongIntML(fitR.data(), resR.data(), vR.data(), v1R.data(), xR.data(), ColumnMajor(Basis(2)).data(), 3,
                           ColumnMajor(Basis(0)).data(), 1, ix.data(), &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg,
                           pool, rs);
        return F;
    }
    // Columns 1, t, ..., t^degree of time t = c % 4: the design of Trend(n, degree).
    Rows Basis(int degree) const
    {
        Rows X(n);
        for (long32 c = 0; c < n; c++)
            for (int k = 0; k <= degree; k++)
                X[c].push_back(std::pow((double)(c % 4), k));
        return X;
    }
    // The null data of iteration k.
    Rows Null(long32 k) const
    {
        Rows x(fit);
        for (long32 i = 0; i < m; i++) {
            std::vector<double> r(n, 0.0);
            for (long32 j = 0; j < nr; j++) {
                r[j] = d == kNoInt ? 0.0 : res[i][v[k][j]];
                for (long32 l = 0; d == kNoInt && l < nr; l++) // rebuilt with wsq
                    r[j] += res[i][v[k][l]] * extra[l][j];
            }
            for (long32 l = 0; d == kNoInt && l < 4; l++)
                r[rmv[l]] = -(r[idx[4 * l]] + r[idx[4 * l + 1]] + r[idx[4 * l + 2]]);
            for (long32 j = 0; j < n; j++)
                x[i][j] = (fit[i][j] + r[j]) + (d >= kInt ? extra[i][v1[k][j]] : 0.0);
        }
        return x;
    }
};

struct Stop
{};
void ThrowAtReport(void* arg, double, double, int)
{
    if (++*static_cast<int*>(arg) == 2)
        throw Stop();
}
} // namespace

// Catches wrong fits, sums not added onto the caller's, a wrong F, reports off every 1000th step.
TEST(TimecourseFNoEM, FitsProductsResidualSumsAndReports)
{
    const long32 m = 2, n = 22; // 968 product steps, then 44 residual steps
    const Rows x = NormalRows(m, n, 1), h1 = NormalRows(n, n, 2), h0 = NormalRows(n, n, 3);
    const Rows f1 = PlainFit(x, h1), f0 = PlainFit(x, h0);
    for (bool figures : {false, true}) {
        Mat dat(x), H1(h1), H0(h0), fit1(m, n, 10.0), fit0(m, n, -3.0);
        std::vector<double> rss1(m, 7.0), rss0(m, 2.0), F(m);
        long32 mm = m, nn = n;
        double current = 5.0, max = 99.0, start = figures ? 5.0 : 0.0;
        Recorder rec;
        FNoEM(dat, H1, H0, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), &Record, &rec,
              figures ? &current : 0, figures ? &max : 0);
        for (long32 i = 0; i < m; i++) {
            std::vector<double> g1(fit1[i], fit1[i] + n), g0(fit0[i], fit0[i] + n);
            for (long32 j = 0; j < n; j++) {
                ExpectClose(f1[i][j] + 10.0, g1[j], "fit1");
                ExpectClose(f0[i][j] - 3.0, g0[j], "fit0");
            }
            ExpectClose(7.0 + Rss(x[i], g1), rss1[i], "rss1");
            ExpectClose(2.0 + Rss(x[i], g0), rss0[i], "rss0");
            ExpectClose(rss0[i] / rss1[i] - 1, F[i], "F");
        }
        ASSERT_EQ(2u, rec.reports.size());
        EXPECT_EQ(figures ? 99.0 : 2.0 * (22 + 22 * 22 + 1), rec.reports[0].max);
        EXPECT_EQ(start, rec.reports[0].current);
        EXPECT_EQ(start + 1000, rec.reports[1].current);
        EXPECT_EQ(8, rec.reports[1].msgid);
        EXPECT_EQ(5.0 + (figures ? 2 * (22 * 22 + 22) : 0), current);
    }
}

// Catches any change to the EM's arithmetic, order or stop rule, on any threads and lanes.
TEST(TimecourseEMFit, GeneByGeneOnAnyNumberOfThreadsEqualsTheSweepsBitForBit)
{
    const struct
    {
        const char* what;
        long32 m;
        double eps;
        bool nullData; // no individual effect: long fits that end at different iterations
        bool timeMajor;
    } cases[] = {
        {"every gene settles at once", 7, 1e300, false, false},
        {"intercepts to find", 9, 1e-6, false, false},
        {"null data, one gene runs on", 40, 1e-3, true, false},
        {"time-major columns", 25, 1e-4, true, true},
        {"one gene", 1, 1e-3, true, false},
        {"no genes", 0, 1e-3, true, false},
        {"two genes that never settle", 2, -1.0, false, false},
    };
    for (const auto& cs : cases) {
        const Study s(cs.timeMajor);
        const Rows x = cs.nullData ? NormalRows(cs.m, 12, 31) : s.Data(cs.m, 32);
        const SweepEM ref(x, s.H1, s, cs.eps);
        // Every level this processor runs, on one to three threads, and the widest on three.
        std::vector<std::pair<int, lumo::simd::Level>> runs;
        const std::vector<lumo::simd::Level> levels = kh::RunnableLevels();
        for (size_t l = 0; l < levels.size(); l++)
            runs.push_back(std::make_pair(1 + (int)(l % 3), levels[l]));
        runs.push_back(std::make_pair(3, levels.back()));
        for (const auto& run : runs) {
            const kh::CForcedLevel forced(run.second);
            const int lanes = EMLaneWidth();
            EMWork w(x);
            Mat H(s.H1);
            std::vector<int> idx = s.idx, nGrp = s.nGrp;
            double eps = cs.eps;
            lumo::CWorkerPool pool(run.first);
            EMFitPool(w.dat, H, idx.data(), &eps, w.fit, w.alpha, w.datC, w.gm.data(), w.A0, w.AA0, w.AA, w.lik0.data(),
                      w.lik.data(), w.tau.data(), w.sig.data(), w.EM.data(), w.atmp.data(), &w.m, &w.n, &w.N,
                      nGrp.data(), &w.iter, pool, 0);
            SCOPED_TRACE(::testing::Message() << cs.what << ", threads " << run.first << ", lanes " << lanes);
            ASSERT_EQ(ref.iter, w.iter);
            const bool fitted = w.iter > 1;
            for (long32 i = 0; i < w.m; i++) {
                for (long32 j = 0; j < w.n; j++) {
                    ASSERT_TRUE(SameBits(ref.alpha[i][j], w.alpha[i][j])) << "alpha " << i << "," << j;
                    ASSERT_TRUE(!fitted || SameBits(ref.fit[i][j], w.fit[i][j])) << "fit " << i << "," << j;
                }
                for (long32 l = 0; l < w.N; l++)
                    ASSERT_TRUE(SameBits(ref.A0[i][l], w.A0[i][l]) && SameBits(ref.AA0[i][l], w.AA0[i][l])) << i;
                ASSERT_TRUE(SameBits(ref.lik[i], w.lik[i]) && SameBits(ref.lik0[i], w.lik0[i])) << "lik " << i;
                ASSERT_TRUE(!fitted || (SameBits(ref.tau[i], w.tau[i]) && SameBits(ref.sig[i], w.sig[i]))) << i;
            }
        }
    }
}

// Catches wrong null data or F in any design, and results that depend on threads or a callback.
TEST(TimecourseNull, EachIterationIsTheFOfItsNullData)
{
    const NullCase cases[] = {{kIndep, 7, 4, 21, 8}, {kNoInt, 6, 3, 31}, {kInt, 5, 3, 41},
                              {kInt, 1, 2, 42},      {kIntML, 9, 3, 43}, {kIntML, 1, 2, 44}};
    for (const NullCase* c = cases; c != std::end(cases); c++) {
        const bool em = c->d == kInt;
        const Study s(false, 2);
        std::vector<double> rss1;
        const std::vector<double> F = c->Run(0, 0, 1), G = c->Run(0, 0, 2, &rss1);
        for (long32 k = 0; k < c->B; k++) {
            const Rows x = c->Null(k);
            Rows f1 = PlainFit(x, c->H1), f0 = PlainFit(x, c->H0), a1(c->m), a0(c->m);
            if (em) { // fits of a single gene stay 0
                const SweepEM e1(x, s.H1, s, c->eps), e0(x, s.H0, s, c->eps);
                f1 = e1.fit, f0 = e0.fit, a1 = e1.alpha, a0 = e0.alpha;
            }
            if (c->d == kIntML) { // each gene alone, its fits those of the core fit's own test
                const std::vector<int> group = s.owner;
                const std::vector<double> X1 = ColumnMajor(c->Basis(2)), X0 = ColumnMajor(c->Basis(0));
                const lumo::CInterceptDesign d1(X1.data(), 12, 3, 3, group.data()),
                    d0(X0.data(), 12, 1, 3, group.data());
                std::vector<double> scratch(d1.ScratchSize());
                for (long32 i = 0; i < c->m; i++) {
                    a1[i] = a0[i] = f1[i] = f0[i] = std::vector<double>(12);
                    d1.Fit(x[i].data(), f1[i].data(), a1[i].data(), scratch.data());
                    d0.Fit(x[i].data(), f0[i].data(), a0[i].data(), scratch.data());
                }
            }
            for (long32 i = 0; i < c->m; i++) {
                const double want = Rss(x[i], f0[i], a0[i]) / Rss(x[i], f1[i], a1[i]) - 1;
                const std::string what = "gene " + std::to_string(i) + " iteration " + std::to_string(k);
                ExpectClose(want, F[i + k * c->m], what);
                ExpectClose(Rss(x[i], f1[i], a1[i]), rss1[i + k * c->m], what + " rss1");
                EXPECT_TRUE(SameBits(F[i + k * c->m], G[i + k * c->m])) << what;
            }
        }
        EXPECT_EQ(kUnwritten, F.back());
        for (int32_t threads : {2, 3}) {
            Recorder rec;
            const std::vector<double> G = c->Run(&Record, &rec, threads);
            for (size_t i = 0; i < F.size(); i++)
                ASSERT_TRUE(SameBits(F[i], G[i])) << i << " threads " << threads;
        }
    }
}

// Catches work without genes, wrong progress figures, and stops that do not end a design.
TEST(TimecourseNull, EmptyRunsProgressAndStops)
{
    const NullCase noGenes(kIndep, 0, 3, 51, 4), chunks(kIndep, 60, 8, 24, 40), noGenesN(kNoInt, 0, 2, 53),
        oneN(kNoInt, 1, 1, 34), noGenesI(kInt, 0, 2, 52), twoI(kInt, 4, 2, 44);
    const struct
    {
        const NullCase& c;
        double max, last; // 0: no reports
    } cases[] = {{noGenes, 0, 0},
                 {noGenesN, 0, 0},
                 {noGenesI, 4, 4},
                 {twoI, 4, 4},
                 {chunks, 41.0 * 41 * 480, 1641.0 * 480}, // (n + 1)^2 B m; B m (n^2 + n + 1)
                 {oneN, 437, 420}};                       // 17^2 + 12^2 + 4; 148 + 272
    for (const auto& c : cases) {
        for (int32_t threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "m " << c.c.m << " B " << c.c.B << " threads " << threads);
            Recorder rec;
            EXPECT_EQ(kUnwritten, c.c.Run(&Record, &rec, threads).back());
            const std::vector<Report>& r = rec.reports;
            ASSERT_EQ(r.empty(), c.last == 0);
            for (size_t q = 0; q < r.size(); q++) {
                EXPECT_TRUE(r[q].max == c.max && r[q].msgid == 8) << q;
                EXPECT_GE(r[q].current, q ? r[q - 1].current : 0.0);
                EXPECT_TRUE(threads > 1 || q == 0 || r[q].current - r[q - 1].current <= 262144.0);
            }
            EXPECT_TRUE(r.empty() || r.back().current == c.last);
        }
    }
    const NullCase big[] = {
        {kIndep, 200, 50, 61}, {kNoInt, 200, 50, 62}, {kInt, 200, 10, 63, 12, 1e-6}, {kIntML, 400, 50, 64}};
    for (const NullCase& c : big) {
        for (int32_t threads : {1, 2, 3}) {
            int calls = 0;
            EXPECT_THROW(c.Run(&ThrowAtReport, &calls, threads), Stop) << threads;
            EXPECT_EQ(2, calls);
        }
    }
}
