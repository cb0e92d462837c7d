// The per-gene maximum-likelihood random-intercept fit against its definition:
// the data mapped by V^{-1/2}, least squares on the mapped design, the profile
// minimised by a dense grid and golden sections; the boundary theta = 0, one
// array per individual, intercepts beyond the grid, arrays in any order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "InterceptFit.h"
#include "helpers.h"

using namespace kh;

namespace
{
// A design: the rows of X (array by array) and each array's individual.
struct Design
{
    Rows X;
    std::vector<int> group;
    long32 N;
    std::vector<double> Column() const { return ColumnMajor(X); }
    lumo::CInterceptDesign Make() const
    {
        const std::vector<double> x = Column();
        return lumo::CInterceptDesign(x.data(), (long32)X.size(), (long32)X[0].size(), N, group.data());
    }
};

// Individuals of nGrp arrays each at times 0, 1, ...; columns 1, t, t^2 up to
// degree; interleaved: the arrays go round the individuals instead of one
// individual after the other.
Design MakeDesign(const std::vector<int>& nGrp, int degree, bool interleaved = false)
{
    Design d;
    d.N = (long32)nGrp.size();
    const int most = *std::max_element(nGrp.begin(), nGrp.end());
    auto add = [&](int l, int t) {
        std::vector<double> row;
        for (int k = 0; k <= degree; k++)
            row.push_back(std::pow((double)t, k));
        d.X.push_back(row);
        d.group.push_back(l);
    };
    for (int l = 0; !interleaved && l < d.N; l++)
        for (int t = 0; t < nGrp[l]; t++)
            add(l, t);
    for (int t = 0; interleaved && t < most; t++)
        for (int l = 0; l < d.N; l++)
            if (t < nGrp[l])
                add(l, t);
    return d;
}

// Least squares of y on X by the normal equations: coefficients.
std::vector<double> LeastSquares(const Rows& X, const std::vector<double>& y)
{
    const size_t n = X.size(), p = X[0].size();
    Rows A(p, std::vector<double>(p + 1, 0.0));
    for (size_t a = 0; a < p; a++) {
        for (size_t i = 0; i < n; i++) {
            for (size_t b = 0; b < p; b++)
                A[a][b] += X[i][a] * X[i][b];
            A[a][p] += X[i][a] * y[i];
        }
    }
    for (size_t c = 0; c < p; c++) {
        const double piv = A[c][c];
        for (auto& x : A[c])
            x /= piv;
        for (size_t r = 0; r < p; r++) {
            const double f = A[r][c];
            for (size_t k = 0; r != c && k <= p; k++)
                A[r][k] -= f * A[c][k];
        }
    }
    std::vector<double> b(p);
    for (size_t a = 0; a < p; a++)
        b[a] = A[a][p];
    return b;
}

// The fit at theta as defined: y and X mapped by V^{-1/2}, least squares,
// -2 log L up to its constant; coefficients and RSS_V through the pointers.
double PlainProfile(const Design& d, const std::vector<double>& y, double theta, std::vector<double>* coef = 0)
{
    const size_t n = y.size();
    std::vector<double> size(d.N, 0.0), ymean(d.N, 0.0);
    Rows xmean(d.N, std::vector<double>(d.X[0].size(), 0.0));
    for (size_t j = 0; j < n; j++)
        size[d.group[j]] += 1;
    for (size_t j = 0; j < n; j++) {
        ymean[d.group[j]] += y[j] / size[d.group[j]];
        for (size_t a = 0; a < d.X[0].size(); a++)
            xmean[d.group[j]][a] += d.X[j][a] / size[d.group[j]];
    }
    Rows Xt(d.X);
    std::vector<double> yt(y);
    double logdet = 0.0;
    for (long32 l = 0; l < d.N; l++)
        logdet += std::log(1 + theta * theta * size[l]);
    for (size_t j = 0; j < n; j++) {
        const int l = d.group[j];
        const double c = 1 - 1 / std::sqrt(1 + theta * theta * size[l]);
        yt[j] -= c * ymean[l];
        for (size_t a = 0; a < Xt[j].size(); a++)
            Xt[j][a] -= c * xmean[l][a];
    }
    const std::vector<double> b = LeastSquares(Xt, yt);
    double rss = 0.0;
    for (size_t j = 0; j < n; j++) {
        double f = 0.0;
        for (size_t a = 0; a < b.size(); a++)
            f += Xt[j][a] * b[a];
        rss += (yt[j] - f) * (yt[j] - f);
    }
    if (coef != 0)
        *coef = b;
    return logdet + (double)n * std::log(rss);
}

// The maximum-likelihood theta by brute force: 0 and 4001 points from 1e-4 to
// 1e4 on a log scale, then golden sections around the best grid point.
double PlainTheta(const Design& d, const std::vector<double>& y)
{
    std::vector<double> grid(1, 0.0);
    for (int k = 0; k <= 4000; k++)
        grid.push_back(std::pow(10.0, -4.0 + 8.0 * k / 4000));
    size_t best = 0;
    std::vector<double> f(grid.size());
    for (size_t k = 0; k < grid.size(); k++)
        if ((f[k] = PlainProfile(d, y, grid[k])) < f[best])
            best = k;
    if (best == 0)
        return 0.0;
    double a = grid[best - 1], b = grid[std::min(best + 1, grid.size() - 1)];
    const double r = (std::sqrt(5.0) - 1) / 2;
    while (b - a > 1e-13 * b) {
        const double c = b - r * (b - a), e = a + r * (b - a);
        if (PlainProfile(d, y, c) < PlainProfile(d, y, e))
            b = e;
        else
            a = c;
    }
    const double t = (a + b) / 2;
    return PlainProfile(d, y, t) < f[0] ? t : 0.0;
}

// A gene: fixed part 1 + 0.5 t (1 alone in a design without t), intercepts of
// sd tau, noise of sd sigma.
std::vector<double> Gene(const Design& d, double tau, double sigma, unsigned seed)
{
    const Rows a = NormalRows(1, d.N, seed, tau), e = NormalRows(1, (long32)d.X.size(), seed + 1000, sigma);
    std::vector<double> y(d.X.size());
    for (size_t j = 0; j < y.size(); j++)
        y[j] = 1 + (d.X[j].size() > 1 ? 0.5 * d.X[j][1] : 0.0) + a[0][d.group[j]] + e[0][j];
    return y;
}

struct Fitted
{
    lumo::SInterceptFit f;
    std::vector<double> fit, alpha;
};

Fitted FitGene(const lumo::CInterceptDesign& design, const std::vector<double>& y)
{
    Fitted r;
    r.fit.assign(y.size(), 0.0);
    r.alpha.assign(y.size(), 0.0);
    std::vector<double> scratch(design.ScratchSize());
    r.f = design.Fit(y.data(), r.fit.data(), r.alpha.data(), scratch.data());
    return r;
}
} // namespace

