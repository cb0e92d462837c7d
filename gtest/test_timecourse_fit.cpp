// F statistics with and without EM fitting: FNoEM, EMFit, FEM, EMFitColumnMajor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "timecourse_helpers.h"

using namespace tc;

namespace
{
const double kTol = 1e-12;

void ExpectClose(double expected, double actual, const char* what)
{
    EXPECT_NEAR(expected, actual, kTol * std::max(1.0, std::fabs(expected))) << what;
}

// ---------------------------------------------------------------- a small EM written gene by gene

// The design of a longitudinal study: nGrp observations per individual, idx
// the data column of each running position.
struct Design
{
    std::vector<int> nGrp, idx;
    long32 n() const { return (long32)idx.size(); }
    long32 N() const { return (long32)nGrp.size(); }
    // Individual of each running position.
    std::vector<int> Owner() const
    {
        std::vector<int> o;
        for (size_t l = 0; l < nGrp.size(); l++)
            o.insert(o.end(), nGrp[l], (int)l);
        return o;
    }
};

struct GeneState
{
    std::vector<double> a, aa, fit; // intercept means, second moments, fit
    double tau = 0, sig = 0;
};

// One EM step of one gene from (a, aa); returns the log-likelihood proxy.
double EMStep(const std::vector<double>& x, const std::vector<std::vector<double>>& H, const Design& d, long32 m,
              GeneState& s)
{
    const long32 n = d.n(), N = d.N();
    const std::vector<int> owner = d.Owner();
    std::vector<double> fit(n, 0.0);
    for (long32 j = 0; j < n; j++)
        for (long32 c = 0; c < n; c++)
            fit[j] += (x[c] - s.a[owner[c]]) * H[j][c];
    double tau = 0;
    for (long32 l = 0; l < N; l++)
        tau += s.aa[l];
    tau /= N;
    double sig = 0;
    for (long32 c = 0; c < n; c++) {
        double r = x[c] - fit[c];
        sig += r * r - 2 * r * s.a[owner[c]] + s.aa[owner[c]];
    }
    sig /= n;
    std::vector<double> a(N, 0.0), aa(N);
    for (long32 c = 0; c < n; c++)
        a[owner[c]] += x[d.idx[c]] - fit[d.idx[c]];
    for (long32 l = 0; l < N; l++) {
        double w = d.nGrp[l] * tau, shrink = w / (w + sig);
        a[l] = shrink * (a[l] / d.nGrp[l]);
        aa[l] = tau * (1 - shrink) + a[l] * a[l];
    }
    s.fit = fit;
    s.tau = tau;
    s.sig = sig;
    s.a = a;
    s.aa = aa;
    return std::trunc(-N / 2.0) * std::log(tau) - std::trunc(m / 2.0) * std::log(sig);
}

struct RefResult
{
    long32 iter;
    std::vector<std::vector<double>> fit, alpha; // per gene, per column
    std::vector<double> tau, sig;
};

// Every gene is iterated on its own; the run as a whole ends at the first
// iteration after which at most one gene has not yet settled (or at the
// iteration cap), and each gene keeps the state of the last iteration it took
// part in.
RefResult ReferenceEM(const std::vector<std::vector<double>>& dat, const std::vector<std::vector<double>>& H,
                      const Design& d, double eps, long32 maxIter = kEMFitMaxIterations)
{
    const long32 m = (long32)dat.size(), n = d.n(), N = d.N();
    const std::vector<int> owner = d.Owner();
    auto start = [&](long32 g) {
        double mean = 0;
        for (double v : dat[g])
            mean += v;
        mean /= n;
        GeneState s;
        s.a.assign(N, 0.0);
        for (long32 c = 0; c < n; c++)
            s.a[owner[c]] += dat[g][d.idx[c]] - mean;
        for (long32 l = 0; l < N; l++)
            s.a[l] /= d.nGrp[l];
        for (double v : s.a)
            s.aa.push_back(v * v);
        return s;
    };
    // The iteration at which each gene settles on its own.
    std::vector<long32> settle(m, maxIter + 1);
    for (long32 g = 0; g < m; g++) {
        GeneState s = start(g);
        double prev = 1.0;
        for (long32 t = 1; t <= maxIter; t++) {
            double lik = EMStep(dat[g], H, d, m, s);
            if (!(std::fabs(lik - prev) > eps)) {
                settle[g] = t;
                break;
            }
            prev = lik;
        }
    }
    long32 T = 0;
    if (m > 1) {
        for (T = 1; T < maxIter; T++) {
            long32 open = 0;
            for (long32 g = 0; g < m; g++)
                open += settle[g] > T;
            if (open <= 1)
                break;
        }
    }
    RefResult r;
    r.iter = T + 1;
    for (long32 g = 0; g < m; g++) {
        const long32 steps = std::min(settle[g], T);
        GeneState last = start(g), entered = last;
        for (long32 t = 1; t <= steps; t++) {
            entered = last;
            EMStep(dat[g], H, d, m, last);
        }
        std::vector<double> alpha(n, 0.0);
        for (long32 c = 0; c < n; c++)
            alpha[d.idx[c]] = entered.a[owner[c]];
        r.alpha.push_back(alpha);
        r.fit.push_back(steps > 0 ? last.fit : std::vector<double>(n, 0.0));
        r.tau.push_back(last.tau);
        r.sig.push_back(last.sig);
    }
    return r;
}

// The work arrays of one EMFit run, and the run itself.
struct EMRun
{
    long32 m, n, N, iter = -7;
    Mat dat, H, fit, alpha, datC, A0, AA0, AA;
    std::vector<double> gm, lik0, lik, tau, sig, atmp;
    std::vector<long32> EM;

