// R entry points of the hierarchical clustering: a background job
// (StartClusteringThread / FinishClusteringThread) and a synchronous call
// (Cluster), both returning the tree in the merge / height / order layout of
// R's hclust (order 0-based).
//
// Every entry point runs through GuardedCall: the checks and the C++ work
// throw, whatever was built is released as the frames unwind, and the guard
// raises the R error after them.

#include "Rintf_cluster.h"

#include "RArgs.h"
#include "Rintf_guard.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "BasicCluster.h"
#include "ClusterException.h"
#include "ClusterThread.h"
#include "EisenOrdering.h"
#include "OptimalOrdering.h"
#include "Rintf_threads.h"
#include "VectorDataFunctions.h"
#include "threads/InterruptCheck.h"
#include "threads/ProgressThread.h"

namespace
{
// Refuses a method code that names no method (NA included).
[[noreturn]] void ThrowUnknownCode(const char* what, int code, const char* known)
{
    char text[16];
    if (code == NA_INTEGER)
        std::snprintf(text, sizeof text, "NA");
    else
        std::snprintf(text, sizeof text, "%d", code);
    ThrowArgError("%s method %s is unknown (%s)", what, text, known);
}

// First element as an integer; NA when missing or not convertible.
int ScalarInt(SEXP x)
{
    return Rf_length(x) >= 1 ? Rf_asInteger(x) : NA_INTEGER;
}

// rows and cols: NA, too small or too large for node indices is an error.
void CheckSizes(int rows, int cols)
{
    if (rows == NA_INTEGER)
        ThrowArgError("rows is not defined");
    if (cols == NA_INTEGER)
        ThrowArgError("cols is not defined");
    if (rows < 2)
        ThrowArgError("rows must be at least 2 to cluster, not %d", rows);
    if (cols < 1)
        ThrowArgError("cols must be positive, not %d", cols);
    if (rows > INT_MAX / 2)
        ThrowArgError("%s", CLUSTER_MEMORY_MESSAGE);
}

// The data as a double vector of at least rows x cols values (protected by the caller).
SEXP DataArg(SEXP sexpData)
{
    int type = TYPEOF(sexpData);
    if (type != REALSXP && type != INTSXP && type != LGLSXP)
        ThrowArgError("data must be a numeric vector, not %s", Rf_type2char(type));
    return Rf_coerceVector(sexpData, REALSXP);
}

void CheckDataLength(SEXP data, int rows, int cols)
{
    double needed = (double)rows * (double)cols;
    if ((double)Rf_xlength(data) < needed)
        ThrowArgError("data has %.0f values; rows x cols = %.0f are needed", (double)Rf_xlength(data), needed);
}

// The four integer arguments of a clustering call, with the sizes checked
// against each other and against the data (already coerced by DataArg).
struct SClusterArgs
{
    int rows;
    int cols;
    int orderMethod;
    int distanceMethod;
};

SClusterArgs ClusterArgs(SEXP data, SEXP sexpRows, SEXP sexpCols, SEXP sexpOrderMethod, SEXP sexpDistanceMethod)
{
    SClusterArgs a;
    a.rows = ScalarInt(sexpRows);
    a.cols = ScalarInt(sexpCols);
    a.orderMethod = ScalarInt(sexpOrderMethod);
    a.distanceMethod = ScalarInt(sexpDistanceMethod);
    CheckSizes(a.rows, a.cols);
    CheckDataLength(data, a.rows, a.cols);
    if (a.orderMethod != NONE && a.orderMethod != EISEN && a.orderMethod != OPTIMAL)
        ThrowUnknownCode("ordering", a.orderMethod, "0 none, 1 by weight, 2 optimal");
    if (a.distanceMethod != EUCLIDEAN && a.distanceMethod != CORRELATION)
        ThrowUnknownCode("distance", a.distanceMethod, "0 Euclidean, 1 correlation");
    return a;
}

// The three output vectors must have their final storage type (a coerced
// copy would receive the results and be thrown away) and room for n leaves.
void CheckOutputs(SEXP merge, SEXP height, SEXP order, int n)
{
    if (TYPEOF(merge) != INTSXP)
        ThrowArgError("merge must be an integer vector, not %s", Rf_type2char(TYPEOF(merge)));
    if (TYPEOF(height) != REALSXP)
        ThrowArgError("height must be a double vector, not %s", Rf_type2char(TYPEOF(height)));
    if (TYPEOF(order) != INTSXP)
        ThrowArgError("order must be an integer vector, not %s", Rf_type2char(TYPEOF(order)));
    if (Rf_xlength(merge) < 2 * (R_xlen_t)(n - 1))
        ThrowArgError("merge has length %.0f; 2 * (rows - 1) = %d are needed", (double)Rf_xlength(merge), 2 * (n - 1));
    if (Rf_xlength(height) < (R_xlen_t)(n - 1))
        ThrowArgError("height has length %.0f; rows - 1 = %d are needed", (double)Rf_xlength(height), n - 1);
    if (Rf_xlength(order) < (R_xlen_t)n)
        ThrowArgError("order has length %.0f; rows = %d are needed", (double)Rf_xlength(order), n);
}

// Child code in R's merge convention: -(row + 1) for a leaf, the 1-based merge
// step for a merged node.
int ChildCode(CClusterNode* pChild, int n)
{
    int j = pChild->GetIndex() + 1;
    return j > n ? j - n : -j;
}

CClusterNode* MergedNode(CBasicCluster* pEngine, int n, int i)
{
    CClusterNode* pNode = pEngine->GetNodeByIndex(n + i);
    if (pNode == nullptr || pNode->GetLeftChild() == nullptr || pNode->GetRightChild() == nullptr)
        throw new CClusterException(4, "sanity check failed");
    return pNode;
}

void FillMerge(CBasicCluster* pEngine, int n, int* pMerge)
{
    for (int i = 0; i < n - 1; ++i) {
        CClusterNode* pNode = MergedNode(pEngine, n, i);
        pMerge[i] = ChildCode(pNode->GetLeftChild(), n);
        pMerge[i + n - 1] = ChildCode(pNode->GetRightChild(), n);
    }
}

void FillHeight(CBasicCluster* pEngine, int n, double* pHeight)
{
    CDistanceFunction* pDist = pEngine->GetDistanceFunction();
    for (int i = 0; i < n - 1; ++i) {
        CClusterNode* pNode = MergedNode(pEngine, n, i);
        pHeight[i] = pDist->Distance(pNode->GetLeftChild(), pNode->GetRightChild());
    }
}

// The leaves left to right; a tree with another leaf count than n is an
// engine fault (the collector drops what does not fit).
void FillOrder(CClusterNode* pRoot, int n, int* pOrder)
{
    CLeafOrdering collect(pOrder, n);
    pRoot->WalkLeaves(&collect);
    if (collect.GetCount() != n)
        throw new CClusterException(4, "sanity check failed");
}

// The method codes are checked by ClusterArgs; an unknown one is refused here too.
CDistanceFunction* NewDistance(int distanceMethod, int rows)
{
    if (distanceMethod == CORRELATION)
        return new CCorrelation(rows);
    if (distanceMethod == EUCLIDEAN)
        return new CEuclidean();
    ThrowUnknownCode("distance", distanceMethod, "0 Euclidean, 1 correlation");
}

COrdering* NewOrdering(int orderMethod)
{
    if (orderMethod == EISEN)
        return new CEisenOrdering();
    if (orderMethod == OPTIMAL)
        return new COptimalOrdering();
    if (orderMethod == NONE)
        return nullptr;
    ThrowUnknownCode("ordering", orderMethod, "0 none, 1 by weight, 2 optimal");
}

// The guard's texts of the clustering entry points.
SGuardMessages ClusterMessages(const char* unknown)
{
    return SGuardMessages{"Clustering was interrupted", CLUSTER_MEMORY_MESSAGE, unknown};
}

// Objects of one clustering run that are not yet owned by a job.
struct SRun
{
    CDistanceFunction* pDist = nullptr;
    CCombineDataFunction* pCombine = nullptr;
    CBasicCluster* pEngine = nullptr;
    COrdering* pOrdering = nullptr;
    std::vector<double>** ppRows = nullptr;
    int rows = 0;
    CClusterNode* pRoot = nullptr;

