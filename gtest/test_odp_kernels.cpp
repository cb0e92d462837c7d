// ODP kernels: sums against a direct computation, progress accounting, the
// bootstrap nulls, and a stop request arriving inside a kernel.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <hwy/targets.h>

#include "lumo.h"
#include "threads/ProgressThread.h"
#include "threads/WorkerPool.h"

namespace
{
// The reports of a kernel; a report from any thread but the one that made the
// record counts as foreign.
struct Calls
{
    std::vector<int> ids;
    std::vector<double> currents;
    double max = -1;
    std::thread::id owner = std::this_thread::get_id();
    int foreign = 0;
};

void Record(void* arg, double max, double current, int msgid)
{
    Calls* c = static_cast<Calls*>(arg);
    if (std::this_thread::get_id() != c->owner) {
        c->foreign++;
        return;
    }
    c->ids.push_back(msgid);
    c->currents.push_back(current);
    c->max = max;
}

typedef void OdpKernel(long32, long32, long32, long32, double*, double*, double*, double*, int*, int*, double*,
                       update_progress_routine*, void*, double*, double*, lumo::CWorkerPool*);
typedef double OdpEstimate(long32, long32, long32, long32);

// A small study: sufficient statistics of random data, group means and sds.
struct Study
{
    long32 m, n, k;
    std::vector<double> x, xx, xk, mu, sigma;
    std::vector<int> nGrp, group, nii, ID;

    Study(long32 m_, long32 n_, long32 k_, unsigned seed) : m(m_), n(n_), k(k_)
    {
        std::mt19937 rng(seed);
        std::normal_distribution<double> z(0.0, 1.0);
        x.resize((size_t)m * n);
        for (double& v : x)
            v = z(rng);
        group.resize(n);
        nGrp.assign(k, 0);
        ID.assign((size_t)n * k, 0);
        for (long32 j = 0; j < n; j++) {
            group[j] = (int)(j % k);
            nGrp[group[j]]++;
            ID[j + (size_t)group[j] * n] = 1;
        }
        xx.assign(m, 0.0);
        xk.assign((size_t)m * k, 0.0);
        mu.assign((size_t)m * k, 0.0);
        sigma.assign(m, 0.0);
        for (long32 i = 0; i < m; i++) {
            for (long32 j = 0; j < n; j++) {
                xx[i] += X(i, j) * X(i, j);
                xk[i + (size_t)group[j] * m] += X(i, j);
            }
            for (long32 g = 0; g < k; g++)
                mu[i + (size_t)g * m] = xk[i + (size_t)g * m] / nGrp[g];
            double rss = 0;
            for (long32 j = 0; j < n; j++) {
                double r = X(i, j) - mu[i + (size_t)group[j] * m];
                rss += r * r;
            }
            sigma[i] = std::sqrt(rss / (n - k)) + 0.1;
            nii.push_back((int)i);
        }
    }
    double X(long32 i, long32 j) const { return x[i + (size_t)j * m]; }
};

// Alternative-model sum of gene i over reference genes, from the raw data.
double DirectAlternative(const Study& s, long32 i)
{
    double sum = 0;
    for (long32 j = 0; j < s.m; j++) {
        double d2 = 0;
        for (long32 c = 0; c < s.n; c++) {
            double d = s.X(i, c) - s.mu[j + (size_t)s.group[c] * s.m];
            d2 += d * d;
        }
        sum += std::pow(s.sigma[j], -(double)s.n) * std::exp(-d2 / (2 * s.sigma[j] * s.sigma[j]));
    }
    return sum;
}

double DirectNull(const Study& s, long32 i, const std::vector<double>& sd)
{
    double sum = 0;
    for (double v : sd)
        sum += std::pow(v, -(double)s.n) * std::exp(-s.xx[i] / (2 * v * v));
    return sum;
}
} // namespace