    EMRun(const std::vector<std::vector<double>>& x, const std::vector<std::vector<double>>& h, const Design& d,
          double eps, double sentinel = 123.0)
        : m((long32)x.size()), n(d.n()), N(d.N()), dat(m, n), H(h), fit(m, n, sentinel), alpha(m, n, 0.0),
          datC(m, n), A0(m, N), AA0(m, N), AA(m, N), gm(m + 1), lik0(m + 1), lik(m + 1), tau(m + 1, sentinel),
          sig(m + 1, sentinel), atmp(N + 1), EM(m + 1)
    {
        for (long32 i = 0; i < m; i++)
            for (long32 j = 0; j < n; j++)
                dat[i][j] = x[i][j];
        std::vector<int> nGrp = d.nGrp, idx = d.idx;
        int ind = 0;
        EMFit(dat, H, &ind, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
              tau.data(), sig.data(), EM.data(), atmp.data(), &m, &n, &N, nGrp.data(), &iter, 0, 0, 0, 0);
    }
};

// Three individuals observed at times 0, 1, 2, 3; a linear trend as full model.
struct Study
{
    Design d;
    std::vector<std::vector<double>> H1, H0;
    explicit Study(std::vector<int> idx = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})
    {
        d.nGrp = {4, 4, 4};
        d.idx = idx;
        std::vector<std::vector<double>> X1, X0;
        for (int c = 0; c < 12; c++) {
            X1.push_back({1.0, (double)(c % 4)});
            X0.push_back({1.0});
        }
        H1 = Projection(X1);
        H0 = Projection(X0);
    }
    // Data with an intercept per individual, so that the EM has something to find.
    std::vector<std::vector<double>> Data(long32 m, unsigned seed) const
    {
        auto x = RandomRows(m, 12, seed);
        auto a = RandomRows(m, 3, seed + 1, 2.0);
        for (long32 i = 0; i < m; i++)
            for (int c = 0; c < 12; c++)
                x[i][c] += a[i][c / 4] + 0.5 * (c % 4);
        return x;
    }
};

void ExpectMatchesReference(const EMRun& run, const RefResult& ref)
{
    EXPECT_EQ(ref.iter, run.iter);
    for (long32 i = 0; i < run.m; i++) {
        for (long32 j = 0; j < run.n; j++) {
            ExpectClose(ref.alpha[i][j], run.alpha[i][j], "alpha");
            if (ref.iter > 1)
                ExpectClose(ref.fit[i][j], run.fit[i][j], "fit");
        }
        if (ref.iter > 1) {
            ExpectClose(ref.tau[i], run.tau[i], "tau");
            ExpectClose(ref.sig[i], run.sig[i], "sig");
        }
    }
}
} // namespace

