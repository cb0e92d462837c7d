#include "knnimpute.h"

#include <cmath>
#include <cstddef>
#include <cstdio>

namespace
{
// Distance of a row that shares no present column with the target row.
const double UNREACHABLE = 1.0e10;

KnnErrorHandler g_errorHandler = 0;

// 1-based element (i, j) of a column-major matrix with ld rows.
inline std::ptrdiff_t At(long32 i, long32 j, long32 ld)
{
    return (std::ptrdiff_t)(i - 1) + (std::ptrdiff_t)(j - 1) * ld;
}

// Hands a rejected call's message to the handler. With R's handler this does
// not return; the callers hold no objects that need destroying.
void Reject(const char* msg)
{
    if (g_errorHandler)
        g_errorHandler(msg);
}
} // namespace

void SetKnnErrorHandler(KnnErrorHandler handler)
{
    g_errorHandler = handler;
}

// Matrix sizes of both routines: neither may be negative.
static bool SizesValid(long32 p, long32 n, char* msg, int msgSize)
{
    if (p < 0) {
        std::snprintf(msg, msgSize, "'p' is %d; it must not be negative", (int)p);
        return false;
    }
    if (n < 0) {
        std::snprintf(msg, msgSize, "'n' is %d; it must not be negative", (int)n);
        return false;
    }
    return true;
}

bool KnnimpArgsValid(long32 p, long32 n, long32 kn, char* msg, int msgSize)
{
    if (!SizesValid(p, n, msg, msgSize))
        return false;
    // With no rows there is nothing to impute and no neighbour list to fill.
    if (kn < 0 || (p > 0 && kn > p - 1)) {
        std::snprintf(msg, msgSize, "'kn' is %d; it must lie between 0 and p - 1 (p is %d)", (int)kn, (int)p);
        return false;
    }
    return true;
}

bool TwomisArgsValid(long32 p, long32 n, const long32* istart, char* msg, int msgSize)
{
    if (!SizesValid(p, n, msg, msgSize))
        return false;
    for (int c = 0; c < 2; c++) {
        if (istart[c] < 1 || istart[c] > p) {
            std::snprintf(msg, msgSize, "'istart[%d]' is %d; it must be a row number between 1 and p (p is %d)",
                          c + 1, (int)istart[c], (int)p);
            return false;
        }
    }
    return true;
}

