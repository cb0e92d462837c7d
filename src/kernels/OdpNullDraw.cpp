// ODP null statistics from data drawn with each gene's posterior variance.

#include <algorithm>
#include <cmath>
#include <vector>

#include "RandomStream.h"
#include "lumo.h"

double OdpPosteriorVariance(const COdpVariancePrior& prior, double ss, double d)
{
    if (std::isinf(prior.df))
        return prior.var;
    if (prior.df == 0.0)
        return ss / d;
    return (prior.df * prior.var + ss) / (prior.df + d);
}

namespace
{
// Genes per work item of the pool; fixed, so that the items do not depend on
// the thread count (each gene's draw does not depend on them either).
const long32 kDrawChunk = 256;

// The likelihood of data with sum of squares ss about their fit, under a
// normal model with variance v, as the ODP kernels weigh a reference gene.
double OwnTerm(double v, double ss, long32 n)
{
    const double s = std::sqrt(v);
    return std::pow(1.0 / s, (double)n) * std::exp((-0.5 / (s * s)) * ss);
}

struct CNullDraw
{
    long32 m0, n, k, B, dims;
    const double* rss;
    const int* ID;
    const int* nii;
    const int* nGrp;
    const int* keys;
    COdpVariancePrior draw, alt, null;
    double* xx;
    double* xk;
    double* ownNum;
    double* ownDen;
    double* rss1;

    // Draws null gene i of iteration h into its sufficient statistics and own-fit terms.
    void Gene(long32 h, long32 i, std::vector<double>& x) const
    {
        const uint64_t key = ((uint64_t)(uint32_t)keys[h] << 32) | (uint32_t)keys[h + (size_t)B];
        lumo::CRandomStream stream(key, (uint64_t)nii[i]);
        if (dims > 0) {
            InCoordinates(stream, i);
            return;
        }
        const double d = (double)(n - k);
        const double v = std::isinf(draw.df) ? draw.var : (draw.df * draw.var + rss[i]) / stream.ChiSquare(draw.df + d);
        const double s = std::sqrt(v);
        double mean = 0.0;
        for (long32 j = 0; j < n; j++) {
            x[j] = stream.Normal();
            mean += x[j];
        }
        mean /= (double)n;
        double ss = 0.0;
        for (long32 j = 0; j < n; j++) {
            x[j] = s * (x[j] - mean);
            ss += x[j] * x[j];
        }
        const size_t rows = (size_t)m0;
        double within = 0.0;
        for (long32 g = 0; g < k; g++) {
            double sum = 0.0;
            for (long32 j = 0; j < n; j++)
                sum += (double)ID[j + (size_t)g * n] * x[j];
            xk[i + g * rows] = sum;
            const double groupMean = sum / (double)nGrp[g];
            for (long32 j = 0; j < n; j++) {
                if (ID[j + (size_t)g * n] != 0) {
                    const double r = x[j] - groupMean;
                    within += r * r;
                }
            }
        }
        Own(i, ss, within, d, (double)(n - 1));
    }

    // The same for data given in coordinates of the null's residual space.
    void InCoordinates(lumo::CRandomStream& stream, long32 i) const
    {
        const double d = (double)(dims - k);
        const double v = std::isinf(draw.df) ? draw.var : (draw.df * draw.var + rss[i]) / stream.ChiSquare(draw.df + d);
        const double s = std::sqrt(v);
        const size_t rows = (size_t)m0;
        double ss = 0.0, within = 0.0;
        for (long32 j = 0; j < dims; j++) {
            const double z = s * stream.Normal();
            ss += z * z;
            if (j < k)
                xk[i + j * rows] = z;
            else
                within += z * z;
        }
        Own(i, ss, within, d, (double)dims);
    }

    // Null gene i's sums of squares (ss about 0 on d0, ss1 about its group
    // means on d) and the likelihoods under its own fits.
    void Own(long32 i, double ss, double ss1, double d, double d0) const
    {
        xx[i] = ss;
        rss1[i] = ss1;
        ownNum[i] = OwnTerm(OdpPosteriorVariance(alt, ss1, d), ss1, n);
        ownDen[i] = OwnTerm(OdpPosteriorVariance(null, ss, d0), ss, n);
    }
};
} // namespace

void nullODPDraw(long32 m, long32 m0, long32 n, long32 k, long32 B, const double* rss, const double* mu,
                 const double* sigma, const double* sigma0, const int* ID, const int* nii, const int* nGrp,
                 const COdpVariancePrior& draw, const COdpVariancePrior& alt, const COdpVariancePrior& null,
                 const int* keys, double* scr, update_progress_routine* callback, void* callbackArg,
                 double* currentStart, double* maxStart, lumo::CWorkerPool& pool, long32 dims, double* rss1)
{
    double max = maxStart != 0 ? *maxStart : (double)m0 * (double)(m + m0) * (double)B;
    double current = currentStart != 0 ? *currentStart : 0.0;

    const size_t rows = m0 > 0 ? (size_t)m0 : 1;
    std::vector<double> num(rows), den(rows), xx(rows), xk(rows * (size_t)(k > 0 ? k : 1)), ownNum(rows), ownDen(rows),
        own1(rows);
    // Gene i leaves out its own models: gene nii[i] among all genes, i among the null genes.
    std::vector<int> selfNull(rows);
    for (long32 i = 0; i < m0; i++)
        selfNull[i] = (int)i;
    const CNullDraw drawer = {
        m0,  n,    k,         B,         dims,          rss,           ID,         nii, nGrp, keys, draw,
        alt, null, xx.data(), xk.data(), ownNum.data(), ownDen.data(), own1.data()};
    const bool spread = pool.Threads() > 1 && m0 > kDrawChunk;

    for (long32 h = 0; h < B; h++) {
        if (spread) {
            pool.Run(m0, kDrawChunk, [&](int64_t b, int64_t e, int) {
                std::vector<double> x(n > 0 ? n : 1);
                for (int64_t i = b; i < e; i++)
                    drawer.Gene(h, (long32)i, x);
            });
        } else {
            std::vector<double> x(n > 0 ? n : 1);
            for (long32 i = 0; i < m0; i++)
                drawer.Gene(h, i, x);
        }
        // Each kernel reports at entry, so every iteration is a stop check.
        odp3x(m0, m, n, k, xx.data(), xk.data(), mu, sigma, nGrp, nii, num.data(), callback, callbackArg, &current,
              &max, pool);
        odp4x(m0, m0, n, xx.data(), sigma0, selfNull.data(), den.data(), callback, callbackArg, &current, &max, pool);
        for (long32 i = 0; i < m0; i++)
            scr[(size_t)h * (size_t)m0 + i] = (num[i] + ownNum[i]) / (den[i] + ownDen[i]);
        if (rss1 != 0)
            std::copy(own1.begin(), own1.begin() + m0, rss1 + (size_t)h * (size_t)m0);
    }

    if (currentStart != 0)
        *currentStart = current;
}