// ---------------------------------------------------------------- FNoEM

TEST(TimecourseFNoEM, FitsAreTheMatrixProductsAndFTheRatioOfResiduals)
{
    const long32 m = 4, n = 6;
    auto x = RandomRows(m, n, 1), h1 = RandomRows(n, n, 2), h0 = RandomRows(n, n, 3);
    Mat dat(x), H1(h1), H0(h0), fit1(m, n), fit0(m, n);
    std::vector<double> rss1(m, 0.0), rss0(m, 0.0), F(m);
    long32 mm = m, nn = n;
    FNoEM(dat, H1, H0, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), 0, 0, 0, 0);
    for (long32 i = 0; i < m; i++) {
        double r1 = 0, r0 = 0;
        for (long32 j = 0; j < n; j++) {
            double f1 = 0, f0 = 0;
            for (long32 l = 0; l < n; l++) {
                f1 += x[i][l] * h1[j][l];
                f0 += x[i][l] * h0[j][l];
            }
            ExpectClose(f1, fit1[i][j], "fit1");
            ExpectClose(f0, fit0[i][j], "fit0");
            r1 += (x[i][j] - f1) * (x[i][j] - f1);
            r0 += (x[i][j] - f0) * (x[i][j] - f0);
        }
        ExpectClose(r1, rss1[i], "rss1");
        ExpectClose(r0, rss0[i], "rss0");
        ExpectClose(r0 / r1 - 1, F[i], "F");
    }
}

TEST(TimecourseFNoEM, AddsOntoTheCallersFitsAndResidualSums)
{
    const long32 m = 2, n = 3;
    auto x = RandomRows(m, n, 4), h = RandomRows(n, n, 5);
    Mat dat(x), H(h), fitA(m, n), fitB(m, n), fitC(m, n, 10.0), fitD(m, n, -3.0);
    std::vector<double> r1(m, 0.0), r0(m, 0.0), q1(m, 7.0), q0(m, 2.0), F(m), G(m);
    long32 mm = m, nn = n;
    FNoEM(dat, H, H, fitA, fitB, r1.data(), r0.data(), &mm, &nn, F.data(), 0, 0, 0, 0);
    FNoEM(dat, H, H, fitC, fitD, q1.data(), q0.data(), &mm, &nn, G.data(), 0, 0, 0, 0);
    for (long32 i = 0; i < m; i++) {
        for (long32 j = 0; j < n; j++) {
            ExpectClose(fitA[i][j] + 10.0, fitC[i][j], "fit1 offset");
            ExpectClose(fitB[i][j] - 3.0, fitD[i][j], "fit0 offset");
        }
        double e1 = 7.0, e0 = 2.0;
        for (long32 j = 0; j < n; j++) {
            e1 += (x[i][j] - fitC[i][j]) * (x[i][j] - fitC[i][j]);
            e0 += (x[i][j] - fitD[i][j]) * (x[i][j] - fitD[i][j]);
        }
        ExpectClose(e1, q1[i], "rss1 offset");
        ExpectClose(e0, q0[i], "rss0 offset");
        ExpectClose(q0[i] / q1[i] - 1, G[i], "F from accumulated sums");
    }
}

TEST(TimecourseFNoEM, ReportsAtTheFirstStepAndEvery1000thAcrossBothLoops)
{
    // 2 x 22: 968 product steps, then 44 residual steps; step 1000 is the
    // 32nd residual step.
    const long32 m = 2, n = 22;
    Mat dat(RandomRows(m, n, 6)), H(RandomRows(n, n, 7)), fit1(m, n), fit0(m, n);
    std::vector<double> rss1(m, 0.0), rss0(m, 0.0), F(m);
    long32 mm = m, nn = n;
    std::vector<Report> reports;
    FNoEM(dat, H, H, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), &Record, &reports, 0, 0);
    ASSERT_EQ(2u, reports.size());
    const double max = 2.0 * (22 + 22 * 22 + 1);
    EXPECT_EQ(max, reports[0].max);
    EXPECT_EQ(0.0, reports[0].current);
    EXPECT_EQ(1000.0, reports[1].current);
    EXPECT_EQ(8, reports[1].msgid);

    // The caller's counter and maximum are used and advanced by m (n^2 + n).
    double current = 5.0, pmax = 99.0;
    reports.clear();
    FNoEM(dat, H, H, fit1, fit0, rss1.data(), rss0.data(), &mm, &nn, F.data(), &Record, &reports, &current, &pmax);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(99.0, reports[0].max);
    EXPECT_EQ(5.0, reports[0].current);
    EXPECT_EQ(1005.0, reports[1].current);
    EXPECT_EQ(5.0 + 2 * (22 * 22 + 22), current);
}

