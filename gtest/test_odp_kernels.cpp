// ODP kernels: progress accounting, every instruction set against the scalar
// exp, the bootstrap nulls against their sums written out, and stops in
// near-endless runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string>

#include <hwy/targets.h>

#include "helpers.h"
#include "simd/Simd.h"
#include "threads/ProgressThread.h"

using namespace kh;

namespace
{
typedef void OdpKernel(long32, long32, long32, long32, double*, double*, double*, double*, int*, int*, double*,
                       update_progress_routine*, void*, double*, double*, lumo::CWorkerPool&);
typedef double OdpEstimate(long32, long32, long32, long32);

// A small study: sufficient statistics of random data in k groups, group means, sds.
struct Study
{
    long32 m, n, k;
    std::vector<double> xx, xk, mu, sigma;
    std::vector<int> nGrp, group, nii, ID;

    Study(long32 m_, long32 n_, long32 k_, unsigned seed)
        : m(m_), n(n_), k(k_), xx(m_, 0.0), xk((size_t)m_ * k_, 0.0), mu(xk.size()), sigma(m_), nGrp(k_, 0), group(n_),
          ID((size_t)n_ * k_, 0)
    {
        const Rows x = NormalRows(m, n, seed);
        for (long32 j = 0; j < n; j++) {
            nGrp[group[j] = (int)(j % k)]++;
            ID[j + (size_t)group[j] * n] = 1;
        }
        for (long32 i = 0; i < m; i++) {
            for (long32 j = 0; j < n; j++) {
                xx[i] += x[i][j] * x[i][j];
                xk[i + (size_t)group[j] * m] += x[i][j];
            }
            for (long32 g = 0; g < k; g++)
                mu[i + (size_t)g * m] = xk[i + (size_t)g * m] / nGrp[g];
            sigma[i] = 0.6 + 0.1 * (i % 9);
            nii.push_back((int)i);
        }
    }
};

double NullSum(double xx, long32 n, const std::vector<double>& sd)
{
    double sum = 0;
    for (double v : sd)
        sum += std::pow(v, -(double)n) * std::exp(-xx / (2 * v * v));
    return sum;
}

const struct KernelCase
{
    const char* name;
    OdpKernel* kernel;
    OdpEstimate* estimate;
    double units;
} kKernels[] = {
    {"odp1", odp1, odp1t, 445}, {"odp2", odp2, odp2t, 386}, {"odp3", odp3, odp3t, 445}, {"odp4", odp4, odp4t, 373}};

double RelDiff(double a, double b)
{
    return a == b ? 0.0 : std::fabs(a - b) / std::fabs(b);
}

// A bootstrap problem for nullODP: m0 null genes' residuals, their sds and B column maps.
struct NullCase
{
    Study s;
    long32 m0, B;
    std::vector<double> res, sigma0;
    std::vector<int> vv;
    NullCase(long32 m, long32 n, long32 k, long32 m0_, long32 B_, unsigned seed)
        : s(m, n, k, seed), m0(m0_), B(B_), res(ColumnMajor(NormalRows(m0_, n, seed + 1))), sigma0(m0_), vv(B_ * n)
    {
        std::mt19937 rng(seed);
        for (long32 i = 0; i < m0; i++)
            sigma0[i] = 0.8 + 0.01 * (i % 40);
        for (int& v : vv)
            v = (int)(rng() % n);
    }
    std::vector<double> Run(update_progress_routine* cb, void* arg, double* current, double* max,
                            lumo::CWorkerPool* pool = 0)
    {
        std::vector<double> scr((size_t)m0 * B + 1, 7.0);
        nullODP(s.m, m0, s.n, s.k, B, res.data(), s.mu.data(), s.sigma.data(), sigma0.data(), vv.data(), s.ID.data(),
                s.nii.data(), s.nGrp.data(), scr.data(), cb, arg, current, max, pool != 0 ? *pool : Serial());
        return scr;
    }
    // The null statistics written out: resample columns, centre only with
    // groups, rescale to the gene's sd, then the two sums.
    std::vector<double> Direct() const
    {
        std::vector<double> out;
        const long32 n = s.n;
        for (long32 h = 0; h < B; h++) {
            for (long32 i = 0; i < m0; i++) {
                std::vector<double> d(n);
                double mean = 0, ss = 0, xx = 0, num = 0;
                for (long32 j = 0; j < n; j++)
                    mean += (d[j] = res[i + (size_t)m0 * vv[h + (size_t)j * B]]) / n;
                for (long32 j = 0; j < n; j++) {
                    d[j] -= s.k > 1 ? mean : 0.0;
                    ss += std::pow(s.k > 1 ? d[j] : d[j] - mean, 2);
                }
                std::vector<double> xk(s.k, 0.0);
                for (long32 j = 0; j < n; j++) {
                    d[j] = d[j] * s.sigma[s.nii[i]] / std::sqrt(ss / (n - 1));
                    xx += d[j] * d[j];
                    xk[s.group[j]] += d[j];
                }
                for (long32 r = 0; r < s.m; r++) {
                    double d2 = xx;
                    for (long32 g = 0; g < s.k; g++) {
                        const double mu = s.mu[r + (size_t)g * s.m];
                        d2 += s.nGrp[g] * mu * mu - 2 * xk[g] * mu;
                    }
                    num += std::pow(s.sigma[r], -(double)n) * std::exp(-d2 / (2 * s.sigma[r] * s.sigma[r]));
                }
                out.push_back(num / NullSum(xx, n, sigma0));
            }
        }
        return out;
    }
};

void StopOnTenthReport(void* arg, double, double, int)
{
    if (++*static_cast<int*>(arg) == 10)
        throw CStopRequest();
}
} // namespace

