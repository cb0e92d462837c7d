// The argument contracts of the native analyses and their readers.

#include "RArgs.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "InterceptFit.h"
#include "MathUtility.h"

void ThrowArgError(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    const std::string message = FormatMessage(format, ap);
    va_end(ap);
    throw CArgError(message);
}

// ---------------------------------------------------------------- contracts

namespace
{
const SSlotName kOdpSlots[] = {{kOdpB, "B"},
                               {kOdpXX, "xx"},
                               {kOdpXK, "xk"},
                               {kOdpMu, "mu"},
                               {kOdpSigma, "sigma"},
                               {kOdpSigma0, "sigma0"},
                               {kOdpMuBS, "muBS"},
                               {kOdpSigmaBS, "sigmaBS"},
                               {kOdpSigma0BS, "sigma0BS"},
                               {kOdpID, "ID"},
                               {kOdpNGrp, "nGrp"},
                               {kOdpRes, "res"},
                               {kOdpVV, "vv"},
                               {kOdpNii, "nii"},
                               {kOdpM, "m"},
                               {kOdpN, "n"},
                               {kOdpK, "k"},
                               {kOdpM0, "m0"},
                               {kOdpNull, "null"},
                               {kOdpPriors, "priors"},
                               {kOdpKeys, "keys"},
                               {kOdpDims, "dims"},
                               {kOdpRss, "rss"}};
// B, m, n, v, H0 and H1 of every design come first.
const SSlotName kIndepSlots[] = {{kTcB, "B"},   {kTcM, "m"},      {kTcN, "n"},          {kTcV, "v"},    {kTcH0, "H0"},
                                 {kTcH1, "H1"}, {kTcFit, "fit0"}, {kTcResIndep, "res"}, {kTcRss, "rss"}};
const SSlotName kNoIntSlots[] = {{kTcB, "B"},          {kTcM, "m"},     {kTcN, "n"},       {kTcV, "v"},
                                 {kTcH0, "H0"},        {kTcH1, "H1"},   {kTcFit, "fit"},   {kTcInd, "ind"},
                                 {kTcResNoInt, "res"}, {kTcRmv, "rmv"}, {kTcWsq, "wsq"},   {kTcIndividuals, "N"},
                                 {kTcInc, "inc"},      {kTcIdx, "idx"}, {kTcNGrp, "nGrp"}, {kTcRss, "rss"}};
const SSlotName kIntSlots[] = {
    {kTcB, "B"},     {kTcM, "m"},     {kTcN, "n"},        {kTcV, "v"},         {kTcH0, "H0"},   {kTcH1, "H1"},
    {kTcFit, "fit"}, {kTcInd, "ind"}, {kTcResInt, "res"}, {kTcAlpha, "alpha"}, {kTcEps, "eps"}, {kTcIndividuals, "N"},
    {kTcV1, "v1"},   {kTcIdx, "idx"}, {kTcNGrp, "nGrp"},  {kTcRss, "rss"},     {kTcX1, "X1"},   {kTcX0, "X0"}};

template <int N> constexpr int Count(const SSlotName (&)[N])
{
    return N;
}
} // namespace

const SArgContract kOdpContract = {"RunODP", kOdpM0, kOdpRss, kOdpSlots, Count(kOdpSlots)};
const SArgContract kIndepContract = {"RunTimecourseIndep", kTcResIndep, kTcRss, kIndepSlots, Count(kIndepSlots)};
const SArgContract kNoIntContract = {"RunTimecourseNoInt", kTcNGrp, kTcRss, kNoIntSlots, Count(kNoIntSlots)};
const SArgContract kIntContract = {"RunTimecourseInt", kTcNGrp, kTcX0, kIntSlots, Count(kIntSlots)};

const char* SArgContract::Name(int slot) const
{
    for (int i = 0; i < named; i++)
        if (slots[i].slot == slot)
            return slots[i].name;
    return "";
}

// ---------------------------------------------------------------- readers

void CheckLength(long32 actLength, const char* argName, long32 expLength)
{
    if (actLength != expLength)
        ThrowArgError("length of '%s' is %d; expected %d", argName, (int)actLength, (int)expLength);
}