extern "C" {

void misdis(const double* x0, const double* x, const long32* p, const long32* n, const long32* imiss0,
            const long32* imiss, double* dis, long32* iworkp)
{
    const long32 np = *p;
    const long32 nn = *n;
    for (long32 i = 0; i < np; i++) {
        dis[i] = 0.0;
        iworkp[i] = 0;
    }
    for (long32 j = 1; j <= nn; j++) {
        if (imiss0[j - 1] > 0)
            continue;
        const double x0j = x0[j - 1];
        for (long32 i = 1; i <= np; i++) {
            const std::ptrdiff_t ij = At(i, j, np);
            if (imiss[ij] > 0)
                continue;
            const double d = x0j - x[ij];
            dis[i - 1] += d * d;
            iworkp[i - 1] += 1;
        }
    }
    for (long32 i = 0; i < np; i++)
        dis[i] = iworkp[i] > 0 ? dis[i] / iworkp[i] : UNREACHABLE;
}

void porder(const long32* kn, const double* dist, const long32* ntr, long32* pos, double* nndist)
{
    const long32 k = *kn;
    const long32 nt = *ntr;
    if (k <= 0)
        return;
    long32 held = 0;
    for (long32 j = 1; j <= nt; j++) {
        const double d = dist[j - 1];
        // A value equal to the current k-th never enters the full list.
        if (held == k && !(d < nndist[k - 1]))
            continue;
        // Insert after every held entry that is not greater than d.
        long32 at = 0;
        while (at < held && !(nndist[at] > d))
            at++;
        long32 last = held < k ? held : k - 1;
        for (long32 s = last; s > at; s--) {
            nndist[s] = nndist[s - 1];
            pos[s] = pos[s - 1];
        }
        nndist[at] = d;
        pos[at] = j;
        if (held < k)
            held++;
    }
}

void misave(const double* x, double* x0, const long32* p, const long32* n, long32* imiss0,
            const long32* imiss, const long32* index, const long32* m)
{
    const long32 np = *p;
    const long32 nn = *n;
    const long32 nm = *m;
    for (long32 j = 1; j <= nn; j++) {
        x0[j - 1] = 0.0;
        if (imiss0[j - 1] == 0)
            continue;
        if (nm <= 0) {
            imiss0[j - 1] = 2;
            continue;
        }
        double sum = 0.0;
        long32 count = 0;
        for (long32 r = 0; r < nm; r++) {
            const std::ptrdiff_t rj = At(index[r], j, np);
            if (imiss[rj] > 0)
                continue;
            sum += x[rj];
            count++;
        }
        if (count > 0)
            x0[j - 1] = sum / count;
        else
            imiss0[j - 1] = 2;
    }
}

void knnimp(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss,
            const long32* irmiss, const long32* kn, double* workp, double* workn, long32* iworkp,
            long32* iworkn)
{
    char msg[160];
    if (!KnnimpArgsValid(*p, *n, *kn, msg, sizeof msg)) {
        Reject(msg);
        return;
    }
    const long32 np = *p;
    const long32 nn = *n;
    if (np <= 0)
        return;
    const long32 m = *kn + 1;
    for (long32 i = 1; i <= np; i++) {
        if (irmiss[i - 1] == 0)
            continue;
        for (long32 j = 1; j <= nn; j++) {
            workn[j - 1] = x[At(i, j, np)];
            iworkn[j - 1] = imiss[At(i, j, np)];
        }
        misdis(workn, x, p, n, iworkn, imiss, workp, iworkp);
        porder(&m, workp, p, iworkp, workn);
        // The first of the ordered rows is normally row i itself.
        misave(x, workn, p, n, iworkn, imiss, iworkp + 1, kn);
        for (long32 j = 1; j <= nn; j++) {
            if (iworkn[j - 1] == 0)
                continue;
            ximp[At(i, j, np)] = workn[j - 1];
            if (iworkn[j - 1] == 2)
                imiss[At(i, j, np)] = 2;
        }
    }
}

void twomis(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0,
            long32* imiss0, long32* maxit, const double* eps, const long32* istart, long32* clust,
            long32* nsize, double* dist, double* ratio, long32* iter, long32* iworkp, long32* iworkn)
{
    char msg[160];
    if (!TwomisArgsValid(*p, *n, istart, msg, sizeof msg)) {
        Reject(msg);
        return;
    }
    const long32 np = *p;
    const long32 nn = *n;
    if (*maxit < 1)
        *maxit = 5;
    for (int c = 0; c < 2; c++) {
        for (long32 j = 1; j <= nn; j++) {
            x0[At(j, c + 1, nn)] = x[At(istart[c], j, np)];
            imiss0[At(j, c + 1, nn)] = imiss[At(istart[c], j, np)];
        }
    }
    *iter = 0;
    *ratio = 10.0;
    double previous = 0.0;
    for (long32 k = 1; k <= *maxit; k++) {
        if (*ratio <= *eps)
            return;
        *iter = k;
        for (int c = 0; c < 2; c++) {
            misdis(x0 + (std::ptrdiff_t)c * nn, x, p, n, imiss0 + (std::ptrdiff_t)c * nn, imiss, dist + (std::ptrdiff_t)c * np, iworkp);
            nsize[c] = 0;
        }
        double total = 0.0;
        for (long32 i = 1; i <= np; i++) {
            // Ties and incomparable distances go to the second cluster.
            const int c = dist[i - 1] < dist[np + i - 1] ? 0 : 1;
            nsize[c] += 1;
            clust[At(nsize[c], c + 1, np)] = i;
            total += dist[At(i, c + 1, np)];
        }
        if (total == 0.0)
            return;
        if (k == 1)
            previous = total * 10.0;
        *ratio = std::fabs(total - previous) / previous;
        previous = total;
        for (int c = 0; c < 2; c++) {
            for (long32 j = 0; j < nn; j++)
                iworkn[j] = 1;
            misave(x, x0 + (std::ptrdiff_t)c * nn, p, n, iworkn, imiss, clust + (std::ptrdiff_t)c * np, nsize + c);
            for (long32 j = 0; j < nn; j++)
                imiss0[At(j + 1, c + 1, nn)] = iworkn[j] == 2 ? 1 : 0;
        }
    }
}

} // extern "C"