TEST(OdpKernels, SumsEqualTheGaussianKernelsOfTheRawData)
{
    Study s(40, 9, 3, 7);
    std::vector<double> num(s.m), den(s.m), den4(s.m);
    double current = 0, max = 1e12;
    odp1(s.m, s.m, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(), s.nii.data(),
         num.data(), 0, 0, &current, &max);
    // odp2 reads sd through nii: take every other gene as a null gene.
    std::vector<int> nii;
    std::vector<double> sd;
    for (long32 i = 0; i < s.m; i += 2) {
        nii.push_back((int)i);
        sd.push_back(s.sigma[i]);
    }
    odp2(s.m, (long32)nii.size(), s.n, s.k, s.xx.data(), 0, 0, s.sigma.data(), 0, nii.data(), den.data(), 0, 0,
         &current, &max);
    odp4(s.m, (long32)sd.size(), s.n, s.k, s.xx.data(), 0, 0, sd.data(), 0, 0, den4.data(), 0, 0, &current, &max);
    for (long32 i = 0; i < s.m; i++) {
        EXPECT_NEAR(num[i] / DirectAlternative(s, i), 1.0, 1e-12) << i;
        EXPECT_NEAR(den[i] / DirectNull(s, i, sd), 1.0, 1e-13) << i;
        EXPECT_EQ(den[i], den4[i]) << i;
    }
    // odp3 is the same computation as odp1.
    std::vector<double> num3(s.m);
    odp3(s.m, s.m, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(), 0, num3.data(), 0,
         0, &current, &max);
    EXPECT_EQ(num, num3);
}

namespace
{
struct KernelCase
{
    const char* name;
    OdpKernel* kernel;
    OdpEstimate* estimate;
    double units;
};
const KernelCase kKernels[] = {
    {"odp1", odp1, odp1t, 445}, {"odp2", odp2, odp2t, 386}, {"odp3", odp3, odp3t, 445}, {"odp4", odp4, odp4t, 373}};
} // namespace

// Progress of every kernel, alone and on pools of several threads: the exact
// estimate at the end, an entry report, then reports never backwards (on one
// thread no more than 200000 pairs apart), all on the calling thread; and the
// same sums to the bit for any thread count and without a callback.
TEST(OdpKernels, ProgressIsExactAndSumsAreTheSameForAnyThreadCount)
{
    Study s(1300, 4, 2, 3);
    std::vector<int> nii(s.m);
    for (long32 i = 0; i < s.m; i++)
        nii[i] = (int)(s.m - 1 - i);
    const long32 sizes[][2] = {{1300, 1300}, {1300, 7}, {3, 1300}, {0, 700}, {700, 0}, {0, 0}, {1, 3}};
    lumo::CWorkerPool pool2(2), pool5(5);
    lumo::CWorkerPool* pools[] = {0, &pool2, &pool5};
    for (const KernelCase& kd : kKernels) {
        EXPECT_EQ(kd.estimate(3, 5, 99, 7), 1834 + 10 * 3 + 367 * 5 + kd.units * 15);
        for (const auto& sz : sizes) {
            const long32 mi = sz[0], mj = sz[1];
            std::vector<double> first;
            for (lumo::CWorkerPool* pool : pools) {
                SCOPED_TRACE(::testing::Message() << kd.name << " mi " << mi << " mj " << mj << " threads "
                                                  << (pool ? pool->Threads() : 1));
                std::vector<double> scr(s.m, 42.0), scr2(s.m, 42.0);
                Calls calls;
                double current = 1000, max = 5e9;
                kd.kernel(mi, mj, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(),
                          nii.data(), scr.data(), Record, &calls, &current, &max, pool);
                EXPECT_EQ(current, 1000 + kd.estimate(mi, mj, s.n, s.k));
                ASSERT_FALSE(calls.ids.empty());
                EXPECT_EQ(calls.ids[0], 6);
                EXPECT_EQ(calls.currents[0], 1000 + 1834 + 10.0 * mi);
                EXPECT_EQ(calls.max, 5e9);
                EXPECT_EQ(calls.ids.size() == 1, mi * mj == 0);
                for (size_t r = 1; r < calls.ids.size(); r++) {
                    EXPECT_EQ(calls.ids[r], 7);
                    EXPECT_GE(calls.currents[r], calls.currents[r - 1]);
                    if (pool == 0) { // with more threads the others' pairs arrive in between
                        EXPECT_LE(calls.currents[r] - calls.currents[r - 1], kd.units * 200000);
                    }
                }
                EXPECT_EQ(calls.foreign, 0);
                if (mi * mj > 0) {
                    EXPECT_EQ(calls.currents.back(), current - 367.0 * mj); // all pairs published
                }
                for (long32 i = 0; i < mi; i++)
                    EXPECT_TRUE(mj > 0 || scr[i] == 0.0);
                EXPECT_EQ(scr[mi < s.m ? mi : 0] == 42.0, mi < s.m); // nothing beyond mi is written
                if (first.empty())
                    first = scr;
                EXPECT_EQ(scr, first);

                double current2 = 1000;
                kd.kernel(mi, mj, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(),
                          nii.data(), scr2.data(), 0, 0, &current2, &max, pool);
                EXPECT_EQ(current2, current);
                EXPECT_EQ(scr, scr2);
            }
        }
    }
}