// ---------------------------------------------------------------- EMFit

TEST(TimecourseEMFit, NoGenesOrOneGeneMeansNoIteration)
{
    Study s;
    EMRun none(std::vector<std::vector<double>>(), s.H1, s.d, 1e-3);
    EXPECT_EQ(1, none.iter);

    // One gene: the starting intercept means are spread over the
    // observations; fit, tau and sig are not written.
    auto x = s.Data(1, 11);
    EMRun one(x, s.H1, s.d, 1e-3);
    EXPECT_EQ(1, one.iter);
    double mean = 0;
    for (double v : x[0])
        mean += v;
    mean /= 12;
    for (int c = 0; c < 12; c++) {
        double a = 0;
        for (int t = 0; t < 4; t++)
            a += x[0][(c / 4) * 4 + t] - mean;
        ExpectClose(a / 4, one.alpha[0][c], "starting intercept");
        EXPECT_EQ(123.0, one.fit[0][c]);
    }
    EXPECT_EQ(123.0, one.tau[0]);
    EXPECT_EQ(123.0, one.sig[0]);
}

TEST(TimecourseEMFit, MatchesAGeneByGeneEMUntilAtMostOneGeneIsLeft)
{
    Study s;
    for (double eps : {1e-2, 1e-4, 1e-7}) {
        auto x = s.Data(6, 13);
        RefResult ref = ReferenceEM(x, s.H1, s.d, eps);
        EMRun run(x, s.H1, s.d, eps);
        EXPECT_GT(run.iter, 2) << eps;
        ExpectMatchesReference(run, ref);
    }
}

// ---------------------------------------------------------------- FEM and the column-major form

TEST(TimecourseFEM, AdvancesCurrentByTwoReportingAfterEachFit)
{
    Study s;
    auto x = s.Data(4, 18);
    const long32 m = 4, n = 12, N = 3;
    Mat dat(x), H1(s.H1), H0(s.H0), fit1(m, n), fit0(m, n), alpha1(m, n), alpha0(m, n), datC(m, n);
    Mat A0(m, N), AA0(m, N), AA(m, N);
    std::vector<double> rss1(m, 0.0), rss0(m, 0.0), F(m), gm(m), lik0(m), lik(m), tau(m), sig(m), atmp(N);
    std::vector<long32> EM(m);
    std::vector<int> nGrp = s.d.nGrp, idx = s.d.idx;
    long32 mm = m, nn = n, NN = N;
    int ind = 0;
    double eps = 1e-4;
    std::vector<Report> reports;
    FEM(dat, H1, H0, &ind, idx.data(), &eps, fit1, fit0, alpha1, alpha0, rss1.data(), rss0.data(), datC, gm.data(),
        A0, AA0, AA, lik0.data(), lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN,
        nGrp.data(), F.data(), &Record, &reports, 0, 0);
    EXPECT_EQ(std::vector<double>({1.0, 2.0}), Advances(reports));
    for (const Report& r : reports) {
        EXPECT_EQ(2.0, r.max);
        EXPECT_EQ(8, r.msgid);
    }
    EXPECT_EQ(2.0, reports.back().current);

    // F from the residuals after curve and intercepts, against the two fits.
    RefResult r1 = ReferenceEM(x, s.H1, s.d, eps), r0 = ReferenceEM(x, s.H0, s.d, eps);
    for (long32 i = 0; i < m; i++) {
        double e1 = 0, e0 = 0;
        for (long32 j = 0; j < n; j++) {
            double d1 = x[i][j] - r1.fit[i][j] - r1.alpha[i][j], d0 = x[i][j] - r0.fit[i][j] - r0.alpha[i][j];
            e1 += d1 * d1;
            e0 += d0 * d0;
        }
        ExpectClose(e1, rss1[i], "rss1");
        ExpectClose(e0 / e1 - 1, F[i], "F");
    }

    // With the caller's counter and maximum, and without a callback.
    double current = 3.0, pmax = 10.0;
    reports.clear();
    FEM(dat, H1, H0, &ind, idx.data(), &eps, fit1, fit0, alpha1, alpha0, rss1.data(), rss0.data(), datC, gm.data(),
        A0, AA0, AA, lik0.data(), lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN,
        nGrp.data(), F.data(), &Record, &reports, &pmax, &current);
    EXPECT_EQ(std::vector<double>({4.0, 5.0}), Advances(reports, 3.0));
    EXPECT_EQ(10.0, reports.back().max);
    EXPECT_EQ(5.0, current);
    FEM(dat, H1, H0, &ind, idx.data(), &eps, fit1, fit0, alpha1, alpha0, rss1.data(), rss0.data(), datC, gm.data(),
        A0, AA0, AA, lik0.data(), lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN,
        nGrp.data(), F.data(), 0, 0, 0, &current);
    EXPECT_EQ(7.0, current);
}

