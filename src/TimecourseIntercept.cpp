#include "TimecourseIntercept.h"

#include "MathUtility.h"
#include "RInterfaces.h"

#include <cmath>

// List positions (1-based) of the longitudinal design with intercept.
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
    kRes = 17,
    kAlpha = 20,
    kEps = 21,
    kIndividuals = 23,
    kV1 = 24,
    kIdx = 26,
    kNGrp = 27,
    kMinLength = 27
};
} // namespace

void CTimecourseIntercept::CheckArgList(SEXP arglist)
{
    const Sizes s = CheckCommonArgs(arglist, kMinLength, "fit", kRes);
    const long32 m = s.m, n = s.n, B = s.B;
    ArgInteger(arglist, kV1, "v1");
    ArgDouble(arglist, kAlpha, "alpha");
    ArgInteger(arglist, kInd, "ind");
    ArgInteger(arglist, kIdx, "idx");
    // The fit iterates until the proxy changes by at most eps: only a
    // positive threshold lets it end before the iteration cap.
    const double eps = ArgScalarDouble(arglist, kEps, "eps");
    if (!(eps > 0.0 && std::isfinite(eps)))
        Rf_error("arglist[[%d]] ('eps') must be a positive finite number, not %g", (int)kEps, eps);
    const long32 N = ArgSize(arglist, kIndividuals, "N");
    SEXP nGrp = ArgInteger(arglist, kNGrp, "nGrp");
    CheckIndividuals(kIndividuals, N, n);

    // The kernel reads m x n data, B x n column maps and n x n smoothers;
    // longer vectors are accepted, their tails unread.
    const double mn = CheckedLength(SizeProduct(m, n), "fit");
    const double nB = CheckedLength(SizeProduct(n, B), "v");
    const double nn = CheckedLength(SizeProduct(n, n), "H0");
    CheckMinLength(arglist, kFit, "fit", mn);
    CheckMinLength(arglist, kRes, "res", mn);
    CheckMinLength(arglist, kV, "v", nB);
    CheckMinLength(arglist, kV1, "v1", nB);
    CheckMinLength(arglist, kH1, "H1", nn);
    CheckMinLength(arglist, kH0, "H0", nn);
    CheckMinLength(arglist, kAlpha, "alpha", mn);
    CheckMinLength(arglist, kIdx, "idx", n);
    // Not read by the computation, but handed on with n entries.
    CheckMinLength(arglist, kInd, "ind", n);
    CheckLength(Rf_length(nGrp), "nGrp", N);
    // Every array is copied whole, so none may exceed R's integer length.
    const int copied[] = {kFit, kRes, kV, kV1, kH1, kH0, kAlpha, kInd, kIdx};
    for (int pos : copied)
        CheckedLength((double)Rf_xlength(VECTOR_ELT(arglist, pos - 1)), "An argument vector");

    // v picks residual columns, v1 intercept columns, idx data columns.
    CheckIndexRange(arglist, kV, "v", 0, n - 1);
    CheckIndexRange(arglist, kV1, "v1", 0, n - 1);
    CheckIndexRange(arglist, kIdx, "idx", 0, n - 1);
    CheckGroupSizes(arglist, kNGrp, "nGrp", N, n);
}

CTimecourseIntercept::CTimecourseIntercept(SEXP arglist)
    : m_pFit(0), m_pRes(0), m_pv(0), m_pv1(0), m_pH1(0), m_pH0(0), m_pAlpha1(0), m_pInd(0), m_pIdx(0), m_eps(0.0),
      m_m(0), m_n(0), m_NGrplen(0), m_pNGrp(0), m_N(0), m_B(0), m_pResult(0)
{
    try {
        m_pFit = CopyDoubleArg(arglist, kFit);
        m_pRes = CopyDoubleArg(arglist, kRes);
        m_pv = CopyIntegerArg(arglist, kV);
        m_pv1 = CopyIntegerArg(arglist, kV1);
        m_pH1 = CopyDoubleArg(arglist, kH1);
        m_pH0 = CopyDoubleArg(arglist, kH0);
        m_pAlpha1 = CopyDoubleArg(arglist, kAlpha);
        m_pInd = CopyIntegerArg(arglist, kInd);
        m_pIdx = CopyIntegerArg(arglist, kIdx);
        m_m = IntegerArgValue(arglist, kM);
        m_n = IntegerArgValue(arglist, kN);
        m_eps = REAL(VECTOR_ELT(arglist, kEps - 1))[0];
        m_N = IntegerArgValue(arglist, kIndividuals);
        m_pNGrp = CopyIntegerArg(arglist, kNGrp);
        m_NGrplen = Rf_length(VECTOR_ELT(arglist, kNGrp - 1));
        m_B = IntegerArgValue(arglist, kB);
        m_pResult = NewResult(m_m, m_B);
    } catch (...) {
        Release();
        throw;
    }
}

CTimecourseIntercept::~CTimecourseIntercept()
{
    Release();
}

void CTimecourseIntercept::Release()
{
    delete[] m_pFit;
    delete[] m_pRes;
    delete[] m_pv;
    delete[] m_pv1;
    delete[] m_pH1;
    delete[] m_pH0;
    delete[] m_pAlpha1;
    delete[] m_pInd;
    delete[] m_pIdx;
    delete[] m_pNGrp;
    delete[] m_pResult;
}

int CTimecourseIntercept::Go(pthread_t)
{
    lumo::CWorkerPool pool(m_threads);
    nullFLongInt(m_pFit, m_pRes, m_pv, m_pv1, m_pH1, m_pH0, m_pAlpha1, m_pInd, m_pIdx, &m_eps, &m_m, &m_n, &m_N,
                 m_pNGrp, &m_B, m_pResult, &UpdateProgressThreadProgress, this, pool);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
