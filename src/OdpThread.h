#ifndef LUMO_ODPTHREAD_H
#define LUMO_ODPTHREAD_H

#include <Rinternals.h>

#include "RArgs.h"
#include "lumo.h"
#include "threads/ProgressThread.h"

// Background job of the ODP analysis: the observed statistic of every gene
// (alternative-model sum over all genes divided by the null-model sum over the
// null genes) and the statistics of B bootstrap null data sets. The job owns
// private copies of every input array, so R may drop its objects at once.
// It splits its genes over lumo::DefaultThreadCount() threads, the count in
// force when it was built; its results are the same for any count.
class COdpThread : public CProgressThread
{
public:
    // Copies the arrays of the argument list (slots in RArgs.h). The caller
    // has validated it (ValidateOdpArgs); a length rule that does not hold
    // throws std::length_error, a short allocation std::bad_alloc, and nothing
    // is leaked either way.
    explicit COdpThread(const CArgList& args);
    virtual ~COdpThread();

    virtual int Go(pthread_t tid);

    double* GetObservedResult() { return m_pObservedResult; }
    int GetObservedResultSize() { return m_observedResultSize; }
    double* GetNullResult() { return m_pNullResult; }
    int GetNullResultSize() { return m_nullResultSize; }
    // Each null data set's residual sum of squares about its group means, in
    // the order of the null result; 0 unless the list asked for it (kOdpRss).
    const double* GetNullRss1() const { return m_pNullRss1; }

private:
    double* CopyVector(const double* vec, int len);
    int* CopyVector(const int* vec, int len);
    void DivideVector(double* pNum, const double* pDenom, int len);
    void FreeArrays();
    void CheckLengths();

    double* m_pObservedResult;
    int m_observedResultSize;
    double* m_pNullResult;
    int m_nullResultSize;
    double* m_pXX;
    int m_xxlen;
    double* m_pXK;
    int m_xklen;
    double* m_pMu;
    int m_mulen;
    double* m_pSigma;
    int m_sigmalen;
    double* m_pSigma0;
    int m_sigma0len;
    double* m_pMuBS;
    int m_mubslen;
    double* m_pSigmaBS;
    int m_sigmabslen;
    double* m_pSigma0BS;
    int m_sigma0bslen;
    int* m_pID;
    int m_idlen;
    int* m_pNGrp;
    int m_ngrplen;
    double* m_pRes;
    int m_reslen;
    int* m_pVV;
    int m_vvlen;
    int* m_pNii;
    int m_niilen;
    long32 m_m;
    long32 m_n;
    long32 m_k;
    long32 m_B;
    long32 m_m0;
    int32_t m_threads;
    // The null (slot kOdpNull): kOdpNullResampled (columns of the residuals, rescaled) or
    // kOdpNullDrawn (nullODPDraw with the priors and keys below).
    int m_nullKind;
    COdpVariancePrior m_draw, m_alt, m_null;
    int* m_pKeys;
    int m_keyslen;
    // Dimension of the null's residual space for data in coordinates; 0 otherwise.
    long32 m_dims;
    double* m_pNullRss1;
};

#endif
