#ifndef LUMO_RANDOMSTREAM_H
#define LUMO_RANDOMSTREAM_H

// Random numbers for the bootstrap kernels, reproducible from a key.
//
// A stream is fixed by a 64-bit key (drawn in R, one per bootstrap iteration,
// so that set.seed fixes it) and a stream number (the gene): every gene of
// every iteration has a stream of its own, so what it draws does not depend
// on the thread that draws it or on the other genes. The generator is
// SplitMix64, whose outputs are a bijective mix of a Weyl sequence.

#include <cmath>
#include <cstdint>

namespace lumo
{
class CRandomStream
{
public:
    CRandomStream(uint64_t key, uint64_t stream)
        : m_state(Mix(key ^ Mix(stream + kGolden))), m_spare(0), m_hasSpare(false)
    {}

    uint64_t Next()
    {
        m_state += kGolden;
        return Mix(m_state);
    }

    // Uniform on the open interval (0, 1), in steps of 2^-53.
    double Uniform() { return ((double)(Next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

    // Standard normal, by the polar method; draws come in pairs.
    double Normal()
    {
        if (m_hasSpare) {
            m_hasSpare = false;
            return m_spare;
        }
        double u, v, s;
        do {
            u = 2.0 * Uniform() - 1.0;
            v = 2.0 * Uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        m_spare = v * f;
        m_hasSpare = true;
        return u * f;
    }

    // Gamma with the given shape (> 0) and scale 1, by Marsaglia and Tsang's
    // squeeze; a shape below 1 is raised by one and corrected with a uniform.
    double Gamma(double shape)
    {
        if (shape < 1.0)
            return Gamma(shape + 1.0) * std::pow(Uniform(), 1.0 / shape);
        const double d = shape - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
        for (;;) {
            double z, v;
            do {
                z = Normal();
                v = 1.0 + c * z;
            } while (v <= 0.0);
            v = v * v * v;
            const double u = Uniform();
            if (u < 1.0 - 0.0331 * (z * z) * (z * z) || std::log(u) < 0.5 * z * z + d * (1.0 - v + std::log(v)))
                return d * v;
        }
    }

    // Chi-square with df (> 0) degrees of freedom.
    double ChiSquare(double df) { return 2.0 * Gamma(0.5 * df); }

private:
    static const uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
    static uint64_t Mix(uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    uint64_t m_state;
    double m_spare;
    bool m_hasSpare;
};
} // namespace lumo

#endif
