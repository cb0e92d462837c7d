#ifndef LUMO_GTEST_TIMECOURSE_HELPERS_H
#define LUMO_GTEST_TIMECOURSE_HELPERS_H

#include <cmath>
#include <random>
#include <vector>

#include "lumo.h"

namespace tc
{
// A 0-based offset matrix filled from rows (or a constant), as the kernels take it.
struct Mat
{
    long32 rows, cols;
    CDoubleMatrix m;
    Mat(long32 r, long32 c, double value = 0.0) : rows(r), cols(c), m(r, c)
    {
        for (long32 i = 0; i < r; i++)
            for (long32 j = 0; j < c; j++)
                m.get()[i][j] = value;
    }
    Mat(const std::vector<std::vector<double>>& v) : Mat((long32)v.size(), v.empty() ? 0 : (long32)v[0].size())
    {
        for (long32 i = 0; i < rows; i++)
            for (long32 j = 0; j < cols; j++)
                m.get()[i][j] = v[i][j];
    }
    double* operator[](long32 i) const { return m.get()[i]; }
    operator double**() const { return m.get(); }
};

inline std::vector<std::vector<double>> RandomRows(long32 r, long32 c, unsigned seed, double sd = 1.0)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> norm(0.0, sd);
    std::vector<std::vector<double>> v(r, std::vector<double>(c));
    for (auto& row : v)
        for (auto& x : row)
            x = norm(gen);
    return v;
}

// Column-major copy of rows, as R hands a matrix over.
template <class T> std::vector<T> ColumnMajor(const std::vector<std::vector<T>>& rows)
{
    const size_t r = rows.size(), c = rows.empty() ? 0 : rows[0].size();
    std::vector<T> out(r * c);
    for (size_t i = 0; i < r; i++)
        for (size_t j = 0; j < c; j++)
            out[i + j * r] = rows[i][j];
    return out;
}

// Projection matrix onto the columns of X (n x p, full column rank), by the
// normal equations solved with Gauss-Jordan elimination.
inline std::vector<std::vector<double>> Projection(const std::vector<std::vector<double>>& X)
{
    const size_t n = X.size(), p = X[0].size();
    std::vector<std::vector<double>> A(p, std::vector<double>(2 * p, 0.0));
    for (size_t a = 0; a < p; a++) {
        for (size_t b = 0; b < p; b++)
            for (size_t i = 0; i < n; i++)
                A[a][b] += X[i][a] * X[i][b];
        A[a][p + a] = 1.0;
    }
    for (size_t c = 0; c < p; c++) {
        double piv = A[c][c];
        for (auto& x : A[c])
            x /= piv;
        for (size_t r = 0; r < p; r++) {
            if (r == c)
                continue;
            double f = A[r][c];
            for (size_t k = 0; k < 2 * p; k++)
                A[r][k] -= f * A[c][k];
        }
    }
    std::vector<std::vector<double>> H(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; i++)
        for (size_t j = 0; j < n; j++)
            for (size_t a = 0; a < p; a++)
                for (size_t b = 0; b < p; b++)
                    H[i][j] += X[i][a] * A[a][p + b] * X[j][b];
    return H;
}

// One progress report as a kernel hands it to the callback.
struct Report
{
    double max, current;
    int msgid;
};

inline void Record(void* arg, double max, double current, int msgid)
{
    static_cast<std::vector<Report>*>(arg)->push_back(Report{max, current, msgid});
}

// The currents at which the reported progress moved on from start; long EM
// fits re-send unchanged figures in between.
inline std::vector<double> Advances(const std::vector<Report>& reports, double start = 0.0)
{
    std::vector<double> out;
    double last = start;
    for (const Report& r : reports) {
        if (r.current != last)
            out.push_back(r.current);
        last = r.current;
    }
    return out;
}

inline bool SameBits(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}
} // namespace tc

#endif