long32 CheckedLength(double length, const char* what)
{
    if (length > (double)INT_MAX)
        ThrowArgError("%s needs %.0f elements; at most %d are supported", what, length, INT_MAX);
    return (long32)length;
}

static const char* TypeName(SEXP x)
{
    return Rf_type2char(TYPEOF(x));
}

CArgList::CArgList(SEXP list, const SArgContract& contract) : m_list(list), m_contract(contract), m_length(0)
{
    if (TYPEOF(list) != VECSXP)
        ThrowArgError("arglist must be a list (length(arglist)>=%d)", contract.required);
    m_length = Rf_length(list);
    if (m_length < contract.required)
        ThrowArgError("length(arglist)>=%d is required; arglist has %d elements", contract.required, m_length);
    SEXP names = Rf_getAttrib(list, R_NamesSymbol);
    if (names == R_NilValue)
        return; // read by position
    const int named = m_length < contract.count ? m_length : contract.count;
    for (int slot = 1; slot <= named; slot++) {
        const char* given = CHAR(STRING_ELT(names, slot - 1));
        if (std::strcmp(given, Name(slot)) != 0)
            ThrowArgError("arglist[[%d]] is named '%s'; %s expects '%s' there", slot, given, contract.entry,
                          Name(slot));
    }
}

void CArgList::RequireLength(int length) const
{
    if (m_length < length)
        ThrowArgError("length(arglist)>=%d is required; arglist has %d elements", length, m_length);
}

SEXP CArgList::Double(int slot) const
{
    SEXP x = Element(slot);
    if (TYPEOF(x) != REALSXP)
        ThrowArgError("arglist[[%d]] ('%s') must be a double vector, not %s", slot, Name(slot), TypeName(x));
    return x;
}

SEXP CArgList::Integer(int slot) const
{
    SEXP x = Element(slot);
    if (TYPEOF(x) != INTSXP)
        ThrowArgError("arglist[[%d]] ('%s') must be an integer vector, not %s", slot, Name(slot), TypeName(x));
    return x;
}

long32 CArgList::Size(int slot) const
{
    SEXP x = Integer(slot);
    if (Rf_length(x) < 1)
        ThrowArgError("arglist[[%d]] ('%s') must hold a size, but is empty", slot, Name(slot));
    const int v = INTEGER(x)[0];
    if (v == NA_INTEGER)
        ThrowArgError("arglist[[%d]] ('%s') must be a size, not NA", slot, Name(slot));
    if (v < 0)
        ThrowArgError("arglist[[%d]] ('%s') must be a non-negative size, not %d", slot, Name(slot), v);
    return v;
}

double CArgList::ScalarDouble(int slot) const
{
    SEXP x = Double(slot);
    if (Rf_length(x) < 1)
        ThrowArgError("arglist[[%d]] ('%s') must hold a number, but is empty", slot, Name(slot));
    const double v = REAL(x)[0];
    if (ISNAN(v))
        ThrowArgError("arglist[[%d]] ('%s') must be a number, not NA", slot, Name(slot));
    return v;
}

void CArgList::MinLength(int slot, double minLength) const
{
    const double len = LengthOf(slot);
    if (len < minLength)
        ThrowArgError("arglist[[%d]] ('%s') has length %.0f; at least %.0f needed", slot, Name(slot), len, minLength);
}

void CArgList::LengthRule(int slot, const char* rule, double expected) const
{
    const double len = LengthOf(slot);
    if (len != expected)
        ThrowArgError("arglist[[%d]] ('%s') has length %.0f; %s requires %.0f", slot, Name(slot), len, rule, expected);
}

void CArgList::IndexRange(int slot, long32 lo, long32 hi) const
{
    SEXP x = Integer(slot);
    const R_xlen_t n = Rf_xlength(x);
    const int* p = INTEGER(x);
    for (R_xlen_t i = 0; i < n; i++) {
        if (p[i] == NA_INTEGER || p[i] < lo || p[i] > hi)
            ThrowArgError("arglist[[%d]] ('%s'): entry %.0f is out of range %d..%d", slot, Name(slot), (double)(i + 1),
                          (int)lo, (int)hi);
    }
}