TEST(TimecourseEMFitColumnMajor, CopiesRsLayoutInAndOutAndZeroFillsUnfittedGenes)
{
    Study s;
    auto x = s.Data(5, 19);
    std::vector<double> datR = ColumnMajor(x), HR = ColumnMajor(s.H1), fitR(60, -1.0), alphaR(60, -1.0);
    std::vector<int> nGrp = s.d.nGrp, idx = s.d.idx;
    int ind = 0;
    double eps = 1e-4;
    long32 m = 5, n = 12, N = 3, iter = 0;
    EMFitColumnMajor(datR.data(), HR.data(), &ind, idx.data(), &eps, fitR.data(), alphaR.data(), &m, &n, &N,
                     nGrp.data(), &iter);
    RefResult ref = ReferenceEM(x, s.H1, s.d, eps);
    EXPECT_EQ(ref.iter, iter);
    for (long32 i = 0; i < m; i++) {
        for (long32 j = 0; j < n; j++) {
            ExpectClose(ref.fit[i][j], fitR[i + j * m], "fitR");
            ExpectClose(ref.alpha[i][j], alphaR[i + j * m], "alphaR");
        }
    }

    m = 1;
    std::vector<double> fit1(12, -1.0), alpha1(12, -1.0);
    EMFitColumnMajor(datR.data(), HR.data(), &ind, idx.data(), &eps, fit1.data(), alpha1.data(), &m, &n, &N,
                     nGrp.data(), &iter);
    EXPECT_EQ(1, iter);
    for (double f : fit1)
        EXPECT_EQ(0.0, f);

    m = 0;
    EMFitColumnMajor(datR.data(), HR.data(), &ind, idx.data(), &eps, fit1.data(), alpha1.data(), &m, &n, &N,
                     nGrp.data(), &iter);
    EXPECT_EQ(1, iter);
}


namespace
{
struct Stop
{
};
void ThrowStop(void*, double, double, int)
{
    throw Stop();
}
} // namespace

TEST(TimecourseEMFit, LongFitsResendTheCallersFiguresSoThatAStopGetsThrough)
{
    Study s;
    auto x = s.Data(3, 20);
    const long32 m = 3, n = 12, N = 3;
    Mat dat(x), H(s.H1), fit(m, n), alpha(m, n), datC(m, n), A0(m, N), AA0(m, N), AA(m, N);
    std::vector<double> gm(m), lik0(m), lik(m), tau(m), sig(m), atmp(N);
    std::vector<long32> EM(m);
    std::vector<int> nGrp = s.d.nGrp, idx = s.d.idx;
    long32 mm = m, nn = n, NN = N, iter = 0;
    int ind = 0;
    double eps = -1.0, max = 40.0, current = 17.0;
    std::vector<Report> reports;
    EMFit(dat, H, &ind, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
          tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN, nGrp.data(), &iter, &Record, &reports, &max,
          &current);
    // Two million gene-iterations: a re-send at least every 20,000.
    EXPECT_GE(reports.size(), 100u);
    for (const Report& r : reports) {
        EXPECT_EQ(40.0, r.max);
        EXPECT_EQ(17.0, r.current);
    }
    EXPECT_EQ(17.0, current);

    // Without figures to re-send, nothing is reported.
    reports.clear();
    EMFit(dat, H, &ind, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
          tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN, nGrp.data(), &iter, &Record, &reports, 0, 0);
    EXPECT_TRUE(reports.empty());

    EXPECT_THROW(EMFit(dat, H, &ind, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(),
                       lik.data(), tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN, nGrp.data(), &iter,
                       &ThrowStop, 0, &max, &current),
                 Stop);
}

