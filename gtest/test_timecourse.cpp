// Time-course kernels: F without EM against literal products, the random-
// intercept EM against the fit written sweep by sweep, and the bootstrap null
// F of the three designs against literal references.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "kernel_helpers.h"

using namespace kh;

namespace
{
const double kUnwritten = -12345.0;

void ExpectClose(double want, double got, const std::string& what)
{
    EXPECT_NEAR(want, got, 1e-12 * std::max(1.0, std::fabs(want))) << what;
}

// Fits x H' of the rows of x, and F = rss0 / rss1 - 1 of the two smoothers.
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

std::vector<double> PlainF(const Rows& x, const Rows& H1, const Rows& H0)
{
    const Rows f1 = PlainFit(x, H1), f0 = PlainFit(x, H0);
    std::vector<double> F;
    for (size_t i = 0; i < x.size(); i++)
        F.push_back(Rss(x[i], f0[i]) / Rss(x[i], f1[i]) - 1);
    return F;
}
} // namespace

// Catches wrong products, residual sums that do not add onto the caller's, or a wrong ratio.
TEST(TimecourseFNoEM, FitsAreTheMatrixProductsAddedOntoTheCallers)
{
    const long32 m = 4, n = 6;
    const Rows x = RandomRows(m, n, 1), h1 = RandomRows(n, n, 2), h0 = RandomRows(n, n, 3);
    Mat dat(x), H1(h1), H0(h0), fit1(m, n, 10.0), fit0(m, n, -3.0);
    std::vector<double> rss1(m, 7.0), rss0(m, 2.0), F(m);
    long32 mm = m, nn = n;
    FNoEM(dat, H1, H0, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), 0, 0, 0, 0);
    const Rows f1 = PlainFit(x, h1), f0 = PlainFit(x, h0);
    for (long32 i = 0; i < m; i++) {
        std::vector<double> g1(n), g0(n);
        for (long32 j = 0; j < n; j++) {
            ExpectClose(f1[i][j] + 10.0, g1[j] = fit1[i][j], "fit1");
            ExpectClose(f0[i][j] - 3.0, g0[j] = fit0[i][j], "fit0");
        }
        ExpectClose(7.0 + Rss(x[i], g1), rss1[i], "rss1");
        ExpectClose(2.0 + Rss(x[i], g0), rss0[i], "rss0");
        ExpectClose(rss0[i] / rss1[i] - 1, F[i], "F");
    }
}

// Catches a lost first report, a wrong period (every 1000 steps across both
// loops), a wrong maximum, or the caller's counter not advanced by m (n^2 + n).
TEST(TimecourseFNoEM, ReportsAtTheFirstStepAndEvery1000thAcrossBothLoops)
{
    const long32 m = 2, n = 22; // 968 product steps, then 44 residual steps
    Mat dat(RandomRows(m, n, 6)), H(RandomRows(n, n, 7)), fit1(m, n), fit0(m, n);
    std::vector<double> rss1(m, 0.0), rss0(m, 0.0), F(m);
    long32 mm = m, nn = n;
    const struct
    {
        double current, max;
        bool figures;
    } cases[] = {{0, 2.0 * (22 + 22 * 22 + 1), false}, {5.0, 99.0, true}};
    for (const auto& c : cases) {
        Recorder rec;
        double current = c.current, max = c.max;
        FNoEM(dat, H, H, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), &Record, &rec,
              c.figures ? &current : 0, c.figures ? &max : 0);
        ASSERT_EQ(2u, rec.reports.size());
        EXPECT_EQ(c.max, rec.reports[0].max);
        EXPECT_EQ(c.current, rec.reports[0].current);
        EXPECT_EQ(c.current + 1000, rec.reports[1].current);
        EXPECT_EQ(8, rec.reports[1].msgid);
        EXPECT_EQ(c.current + (c.figures ? 2 * (22 * 22 + 22) : 0), current);
    }
}