void CArgList::GroupSizes(int slot, long32 N, long32 n) const
{
    const int* p = INTEGER(Element(slot));
    long long total = 0;
    for (long32 l = 0; l < N; l++) {
        if (p[l] == NA_INTEGER || p[l] < 0)
            ThrowArgError("arglist[[%d]] ('%s'): entry %d must be a non-negative count", slot, Name(slot), (int)l + 1);
        total += p[l];
    }
    if (total != n)
        ThrowArgError("arglist[[%d]] ('%s') adds up to %.0f; expected n = %d", slot, Name(slot), (double)total, (int)n);
}

void CArgList::Individuals(int slot, long32 N, long32 n) const
{
    if (N > n)
        ThrowArgError("arglist[[%d]] ('%s') is %d; it may not exceed n = %d", slot, Name(slot), (int)N, (int)n);
}

double* CArgList::CopyDouble(int slot, int* len) const
{
    SEXP x = Element(slot);
    if (len != 0)
        *len = Rf_length(x);
    return CMathUtility::CopyVector(REAL(x), Rf_length(x));
}

int* CArgList::CopyInteger(int slot, int* len) const
{
    SEXP x = Element(slot);
    if (len != 0)
        *len = Rf_length(x);
    return CMathUtility::CopyVector(INTEGER(x), Rf_length(x));
}

// ---------------------------------------------------------------- ODP

// The kind of null, and for the drawn null its priors and the keys of the random streams.
static void ValidateOdpDrawArgs(const CArgList& a, long32 B, long32 m0, long32 n, long32 k)
{
    const long32 kind = a.Size(kOdpNull);
    if (kind != kOdpNullResampled && kind != kOdpNullDrawn)
        ThrowArgError("arglist[[%d]] ('%s') must be %d (resampled) or %d (drawn), not %d", (int)kOdpNull,
                      a.Name(kOdpNull), kOdpNullResampled, kOdpNullDrawn, (int)kind);
    if (a.Has(kOdpRss) && a.Size(kOdpRss) > (kind == kOdpNullDrawn ? 1 : 0))
        ThrowArgError("arglist[[%d]] ('%s') must be 0%s", (int)kOdpRss, a.Name(kOdpRss),
                      kind == kOdpNullDrawn ? " or 1" : " with the resampled null");
    if (kind != kOdpNullDrawn)
        return;
    a.RequireLength(kOdpKeys);
    SEXP priors = a.Double(kOdpPriors);
    if (Rf_length(priors) != 6)
        ThrowArgError("arglist[[%d]] ('%s') must hold 6 numbers (df and variance of three priors), not %d",
                      (int)kOdpPriors, a.Name(kOdpPriors), Rf_length(priors));
    for (int p = 0; p < 6; p += 2) {
        const double df = REAL(priors)[p], var = REAL(priors)[p + 1];
        if (ISNAN(df) || df < 0 || (df > 0 && !(std::isfinite(var) && var > 0)))
            ThrowArgError("arglist[[%d]] ('%s'): prior %d needs df >= 0 and, with df > 0, a positive finite "
                          "variance",
                          (int)kOdpPriors, a.Name(kOdpPriors), p / 2 + 1);
    }
    if (m0 > 0 && n - k < 1)
        ThrowArgError("the drawn null needs more arrays than groups (n = %d, k = %d)", (int)n, (int)k);
    a.Integer(kOdpKeys);
    a.LengthRule(kOdpKeys, "B x 2 keys", SizeProduct(B, 2));
    if (a.Has(kOdpDims)) {
        // Coordinates of the null's residual space: more of them than of the
        // alternative's part, and no more than the arrays (or coordinates) the
        // likelihoods count.
        const long32 dims = a.Size(kOdpDims);
        if (dims > 0 && (dims <= k || dims > n))
            ThrowArgError("arglist[[%d]] ('%s') is %d; it must exceed k = %d and not exceed n = %d", (int)kOdpDims,
                          a.Name(kOdpDims), (int)dims, (int)k, (int)n);
    }
}