// Catches wrong progress units, sparse or foreign reports, writes beyond mi, pool-dependent sums.
TEST(OdpKernels, ProgressIsExactAndSumsAreTheSameForAnyThreadCount)
{
    Study s(1300, 4, 2, 3);
    std::vector<int> nii(s.m);
    for (long32 i = 0; i < s.m; i++)
        nii[i] = (int)(s.m - 1 - i);
    const long32 sizes[][2] = {{1300, 1300}, {1300, 7}, {3, 1300}, {0, 700}, {700, 0}, {0, 0}, {1, 3}};
    lumo::CWorkerPool pool1(1), pool2(2), pool5(5);
    lumo::CWorkerPool* pools[] = {&pool1, &pool2, &pool5};
    for (const KernelCase& kd : kKernels) {
        EXPECT_EQ(kd.estimate(3, 5, 99, 7), 1834 + 10 * 3 + 367 * 5 + kd.units * 15);
        for (const auto& sz : sizes) {
            const long32 mi = sz[0], mj = sz[1];
            std::vector<double> first;
            for (lumo::CWorkerPool* pool : pools) {
                SCOPED_TRACE(::testing::Message()
                             << kd.name << " mi " << mi << " mj " << mj << " threads " << pool->Threads());
                for (bool withCallback : {true, false}) {
                    std::vector<double> scr(s.m, 42.0);
                    Recorder rec;
                    double current = 1000, max = 5e9;
                    kd.kernel(mi, mj, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(),
                              nii.data(), scr.data(), withCallback ? Record : 0, &rec, &current, &max, *pool);
                    EXPECT_EQ(current, 1000 + kd.estimate(mi, mj, s.n, s.k));
                    EXPECT_EQ(scr[mi < s.m ? mi : 0] == 42.0, mi < s.m); // nothing beyond mi is written
                    for (long32 i = 0; mj == 0 && i < mi; i++)
                        EXPECT_EQ(scr[i], 0.0);
                    if (first.empty())
                        first = scr;
                    EXPECT_EQ(scr, first);
                    if (!withCallback)
                        continue;
                    const std::vector<Report>& r = rec.reports;
                    ASSERT_FALSE(r.empty());
                    EXPECT_EQ(r[0].msgid, 6);
                    EXPECT_EQ(r[0].current, 1000 + 1834 + 10.0 * mi);
                    EXPECT_EQ(r.back().max, 5e9);
                    EXPECT_EQ(r.size() == 1, mi * mj == 0);
                    for (size_t q = 1; q < r.size(); q++) {
                        EXPECT_EQ(r[q].msgid, 7);
                        EXPECT_GE(r[q].current, r[q - 1].current);
                        if (pool->Threads() == 1) { // with more threads the others' pairs arrive in between
                            EXPECT_LE(r[q].current - r[q - 1].current, kd.units * 200000);
                        }
                    }
                    EXPECT_EQ(rec.foreign, 0);
                    if (mi * mj > 0) { // all pairs published
                        EXPECT_EQ(r.back().current, current - 367.0 * mj);
                    }
                }
            }
        }
    }
}