    ~SRun()
    {
        delete pOrdering;
        DeleteClusterTree(pRoot);
        delete pEngine; // with its distance matrix and node table
        DeleteRowData(ppRows, rows);
        delete pDist;
        delete pCombine;
    }
};

// Builds a started-ready clustering job; throws on failure, having released
// what it built.
CClusterThread* BuildClusterJob(const double* pData, int rows, int cols, int orderMethod, int distanceMethod)
{
    SRun run;
    run.rows = rows;
    run.pDist = NewDistance(distanceMethod, rows);
    run.pOrdering = NewOrdering(orderMethod);
    run.pCombine = new CCentroidLinkage();
    run.pEngine = new CBasicCluster(run.pDist, run.pCombine);
    // The probe runs before the rows are copied, so that an oversized
    // request fails at once without copying the matrix.
    run.pEngine->CheckMemory((unsigned long long)cols * 8ULL, (unsigned long long)rows);
    run.ppRows = VectorizeRMatrix(pData, rows, cols);
    CClusterThread* pJob = new CClusterThread(run.pEngine, run.ppRows, rows, run.pOrdering, true);
    // The job owns them now.
    if (run.pOrdering != nullptr)
        run.pOrdering->SetCallback(&UpdateProgressThreadProgress, pJob);
    run.pEngine->SetCallback(&UpdateProgressThreadProgress, pJob);
    run.pDist = nullptr;
    run.pCombine = nullptr;
    run.pEngine = nullptr;
    run.pOrdering = nullptr;
    run.ppRows = nullptr;
    return pJob;
}

// The synchronous run: merge before the ordering, order and height after it.
// A short allocation throws the message of its stage.
void RunClustering(const double* pData, int rows, int cols, int orderMethod, int distanceMethod, int* pMerge,
                   double* pHeight, int* pOrder)
{
    const char* stage = CLUSTER_MEMORY_MESSAGE;
    CInterruptCheck interrupt(&RUserInterrupted, nullptr);
    try {
        SRun run;
        run.rows = rows;
        stage = "Out of memory! Could not allocate distance object";
        run.pDist = NewDistance(distanceMethod, rows);
        stage = CLUSTER_MEMORY_MESSAGE;
        run.pCombine = new CCentroidLinkage();
        run.pEngine = new CBasicCluster(run.pDist, run.pCombine);
        // R's interrupt (Ctrl-C) ends a synchronous clustering: the progress
        // reports ask R, on R's own thread at a bounded rate.
        run.pEngine->SetCallback(&InterruptCheckCallback, &interrupt);
        run.pEngine->CheckMemory((unsigned long long)cols * 8ULL, (unsigned long long)rows);
        run.ppRows = VectorizeRMatrix(pData, rows, cols);
        run.pRoot = run.pEngine->Cluster(reinterpret_cast<void**>(run.ppRows), rows);
        if (run.pRoot == nullptr)
            throw new CClusterException(1, "Ran out of memory.");
        FillMerge(run.pEngine, rows, pMerge);
        if (orderMethod == EISEN || orderMethod == OPTIMAL) {
            stage = "Out of memory! Could not allocate ordering object";
            run.pOrdering = NewOrdering(orderMethod);
            stage = CLUSTER_MEMORY_MESSAGE;
            run.pOrdering->SetCallback(&InterruptCheckCallback, &interrupt);
            run.pOrdering->OrderLeaves(run.pRoot, run.pEngine->GetDistanceMatrix());
            delete run.pOrdering;
            run.pOrdering = nullptr;
        }
        FillOrder(run.pRoot, rows, pOrder);
        FillHeight(run.pEngine, rows, pHeight);
    } catch (const std::bad_alloc&) {
        throw CRError(stage);
    }
}

// Merge, height and order of a finished job's tree, which its ordering has
// already oriented.
void FillFromJob(CClusterThread* pJob, int* pMerge, double* pHeight, int* pOrder)
{
    CBasicCluster* pEngine = dynamic_cast<CBasicCluster*>(pJob->GetClusterer());
    if (pEngine == nullptr)
        throw new CClusterException(4, "sanity check failed");
    const int n = pJob->GetDataCount();
    FillMerge(pEngine, n, pMerge);
    FillHeight(pEngine, n, pHeight);
    FillOrder(pJob->GetResult(), n, pOrder);
}
} // namespace