namespace
{
// Three individuals at times 0..3 (columns idx); a linear trend as full model.
struct Study
{
    std::vector<int> nGrp{4, 4, 4}, idx, owner;
    Rows H1, H0;
    explicit Study(bool timeMajor = false)
    {
        Rows X1, X0;
        for (int c = 0; c < 12; c++) {
            idx.push_back(timeMajor ? 3 * (c % 4) + c / 4 : c);
            owner.push_back(c / 4);
            X1.push_back({1.0, (double)(c % 4)});
            X0.push_back({1.0});
        }
        H1 = Projection(X1);
        H0 = Projection(X0);
    }
    // Data with an intercept per individual, for the EM to find.
    Rows Data(long32 m, unsigned seed) const
    {
        Rows x = RandomRows(m, 12, seed), a = RandomRows(m, 3, seed + 1, 2.0);
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
    Rows fit, alpha, A0, AA0, AA;
    std::vector<double> tau, sig, lik0, lik;

    SweepEM(const Rows& dat, const Rows& H, const Study& d, double eps)
    {
        const long32 m = (long32)dat.size(), n = 12, N = 3;
        const std::vector<int>& owner = d.owner;
        fit = alpha = Rows(m, std::vector<double>(n, 0.0));
        A0 = AA0 = AA = Rows(m, std::vector<double>(N, 0.0));
        tau = sig = lik0 = std::vector<double>(m, 0.0);
        lik.assign(m, 1.0);
        std::vector<long32> list;
        for (long32 i = 0; i < m; i++) {
            list.push_back(i);
            double gm = 0.0;
            for (long32 j = 0; j < n; j++)
                gm = dat[i][j] + gm;
            gm = gm / n;
            for (long32 c = 0; c < n; c++)
                A0[i][owner[c]] = (dat[i][d.idx[c]] - gm) + A0[i][owner[c]];
            for (long32 l = 0; l < N; l++) {
                A0[i][l] = A0[i][l] / d.nGrp[l];
                AA0[i][l] = AA[i][l] = alpha[i][l] = A0[i][l] * A0[i][l];
                alpha[i][l] = A0[i][l];
            }
        }
        for (long32 sweep = 0; list.size() > 1 && sweep < kEMFitMaxIterations; sweep++, iter++) {
            for (long32 g : list) {
                std::copy(A0[g].begin(), A0[g].end(), alpha[g].begin());
                AA[g] = AA0[g];
                for (long32 j = 0; j < n; j++) {
                    fit[g][j] = 0.0;
                    for (long32 c = 0; c < n; c++)
                        fit[g][j] = (dat[g][c] - alpha[g][owner[c]]) * H[j][c] + fit[g][j];
                }
                tau[g] = sig[g] = 0.0;
                for (long32 l = 0; l < N; l++)
                    tau[g] = AA[g][l] + tau[g];
                tau[g] = tau[g] / N;
                for (long32 c = 0; c < n; c++) {
                    const double res = dat[g][c] - fit[g][c];
                    sig[g] = ((res * res + (res * -2.0) * alpha[g][owner[c]]) + AA[g][owner[c]]) + sig[g];
                }
                sig[g] = sig[g] / n;
                std::vector<double> s(N, 0.0);
                for (long32 c = 0; c < n; c++)
                    s[owner[c]] = (dat[g][d.idx[c]] - fit[g][d.idx[c]]) + s[owner[c]];
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
                alpha[i][d.idx[c]] = a[owner[c]];
        }
    }
};

// The arrays of one EM fit of m genes of a Study.
struct EMWork
{
    long32 m, n = 12, N = 3, iter = 0;
    Mat dat, H1, H0, fit, fit0, alpha, alpha0, datC, A0, AA0, AA;
    std::vector<double> gm, lik0, lik, tau, sig, atmp, rss1, rss0, F;
    std::vector<long32> EM;
    std::vector<int> nGrp, idx;
    double eps;
    int ind = 0;
    EMWork(const Rows& x, const Study& s, double eps_)
        : m((long32)x.size()), dat(x.empty() ? Mat(0, 12) : Mat(x)), H1(s.H1), H0(s.H0), fit(m, n), fit0(m, n),
          alpha(m, n), alpha0(m, n), datC(m, n), A0(m, N), AA0(m, N), AA(m, N), gm(m + 1), lik0(m + 1), lik(m + 1),
          tau(m + 1), sig(m + 1), atmp(N), rss1(m, 0.0), rss0(m, 0.0), F(m), EM(m + 1), nGrp(s.nGrp), idx(s.idx),
          eps(eps_)
    {
    }
    void Pool(lumo::CWorkerPool& pool)
    {
        EMFitPool(dat, H1, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
                  tau.data(), sig.data(), EM.data(), atmp.data(), &m, &n, &N, nGrp.data(), &iter, pool, 0);
    }
    void Fit(update_progress_routine* cb, void* arg, double* max, double* current)
    {
        EMFit(dat, H1, &ind, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
              tau.data(), sig.data(), EM.data(), atmp.data(), &m, &n, &N, nGrp.data(), &iter, cb, arg, max, current);
    }
    void FitF(update_progress_routine* cb, void* arg, double* max, double* current)
    {
        FEM(dat, H1, H0, &ind, idx.data(), &eps, fit, fit0, alpha, alpha0, rss1.data(), rss0.data(), datC, gm.data(),
            A0, AA0, AA, lik0.data(), lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &m, &n, &N,
            nGrp.data(), F.data(), cb, arg, max, current);
    }
};
} // namespace

// Catches any change to the EM arithmetic, its order, the stopping rule (the
// run ends once at most one gene is left), the iteration cap or the intercept
// spreading, on any thread count and lane width.
TEST(TimecourseEMFit, GeneByGeneOnAnyNumberOfThreadsEqualsTheSweepsBitForBit)
{
    struct Case
    {
        const char* what;
        long32 m;
        double eps;
        bool nullData; // no individual effect: long fits that end at different iterations
        bool timeMajor;
    } cases[] = {
        {"every gene settles at once", 7, 1e300, false, false}, {"intercepts to find", 9, 1e-6, false, false},
        {"null data, one gene runs on", 40, 1e-3, true, false}, {"time-major columns", 25, 1e-4, true, true},
        {"one gene", 1, 1e-3, true, false},                     {"no genes", 0, 1e-3, true, false},
        {"two genes that never settle", 2, -1.0, false, false},
    };
    for (const Case& cs : cases) {
        const Study s(cs.timeMajor);
        const Rows x = cs.nullData ? RandomRows(cs.m, 12, 31) : s.Data(cs.m, 32);
        const SweepEM ref(x, s.H1, s, cs.eps);
        for (auto run : {std::make_pair(1, 2), std::make_pair(1, 4), std::make_pair(2, 8), std::make_pair(3, 0)}) {
            const int lanes = SetEMLaneWidth(run.second); // as far as this processor has them
            EMWork w(x, s, cs.eps);
            lumo::CWorkerPool pool(run.first);
            w.Pool(pool);
            SetEMLaneWidth(0);
            SCOPED_TRACE(std::string(cs.what) + ", threads " + std::to_string(run.first) + ", lanes " +
                         std::to_string(lanes));
            ASSERT_EQ(ref.iter, w.iter);
            for (long32 i = 0; i < w.m; i++) {
                for (long32 j = 0; j < w.n; j++) {
                    ASSERT_TRUE(SameBits(ref.alpha[i][j], w.alpha[i][j])) << "alpha " << i << "," << j;
                    ASSERT_TRUE(w.iter == 1 || SameBits(ref.fit[i][j], w.fit[i][j])) << "fit " << i << "," << j;
                }
                for (long32 l = 0; l < w.N; l++) {
                    ASSERT_TRUE(SameBits(ref.A0[i][l], w.A0[i][l])) << "A0 " << i;
                    ASSERT_TRUE(SameBits(ref.AA0[i][l], w.AA0[i][l])) << "AA0 " << i;
                }
                ASSERT_TRUE(SameBits(ref.lik[i], w.lik[i]) && SameBits(ref.lik0[i], w.lik0[i])) << "lik " << i;
                ASSERT_TRUE(w.iter == 1 || (SameBits(ref.tau[i], w.tau[i]) && SameBits(ref.sig[i], w.sig[i])))
                    << "tau, sig " << i;
            }
        }
    }
}

// Catches F not taken from the residuals after curve and intercepts, or
// progress that does not advance by one per fit from the caller's counter.
TEST(TimecourseFEM, FFromBothFitsAndOneProgressUnitPerFit)
{
    const Study s;
    const Rows x = s.Data(4, 18);
    const SweepEM r1(x, s.H1, s, 1e-4), r0(x, s.H0, s, 1e-4);
    const struct
    {
        bool callback, figures;
        double current, max;
    } cases[] = {{true, false, 0, 2}, {true, true, 3, 10}, {false, true, 5, 10}};
    for (const auto& c : cases) {
        EMWork w(x, s, 1e-4);
        Recorder rec;
        double current = c.current, max = c.max;
        w.FitF(c.callback ? &Record : 0, &rec, c.figures ? &max : 0, c.figures ? &current : 0);
        EXPECT_EQ(current, c.current + (c.figures ? 2 : 0));
        EXPECT_EQ(Advances(rec, c.current),
                  c.callback ? std::vector<double>({c.current + 1, c.current + 2}) : std::vector<double>());
        for (const Report& r : rec.reports)
            EXPECT_TRUE(r.max == c.max && r.msgid == 8);
        for (long32 i = 0; i < w.m; i++) {
            const double e1 = Rss(x[i], r1.fit[i], r1.alpha[i]), e0 = Rss(x[i], r0.fit[i], r0.alpha[i]);
            ExpectClose(e1, w.rss1[i], "rss1");
            ExpectClose(e0 / e1 - 1, w.F[i], "F");
        }
    }
}

namespace
{
struct Stop
{
};
void ThrowStop(void*, double, double, int) { throw Stop(); }
} // namespace

// Catches long fits that never call back (a stop could not get through) or
// that report without the caller's figures.
TEST(TimecourseEMFit, LongFitsResendTheCallersFiguresSoThatAStopGetsThrough)
{
    const Study s;
    EMWork w(s.Data(3, 20), s, -1.0);
    double max = 40.0, current = 17.0;
    Recorder rec;
    w.Fit(&Record, &rec, &max, &current);
    EXPECT_GE(rec.reports.size(), 100u); // two million gene-iterations: a re-send at least every 20,000
    for (const Report& r : rec.reports)
        EXPECT_TRUE(r.max == 40.0 && r.current == 17.0);
    EXPECT_EQ(17.0, current);
    rec.reports.clear();
    w.Fit(&Record, &rec, 0, 0);
    EXPECT_TRUE(rec.reports.empty());
    EXPECT_THROW(w.Fit(&ThrowStop, 0, &max, &current), Stop);
}

// ---------------------------------------------------------------- bootstrap null F of the three designs

namespace
{
std::vector<std::vector<int>> RandomMaps(long32 B, long32 width, long32 range, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<std::vector<int>> v(B, std::vector<int>(width));
    for (auto& row : v)
        for (auto& x : row)
            x = (int)(gen() % range);
    return v;
}

// Quadratic in time modulo 4 against a constant.
struct Smoothers
{
    Rows H1, H0;
    explicit Smoothers(long32 n)
    {
        Rows X1, X0;
        for (long32 c = 0; c < n; c++) {
            X1.push_back({1.0, (double)(c % 4), (double)((c % 4) * (c % 4))});
            X0.push_back({1.0});
        }
        H1 = Projection(X1);
        H0 = Projection(X0);
    }
};

typedef std::function<std::vector<double>(update_progress_routine*, void*, int32_t)> NullRun;

// Independent samples: null data are fit plus resampled residuals.
struct IndepCase
{
    long32 m, n, B;
    Rows fit, res;
    std::vector<std::vector<int>> v;
    Smoothers h;
    IndepCase(long32 m_, long32 n_, long32 B_, unsigned seed)
        : m(m_), n(n_), B(B_), fit(RandomRows(m_, n_, seed)), res(RandomRows(m_, n_, seed + 1, 0.5)),
          v(RandomMaps(B_, n_, n_, seed + 2)), h(n_)
    {
    }
    std::vector<double> operator()(update_progress_routine* cb, void* arg, int32_t threads) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res), H1R = ColumnMajor(h.H1),
                            H0R = ColumnMajor(h.H0), F((size_t)m * B + 1, kUnwritten);
        std::vector<int> vR = ColumnMajor(v);
        long32 mm = m, nn = n, BB = B;
        nullFIndep(fitR.data(), resR.data(), vR.data(), H1R.data(), H0R.data(), &mm, &nn, &BB, F.data(), cb, arg,
                   threads);
        return F;
    }
    Rows Null(long32 k) const
    {
        Rows x(fit);
        for (long32 i = 0; i < m; i++)
            for (long32 j = 0; j < n; j++)
                x[i][j] += res[i][v[k][j]];
        return x;
    }
};

// Longitudinal without intercept: four individuals at times 0..3 stored time
// point by time point; residuals rebuilt with wsq into the columns inc, the
// last time point balancing each individual (or one observation each).
struct NoIntCase
{
    long32 m, n = 16, N, B;
    std::vector<int> nGrp, idx, rmv, inc;
    Rows fit, res0, wsq;
    std::vector<std::vector<int>> v;
    Smoothers h{16};
    NoIntCase(long32 m_, long32 B_, unsigned seed, bool onePerIndividual = false)
        : m(m_), N(onePerIndividual ? 16 : 4), B(B_), nGrp(N, 16 / N)
    {
        for (int c = 0; c < 16; c++)
            idx.push_back(onePerIndividual ? c : 4 * (c % 4) + c / 4);
        for (int l = 0; l < N; l++)
            rmv.push_back(onePerIndividual ? l : 12 + l);
        for (int c = 0; c < 16 - N; c++)
            inc.push_back(c);
        fit = RandomRows(m, n, seed);
        res0 = RandomRows(m, n - N, seed + 1, 0.5);
        wsq = RandomRows(n - N, n - N, seed + 2, 0.3);
        v = RandomMaps(B, n - N, n - N, seed + 3);
    }
    std::vector<double> operator()(update_progress_routine* cb, void* arg, int32_t threads) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res0), wsqR = ColumnMajor(wsq),
                            H1R = ColumnMajor(h.H1), H0R = ColumnMajor(h.H0), F((size_t)m * B + 1, kUnwritten);
        std::vector<int> vR = ColumnMajor(v), r = rmv, in = inc, ix = idx, ng = nGrp, ind(n, 0);
        r.push_back(0);
        in.push_back(0);
        long32 mm = m, nn = n, NN = N, BB = B;
        nullFLongNoInt(fitR.data(), resR.data(), vR.data(), r.data(), in.data(), H1R.data(), H0R.data(),
                       wsqR.data(), ind.data(), ix.data(), &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg,
                       threads);
        return F;
    }
    Rows Null(long32 k) const
    {
        Rows x(fit);
        const long32 nr = n - N;
        for (long32 i = 0; i < m; i++) {
            std::vector<double> r(n, 0.0);
            for (long32 j = 0; j < nr; j++)
                for (long32 l = 0; l < nr; l++)
                    r[inc[j]] += res0[i][v[k][l]] * wsq[l][j];
            for (long32 l = 0, c = 0; l < N; l++) {
                double s = 0;
                for (int t = 0; t < nGrp[l]; t++)
                    s += r[idx[c++]];
                r[rmv[l]] = -s;
            }
            for (long32 j = 0; j < n; j++)
                x[i][j] += r[j];
        }
        return x;
    }
};