namespace
{
// Relative difference of a against the reference b; 0 when both are 0.
double RelDiff(double a, double b)
{
    if (a == b)
        return 0.0;
    return std::fabs(a - b) / std::fabs(b);
}
} // namespace

// The vector path, on every instruction set this processor runs, against the
// scalar one (the C library's exp), on data whose
// reference genes include tiny sds, so that many terms underflow (to zero or to
// subnormal numbers) next to ordinary ones; one gene lies so far out that all
// its terms underflow.
TEST(OdpKernels, VectorPathsAgreeWithTheScalarExp)
{
    Study s(203, 9, 3, 21);
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (long32 i = 0; i < s.m; i++) {
        const double r = u(rng);
        // sd from 0.02 to 2: exponents down to about -10^4.
        if (r < 0.3)
            s.sigma[i] = 0.02 + 0.2 * u(rng);
    }
    // A gene far from every reference gene: every term underflows.
    s.xx[5] = 1e7;
    // Terms landing among the subnormal numbers: exponent about -720.
    s.xx[6] = 1440.0 * s.sigma[0] * s.sigma[0];
    const long32 m0 = 150, B = 3;
    std::vector<double> res((size_t)m0 * s.n), sigma0(m0);
    std::normal_distribution<double> z(0.0, 1.0);
    for (double& v : res)
        v = z(rng);
    for (long32 i = 0; i < m0; i++)
        sigma0[i] = s.sigma[i];
    std::vector<int> vv((size_t)B * s.n);
    for (int& v : vv)
        v = (int)(rng() % s.n);

    // All outputs of one path: the four kernels, then the null statistics.
    auto run = [&](int path) {
        const int previous = lumo::SetOdpPath(path);
        EXPECT_EQ(lumo::OdpPath(), path);
        std::vector<double> out;
        for (const KernelCase& kd : kKernels) {
            std::vector<double> scr(s.m);
            double current = 0, max = 1;
            kd.kernel(s.m, s.m, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(),
                      s.nii.data(), scr.data(), 0, 0, &current, &max, 0);
            out.insert(out.end(), scr.begin(), scr.end());
        }
        std::vector<double> scr((size_t)m0 * B);
        nullODP(s.m, m0, s.n, s.k, B, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(),
                s.ID.data(), s.nii.data(), s.nGrp.data(), scr.data(), 0, 0, 0, 0);
        out.insert(out.end(), scr.begin(), scr.end());
        lumo::SetOdpPath(previous);
        return out;
    };
    const std::vector<double> scalar = run(lumo::kOdpPathScalar);
    EXPECT_EQ(scalar[5], 0.0);
    EXPECT_GT(scalar[6], 0.0);
    // The vector path on every instruction set compiled in that this
    // processor runs (a narrower one stands in for an older processor).
    ASSERT_EQ(lumo::OdpWidestPath(), lumo::kOdpPathVector);
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        const std::string name = lumo::OdpPathName(lumo::kOdpPathVector);
        EXPECT_EQ(name, hwy::TargetName(target));
        const std::vector<double> vec = run(lumo::kOdpPathVector);
        hwy::SetSupportedTargetsForTest(0);
        ASSERT_EQ(vec.size(), scalar.size());
        double worst = 0;
        for (size_t i = 0; i < vec.size(); i++) {
            EXPECT_LE(RelDiff(vec[i], scalar[i]), 1e-12) << name << " output " << i;
            worst = std::max(worst, RelDiff(vec[i], scalar[i]));
        }
        EXPECT_GT(worst, 0.0) << name << " computed exactly what the scalar path did";
    }
}