void CLeafOrdering::Go(CClusterNode* pNode)
{
    if (m_current < m_capacity)
        m_pOrder[m_current] = pNode->GetIndex();
    ++m_current;
}

std::vector<double>** VectorizeRMatrix(const double* rmatrix, int nrow, int ncol)
{
    std::vector<double>** ppRows = new std::vector<double>*[nrow]();
    try {
        for (int r = 0; r < nrow; ++r) {
            ppRows[r] = new std::vector<double>();
            ppRows[r]->reserve(static_cast<std::size_t>(ncol));
        }
        for (int c = 0; c < ncol; ++c) {
            const double* column = rmatrix + static_cast<std::size_t>(c) * nrow;
            for (int r = 0; r < nrow; ++r)
                ppRows[r]->push_back(column[r]);
        }
    } catch (...) {
        DeleteRowData(ppRows, nrow);
        throw;
    }
    return ppRows;
}

// ---------------------------------------------------------------- entry points

extern "C" SEXP StartClusteringThread(SEXP sexpData, SEXP sexpRows, SEXP sexpCols, SEXP sexpOrderMethod,
                                      SEXP sexpDistanceMethod)
{
    return GuardedCall(
        [&]() {
            SEXP data = PROTECT(DataArg(sexpData));
            const SClusterArgs a = ClusterArgs(data, sexpRows, sexpCols, sexpOrderMethod, sexpDistanceMethod);
            CClusterThread* pJob = BuildClusterJob(REAL(data), a.rows, a.cols, a.orderMethod, a.distanceMethod);
            UNPROTECT(1);
            // Starts the worker and registers the job, or destroys it and throws.
            return StartJobForR(pJob);
        },
        ClusterMessages("Unknown error while setting up the clustering"));
}

