#ifndef LUMO_INTERCEPTFIT_H
#define LUMO_INTERCEPTFIT_H

// Maximum-likelihood fit of one gene's random-intercept model
//
//     y_j = (X b)_j + a_{g(j)} + e_j,   a ~ N(0, tau^2),   e ~ N(0, sigma^2),
//
// over theta = tau / sigma in [0, inf), b and sigma profiled out. With
// V = I + theta^2 Z Z', V^{-1/2} maps the arrays of individual i to
// y - c_i mean_i(y), c_i = 1 - 1 / sqrt(1 + theta^2 n_i), so that
//
//     -2 log L(theta) = sum_i log(1 + theta^2 n_i) + n log RSS_V(theta) + const,
//
// RSS_V the residual sum of squares of the least-squares fit of the mapped y on
// the mapped X. A gene is fitted on its own: nothing but its own arrays enters.

#include <cstddef>
#include <vector>

#include "lumo.h"

namespace lumo
{
// The outcome of one fit: the residual sum of squares after the fixed part
// and the predicted intercepts are removed, and theta.
struct SInterceptFit
{
    double rss;
    double theta;
};

// Largest theta the search considers; a profile that still falls there (no
// variation left within individuals) is fitted at this value.
const double kInterceptThetaMax = 1048576.0;

// One design: X (n x p, full column rank) and the individual of each array.
// Holds everything of the fit that does not depend on the data, so that one
// design serves any number of genes, from any number of threads.
class CInterceptDesign
{
public:
    // X is column-major n x p; group[j] in 0..N-1 is the individual of array j
    // (any order). Sizes are not checked here.
    CInterceptDesign(const double* X, long32 n, long32 p, long32 N, const int* group);

    long32 Arrays() const { return m_n; }
    long32 Columns() const { return m_p; }
    // False when a column of X is (numerically) a combination of the others:
    // such a design has no unique fit.
    bool FullRank() const { return m_fullRank; }
    // Doubles of scratch space Fit needs.
    size_t ScratchSize() const;

    // Fits one gene: y holds its n values. fit (X b-hat) and alpha (each
    // array's predicted intercept) receive n values each unless null; scratch
    // has ScratchSize() doubles. theta maximises the profile likelihood: a
    // grid over [0, kInterceptThetaMax] (0 and powers of two, widened while the
    // profile still falls), then every bracketed minimum of -2 log L found by
    // a root search on its derivative to 1e-10 relative in theta; the best of
    // them and the boundary 0 (when the profile rises there) wins, the smaller
    // theta on a tie. theta = 0 gives the least-squares fit and no intercepts.
    SInterceptFit Fit(const double* y, double* fit, double* alpha, double* scratch) const;

    // -2 log L(theta) up to its constant, and the residual sum of squares
    // RSS_V of the mapped data, for one gene; for the tests of the search.
    double Profile(const double* y, double theta, double* rssV, double* scratch) const;

private:
    struct SGene;
    struct SPoint
    {
        double f; // -2 log L up to its constant
        double g; // its derivative in theta^2 (same sign as in theta)
        double rss;
    };
    // The gene's arrays in scratch (ScratchSize() doubles).
    SGene Bind(double* scratch) const;
    void Prepare(const double* y, SGene& gene) const;
    SPoint Evaluate(const SGene& gene, double s) const;
    // The theta in [a, b] where the derivative of -2 log L, ga < 0 at a and
    // gb >= 0 at b, changes sign, to 1e-10 relative.
    double SlopeRoot(const SGene& gene, double a, double b, double ga, double gb) const;

    long32 m_n, m_p, m_N;
    bool m_fullRank;
    std::vector<int> m_group;
    std::vector<double> m_size;   // n_i
    std::vector<double> m_X;      // X, row-major (array by array)
    std::vector<double> m_Q;      // orthonormal basis of X's columns, row-major
    std::vector<double> m_mean;   // N x p: each individual's mean of X
    std::vector<double> m_within; // p x p: cross-products of X centred within individuals
};

// Fits every row of datR (m x n, R's column-major layout) with design over the
// workers of pool; fitR and alphaR (m x n, column-major) and rss and theta (m)
// receive the results (fitR, alphaR may be null). Every gene is fitted alone,
// so the results do not depend on the other rows or on the thread count. With
// a callback, it is called on the calling thread after a bounded amount of
// work; what it throws (a stop request) ends the fits, the outputs then
// unspecified.
void InterceptFitColumnMajor(const double* datR, long32 m, const CInterceptDesign& design, double* fitR, double* alphaR,
                             double* rss, double* theta, CWorkerPool& pool, update_progress_routine* callback = 0,
                             void* callbackArg = 0);
} // namespace lumo

#endif