namespace
{
// The bootstrap null statistics written out plainly, for comparison.
std::vector<double> DirectNullOdp(const Study& s, long32 m0, long32 B, const std::vector<double>& res,
                                  const std::vector<double>& sigma0, const std::vector<int>& vv)
{
    std::vector<double> out;
    const long32 n = s.n;
    for (long32 h = 0; h < B; h++) {
        for (long32 i = 0; i < m0; i++) {
            std::vector<double> d(n);
            double mean = 0;
            for (long32 j = 0; j < n; j++) {
                d[j] = res[i + (size_t)m0 * vv[h + (size_t)j * B]];
                mean += d[j] / n;
            }
            double ss = 0;
            for (long32 j = 0; j < n; j++) {
                if (s.k > 1)
                    d[j] -= mean;
                double c = s.k > 1 ? d[j] : d[j] - mean;
                ss += c * c;
            }
            double sc = std::sqrt(ss / (n - 1));
            double xx = 0;
            std::vector<double> xk(s.k, 0.0);
            for (long32 j = 0; j < n; j++) {
                d[j] = d[j] * s.sigma[s.nii[i]] / sc;
                xx += d[j] * d[j];
                xk[s.group[j]] += d[j];
            }
            double num = 0, den = 0;
            for (long32 r = 0; r < s.m; r++) {
                double d2 = xx;
                for (long32 g = 0; g < s.k; g++) {
                    double mu = s.mu[r + (size_t)g * s.m];
                    d2 += s.nGrp[g] * mu * mu - 2 * xk[g] * mu;
                }
                num += std::pow(s.sigma[r], -(double)n) * std::exp(-d2 / (2 * s.sigma[r] * s.sigma[r]));
            }
            for (long32 r = 0; r < m0; r++)
                den += std::pow(sigma0[r], -(double)n) * std::exp(-xx / (2 * sigma0[r] * sigma0[r]));
            out.push_back(num / den);
        }
    }
    return out;
}
} // namespace

TEST(OdpKernels, NullStatisticsCentreOnlyWithGroups)
{
    for (long32 k = 1; k <= 3; k++) {
        Study s(30, 7, k, 11 + k);
        const long32 m0 = 20, B = 4;
        std::mt19937 rng(5);
        std::normal_distribution<double> z(0.0, 1.0);
        std::vector<double> res((size_t)m0 * s.n), sigma0(m0);
        for (double& v : res)
            v = z(rng) + 0.5;
        for (long32 i = 0; i < m0; i++)
            sigma0[i] = 0.8 + 0.01 * i;
        std::vector<int> vv((size_t)B * s.n);
        for (int& v : vv)
            v = (int)(rng() % s.n);
        std::vector<double> scr((size_t)m0 * B);
        Calls calls;
        double current = 0;
        double max = (double)B * (odp3t(m0, s.m, s.n, k) + odp4t(m0, m0, s.n, k));
        nullODP(s.m, m0, s.n, k, B, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(), s.ID.data(),
                s.nii.data(), s.nGrp.data(), scr.data(), Record, &calls, &current, &max);
        EXPECT_EQ(current, max);
        EXPECT_EQ(calls.max, max);
        std::vector<double> want = DirectNullOdp(s, m0, B, res, sigma0, vv);
        ASSERT_EQ(want.size(), scr.size());
        for (size_t i = 0; i < scr.size(); i++)
            EXPECT_NEAR(scr[i] / want[i], 1.0, 1e-11) << "k " << k << " entry " << i;

        // Null progress pointers: the kernel counts from 0 against its own maximum.
        Calls own;
        std::vector<double> scr2(scr.size());
        nullODP(s.m, m0, s.n, k, B, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(), s.ID.data(),
                s.nii.data(), s.nGrp.data(), scr2.data(), Record, &own, 0, 0);
        EXPECT_EQ(scr2, scr);
        EXPECT_EQ(own.max, (double)m0 * (double)(s.m + m0) * (double)B);
    }
}