// ---------------------------------------------------------------- EMFit over worker threads

namespace
{
// The fit as it is defined, sweep by sweep: every iteration updates the
// genes still listed in list order, then copies every proxy and rebuilds the
// list. Same arithmetic in the same order, so the results must agree bit for
// bit with EMFitPool, which iterates gene by gene.
struct SweepEM
{
    long32 iter = 0;
    std::vector<std::vector<double>> fit, alpha, A0, AA0, AA;
    std::vector<double> tau, sig, lik0, lik;
};

SweepEM SweepReference(const std::vector<std::vector<double>>& dat, const std::vector<std::vector<double>>& H,
                       const Design& d, double eps)
{
    const long32 m = (long32)dat.size(), n = d.n(), N = d.N();
    const std::vector<int> owner = d.Owner();
    SweepEM r;
    r.fit.assign(m, std::vector<double>(n, 0.0));
    r.alpha.assign(m, std::vector<double>(n, 0.0));
    r.A0.assign(m, std::vector<double>(N, 0.0));
    r.AA0 = r.AA = r.A0;
    r.tau.assign(m, 0.0);
    r.sig.assign(m, 0.0);
    r.lik0.assign(m, 0.0);
    r.lik.assign(m, 1.0);
    std::vector<long32> list(m);
    for (long32 i = 0; i < m; i++) {
        list[i] = i;
        double gm = 0.0;
        for (long32 j = 0; j < n; j++)
            gm = dat[i][j] + gm;
        gm = gm / n;
        for (long32 c = 0; c < n; c++)
            r.A0[i][owner[c]] = (dat[i][d.idx[c]] - gm) + r.A0[i][owner[c]];
        for (long32 l = 0; l < N; l++) {
            r.A0[i][l] = r.A0[i][l] / d.nGrp[l];
            r.AA0[i][l] = r.AA[i][l] = r.A0[i][l] * r.A0[i][l];
            r.alpha[i][l] = r.A0[i][l];
        }
    }
    r.iter = 1;
    for (long32 sweep = 0; list.size() > 1 && sweep < kEMFitMaxIterations; sweep++) {
        for (long32 g : list) {
            r.alpha[g].assign(r.A0[g].begin(), r.A0[g].end());
            r.alpha[g].resize(n, 0.0);
            r.AA[g] = r.AA0[g];
            for (long32 j = 0; j < n; j++) {
                r.fit[g][j] = 0.0;
                for (long32 c = 0; c < n; c++)
                    r.fit[g][j] = (dat[g][c] - r.alpha[g][owner[c]]) * H[j][c] + r.fit[g][j];
            }
            r.tau[g] = 0.0;
            for (long32 l = 0; l < N; l++)
                r.tau[g] = r.AA[g][l] + r.tau[g];
            r.tau[g] = r.tau[g] / N;
            r.sig[g] = 0.0;
            for (long32 c = 0; c < n; c++) {
                const double res = dat[g][c] - r.fit[g][c];
                r.sig[g] = ((res * res + (res * -2.0) * r.alpha[g][owner[c]]) + r.AA[g][owner[c]]) + r.sig[g];
            }
            r.sig[g] = r.sig[g] / n;
            std::vector<double> s(N, 0.0);
            for (long32 c = 0; c < n; c++)
                s[owner[c]] = (dat[g][d.idx[c]] - r.fit[g][d.idx[c]]) + s[owner[c]];
            for (long32 l = 0; l < N; l++) {
                const double w = d.nGrp[l] * r.tau[g];
                r.A0[g][l] = (w / (w + r.sig[g])) * (s[l] / d.nGrp[l]);
                r.AA0[g][l] = r.tau[g] * (1.0 - w / (w + r.sig[g])) + r.A0[g][l] * r.A0[g][l];
            }
        }
        r.lik0 = r.lik;
        for (long32 g : list)
            r.lik[g] = (double)((-N) / 2) * std::log(r.tau[g]) - (double)(m / 2) * std::log(r.sig[g]);
        list.clear();
        for (long32 i = 0; i < m; i++)
            if (std::fabs(r.lik[i] - r.lik0[i]) > eps)
                list.push_back(i);
        r.iter++;
    }
    for (long32 i = 0; i < m; i++) {
        std::vector<double> a(r.alpha[i].begin(), r.alpha[i].begin() + N);
        for (long32 c = 0; c < n; c++)
            r.alpha[i][d.idx[c]] = a[owner[c]];
    }
    return r;
}
} // namespace