void ValidateOdpTypes(const CArgList& a)
{
    static const int sizes[] = {kOdpB, kOdpM, kOdpN, kOdpK, kOdpM0};
    for (int slot : sizes)
        a.Size(slot);
    static const struct
    {
        int slot;
        bool isDouble;
    } arrays[] = {{kOdpXX, true},   {kOdpXK, true},      {kOdpMu, true},       {kOdpSigma, true}, {kOdpSigma0, true},
                  {kOdpMuBS, true}, {kOdpSigmaBS, true}, {kOdpSigma0BS, true}, {kOdpID, false},   {kOdpNGrp, false},
                  {kOdpRes, true},  {kOdpVV, false},     {kOdpNii, false}};
    for (const auto& e : arrays) {
        if (e.isDouble)
            a.Double(e.slot);
        else
            a.Integer(e.slot);
    }
}

void ValidateOdpArgs(const CArgList& a)
{
    ValidateOdpTypes(a);
    const long32 B = a.IntegerValue(kOdpB);
    const long32 m = a.IntegerValue(kOdpM);
    const long32 n = a.IntegerValue(kOdpN);
    const long32 k = a.IntegerValue(kOdpK);
    const long32 m0 = a.IntegerValue(kOdpM0);
    if (m0 > m)
        ThrowArgError("arglist[[%d]] ('%s') is %d; it cannot exceed the number of genes m = %d", (int)kOdpM0,
                      a.Name(kOdpM0), (int)m0, (int)m);
    CheckedLength(SizeProduct(m, n), "the resampled data (m*n)");
    CheckedLength(SizeProduct(m, k), "the group sums (m*k)");
    CheckedLength(SizeProduct(m0, B), "the null statistics (m0*B)");

    a.LengthRule(kOdpXX, "m_xxlen == m_m", m);
    a.LengthRule(kOdpXK, "m_xklen == m_m*m_k", SizeProduct(m, k));
    a.LengthRule(kOdpSigma, "m_sigmalen == m_m", m);
    a.LengthRule(kOdpID, "m_idlen == m_n*m_k", SizeProduct(n, k));
    a.LengthRule(kOdpNGrp, "m_ngrplen == m_k", k);
    a.LengthRule(kOdpRes, "m_reslen == m_m0*m_n", SizeProduct(m0, n));
    a.LengthRule(kOdpVV, "m_vvlen == m_B*m_n", SizeProduct(B, n));

    a.MinLength(kOdpMu, SizeProduct(m, k));
    a.MinLength(kOdpSigma0BS, m0);
    a.MinLength(kOdpNii, m0);
    if (m > 0)
        a.IndexRange(kOdpNii, 0, m - 1);
    else if (a.LengthOf(kOdpNii) > 0)
        ThrowArgError("arglist[[%d]] ('%s') must be empty when there are no genes", (int)kOdpNii, a.Name(kOdpNii));
    if (n > 0)
        a.IndexRange(kOdpVV, 0, n - 1);
    SEXP nii = a.Element(kOdpNii);
    double largest = -1;
    for (R_xlen_t i = 0; i < Rf_xlength(nii); i++)
        if (INTEGER(nii)[i] > largest)
            largest = INTEGER(nii)[i];
    a.MinLength(kOdpSigma0, largest + 1);
    if (a.Has(kOdpNull))
        ValidateOdpDrawArgs(a, B, m0, n, k);
}

// ---------------------------------------------------------------- time course

namespace
{
struct STimecourseSizes
{
    long32 m, n, B;
};

// The checks every design shares: the fit and the residuals at resSlot are
// double vectors, the column map an integer vector, the smoothers double
// vectors; m, n and B are sizes whose m x B result fits R's integer.
STimecourseSizes CheckCommonTimecourseArgs(const CArgList& a, int resSlot)
{
    a.Double(kTcFit);
    a.Double(resSlot);
    a.Integer(kTcV);
    a.Double(kTcH1);
    a.Double(kTcH0);
    STimecourseSizes s;
    s.m = a.Size(kTcM);
    s.n = a.Size(kTcN);
    s.B = a.Size(kTcB);
    CheckedLength(SizeProduct(s.m, s.B), "The result F");
    if (a.Has(kTcRss) && a.Size(kTcRss) > 1)
        ThrowArgError("arglist[[%d]] ('%s') must be 0 or 1", (int)kTcRss, a.Name(kTcRss));
    return s;
}
} // namespace

