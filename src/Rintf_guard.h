#ifndef LUMO_RINTF_GUARD_H
#define LUMO_RINTF_GUARD_H

// The one way an error of the native library reaches R. Every .Call, .C and
// .Fortran entry point runs its body through GuardedCall (GuardedVoidCall):
// the body throws, every C++ frame unwinds, and only then, from the guard's
// own frame, which holds nothing but a character buffer, the R error is raised.
//
// What the body throws becomes the R error's text by one table
// (DescribeCurrentException):
//   CRError and its kinds (CArgError) -> its text
//   CStopRequest (the user interrupted a synchronous run, polled through
//     R_ToplevelExec so that R's own jump never crosses a C++ frame)
//                                     -> the entry's interrupted message
//   std::bad_alloc                    -> the entry's out-of-memory message
//   CClusterException* (deleted)      -> the engine's message, or the memory
//                                        message for its memory failures
//   any other std::exception          -> its what()
//   anything else                     -> the entry's unknown-error message
//
// A body may still call R's allocators, whose errors jump: only where no C++
// object that owns memory is alive in the body (the result is built after
// the work), or inside R_UnwindProtect (see RunJobForR).

#include <Rinternals.h>

#include <cstdarg>
#include <cstddef>
#include <stdexcept>
#include <string>

// An error with the exact text R shows.
class CRError : public std::runtime_error
{
public:
    explicit CRError(const std::string& message) : std::runtime_error(message) {}
};

// A printf-formatted message, cut at kGuardMessageSize - 1 characters.
std::string FormatMessage(const char* format, va_list ap);

// Throws CRError with a printf-formatted message.
[[noreturn]] void ThrowRError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The texts of the failures the table cannot tell from the exception alone.
struct SGuardMessages
{
    const char* interrupted;
    const char* outOfMemory;
    const char* unknown;
};

// "computation was interrupted", "Out of memory", "unknown error".
extern const SGuardMessages kGuardMessages;

// Writes the text of the exception being handled into buf. Only inside a
// catch block.
void DescribeCurrentException(const SGuardMessages& messages, char* buf, std::size_t size);

const std::size_t kGuardMessageSize = 1024;

// Runs body (returning SEXP) and returns its value; what it throws is raised
// as an R error after the body's frames are gone.
template <class Body> SEXP GuardedCall(Body body, const SGuardMessages& messages = kGuardMessages)
{
    char message[kGuardMessageSize];
    try {
        return body();
    } catch (...) {
        DescribeCurrentException(messages, message, sizeof message);
    }
    Rf_error("%s", message);
}

// GuardedCall of a body that returns nothing: the .C and .Fortran routines.
template <class Body> void GuardedVoidCall(Body body, const SGuardMessages& messages = kGuardMessages)
{
    char message[kGuardMessageSize];
    try {
        body();
        return;
    } catch (...) {
        DescribeCurrentException(messages, message, sizeof message);
    }
    Rf_error("%s", message);
}

#endif
