#include "TimecourseNoIntercept.h"

#include "MathUtility.h"
#include "RInterfaces.h"

// List positions (1-based) of the longitudinal design without intercept.
namespace
{
enum
{
    kB = 1,
    kM = 5,
    kN = 6,
    kInd = 10,
    kFit = 11,
    kV = 12,
    kH0 = 13,
    kH1 = 14,
    kRes = 18,
    kRmv = 19,
    kWsq = 22,
    kIndividuals = 23,
    kInc = 25,
    kIdx = 26,
    kNGrp = 27,
    kMinLength = 27
};
} // namespace

void CTimecourseNoIntercept::CheckArgList(SEXP arglist)
{
    const Sizes s = CheckCommonArgs(arglist, kMinLength, "fit", kRes);
    const long32 m = s.m, n = s.n, B = s.B;
    SEXP rmv = ArgInteger(arglist, kRmv, "rmv");
    SEXP inc = ArgInteger(arglist, kInc, "inc");
    SEXP wsq = ArgDouble(arglist, kWsq, "wsq");
    SEXP ind = ArgInteger(arglist, kInd, "ind");
    SEXP idx = ArgInteger(arglist, kIdx, "idx");
    const long32 N = ArgSize(arglist, kIndividuals, "N");
    SEXP nGrp = ArgInteger(arglist, kNGrp, "nGrp");
    CheckIndividuals(kIndividuals, N, n);

    const long32 nr = n - N; // reduced residuals per gene
    const long32 mn = CheckedLength(SizeProduct(m, n), "fit");
    const long32 mr = CheckedLength(SizeProduct(m, nr), "res");
    const long32 rB = CheckedLength(SizeProduct(nr, B), "v");
    const long32 nn = CheckedLength(SizeProduct(n, n), "H0");
    const long32 rr = CheckedLength(SizeProduct(nr, nr), "wsq");
    CheckLength(ArgLength(arglist, kFit), "fit", mn);
    CheckLength(ArgLength(arglist, kRes), "res", mr);
    CheckLength(ArgLength(arglist, kV), "v", rB);
    CheckLength(Rf_length(rmv), "rmv", N);
    CheckLength(Rf_length(inc), "inc", nr);
    CheckLength(ArgLength(arglist, kH1), "H1", nn);
    CheckLength(ArgLength(arglist, kH0), "H0", nn);
    CheckLength(Rf_length(wsq), "wsq", rr);
    CheckLength(Rf_length(ind), "ind", n);
    CheckLength(Rf_length(idx), "idm_", n);
    CheckLength(Rf_length(nGrp), "nGrp", N);

    // v picks reduced residuals; rmv, inc and idx name data columns.
    CheckIndexRange(arglist, kV, "v", 0, nr - 1);
    CheckIndexRange(arglist, kRmv, "rmv", 0, n - 1);
    CheckIndexRange(arglist, kInc, "inc", 0, n - 1);
    CheckIndexRange(arglist, kIdx, "idx", 0, n - 1);
    CheckGroupSizes(arglist, kNGrp, "nGrp", N, n);
}

CTimecourseNoIntercept::CTimecourseNoIntercept(SEXP arglist)
    : m_pFit(0), m_pRes(0), m_pv(0), m_prmv(0), m_pInc(0), m_pH0(0), m_pH1(0), m_pwsq(0), m_pInd(0), m_pIdx(0),
      m_m(0), m_n(0), m_N(0), m_pNGrp(0), m_B(0), m_pResult(0)
{
    try {
        m_pFit = CopyDoubleArg(arglist, kFit);
        m_pRes = CopyDoubleArg(arglist, kRes);
        m_pv = CopyIntegerArg(arglist, kV);
        m_prmv = CopyIntegerArg(arglist, kRmv);
        m_pInc = CopyIntegerArg(arglist, kInc);
        m_pH1 = CopyDoubleArg(arglist, kH1);
        m_pH0 = CopyDoubleArg(arglist, kH0);
        m_pwsq = CopyDoubleArg(arglist, kWsq);
        m_pInd = CopyIntegerArg(arglist, kInd);
        m_pIdx = CopyIntegerArg(arglist, kIdx);
        m_m = IntegerArgValue(arglist, kM);
        m_n = IntegerArgValue(arglist, kN);
        m_N = IntegerArgValue(arglist, kIndividuals);
        m_pNGrp = CopyIntegerArg(arglist, kNGrp);
        m_B = IntegerArgValue(arglist, kB);
        m_pResult = NewResult(m_m, m_B);
    } catch (...) {
        Release();
        throw;
    }
}

CTimecourseNoIntercept::~CTimecourseNoIntercept()
{
    Release();
}

void CTimecourseNoIntercept::Release()
{
    delete[] m_pFit;
    delete[] m_pRes;
    delete[] m_pv;
    delete[] m_prmv;
    delete[] m_pInc;
    delete[] m_pH0;
    delete[] m_pH1;
    delete[] m_pwsq;
    delete[] m_pInd;
    delete[] m_pIdx;
    delete[] m_pNGrp;
    delete[] m_pResult;
}

int CTimecourseNoIntercept::Go(pthread_t)
{
    lumo::CWorkerPool pool(m_threads);
    nullFLongNoInt(m_pFit, m_pRes, m_pv, m_prmv, m_pInc, m_pH1, m_pH0, m_pwsq, m_pInd, m_pIdx, &m_m, &m_n, &m_N,
                   m_pNGrp, &m_B, m_pResult, &UpdateProgressThreadProgress, this, pool);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
