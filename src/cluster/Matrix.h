#ifndef LUMO_MATRIX_H
#define LUMO_MATRIX_H

// Symmetric matrix of distances between cluster nodes, indexed by node index.
class CMatrix
{
public:
    CMatrix();
    virtual ~CMatrix();

    virtual void SetValue(int i, int j, double value) = 0;
    virtual double GetValue(int i, int j) = 0;

private:
    CMatrix(const CMatrix&);
    CMatrix& operator=(const CMatrix&);
};

#endif