// Catches any instruction set off the scalar exp by 1e-12 (underflow too) or silently scalar.
TEST(OdpKernels, VectorPathsAgreeWithTheScalarExp)
{
    NullCase c(203, 9, 3, 150, 3, 21);
    Study& s = c.s;
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (long32 i = 0; i < s.m; i++)
        if (u(rng) < 0.3)
            s.sigma[i] = 0.02 + 0.2 * u(rng); // exponents down to about -10^4
    for (long32 i = 0; i < c.m0; i++)
        c.sigma0[i] = s.sigma[i];
    s.xx[5] = 1e7;                              // every term underflows
    s.xx[6] = 1440.0 * s.sigma[0] * s.sigma[0]; // terms among the subnormals
    auto run = [&](lumo::simd::Level level) {
        const lumo::simd::Level previous = lumo::simd::SetLevel(level);
        EXPECT_EQ(lumo::simd::ActiveLevel(), level);
        std::vector<double> out;
        for (const KernelCase& kd : kKernels) {
            std::vector<double> scr(s.m);
            double current = 0, max = 1;
            kd.kernel(s.m, s.m, s.n, s.k, s.xx.data(), s.xk.data(), s.mu.data(), s.sigma.data(), s.nGrp.data(),
                      s.nii.data(), scr.data(), 0, 0, &current, &max, Serial());
            out.insert(out.end(), scr.begin(), scr.end());
        }
        const std::vector<double> null = c.Run(0, 0, 0, 0);
        out.insert(out.end(), null.begin(), null.end());
        lumo::simd::SetLevel(previous);
        return out;
    };
    const std::vector<double> scalar = run(lumo::simd::kPortable), direct = c.Direct();
    for (size_t i = 0; i < direct.size(); i++) // the scalar path against the sums written out
        EXPECT_NEAR(scalar[4 * s.m + i] / direct[i], 1.0, 1e-11) << i;
    EXPECT_EQ(scalar[5], 0.0);
    EXPECT_GT(scalar[6], 0.0);
    // The levels come from our own probe, not the vector library's detection:
    // both must find the same instruction sets on this processor.
    std::set<std::string> ours, theirs, compiled;
    const uint32_t levels = lumo::simd::RunnableLevels();
    for (int level = 1; level < lumo::simd::kLevelCount; level++)
        if ((levels >> level & 1u) != 0)
            ours.insert(lumo::simd::LevelName((lumo::simd::Level)level));
    for (int64_t rest = hwy::SupportedTargets() & ~(int64_t)(HWY_EMU128 | HWY_SCALAR); rest != 0; rest &= rest - 1) {
        theirs.insert(hwy::TargetName(rest & -rest));
        if ((rest & -rest & HWY_TARGETS) != 0)
            compiled.insert(hwy::TargetName(rest & -rest));
    }
    EXPECT_EQ(ours, theirs);
    ASSERT_FALSE(ours.empty());
    for (int level = 1; level < lumo::simd::kLevelCount; level++) {
        if ((levels >> level & 1u) == 0)
            continue;
        // A narrower level stands in for an older processor.
        const std::string name = lumo::simd::LevelName((lumo::simd::Level)level);
        const std::vector<double> vec = run((lumo::simd::Level)level);
        lumo::simd::Level previous = lumo::simd::SetLevel(level);
        // The widest set built at or below the level (not every set is built).
        const std::string runs = lumo::OdpInstructionSet();
        lumo::simd::SetLevel(previous);
        EXPECT_EQ(compiled.count(runs), 1u) << runs;
        if (compiled.count(name) != 0) {
            EXPECT_EQ(runs, name);
        }
        ASSERT_EQ(vec.size(), scalar.size());
        double worst = 0;
        for (size_t i = 0; i < vec.size(); i++) {
            EXPECT_LE(RelDiff(vec[i], scalar[i]), 1e-12) << name << " output " << i;
            worst = std::max(worst, RelDiff(vec[i], scalar[i]));
        }
        EXPECT_GT(worst, 0.0) << name << " computed exactly what the scalar path did";
    }
}

// Catches wrong centring, rescaling or maximum, and pooled resampling that differs.
TEST(OdpKernels, NullStatisticsCentreOnlyWithGroups)
{
    lumo::CWorkerPool pool(3);
    for (long32 k = 1; k <= 3; k++) {
        NullCase c(270, 7, k, k == 2 ? 260 : 20, 4, 11 + k); // 260 null genes: resampled on the pool
        const long32 m = c.s.m, n = c.s.n, m0 = c.m0, B = c.B;
        Recorder rec, own;
        double current = 0, max = (double)B * (odp3t(m0, m, n, k) + odp4t(m0, m0, n, k));
        const std::vector<double> scr = c.Run(Record, &rec, &current, &max);
        EXPECT_EQ(current, max);
        EXPECT_EQ(rec.reports.back().max, max);
        const std::vector<double> want = c.Direct();
        for (size_t i = 0; i < want.size(); i++)
            EXPECT_NEAR(scr[i] / want[i], 1.0, 1e-11) << "k " << k << " entry " << i;
        EXPECT_EQ(scr.back(), 7.0);
        // Without progress pointers the kernel counts from 0 against its own maximum.
        EXPECT_EQ(c.Run(Record, &own, 0, 0, &pool), scr);
        EXPECT_EQ(own.reports.back().max, (double)m0 * (double)(m + m0) * (double)B);
    }
}

// Catches bootstrap iterations that are no stop check when there are few or no genes.
TEST(OdpKernels, TinyStudiesWithHugeBStopAtTheNextReport)
{
    const long32 sizes[][2] = {{0, 0}, {1, 1}, {3, 2}};
    for (const auto& sz : sizes) {
        const long32 m = sz[0], m0 = sz[1];
        std::vector<double> mu(1), sigma(3, 1.0), sigma0(2, 1.0), res(1), scr(64);
        std::vector<int> vv(1), ID(1), nii = {0, 1}, nGrp(1);
        int reports = 0;
        EXPECT_THROW(nullODP(m, m0, 0, 0, INT_MAX, res.data(), mu.data(), sigma.data(), sigma0.data(), vv.data(),
                             ID.data(), nii.data(), nGrp.data(), scr.data(), StopOnTenthReport, &reports, 0, 0,
                             Serial()),
                     CStopRequest);
        EXPECT_EQ(reports, 10) << "m " << m;
    }
}
