#ifndef LUMO_RARGS_H
#define LUMO_RARGS_H

// The argument lists of the native analyses: the slot of every element, the
// name R gives it, and the readers that check and copy them. This is the one
// place in C++ that knows list positions; the R side mirrors it in
// R/native.R (checked by tools/check-contract.sh).
//
// Slots count from 1, as R does. A list is read by position; when it carries
// names, each name must be the one of its slot, so that two elements of the
// same type and length cannot change places unnoticed. Every reader throws
// CArgError, never an R error: the entry point's guard raises it once the C++
// frames are gone.

#include <Rinternals.h>

#include <string>

#include "Rintf_guard.h"
#include "lumo.h"

// An argument an entry point cannot use; what() is the R error's text.
class CArgError : public CRError
{
public:
    explicit CArgError(const std::string& message) : CRError(message) {}
};

// Throws CArgError with a printf-formatted message.
[[noreturn]] void ThrowArgError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------- slots

// RunODP. Slots 2 to 7 are not read. 25 to 28 are optional: the null (a list
// of 24 asks for the resampled one), for the drawn null its priors and keys,
// and for a design with covariates the dimension of the null's residual space
// (the data then come in its coordinates; see nullODPDraw).
enum EOdpSlot
{
    kOdpB = 1,
    kOdpXX = 8,
    kOdpXK,
    kOdpMu,
    kOdpSigma,
    kOdpSigma0,
    kOdpMuBS,
    kOdpSigmaBS,
    kOdpSigma0BS,
    kOdpID,
    kOdpNGrp,
    kOdpRes,
    kOdpVV,
    kOdpNii,
    kOdpM,
    kOdpN,
    kOdpK,
    kOdpM0,
    kOdpNull,
    kOdpPriors,
    kOdpKeys,
    kOdpDims,
    // 1: also return each null data set's residual sum of squares about its
    // group means ("rss1"); the drawn null only.
    kOdpRss
};

// Values of kOdpNull.
enum
{
    kOdpNullResampled = 0,
    kOdpNullDrawn = 1
};

// The time-course designs share the slots of B, m, n, the fit, v, H0 and H1;
// each design reads some of the others. Slots no design reads are left out.
enum ETimecourseSlot
{
    kTcB = 1,
    kTcM = 5,
    kTcN = 6,
    kTcInd = 10,
    kTcFit = 11,
    kTcV = 12,
    kTcH0 = 13,
    kTcH1 = 14,
    kTcResIndep = 16, // independent design
    kTcResInt = 17,   // random intercept
    kTcResNoInt = 18, // fixed intercept
    kTcRmv = 19,
    kTcAlpha = 20,
    kTcEps = 21,
    kTcWsq = 22,
    kTcIndividuals = 23,
    kTcV1 = 24,
    kTcInc = 25,
    kTcIdx = 26,
    kTcNGrp = 27,
    // Optional, every design: 1 asks the job to return, beside each null F,
    // the residual sum of squares of its alternative fit ("rss1").
    kTcRss = 28,
    // Random intercept fitted per gene by maximum likelihood: the designs of
    // the alternative and the null (n x p, column-major). Optional, both or
    // neither; without them the models are fitted by EM through H1 and H0.
    kTcX1 = 29,
    kTcX0 = 30
};

// The name R gives the element at a slot.
struct SSlotName
{
    int slot;
    const char* name;
};

// One argument list: required slots 1..required, optional ones up to count,
// and the names of the slots a job reads; every other slot is nameless (""),
// and R fills it with 0L.
struct SArgContract
{
    const char* entry; // the entry point, e.g. "RunODP"
    int required;
    int count;
    const SSlotName* slots;
    int named;

    // The name of a slot, "" for one no job reads.
    const char* Name(int slot) const;
};

extern const SArgContract kOdpContract;
extern const SArgContract kIndepContract;
extern const SArgContract kNoIntContract;
extern const SArgContract kIntContract;

// ---------------------------------------------------------------- readers

// Throws "length of '%s' is %d; expected %d" (a CArgError) when the lengths differ.
void CheckLength(long32 actLength, const char* argName, long32 expLength);
// Product of sizes as a double, for length rules that must not overflow.
inline double SizeProduct(double a, double b)
{
    return a * b;
}
// Largest R vector length the library accepts for an array it copies.
long32 CheckedLength(double length, const char* what);

// An argument list with its contract. Building it checks that the list is a
// list of at least the required length and that its names, if any, are those
// of the contract. Its messages name the slot ("arglist[[8]] ('xx') ...").
class CArgList
{
public:
    CArgList(SEXP list, const SArgContract& contract);

    int Length() const { return m_length; }
    // The list must have at least length elements (beyond the required ones).
    void RequireLength(int length) const;
    bool Has(int slot) const { return slot <= m_length; }
    SEXP Element(int slot) const { return VECTOR_ELT(m_list, slot - 1); }
    const char* Name(int slot) const { return m_contract.Name(slot); }
    // R length of the element as a double, and as R's int.
    double LengthOf(int slot) const { return (double)Rf_xlength(Element(slot)); }
    int IntLengthOf(int slot) const { return Rf_length(Element(slot)); }

    // ---- checks, each throwing CArgError
    // The element must be a double (an integer) vector; returns it.
    SEXP Double(int slot) const;
    SEXP Integer(int slot) const;
    // First element of an integer vector; missing, NA or negative is refused.
    long32 Size(int slot) const;
    // First element of a double vector; missing or NA is refused.
    double ScalarDouble(int slot) const;
    // The length must be at least minLength.
    void MinLength(int slot, double minLength) const;
    // The length must be expected; rule names the rule in the message.
    void LengthRule(int slot, const char* rule, double expected) const;
    // Every entry of the integer vector lies in lo..hi (NA is out of range).
    void IndexRange(int slot, long32 lo, long32 hi) const;
    // The first N counts are non-negative and add up to n.
    void GroupSizes(int slot, long32 N, long32 n) const;
    // N individuals may not exceed n arrays.
    void Individuals(int slot, long32 N, long32 n) const;

    // ---- reading a checked list into a job; arrays come from array new
    // (std::bad_alloc when short) with *len, if given, their R length.
    double* CopyDouble(int slot, int* len = 0) const;
    int* CopyInteger(int slot, int* len = 0) const;
    long32 IntegerValue(int slot) const { return INTEGER(Element(slot))[0]; }
    double DoubleValue(int slot) const { return REAL(Element(slot))[0]; }
    const double* Doubles(int slot) const { return REAL(Element(slot)); }

private:
    SEXP m_list;
    const SArgContract& m_contract;
    int m_length;
};

// ---------------------------------------------------------------- the checks of each list
// Every check of a list before any C++ object is built: the R types, the
// sizes, the length rules of the job and every length and index the kernels
// read. Each throws CArgError naming the first element the job cannot use.
void ValidateOdpArgs(const CArgList& a);
// The part of ValidateOdpArgs that makes the list safe to copy: the sizes and
// the R types of the arrays.
void ValidateOdpTypes(const CArgList& a);
void ValidateIndepArgs(const CArgList& a);
void ValidateNoIntArgs(const CArgList& a);
void ValidateIntArgs(const CArgList& a);
// The optional designs X1 and X0 of the random-intercept list (part of
// ValidateIntArgs once idx and nGrp have passed); n arrays, N individuals.
void ValidateIntDesigns(const CArgList& a, long32 n, long32 N);

// Mode argument of the Run* entry points: FALSE runs synchronously; TRUE, NA
// or an empty vector starts a background job.
bool IsBackgroundMode(SEXP startThread);

#endif