// Longitudinal with intercept: fit plus resampled residuals plus resampled
// intercepts, each iteration's F from FEM.
struct IntCase
{
    long32 m, B;
    Rows fit, res, alpha;
    std::vector<std::vector<int>> v, v1;
    Study s;
    double eps;
    IntCase(long32 m_, long32 B_, unsigned seed, double eps_ = 1e-4)
        : m(m_), B(B_), fit(RandomRows(m_, 12, seed)), res(RandomRows(m_, 12, seed + 1, 0.5)),
          alpha(RandomRows(m_, 12, seed + 2, 1.5)), v(RandomMaps(B_, 12, 12, seed + 3)),
          v1(RandomMaps(B_, 12, 12, seed + 4)), eps(eps_)
    {
        const Smoothers h(12);
        s.H1 = h.H1;
        s.H0 = h.H0;
    }
    std::vector<double> operator()(update_progress_routine* cb, void* arg, int32_t threads) const
    {
        std::vector<double> fitR = ColumnMajor(fit), resR = ColumnMajor(res), alphaR = ColumnMajor(alpha),
                            H1R = ColumnMajor(s.H1), H0R = ColumnMajor(s.H0), F((size_t)m * B + 1, kUnwritten);
        std::vector<int> vR = ColumnMajor(v), v1R = ColumnMajor(v1), ix = s.idx, ng = s.nGrp, ind(12, 0);
        long32 mm = m, nn = 12, NN = 3, BB = B;
        double e = eps;
        nullFLongInt(fitR.data(), resR.data(), vR.data(), v1R.data(), H1R.data(), H0R.data(), alphaR.data(),
                     ind.data(), ix.data(), &e, &mm, &nn, &NN, ng.data(), &BB, F.data(), cb, arg, threads);
        return F;
    }
};

