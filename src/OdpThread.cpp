#include "OdpThread.h"

#include <stdexcept>
#include <vector>

#include "MathUtility.h"
#include "threads/WorkerPool.h"

namespace
{
void RequireLength(bool holds, const char* rule)
{
    if (!holds)
        throw std::length_error(rule);
}
} // namespace

COdpThread::COdpThread(const CArgList& args)
    : m_pObservedResult(0), m_observedResultSize(0), m_pNullResult(0), m_nullResultSize(0), m_pXX(0), m_xxlen(0),
      m_pXK(0), m_xklen(0), m_pMu(0), m_mulen(0), m_pSigma(0), m_sigmalen(0), m_pSigma0(0), m_sigma0len(0), m_pMuBS(0),
      m_mubslen(0), m_pSigmaBS(0), m_sigmabslen(0), m_pSigma0BS(0), m_sigma0bslen(0), m_pID(0), m_idlen(0), m_pNGrp(0),
      m_ngrplen(0), m_pRes(0), m_reslen(0), m_pVV(0), m_vvlen(0), m_pNii(0), m_niilen(0), m_m(0), m_n(0), m_k(0),
      m_B(0), m_m0(0), m_threads(lumo::DefaultThreadCount()), m_nullKind(kOdpNullResampled), m_draw(), m_alt(),
      m_null(), m_pKeys(0), m_keyslen(0), m_dims(0), m_pNullRss1(0)
{
    try {
        m_B = args.IntegerValue(kOdpB);
        m_pXX = args.CopyDouble(kOdpXX, &m_xxlen);
        m_pXK = args.CopyDouble(kOdpXK, &m_xklen);
        m_pMu = args.CopyDouble(kOdpMu, &m_mulen);
        m_pSigma = args.CopyDouble(kOdpSigma, &m_sigmalen);
        m_pSigma0 = args.CopyDouble(kOdpSigma0, &m_sigma0len);
        m_pMuBS = args.CopyDouble(kOdpMuBS, &m_mubslen);
        m_pSigmaBS = args.CopyDouble(kOdpSigmaBS, &m_sigmabslen);
        m_pSigma0BS = args.CopyDouble(kOdpSigma0BS, &m_sigma0bslen);
        m_pID = args.CopyInteger(kOdpID, &m_idlen);
        m_pNGrp = args.CopyInteger(kOdpNGrp, &m_ngrplen);
        m_pRes = args.CopyDouble(kOdpRes, &m_reslen);
        m_pVV = args.CopyInteger(kOdpVV, &m_vvlen);
        m_pNii = args.CopyInteger(kOdpNii, &m_niilen);
        m_m = args.IntegerValue(kOdpM);
        m_n = args.IntegerValue(kOdpN);
        m_k = args.IntegerValue(kOdpK);
        m_m0 = args.IntegerValue(kOdpM0);
        // The drawn null: the three priors (df, var pairs) and the B x 2 keys of the streams.
        if (args.Has(kOdpNull) && args.IntegerValue(kOdpNull) == kOdpNullDrawn) {
            m_nullKind = kOdpNullDrawn;
            const double* priors = args.Doubles(kOdpPriors);
            m_draw = COdpVariancePrior{priors[0], priors[1]};
            m_alt = COdpVariancePrior{priors[2], priors[3]};
            m_null = COdpVariancePrior{priors[4], priors[5]};
            m_pKeys = args.CopyInteger(kOdpKeys, &m_keyslen);
            m_dims = args.Has(kOdpDims) ? args.IntegerValue(kOdpDims) : 0;
        }

        m_observedResultSize = m_m;
        m_pObservedResult = new double[m_m > 0 ? m_m : 1];
        m_nullResultSize = m_m0 * m_B;
        m_pNullResult = new double[m_nullResultSize > 0 ? m_nullResultSize : 1];
        if (args.Has(kOdpRss) && args.IntegerValue(kOdpRss) == 1)
            m_pNullRss1 = new double[m_nullResultSize > 0 ? m_nullResultSize : 1];
        CheckLengths();
    } catch (...) {
        FreeArrays();
        throw;
    }
}