TEST(OdpKernels, NullWithoutIterationsOrNullGenesWritesNothing)
{
    Study s(10, 4, 2, 1);
    std::vector<double> res(40, 1.0), sigma0(10, 1.0), scr(40, 7.0);
    std::vector<int> vv;
    Calls calls;
    double current = 123, max = 456;
    nullODP(s.m, 10, s.n, s.k, 0, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(), s.ID.data(),
            s.nii.data(), s.nGrp.data(), scr.data(), Record, &calls, &current, &max);
    EXPECT_EQ(current, 123);
    EXPECT_TRUE(calls.ids.empty());
    EXPECT_EQ(scr, std::vector<double>(40, 7.0));

    // m0 = 0: the kernels still run (and report) in every iteration.
    std::vector<int> vv2(3 * s.n, 0);
    nullODP(s.m, 0, s.n, s.k, 3, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv2.data(), s.ID.data(),
            s.nii.data(), s.nGrp.data(), scr.data(), Record, &calls, &current, &max);
    EXPECT_EQ(current, 123 + 3 * (odp3t(0, s.m, s.n, s.k) + odp4t(0, 0, s.n, s.k)));
    EXPECT_EQ(calls.ids, std::vector<int>(6, 6));
    EXPECT_EQ(scr, std::vector<double>(40, 7.0));
}

namespace
{
// A job that runs the bootstrap nulls of a study large enough to be stopped midway.
class CNullOdpJob : public CProgressThread
{
public:
    CNullOdpJob() : s(400, 10, 2, 9), m0(400), B(200), res((size_t)m0 * 10, 0.3), sigma0(m0, 1.0), vv(B * 10, 1),
                    scr((size_t)m0 * B), reached(false)
    {
        for (size_t i = 0; i < res.size(); i++)
            res[i] = std::sin((double)i);
        for (size_t i = 0; i < vv.size(); i++)
            vv[i] = (int)(i % 10);
    }
    int Go(pthread_t) override
    {
        double current = 0, max = 1;
        reached = true;
        lumo::CWorkerPool pool(3);
        nullODP(s.m, m0, s.n, s.k, B, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(), s.ID.data(),
                s.nii.data(), s.nGrp.data(), scr.data(), UpdateProgressThreadProgress, this, &current, &max, &pool);
        return 0;
    }
    Study s;
    long32 m0, B;
    std::vector<double> res, sigma0;
    std::vector<int> vv;
    std::vector<double> scr;
    std::atomic<bool> reached;
};
} // namespace

TEST(OdpKernels, StopRequestEndsTheJobInsideTheKernel)
{
    CNullOdpJob job;
    ASSERT_EQ(job.Start(), 0);
    while (job.GetProgressInfoCurrent() == 0.0)
        sched_yield();
    EXPECT_EQ(job.Stop(), 0);
    job.Join();
    EXPECT_TRUE(job.GetIsCanceled());
    EXPECT_FALSE(job.GetIsFinished());
    CProgressThreadManager::Erase(job.GetJobId());
}

namespace
{
void StopOnTenthReport(void* arg, double, double, int)
{
    if (++*static_cast<int*>(arg) == 10)
        throw CStopRequest();
}
} // namespace

// However few genes there are, every bootstrap iteration is a stop check: a
// near-endless run with no or tiny genes stops at the report that asks.
TEST(OdpKernels, TinyStudiesWithHugeBStopAtTheNextReport)
{
    const long32 B = INT_MAX;
    const long32 sizes[][2] = {{0, 0}, {1, 1}, {3, 2}};
    for (const auto& sz : sizes) {
        const long32 m = sz[0], m0 = sz[1], n = 0, k = 0;
        std::vector<double> mu(1), sigma(3, 1.0), sigma0(2, 1.0), res(1), scr(64);
        std::vector<int> vv(1), ID(1), nii = {0, 1}, nGrp(1);
        int reports = 0;
        EXPECT_THROW(nullODP(m, m0, n, k, B, res.data(), mu.data(), sigma.data(), sigma0.data(), vv.data(), ID.data(),
                             nii.data(), nGrp.data(), scr.data(), StopOnTenthReport, &reports, 0, 0),
                     CStopRequest);
        EXPECT_EQ(reports, 10) << "m " << m;
    }
}