TEST(TimecourseEMFit, GeneByGeneOnAnyNumberOfThreadsEqualsTheSweepsBitForBit)
{
    std::vector<int> byTime;
    for (int l = 0; l < 3; l++)
        for (int t = 0; t < 4; t++)
            byTime.push_back(3 * t + l);
    struct Case
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
        {"null data, time-major columns", 25, 1e-4, true, true},
        {"one gene", 1, 1e-3, true, false},
        {"two genes that never settle", 2, -1.0, false, false},
    };
    for (const Case& cs : cases) {
        Study s(cs.timeMajor ? byTime : std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
        auto x = cs.nullData ? RandomRows(cs.m, 12, 31) : s.Data(cs.m, 32);
        const SweepEM ref = SweepReference(x, s.H1, s.d, cs.eps);
        // Thread counts, and lane widths as far as this processor has them.
        for (auto run : {std::make_pair(1, 2), std::make_pair(1, 4), std::make_pair(2, 8), std::make_pair(3, 0)}) {
            const int threads = run.first, lanes = SetEMLaneWidth(run.second);
            const long32 m = cs.m, n = 12, N = 3;
            Mat dat(x), H(s.H1), fit(m, n), alpha(m, n), datC(m, n), A0(m, N), AA0(m, N), AA(m, N);
            std::vector<double> gm(m + 1), lik0(m + 1), lik(m + 1), tau(m + 1), sig(m + 1), atmp(N);
            std::vector<long32> EM(m + 1);
            std::vector<int> nGrp = s.d.nGrp, idx = s.d.idx;
            long32 mm = m, nn = n, NN = N, iter = 0;
            double eps = cs.eps;
            lumo::CWorkerPool pool(threads);
            EMFitPool(dat, H, idx.data(), &eps, fit, alpha, datC, gm.data(), A0, AA0, AA, lik0.data(), lik.data(),
                      tau.data(), sig.data(), EM.data(), atmp.data(), &mm, &nn, &NN, nGrp.data(), &iter, pool, 0);
            SetEMLaneWidth(0);
            SCOPED_TRACE(std::string(cs.what) + ", threads " + std::to_string(threads) + ", lanes " +
                         std::to_string(lanes));
            ASSERT_EQ(ref.iter, iter);
            for (long32 i = 0; i < m; i++) {
                for (long32 j = 0; j < n; j++) {
                    ASSERT_TRUE(SameBits(ref.alpha[i][j], alpha[i][j])) << "alpha " << i << "," << j;
                    if (iter > 1) {
                        ASSERT_TRUE(SameBits(ref.fit[i][j], fit[i][j])) << "fit " << i << "," << j;
                    }
                }
                for (long32 l = 0; l < N; l++) {
                    ASSERT_TRUE(SameBits(ref.A0[i][l], A0[i][l])) << "A0 " << i;
                    ASSERT_TRUE(SameBits(ref.AA0[i][l], AA0[i][l])) << "AA0 " << i;
                }
                ASSERT_TRUE(SameBits(ref.lik[i], lik[i])) << "lik " << i;
                ASSERT_TRUE(SameBits(ref.lik0[i], lik0[i])) << "lik0 " << i;
                if (iter > 1) {
                    ASSERT_TRUE(SameBits(ref.tau[i], tau[i])) << "tau " << i;
                    ASSERT_TRUE(SameBits(ref.sig[i], sig[i])) << "sig " << i;
                }
            }
        }
    }
}
