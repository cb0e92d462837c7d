#include "Matrix.h"

CMatrix::CMatrix() {}

CMatrix::~CMatrix() {}
