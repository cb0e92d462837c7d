// The drawn ODP null: the random streams against the exact distributions, and
// the null statistics (with their leave-one-out sums) against loops written out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "RandomStream.h"
#include "helpers.h"
#include "levels.h"

using namespace kh;

namespace
{
const double kPi = 3.14159265358979323846;

// P(a, x) of the gamma distribution for a whole or half-whole shape a, by the
// recurrence P(a + 1, x) = P(a, x) - x^a e^-x / Gamma(a + 1).
double GammaCdf(double a, double x)
{
    double base = a - std::floor(a) == 0.5 ? 0.5 : 1.0;
    double p = base == 0.5 ? std::erf(std::sqrt(x)) : 1.0 - std::exp(-x);
    for (; base < a; base += 1.0)
        p -= std::exp(base * std::log(x) - x - std::lgamma(base + 1.0));
    return p;
}

double NormalCdf(double x)
{
    return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

// Kolmogorov-Smirnov distance of the sample from the distribution function.
template <class Cdf> double KsDistance(std::vector<double> v, Cdf cdf)
{
    std::sort(v.begin(), v.end());
    double worst = 0.0;
    for (size_t i = 0; i < v.size(); i++) {
        const double f = cdf(v[i]);
        worst = std::max(worst, std::max(f - (double)i / v.size(), (double)(i + 1) / v.size() - f));
    }
    return worst;
}
} // namespace

// Catches a biased or mis-scaled normal, uniform or gamma draw, and streams that repeat each other.
TEST(OdpDraw, StreamsDrawTheirDistributions)
{
    const int N = 20000;
    const double critical = 1.95 / std::sqrt((double)N); // 0.1 % level
    const struct
    {
        const char* name;
        double shape; // 0: normal, -1: uniform, else gamma
    } cases[] = {{"normal", 0},      {"uniform", -1}, {"gamma 0.5", 0.5},  {"gamma 1", 1},
                 {"gamma 2.5", 2.5}, {"gamma 3", 3},  {"gamma 40.5", 40.5}};
    for (const auto& c : cases) {
        std::vector<double> v;
        for (int s = 0; s < N / 50; s++) { // many short streams, as the kernel uses them
            lumo::CRandomStream stream(0x1234567890ULL, (uint64_t)s);
            for (int r = 0; r < 50; r++)
                v.push_back(c.shape == 0 ? stream.Normal() : c.shape < 0 ? stream.Uniform() : stream.Gamma(c.shape));
        }
        const double d = c.shape == 0  ? KsDistance(v, NormalCdf)
                         : c.shape < 0 ? KsDistance(v, [](double x) { return x; })
                                       : KsDistance(v, [&](double x) { return GammaCdf(c.shape, x); });
        EXPECT_LT(d, critical) << c.name;
    }
    lumo::CRandomStream a(7, 1), b(7, 1), c(7, 2), e(8, 1);
    const uint64_t first = a.Next();
    EXPECT_EQ(first, b.Next());
    EXPECT_NE(first, c.Next());
    EXPECT_NE(first, e.Next());
    EXPECT_EQ(lumo::CRandomStream(7, 1).ChiSquare(4.0), 2.0 * lumo::CRandomStream(7, 1).Gamma(2.0));
}

namespace
{
// A study: m genes in k groups over n arrays, heavy-tailed sds, the first
// m0 / 2 genes shifted in group 0.
struct DrawStudy
{
    long32 m, n, k, m0;
    std::vector<int> group, ID, nGrp, nii;
    std::vector<double> mu, sigma, sigma0, rss;
    DrawStudy(long32 m_, long32 n_, long32 k_, long32 m0_, unsigned seed)
        : m(m_), n(n_), k(k_), m0(m0_), group(n_), ID((size_t)n_ * k_, 0), nGrp(k_, 0), mu((size_t)m_ * k_), sigma(m_),
          sigma0(m0_), rss(m0_)
    {
        std::mt19937 rng(seed);
        std::normal_distribution<double> norm(0.0, 1.0);
        std::chi_squared_distribution<double> chi(3.0);
        for (long32 j = 0; j < n; j++) {
            nGrp[group[j] = (int)(j % k)]++;
            ID[j + (size_t)group[j] * n] = 1;
        }
        for (long32 i = 0; i < m; i++) {
            sigma[i] = std::sqrt(0.24 / chi(rng));
            for (long32 g = 0; g < k; g++)
                mu[i + (size_t)g * m] = sigma[i] * norm(rng) * (g == 0 && i < m0 / 2 ? 3.0 : 0.5);
        }
        for (long32 i = 0; i < m0; i++) {
            nii.push_back((int)(i * m / m0)); // spread over the genes, ascending
            sigma0[i] = sigma[nii[i]] * 1.2;
            rss[i] = sigma[nii[i]] * sigma[nii[i]] * (n - k) * (0.5 + chi(rng) / 3.0);
        }
    }
};

// One gene's sum over the reference genes of a model, left-out reference skipped, written out.
double AltSum(const DrawStudy& s, const std::vector<double>& x, long32 skip)
{
    double sum = 0;
    for (long32 j = 0; j < s.m; j++) {
        if (j == skip)
            continue;
        double d2 = 0;
        for (long32 c = 0; c < s.n; c++)
            d2 += std::pow(x[c] - s.mu[j + (size_t)s.group[c] * s.m], 2);
        sum += std::pow(s.sigma[j], -(double)s.n) * std::exp(-d2 / (2 * s.sigma[j] * s.sigma[j]));
    }
    return sum;
}

double NullSumSkipping(const std::vector<double>& x, long32 n, const std::vector<double>& sd, long32 skip)
{
    double xx = 0, sum = 0;
    for (double v : x)
        xx += v * v;
    for (size_t l = 0; l < sd.size(); l++)
        if ((long32)l != skip)
            sum += std::pow(sd[l], -(double)n) * std::exp(-xx / (2 * sd[l] * sd[l]));
    return sum;
}

// Normal likelihood (without 2 pi) of n values with sum of squares ss and variance v.
double Likelihood(double ss, double v, long32 n)
{
    return std::pow(v, -0.5 * n) * std::exp(-ss / (2 * v));
}

double Posterior(const COdpVariancePrior& p, double ss, double d)
{
    return std::isinf(p.df) ? p.var : p.df == 0 ? ss / d : (p.df * p.var + ss) / (p.df + d);
}
} // namespace

// Catches a wrong posterior draw, uncentred null data, a missing or wrong own-fit term, the
// own model left in, and draws that depend on the thread count.
TEST(OdpDraw, NullStatisticsAreTheWrittenOutDraws)
{
    const COdpVariancePrior none = {0, 0}, finite = {3.5, 0.08}, fixed = {INFINITY, 0.2};
    const struct
    {
        long32 m, n, k, m0, B;
        COdpVariancePrior draw, alt, null;
    } cases[] = {{40, 6, 2, 40, 3, finite, finite, {4.0, 0.1}},
                 {300, 9, 3, 270, 2, finite, none, none},
                 {25, 5, 2, 10, 2, fixed, fixed, fixed},
                 {6, 4, 2, 0, 3, finite, finite, finite}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "m " << c.m << " k " << c.k << " m0 " << c.m0);
        DrawStudy s(c.m, c.n, c.k, c.m0, 13);
        std::vector<int> keys(2 * c.B);
        for (long32 h = 0; h < 2 * c.B; h++)
            keys[h] = (int)(h * 2654435761u % 2147483647u) - (h % 2 ? 2000000000 : 0);
        lumo::CWorkerPool pool(3);
        std::vector<double> first, firstRss1;
        for (lumo::CWorkerPool* p : {&Serial(), &pool}) {
            std::vector<double> scr((size_t)c.m0 * c.B + 1, 7.0), rss1(scr);
            Recorder rec;
            double current = 0, max = (double)c.B * (odp3t(c.m0, c.m, c.n, c.k) + odp4t(c.m0, c.m0, c.n, c.k));
            // The serial run leaves the sums of squares out; they must not change the statistics.
            nullODPDraw(c.m, c.m0, c.n, c.k, c.B, s.rss.data(), s.mu.data(), s.sigma.data(), s.sigma0.data(),
                        s.ID.data(), s.nii.data(), s.nGrp.data(), c.draw, c.alt, c.null, keys.data(), scr.data(),
                        Record, &rec, &current, &max, *p, 0, p == &pool ? rss1.data() : 0);
            EXPECT_EQ(current, max);
            EXPECT_GE(rec.reports.size(), (size_t)(2 * c.B));
            EXPECT_EQ(scr.back(), 7.0);
            EXPECT_EQ(rss1.back(), 7.0);
            if (first.empty())
                first = scr;
            else
                firstRss1 = rss1;
            EXPECT_EQ(scr, first) << "the same draws on any number of threads";
        }
        for (long32 h = 0; h < c.B; h++) {
            for (long32 i = 0; i < c.m0; i++) {
                const uint64_t key = ((uint64_t)(uint32_t)keys[h] << 32) | (uint32_t)keys[h + c.B];
                lumo::CRandomStream stream(key, (uint64_t)s.nii[i]);
                const double d = c.n - c.k;
                const double v = std::isinf(c.draw.df)
                                     ? c.draw.var
                                     : (c.draw.df * c.draw.var + s.rss[i]) / stream.ChiSquare(c.draw.df + d);
                std::vector<double> z(c.n), x(c.n);
                double mean = 0, ss = 0, within = 0;
                for (auto& zj : z)
                    mean += (zj = stream.Normal()) / c.n;
                for (long32 j = 0; j < c.n; j++)
                    ss += std::pow(x[j] = std::sqrt(v) * (z[j] - mean), 2);
                for (long32 j = 0; j < c.n; j++) {
                    double gm = 0;
                    for (long32 l = 0; l < c.n; l++)
                        gm += s.group[l] == s.group[j] ? x[l] / s.nGrp[s.group[j]] : 0.0;
                    within += std::pow(x[j] - gm, 2);
                }
                const double num = AltSum(s, x, s.nii[i]) + Likelihood(within, Posterior(c.alt, within, d), c.n);
                const double den =
                    NullSumSkipping(x, c.n, s.sigma0, i) + Likelihood(ss, Posterior(c.null, ss, c.n - 1.0), c.n);
                EXPECT_NEAR(first[i + (size_t)h * c.m0] / (num / den), 1.0, 1e-11) << "h " << h << " i " << i;
                EXPECT_NEAR(firstRss1[i + (size_t)h * c.m0], within, 1e-12 * (1 + within)) << "h " << h << " i " << i;
            }
        }
    }
}
