// The table from exception type to R error text of every entry point.

#include "Rintf_guard.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "ClusterException.h"
#include "ClusterThread.h"
#include "RArgs.h"
#include "threads/ProgressThread.h"

const SGuardMessages kGuardMessages = {"computation was interrupted", "Out of memory", "unknown error"};

void ThrowRError(const char* format, ...)
{
    char message[kGuardMessageSize];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    throw CRError(message);
}

namespace
{
void Copy(char* buf, std::size_t size, const char* text)
{
    std::snprintf(buf, size, "%s", text);
}
} // namespace

void DescribeCurrentException(const SGuardMessages& messages, char* buf, std::size_t size)
{
    try {
        throw;
    } catch (const CRError& e) {
        Copy(buf, size, e.what());
    } catch (const CStopRequest&) {
        Copy(buf, size, messages.interrupted);
    } catch (const std::bad_alloc&) {
        Copy(buf, size, messages.outOfMemory);
    } catch (CClusterException* e) {
        try {
            Copy(buf, size, e->Id() == 1 ? CLUSTER_MEMORY_MESSAGE : e->Message().c_str());
        } catch (...) {
            Copy(buf, size, CLUSTER_MEMORY_MESSAGE);
        }
        delete e;
    } catch (const std::exception& e) {
        Copy(buf, size, e.what());
    } catch (...) {
        Copy(buf, size, messages.unknown);
    }
}

extern "C" SEXP GuardProbe(SEXP kind)
{
    static const SGuardMessages probeMessages = {"probe was interrupted", "probe ran out of memory",
                                                 "probe failed in an unknown way"};
    return GuardedCall(
        [&]() {
            if (TYPEOF(kind) != STRSXP || Rf_length(kind) != 1)
                throw CArgError("kind must be one string");
            const char* k = CHAR(STRING_ELT(kind, 0));
            double value;
            {
                std::vector<double> held(1 << 16, 1.0); // released only if the frames unwind
                if (std::strcmp(k, "argument") == 0)
                    ThrowArgError("probe: bad argument %d", 1);
                if (std::strcmp(k, "error") == 0)
                    throw CRError("probe: failed");
                if (std::strcmp(k, "memory") == 0)
                    throw std::bad_alloc();
                if (std::strcmp(k, "interrupt") == 0)
                    throw CStopRequest();
                if (std::strcmp(k, "engine") == 0)
                    throw new CClusterException(5, "probe: engine fault");
                if (std::strcmp(k, "engine-memory") == 0)
                    throw new CClusterException(1, "probe: engine memory");
                if (std::strcmp(k, "standard") == 0)
                    throw std::length_error("probe: length");
                if (std::strcmp(k, "other") == 0)
                    throw 42;
                if (std::strcmp(k, "none") != 0)
                    ThrowArgError("unknown probe kind '%s'", k);
                value = held.back();
            }
            return Rf_ScalarReal(value);
        },
        probeMessages);
}