// The same bits with a callback on 1..3 threads, and nothing past m B written.
void ExpectSameOnAnyThreads(const NullRun& run, const std::vector<double>& F)
{
    EXPECT_EQ(kUnwritten, F.back());
    for (int32_t threads : {1, 2, 3}) {
        Recorder rec;
        const std::vector<double> G = run(&Record, &rec, threads);
        for (size_t i = 0; i < F.size(); i++)
            ASSERT_TRUE(SameBits(F[i], G[i])) << i << " threads " << threads;
    }
}
} // namespace

// Catches wrong resampling (columns, rebuilt and balanced residuals) or F of
// the independent and no-intercept designs, and results that depend on threads.
TEST(TimecourseNull, EachIterationIsThePlainFOfTheNullData)
{
    const IndepCase indep(7, 8, 4, 21);
    const NoIntCase noInt(6, 3, 31), onePer(5, 2, 32, true);
    const struct
    {
        const char* what;
        NullRun run;
        std::function<Rows(long32)> null;
        long32 m, B;
        const Smoothers& h;
    } cases[] = {{"independent", indep, [&](long32 k) { return indep.Null(k); }, indep.m, indep.B, indep.h},
                 {"no intercept", noInt, [&](long32 k) { return noInt.Null(k); }, noInt.m, noInt.B, noInt.h},
                 {"one per individual: the fit itself", onePer, [&](long32) { return onePer.fit; }, onePer.m, onePer.B,
                  onePer.h}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<double> F = c.run(0, 0, 1);
        for (long32 k = 0; k < c.B; k++) {
            const std::vector<double> want = PlainF(c.null(k), c.h.H1, c.h.H0);
            for (long32 i = 0; i < c.m; i++)
                ExpectClose(want[i], F[i + k * c.m], "gene " + std::to_string(i) + " iteration " + std::to_string(k));
        }
        ExpectSameOnAnyThreads(c.run, F);
    }
}