void COdpThread::CheckLengths()
{
    RequireLength(m_xxlen == m_m, "m_xxlen == m_m");
    RequireLength((double)m_xklen == (double)m_m * m_k, "m_xklen == m_m*m_k");
    RequireLength(m_sigmalen == m_m, "m_sigmalen == m_m");
    RequireLength((double)m_idlen == (double)m_n * m_k, "m_idlen == m_n*m_k");
    RequireLength(m_ngrplen == m_k, "m_ngrplen == m_k");
    RequireLength((double)m_reslen == (double)m_m0 * m_n, "m_reslen == m_m0*m_n");
    RequireLength((double)m_vvlen == (double)m_B * m_n, "m_vvlen == m_B*m_n");
}

void COdpThread::FreeArrays()
{
    delete[] m_pXX;
    delete[] m_pXK;
    delete[] m_pMu;
    delete[] m_pSigma;
    delete[] m_pSigma0;
    delete[] m_pMuBS;
    delete[] m_pSigmaBS;
    delete[] m_pSigma0BS;
    delete[] m_pID;
    delete[] m_pNGrp;
    delete[] m_pRes;
    delete[] m_pVV;
    delete[] m_pNii;
    delete[] m_pObservedResult;
    delete[] m_pNullResult;
    delete[] m_pKeys;
    delete[] m_pNullRss1;
    m_pKeys = 0;
    m_pNullRss1 = 0;
    m_pXX = m_pXK = m_pMu = m_pSigma = m_pSigma0 = m_pMuBS = m_pSigmaBS = m_pSigma0BS = m_pRes = 0;
    m_pID = m_pNGrp = m_pVV = m_pNii = 0;
    m_pObservedResult = m_pNullResult = 0;
}

COdpThread::~COdpThread()
{
    FreeArrays();
}

double* COdpThread::CopyVector(const double* vec, int len)
{
    return CMathUtility::CopyVector(vec, len);
}
int* COdpThread::CopyVector(const int* vec, int len)
{
    return CMathUtility::CopyVector(vec, len);
}
void COdpThread::DivideVector(double* pNum, const double* pDenom, int len)
{
    CMathUtility::DivideVector(pNum, pDenom, len);
}

int COdpThread::Go(pthread_t)
{
    // Denominator sums; a vector so that a stop request unwinding the kernels frees it.
    std::vector<double> scr(m_observedResultSize > 0 ? m_observedResultSize : 1);

    double current = 0.0;
    double max = odp1t(m_m, m_m, m_n, m_k) + odp2t(m_m, m_m0, m_n, m_k) +
                 (double)m_B * (odp3t(m_m0, m_m, m_n, m_k) + odp4t(m_m0, m_m0, m_n, m_k));

    // The kernels call back only on this thread; the pool's workers add to a
    // shared count that this thread publishes.
    lumo::CWorkerPool pool(m_threads);
    odp2(m_m, m_m0, m_n, m_k, m_pXX, m_pXK, m_pMu, m_pSigma0, m_pNGrp, m_pNii, scr.data(), UpdateProgressThreadProgress,
         this, &current, &max, pool);
    odp1(m_m, m_m, m_n, m_k, m_pXX, m_pXK, m_pMu, m_pSigma, m_pNGrp, m_pNii, m_pObservedResult,
         UpdateProgressThreadProgress, this, &current, &max, pool);
    DivideVector(m_pObservedResult, scr.data(), m_observedResultSize);
    if (m_nullKind == kOdpNullDrawn) {
        std::vector<double> rss(m_m0 > 0 ? m_m0 : 1, 0.0);
        for (long32 c = 0; c < m_n; c++)
            for (long32 i = 0; i < m_m0; i++)
                rss[i] += m_pRes[i + (size_t)c * m_m0] * m_pRes[i + (size_t)c * m_m0];
        nullODPDraw(m_m, m_m0, m_n, m_k, m_B, rss.data(), m_pMu, m_pSigma, m_pSigma0BS, m_pID, m_pNii, m_pNGrp, m_draw,
                    m_alt, m_null, m_pKeys, m_pNullResult, UpdateProgressThreadProgress, this, &current, &max, pool,
                    m_dims, m_pNullRss1);
    } else {
        nullODP(m_m, m_m0, m_n, m_k, m_B, m_pRes, m_pMu, m_pSigma, m_pSigma0BS, m_pVV, m_pID, m_pNii, m_pNGrp,
                m_pNullResult, UpdateProgressThreadProgress, this, &current, &max, pool);
    }
    // The kernels report at entry and every 200000 pairs; one last report lets
    // R see the finished job at exactly its announced maximum.
    UpdateProgressThreadProgress(this, max, current, kPhaseOdpNull);
    return 0;
}