// Catches a wrong profile, a search that misses the maximum or stops short of
// its tolerance, wrong coefficients, intercepts or residual sums, and arrays
// assigned to the wrong individual.
TEST(InterceptFit, MaximisesTheProfileAndFitsAsDefined)
{
    const struct
    {
        const char* name;
        Design d;
        double tau, sigma;
    } cases[] = {
        {"4 x 3, intercepts", MakeDesign({3, 3, 3, 3}, 2), 1.0, 0.5},
        {"4 x 3, small intercepts", MakeDesign({3, 3, 3, 3}, 2), 0.2, 1.0},
        {"8 x 4, no intercepts", MakeDesign({4, 4, 4, 4, 4, 4, 4, 4}, 1), 0.0, 1.0},
        {"unbalanced, interleaved", MakeDesign({2, 5, 3, 4, 3}, 1, true), 1.0, 0.3},
        {"intercepts far beyond the grid", MakeDesign({3, 3, 3, 3}, 1), 100.0, 0.1},
        {"null design", MakeDesign({4, 6, 3}, 0, true), 0.7, 1.0},
    };
    int boundary = 0, interior = 0;
    for (const auto& c : cases) {
        const lumo::CInterceptDesign design = c.d.Make();
        ASSERT_TRUE(design.FullRank());
        for (unsigned seed = 1; seed <= 12; seed++) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            const std::vector<double> y = Gene(c.d, c.tau, c.sigma, seed);
            const Fitted r = FitGene(design, y);
            const double want = PlainTheta(c.d, y);
            if (want == 0.0) {
                EXPECT_EQ(0.0, r.f.theta);
                boundary++;
            } else {
                EXPECT_NEAR(want, r.f.theta, 1e-6 * want);
                interior++;
            }
            EXPECT_LE(PlainProfile(c.d, y, r.f.theta), PlainProfile(c.d, y, want) + 1e-9);
            // Fit, intercepts and residual sum at the fitted theta, by their definitions.
            std::vector<double> b;
            PlainProfile(c.d, y, r.f.theta, &b);
            const double s = r.f.theta * r.f.theta;
            std::vector<double> sum(c.d.N, 0.0), size(c.d.N, 0.0), fit(y.size(), 0.0);
            for (size_t j = 0; j < y.size(); j++) {
                for (size_t a = 0; a < b.size(); a++)
                    fit[j] += c.d.X[j][a] * b[a];
                EXPECT_NEAR(fit[j], r.fit[j], 1e-9 * (1 + std::fabs(fit[j])));
                sum[c.d.group[j]] += y[j] - fit[j];
                size[c.d.group[j]] += 1;
            }
            double rss = 0.0;
            for (size_t j = 0; j < y.size(); j++) {
                const int l = c.d.group[j];
                const double alpha = s * sum[l] / (1 + s * size[l]);
                EXPECT_NEAR(alpha, r.alpha[j], 1e-9 * (1 + std::fabs(alpha)));
                rss += std::pow(y[j] - fit[j] - alpha, 2);
            }
            EXPECT_NEAR(rss, r.f.rss, 1e-9 * rss);
        }
    }
    // Both kinds of maximum occur.
    EXPECT_GT(boundary, 5);
    EXPECT_GT(interior, 20);
}