extern "C" SEXP FinishClusteringThread(SEXP sthreadid, SEXP sexpMerge, SEXP sexpHeight, SEXP sexpOrder)
{
    return GuardedCall(
        [&]() {
            CClusterThread* pJob = LookupJobOfKindForR<CClusterThread>(
                sthreadid, "Could not get information for thread id %d", "a clustering job");
            const int threadid = pJob->GetJobId();
            RequireFinishedForR(pJob);
            if (pJob->GetReturnStatus() != 0)
                throw CRError("An error occurred during clustering: " + pJob->GetErrorMessage());
            if (pJob->GetResult() == nullptr)
                ThrowRError("Result tree is null for thread id %d", threadid);
            if (pJob->GetClusterer() == nullptr)
                ThrowRError("Clustering object is null for thread id %d", threadid);

            const int n = pJob->GetDataCount();
            CheckOutputs(sexpMerge, sexpHeight, sexpOrder, n);
            FillFromJob(pJob, INTEGER(sexpMerge), REAL(sexpHeight), INTEGER(sexpOrder));
            return Rf_allocVector(INTSXP, 0);
        },
        ClusterMessages("Unknown error while reading the clustering"));
}

extern "C" SEXP Cluster(SEXP sexpData, SEXP sexpRows, SEXP sexpCols, SEXP sexpMerge, SEXP sexpHeight, SEXP sexpOrder,
                        SEXP sexpOrderMethod, SEXP sexpDistanceMethod)
{
    return GuardedCall(
        [&]() {
            SEXP data = PROTECT(DataArg(sexpData));
            const SClusterArgs a = ClusterArgs(data, sexpRows, sexpCols, sexpOrderMethod, sexpDistanceMethod);
            CheckOutputs(sexpMerge, sexpHeight, sexpOrder, a.rows);
            RunClustering(REAL(data), a.rows, a.cols, a.orderMethod, a.distanceMethod, INTEGER(sexpMerge),
                          REAL(sexpHeight), INTEGER(sexpOrder));
            // The content of the result carries no information; the outputs hold the tree.
            SEXP result = PROTECT(Rf_allocVector(INTSXP, 23));
            std::memset(INTEGER(result), 0, 23 * sizeof(int));
            UNPROTECT(2);
            return result;
        },
        ClusterMessages("Unknown error during clustering"));
}

extern "C" SEXP GetPhysicalMemory(void)
{
    return GuardedCall([]() { return Rf_ScalarReal((double)CCluster::PhysicalMemory()); });
}