// Catches wrong resampled data or F of the intercept design (one gene: fits
// count as 0), and progress other than one unit per fit.
TEST(TimecourseNull, InterceptDesignIsFEMOfTheResampledData)
{
    for (long32 genes : {5, 1}) {
        const IntCase t(genes, 3, 41);
        const std::vector<double> F = t(0, 0, 1);
        for (long32 k = 0; k < t.B; k++) {
            Rows dat(t.fit);
            for (long32 i = 0; i < t.m; i++)
                for (long32 j = 0; j < 12; j++)
                    dat[i][j] = (t.fit[i][j] + t.res[i][t.v[k][j]]) + t.alpha[i][t.v1[k][j]];
            EMWork w(dat, t.s, t.eps);
            w.FitF(0, 0, 0, 0);
            for (long32 i = 0; i < t.m; i++)
                EXPECT_TRUE(SameBits(w.F[i], F[i + k * t.m])) << i << " " << k;
        }
        ExpectSameOnAnyThreads(t, F);
        Recorder rec;
        t(&Record, &rec, 2);
        EXPECT_EQ(Advances(rec), std::vector<double>({1, 2, 3, 4, 5, 6}));
        for (const Report& r : rec.reports)
            EXPECT_EQ(6.0, r.max);
    }
}

namespace
{
void ThrowAtSecondReport(void* arg, double, double, int)
{
    if (++*static_cast<int*>(arg) == 2)
        throw Stop();
}
} // namespace

