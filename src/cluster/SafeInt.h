#ifndef LUMO_SAFEINT_H
#define LUMO_SAFEINT_H

#include <stdexcept>
#include <type_traits>

// Overflow-checked arithmetic on an unsigned integer type, used for every
// memory-size computation. Errors are thrown as a pointer to a heap-allocated
// std::out_of_range; the catcher deletes it.
template <typename T> class CSafeInt
{
    static_assert(std::is_unsigned<T>::value, "CSafeInt works on unsigned types");

public:
    static T Add(T a, T b)
    {
        T c = static_cast<T>(a + b);
        if (c < a || c < b)
            throw new std::out_of_range("Add argument out of range");
        return c;
    }

    // Every product that does not fit in T is rejected: the quotient test
    // catches wraps that land above both operands as well as below them.
    static T Multiply(T a, T b)
    {
        if (a == 0 || b == 0)
            return 0;
        T c = static_cast<T>(a * b);
        if (c / a != b)
            throw new std::out_of_range("Multiply argument out of range");
        return c;
    }

    static T Divide(T a, T b)
    {
        if (b == 0)
            throw new std::out_of_range("Divide argument out of range");
        return a / b;
    }

    static T Mod(T a, T b)
    {
        if (b == 0)
            throw new std::out_of_range("Mod argument out of range");
        return a % b;
    }
};

extern template class CSafeInt<unsigned long long>;

#endif
