// The per-gene maximum-likelihood random-intercept fit at the edges R does not
// reach easily: the boundary theta = 0 (exactly least squares), one array per
// individual, and a collinear design. Its fits against lme4 are tested in R.

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
// degree.
Design MakeDesign(const std::vector<int>& nGrp, int degree)
{
    Design d;
    d.N = (long32)nGrp.size();
    for (int l = 0; l < d.N; l++) {
        for (int t = 0; t < nGrp[l]; t++) {
            std::vector<double> row;
            for (int k = 0; k <= degree; k++)
                row.push_back(std::pow((double)t, k));
            d.X.push_back(row);
            d.group.push_back(l);
        }
    }
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
