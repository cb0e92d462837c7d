// Maximum-likelihood random-intercept fit of one gene (InterceptFit.h).
//
// The data enter the profile only through the least-squares residual r of y on
// X (adding a column combination of X to y moves b-hat and nothing else), and r
// enters only through a few sums: split every vector into its part centred
// within individuals and its individual means. V^{-1/2} keeps the centred part
// and scales the means of individual i by w_i = 1 / sqrt(1 + s n_i), s =
// theta^2, so the cross-products of the mapped [X r] are
//
//     G(s) = W + sum_i n_i w_i^2 m_i m_i',
//
// W the centred cross-products and m_i the means of individual i. A Cholesky
// factor of the X block gives the generalised least-squares coefficients d and
// RSS_V(s) = G_rr - G_rX G_XX^{-1} G_Xr, all sums of non-negative terms (no
// cancellation between the large parts of y). The derivative of
// -2 log L in s is
//
//     sum_i n_i / (1 + s n_i) - n sum_i n_i^2 e_i^2 / (1 + s n_i)^2 / RSS_V(s),
//
// e_i the mean of individual i of the fitted residual r - X d.

#include "InterceptFit.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "threads/WorkerPool.h"

namespace lumo
{
namespace
{
// Relative tolerance of theta at a minimum inside the grid.
const double kThetaTolerance = 1e-10;
// A derivative of -2 log L smaller than this times n counts as 0: a profile
// that is flat near theta = 0 (one array per individual) is fitted at 0.
const double kFlatSlope = 1e-9;
// Grid of theta: 0, then 2^kGridFirst .. 2^kGridLast, widened by kGridWiden
// while the profile still falls.
const int kGridFirst = -5;
const int kGridLast = 5;
const double kGridWiden = 4.0;
} // namespace

// Pointers of one gene into the caller's scratch space.
struct CInterceptDesign::SGene
{
    double* r;    // n: least-squares residual of y on X
    double* rbar; // N: its individual means
    double* wxr;  // p: centred cross-products of X and r
    double wrr;   // centred sum of squares of r
    double rr;    // sum of squares of r
    double* A;    // p x p: Cholesky factor of the X block of G(s)
    double* d;    // p: generalised least-squares coefficients of r
    double* e;    // N: individual means of the fitted residual
    double* coef; // p: coordinates of y in the basis of X
};

CInterceptDesign::CInterceptDesign(const double* X, long32 n, long32 p, long32 N, const int* group)
    : m_n(n), m_p(p), m_N(N), m_fullRank(true), m_group(group, group + n), m_size(N, 0.0), m_X((size_t)n * (size_t)p),
      m_Q((size_t)n * (size_t)p), m_mean((size_t)N * (size_t)p, 0.0), m_within((size_t)p * (size_t)p, 0.0)
{
    for (long32 j = 0; j < n; j++) {
        m_size[group[j]] += 1.0;
        for (long32 c = 0; c < p; c++)
            m_X[(size_t)j * p + c] = X[(size_t)j + (size_t)c * (size_t)n];
    }
    for (long32 j = 0; j < n; j++)
        for (long32 c = 0; c < p; c++)
            m_mean[(size_t)group[j] * p + c] += m_X[(size_t)j * p + c] / m_size[group[j]];
    for (long32 j = 0; j < n; j++) {
        const double* x = &m_X[(size_t)j * p];
        const double* xbar = &m_mean[(size_t)group[j] * p];
        for (long32 a = 0; a < p; a++)
            for (long32 b = 0; b <= a; b++)
                m_within[(size_t)a * p + b] += (x[a] - xbar[a]) * (x[b] - xbar[b]);
    }
    // Orthonormal basis by modified Gram-Schmidt, each column orthogonalised twice.
    std::vector<double> q(n);
    for (long32 c = 0; c < p; c++) {
        for (long32 j = 0; j < n; j++)
            q[j] = m_X[(size_t)j * p + c];
        for (int pass = 0; pass < 2; pass++) {
            for (long32 k = 0; k < c; k++) {
                double dot = 0.0;
                for (long32 j = 0; j < n; j++)
                    dot += m_Q[(size_t)j * p + k] * q[j];
                for (long32 j = 0; j < n; j++)
                    q[j] -= dot * m_Q[(size_t)j * p + k];
            }
        }
        double norm = 0.0, before = 0.0;
        for (long32 j = 0; j < n; j++) {
            norm += q[j] * q[j];
            before += m_X[(size_t)j * p + c] * m_X[(size_t)j * p + c];
        }
        norm = std::sqrt(norm);
        if (!(norm > 1e-10 * std::sqrt(before)))
            m_fullRank = false;
        for (long32 j = 0; j < n; j++)
            m_Q[(size_t)j * p + c] = norm > 0.0 ? q[j] / norm : 0.0;
    }
}

size_t CInterceptDesign::ScratchSize() const
{
    return (size_t)m_n + 2 * (size_t)m_N + 3 * (size_t)m_p + (size_t)m_p * (size_t)m_p;
}

CInterceptDesign::SGene CInterceptDesign::Bind(double* scratch) const
{
    SGene gene;
    gene.r = scratch;
    gene.rbar = gene.r + m_n;
    gene.e = gene.rbar + m_N;
    gene.wxr = gene.e + m_N;
    gene.d = gene.wxr + m_p;
    gene.coef = gene.d + m_p;
    gene.A = gene.coef + m_p;
    gene.wrr = gene.rr = 0.0;
    return gene;
}

void CInterceptDesign::Prepare(const double* y, SGene& gene) const
{
    const long32 n = m_n, p = m_p, N = m_N;
    std::fill(gene.coef, gene.coef + p, 0.0);
    for (long32 j = 0; j < n; j++)
        for (long32 c = 0; c < p; c++)
            gene.coef[c] += m_Q[(size_t)j * p + c] * y[j];
    std::fill(gene.rbar, gene.rbar + N, 0.0);
    gene.rr = 0.0;
    for (long32 j = 0; j < n; j++) {
        double fitted = 0.0;
        for (long32 c = 0; c < p; c++)
            fitted += m_Q[(size_t)j * p + c] * gene.coef[c];
        gene.r[j] = y[j] - fitted;
        gene.rr += gene.r[j] * gene.r[j];
        gene.rbar[m_group[j]] += gene.r[j];
    }
    for (long32 i = 0; i < N; i++)
        gene.rbar[i] = m_size[i] > 0.0 ? gene.rbar[i] / m_size[i] : 0.0;
    std::fill(gene.wxr, gene.wxr + p, 0.0);
    gene.wrr = 0.0;
    for (long32 j = 0; j < n; j++) {
        const double* x = &m_X[(size_t)j * p];
        const double* xbar = &m_mean[(size_t)m_group[j] * p];
        const double rc = gene.r[j] - gene.rbar[m_group[j]];
        gene.wrr += rc * rc;
        for (long32 c = 0; c < p; c++)
            gene.wxr[c] += (x[c] - xbar[c]) * rc;
    }
}

CInterceptDesign::SPoint CInterceptDesign::Evaluate(const SGene& gene, double s) const
{
    const long32 p = m_p, N = m_N;
    const double inf = std::numeric_limits<double>::infinity();
    double* A = gene.A;
    double* d = gene.d;
    std::copy(m_within.begin(), m_within.end(), A);
    std::copy(gene.wxr, gene.wxr + p, d);
    double rss = gene.wrr, logdet = 0.0, slope = 0.0;
    for (long32 i = 0; i < N; i++) {
        const double ni = m_size[i];
        if (ni == 0.0)
            continue;
        const double wn = ni / (1.0 + s * ni);
        const double* xbar = &m_mean[(size_t)i * p];
        for (long32 a = 0; a < p; a++) {
            const double t = wn * xbar[a];
            for (long32 b = 0; b <= a; b++)
                A[(size_t)a * p + b] += t * xbar[b];
            d[a] += t * gene.rbar[i];
        }
        rss += wn * gene.rbar[i] * gene.rbar[i];
        logdet += std::log1p(s * ni);
        slope += wn;
    }
    // Cholesky factor of the X block (lower triangle), then its forward solve.
    for (long32 a = 0; a < p; a++) {
        for (long32 b = 0; b <= a; b++) {
            double v = A[(size_t)a * p + b];
            for (long32 k = 0; k < b; k++)
                v -= A[(size_t)a * p + k] * A[(size_t)b * p + k];
            if (a == b) {
                if (!(v > 0.0))
                    return SPoint{inf, inf, 0.0};
                A[(size_t)a * p + a] = std::sqrt(v);
            } else {
                A[(size_t)a * p + b] = v / A[(size_t)b * p + b];
            }
        }
    }
    for (long32 a = 0; a < p; a++) {
        double v = d[a];
        for (long32 k = 0; k < a; k++)
            v -= A[(size_t)a * p + k] * d[k];
        d[a] = v / A[(size_t)a * p + a];
        rss -= d[a] * d[a];
    }
    for (long32 a = p - 1; a >= 0; a--) {
        double v = d[a];
        for (long32 k = a + 1; k < p; k++)
            v -= A[(size_t)k * p + a] * d[k];
        d[a] = v / A[(size_t)a * p + a];
    }
    rss = std::max(rss, DBL_MIN);
    double spread = 0.0;
    for (long32 i = 0; i < N; i++) {
        const double* xbar = &m_mean[(size_t)i * p];
        double e = gene.rbar[i];
        for (long32 a = 0; a < p; a++)
            e -= xbar[a] * d[a];
        gene.e[i] = e;
        const double wn = m_size[i] / (1.0 + s * m_size[i]);
        spread += wn * wn * e * e;
    }
    const double n = (double)m_n;
    return SPoint{logdet + n * std::log(rss), slope - n * spread / rss, rss};
}

double CInterceptDesign::SlopeRoot(const SGene& gene, double a, double b, double fa, double fb) const
{
    // Brent's method: inverse quadratic interpolation or secant steps, bisection
    // whenever they do not shrink the bracket fast enough.
    double c = a, fc = fa;
    double dstep = b - a, estep = dstep;
    for (int it = 0; it < 200; it++) {
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a;
            fc = fa;
            dstep = estep = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol = 2.0 * DBL_EPSILON * std::fabs(b) + 0.5 * kThetaTolerance * std::fabs(b) + DBL_MIN;
        const double xm = 0.5 * (c - b);
        if (std::fabs(xm) <= tol || fb == 0.0)
            break;
        if (std::fabs(estep) >= tol && std::fabs(fa) > std::fabs(fb)) {
            const double sr = fb / fa;
            double pp, qq;
            if (a == c) {
                pp = 2.0 * xm * sr;
                qq = 1.0 - sr;
            } else {
                const double q0 = fa / fc, r0 = fb / fc;
                pp = sr * (2.0 * xm * q0 * (q0 - r0) - (b - a) * (r0 - 1.0));
                qq = (q0 - 1.0) * (r0 - 1.0) * (sr - 1.0);
            }
            if (pp > 0.0)
                qq = -qq;
            pp = std::fabs(pp);
            if (2.0 * pp < std::min(3.0 * xm * qq - std::fabs(tol * qq), std::fabs(estep * qq))) {
                estep = dstep;
                dstep = pp / qq;
            } else {
                dstep = xm;
                estep = dstep;
            }
        } else {
            dstep = xm;
            estep = dstep;
        }
        a = b;
        fa = fb;
        b += std::fabs(dstep) > tol ? dstep : (xm > 0.0 ? tol : -tol);
        fb = Evaluate(gene, b * b).g;
    }
    return b;
}

double CInterceptDesign::Profile(const double* y, double theta, double* rssV, double* scratch) const
{
    SGene gene = Bind(scratch);
    Prepare(y, gene);
    const SPoint pt = Evaluate(gene, theta * theta);
    if (rssV != 0)
        *rssV = pt.rss;
    return pt.f;
}

SInterceptFit CInterceptDesign::Fit(const double* y, double* fit, double* alpha, double* scratch) const
{
    const long32 n = m_n, p = m_p;
    SGene gene = Bind(scratch);
    Prepare(y, gene);

    double best = 0.0;
    if (gene.rr > 0.0) {
        const double flat = kFlatSlope * (double)n;
        // The grid, widened while the profile still falls at its end.
        double theta[64];
        SPoint pt[64];
        int count = 0;
        theta[count] = 0.0;
        pt[count++] = Evaluate(gene, 0.0);
        for (int k = kGridFirst; k <= kGridLast; k++) {
            theta[count] = std::ldexp(1.0, k);
            pt[count] = Evaluate(gene, theta[count] * theta[count]);
            count++;
        }
        while (pt[count - 1].g < 0.0 && theta[count - 1] < kInterceptThetaMax && count < 64) {
            theta[count] = std::min(theta[count - 1] * kGridWiden, kInterceptThetaMax);
            pt[count] = Evaluate(gene, theta[count] * theta[count]);
            count++;
        }
        // Candidates: the boundary where the profile rises from it, every
        // bracketed minimum, and the end of the grid if the profile still falls.
        double bestF = 0.0;
        bool found = false;
        auto consider = [&](double t, double f) {
            if (!found || f < bestF - 1e-12 * (1.0 + std::fabs(bestF)) || (f <= bestF && t < best)) {
                found = true;
                best = t;
                bestF = f;
            }
        };
        const bool rises = pt[0].g >= -flat;
        if (rises)
            consider(0.0, pt[0].f);
        for (int k = 0; k + 1 < count; k++) {
            const bool falls = k == 0 ? !rises : pt[k].g < 0.0;
            if (!(falls && pt[k + 1].g >= 0.0))
                continue;
            const double root = SlopeRoot(gene, theta[k], theta[k + 1], pt[k].g, pt[k + 1].g);
            consider(root, Evaluate(gene, root * root).f);
        }
        if (pt[count - 1].g < 0.0)
            consider(theta[count - 1], pt[count - 1].f);
    }

    // The fit at the chosen theta: coefficients, intercepts and residuals.
    const double s = best * best;
    Evaluate(gene, s);
    double rss = 0.0;
    std::fill(gene.e, gene.e + m_N, 0.0);
    for (long32 j = 0; j < n; j++) {
        double xd = 0.0;
        for (long32 c = 0; c < p; c++)
            xd += m_X[(size_t)j * p + c] * gene.d[c];
        // y - r is the least-squares fit of y; X d moves it to the generalised one.
        if (fit != 0)
            fit[j] = (y[j] - gene.r[j]) + xd;
        gene.r[j] -= xd;
        gene.e[m_group[j]] += gene.r[j];
    }
    for (long32 i = 0; i < m_N; i++)
        gene.e[i] = m_size[i] > 0.0 ? s * gene.e[i] / (1.0 + s * m_size[i]) : 0.0;
    for (long32 j = 0; j < n; j++) {
        const double a = gene.e[m_group[j]];
        if (alpha != 0)
            alpha[j] = a;
        const double res = gene.r[j] - a;
        rss += res * res;
    }
    return SInterceptFit{rss, best};
}

void InterceptFitColumnMajor(const double* datR, long32 m, const CInterceptDesign& design, double* fitR, double* alphaR,
                             double* rss, double* theta, CWorkerPool& pool, update_progress_routine* callback,
                             void* callbackArg)
{
    const long32 n = design.Arrays();
    CSharedProgress progress(callback, callbackArg, (double)m, 0.0, kPhaseTimecourse);
    struct SRows
    {
        std::vector<double> y, fit, alpha, scratch;
    };
    std::vector<SRows> rows(pool.Threads());
    for (SRows& r : rows) {
        r.y.resize(n + 1);
        r.fit.resize(n + 1);
        r.alpha.resize(n + 1);
        r.scratch.resize(design.ScratchSize() + 1);
    }
    // A chunk of genes takes about a millisecond; a stop check follows each.
    const int64_t grain = 256;
    pool.Run(
        m, grain,
        [&](int64_t b, int64_t e, int worker) {
            SRows& r = rows[worker];
            for (int64_t i = b; i < e; i++) {
                for (long32 j = 0; j < n; j++)
                    r.y[j] = datR[(size_t)i + (size_t)j * (size_t)m];
                const SInterceptFit f = design.Fit(r.y.data(), r.fit.data(), r.alpha.data(), r.scratch.data());
                rss[i] = f.rss;
                theta[i] = f.theta;
                for (long32 j = 0; j < n; j++) {
                    if (fitR != 0)
                        fitR[(size_t)i + (size_t)j * (size_t)m] = r.fit[j];
                    if (alphaR != 0)
                        alphaR[(size_t)i + (size_t)j * (size_t)m] = r.alpha[j];
                }
            }
            if (callback != 0)
                progress.Add((double)(e - b));
        },
        callback != 0 ? &progress : 0);
}
} // namespace lumo