void ValidateIndepArgs(const CArgList& a)
{
    const STimecourseSizes s = CheckCommonTimecourseArgs(a, kTcResIndep);
    const long32 n = s.n;
    const long32 mn = CheckedLength(SizeProduct(s.m, n), "fit0");
    const long32 nB = CheckedLength(SizeProduct(n, s.B), "v");
    const long32 nn = CheckedLength(SizeProduct(n, n), "H0");
    CheckLength(a.IntLengthOf(kTcFit), "fit0", mn);
    CheckLength(a.IntLengthOf(kTcResIndep), "res", mn);
    CheckLength(a.IntLengthOf(kTcV), "v", nB);
    CheckLength(a.IntLengthOf(kTcH0), "H0", nn);
    CheckLength(a.IntLengthOf(kTcH1), "H1", nn);
    // v picks residual columns.
    a.IndexRange(kTcV, 0, n - 1);
}

void ValidateNoIntArgs(const CArgList& a)
{
    const STimecourseSizes s = CheckCommonTimecourseArgs(a, kTcResNoInt);
    const long32 m = s.m, n = s.n, B = s.B;
    a.Integer(kTcRmv);
    a.Integer(kTcInc);
    a.Double(kTcWsq);
    a.Integer(kTcInd);
    a.Integer(kTcIdx);
    const long32 N = a.Size(kTcIndividuals);
    a.Integer(kTcNGrp);
    a.Individuals(kTcIndividuals, N, n);

    const long32 nr = n - N; // reduced residuals per gene
    const long32 mn = CheckedLength(SizeProduct(m, n), "fit");
    const long32 mr = CheckedLength(SizeProduct(m, nr), "res");
    const long32 rB = CheckedLength(SizeProduct(nr, B), "v");
    const long32 nn = CheckedLength(SizeProduct(n, n), "H0");
    const long32 rr = CheckedLength(SizeProduct(nr, nr), "wsq");
    CheckLength(a.IntLengthOf(kTcFit), "fit", mn);
    CheckLength(a.IntLengthOf(kTcResNoInt), "res", mr);
    CheckLength(a.IntLengthOf(kTcV), "v", rB);
    CheckLength(a.IntLengthOf(kTcRmv), "rmv", N);
    CheckLength(a.IntLengthOf(kTcInc), "inc", nr);
    CheckLength(a.IntLengthOf(kTcH1), "H1", nn);
    CheckLength(a.IntLengthOf(kTcH0), "H0", nn);
    CheckLength(a.IntLengthOf(kTcWsq), "wsq", rr);
    CheckLength(a.IntLengthOf(kTcInd), "ind", n);
    CheckLength(a.IntLengthOf(kTcIdx), "idm_", n);
    CheckLength(a.IntLengthOf(kTcNGrp), "nGrp", N);

    // v picks reduced residuals; rmv, inc and idx name data columns.
    a.IndexRange(kTcV, 0, nr - 1);
    a.IndexRange(kTcRmv, 0, n - 1);
    a.IndexRange(kTcInc, 0, n - 1);
    a.IndexRange(kTcIdx, 0, n - 1);
    a.GroupSizes(kTcNGrp, N, n);
}

namespace
{
// The columns of a design X (n x p, column-major) at slot: at least one, fewer
// than n, and of full column rank with the individuals of group.
long32 DesignColumns(const CArgList& a, int slot, long32 n, long32 N, const int* group)
{
    a.Double(slot);
    const double len = a.LengthOf(slot);
    const double p = n > 0 ? std::floor(len / n) : 0.0;
    if (n == 0 || p < 1 || p * n != len || p >= n)
        ThrowArgError("arglist[[%d]] ('%s') has length %.0f; it must hold 1 to n - 1 = %d columns of n = %d arrays",
                      slot, a.Name(slot), len, (int)n - 1, (int)n);
    const lumo::CInterceptDesign design(a.Doubles(slot), n, (long32)p, N, group);
    if (!design.FullRank())
        ThrowArgError("arglist[[%d]] ('%s') does not have full column rank", slot, a.Name(slot));
    return (long32)p;
}
} // namespace

