// The table from exception type to R error text of every entry point.

#include "Rintf_guard.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "ClusterException.h"
#include "ClusterThread.h"
#include "threads/ProgressThread.h"

const SGuardMessages kGuardMessages = {"computation was interrupted", "Out of memory", "unknown error"};

std::string FormatMessage(const char* format, va_list ap)
{
    char message[kGuardMessageSize];
    std::vsnprintf(message, sizeof message, format, ap);
    return message;
}

void ThrowRError(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    const std::string message = FormatMessage(format, ap);
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