// Catches writes or reports without iterations or genes, wrong progress
// figures (one thread: a report at least every 2^18 units), and a stop from
// the callback that does not end every design on any thread count.
TEST(TimecourseNull, EmptyRunsProgressAndStops)
{
    const struct
    {
        const char* what;
        NullRun run;
        double max, last; // 0: no reports
    } cases[] = {{"independent, B = 0", IndepCase(5, 4, 0, 22), 0, 0},
                 {"independent, m = 0", IndepCase(0, 4, 3, 51), 0, 0},
                 {"no intercept, B = 0", NoIntCase(4, 0, 33), 0, 0},
                 {"no intercept, m = 0", NoIntCase(0, 2, 53), 0, 0},
                 {"intercept, B = 0", IntCase(3, 0, 43), 0, 0},
                 {"intercept, m = 0", IntCase(0, 2, 52), 4, 4},
                 {"independent (n + 1)^2 B m, B m (n^2 + n + 1)", IndepCase(1000, 2, 2, 23), 18000, 14000},
                 {"independent, several chunks", IndepCase(60, 40, 8, 24), 41.0 * 41 * 480, 1641.0 * 480},
                 {"no intercept: 17^2 + 12^2 + 4, 148 + 272", NoIntCase(1, 1, 34), 437, 420}};
    for (const auto& c : cases) {
        for (int32_t threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << c.what << ", threads " << threads);
            Recorder rec;
            const std::vector<double> F = c.run(&Record, &rec, threads);
            EXPECT_EQ(kUnwritten, F.back());
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
    const NullRun big[] = {IndepCase(200, 12, 50, 61), NoIntCase(200, 50, 62), IntCase(200, 10, 63, 1e-6)};
    for (const NullRun& run : big) {
        for (int32_t threads : {1, 2, 3}) {
            int calls = 0;
            EXPECT_THROW(run(&ThrowAtSecondReport, &calls, threads), Stop) << threads;
            EXPECT_EQ(2, calls);
        }
    }
}