void ValidateIntDesigns(const CArgList& a, long32 n, long32 N)
{
    a.RequireLength(kTcX0);
    // The fits need every array's individual: idx must name each array once.
    const int* idx = INTEGER(a.Element(kTcIdx));
    const int* nGrp = INTEGER(a.Element(kTcNGrp));
    std::vector<int> group((size_t)n, -1);
    for (long32 l = 0, c = 0; l < N; l++)
        for (int t = 0; t < nGrp[l]; t++, c++) {
            if (group[(size_t)idx[c]] >= 0)
                ThrowArgError("arglist[[%d]] ('%s') names array %d twice; with designs each array is named once",
                              (int)kTcIdx, a.Name(kTcIdx), idx[c]);
            group[(size_t)idx[c]] = (int)l;
        }
    DesignColumns(a, kTcX1, n, N, group.data());
    DesignColumns(a, kTcX0, n, N, group.data());
}

void ValidateIntArgs(const CArgList& a)
{
    const STimecourseSizes s = CheckCommonTimecourseArgs(a, kTcResInt);
    const long32 m = s.m, n = s.n, B = s.B;
    a.Integer(kTcV1);
    a.Double(kTcAlpha);
    a.Integer(kTcInd);
    a.Integer(kTcIdx);
    // The fit iterates until the proxy changes by at most eps: only a
    // positive threshold lets it end before the iteration cap.
    const double eps = a.ScalarDouble(kTcEps);
    if (!(eps > 0.0 && std::isfinite(eps)))
        ThrowArgError("arglist[[%d]] ('%s') must be a positive finite number, not %g", (int)kTcEps, a.Name(kTcEps),
                      eps);
    const long32 N = a.Size(kTcIndividuals);
    SEXP nGrp = a.Integer(kTcNGrp);
    a.Individuals(kTcIndividuals, N, n);

    // The kernel reads m x n data, B x n column maps and n x n smoothers;
    // longer vectors are accepted, their tails unread.
    const double mn = CheckedLength(SizeProduct(m, n), "fit");
    const double nB = CheckedLength(SizeProduct(n, B), "v");
    const double nn = CheckedLength(SizeProduct(n, n), "H0");
    a.MinLength(kTcFit, mn);
    a.MinLength(kTcResInt, mn);
    a.MinLength(kTcV, nB);
    a.MinLength(kTcV1, nB);
    a.MinLength(kTcH1, nn);
    a.MinLength(kTcH0, nn);
    a.MinLength(kTcAlpha, mn);
    a.MinLength(kTcIdx, n);
    // Not read by the computation, but handed on with n entries.
    a.MinLength(kTcInd, n);
    CheckLength(Rf_length(nGrp), "nGrp", N);
    // Every array is copied whole, so none may exceed R's integer length.
    static const int copied[] = {kTcFit, kTcResInt, kTcV, kTcV1, kTcH1, kTcH0, kTcAlpha, kTcInd, kTcIdx};
    for (int slot : copied)
        CheckedLength(a.LengthOf(slot), "An argument vector");

    // v picks residual columns, v1 intercept columns, idx data columns.
    a.IndexRange(kTcV, 0, n - 1);
    a.IndexRange(kTcV1, 0, n - 1);
    a.IndexRange(kTcIdx, 0, n - 1);
    a.GroupSizes(kTcNGrp, N, n);
    if (a.Has(kTcX1))
        ValidateIntDesigns(a, n, N);
}

// ---------------------------------------------------------------- mode

bool IsBackgroundMode(SEXP startThread)
{
    if (Rf_length(startThread) < 1)
        return true;
    const int v = Rf_asLogical(startThread);
    return v != 0; // TRUE or NA
}