// Catches a boundary fit that is merely near 0 (intercepts that do not vanish),
// a flat profile (one array per individual) fitted anywhere but at 0, and a
// collinear design taken for one of full rank.
TEST(InterceptFit, BoundaryFitsAreLeastSquaresExactly)
{
    // Residuals with every individual's mean 0: the profile rises from theta = 0.
    const Design d = MakeDesign({3, 3, 3, 3}, 1);
    const std::vector<double> e = {0.5, -0.2, -0.3, 0.1, 0.4, -0.5, -0.6, 0.2, 0.4, 0.3, -0.1, -0.2};
    std::vector<double> y(12);
    for (size_t j = 0; j < 12; j++)
        y[j] = 2 - 0.25 * d.X[j][1] + e[j];
    // One array per individual: tau and sigma cannot be told apart.
    const Design single = MakeDesign(std::vector<int>(9, 1), 0);
    const std::vector<double> z = {0.3, 1.2, -0.4, 2.2, 0.1, -1.0, 0.6, 0.8, -0.2};
    const struct
    {
        const Design& d;
        const std::vector<double>& y;
    } cases[] = {{d, y}, {single, z}};
    for (const auto& c : cases) {
        const Fitted r = FitGene(c.d.Make(), c.y);
        EXPECT_EQ(0.0, r.f.theta);
        const std::vector<double> ls = LeastSquares(c.d.X, c.y);
        double rss = 0.0;
        for (size_t j = 0; j < c.y.size(); j++) {
            double f = 0.0;
            for (size_t a = 0; a < ls.size(); a++)
                f += c.d.X[j][a] * ls[a];
            EXPECT_EQ(0.0, r.alpha[j]) << j;
            EXPECT_NEAR(f, r.fit[j], 1e-12) << j;
            rss += (c.y[j] - f) * (c.y[j] - f);
        }
        EXPECT_NEAR(rss, r.f.rss, 1e-12 * rss);
    }

    Design collinear = MakeDesign({3, 3, 3}, 1);
    for (auto& row : collinear.X)
        row.push_back(2 * row[1] - row[0]);
    EXPECT_FALSE(collinear.Make().FullRank());
}
