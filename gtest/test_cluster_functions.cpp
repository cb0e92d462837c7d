// Distance and merge functions on node data vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ClusterException.h"
#include "cluster_helpers.h"
#include "ClusterNode.h"
#include "VectorDataFunctions.h"

typedef std::vector<double> Vec;


static std::pair<int, std::string> Err(int id, const char* m)
{
    return std::make_pair(id, std::string(m));
}

TEST(Euclidean, Values)
{
    Vec x{0, 0}, y{3, 4};
    CClusterNode a(&x, 0), b(&y, 1);
    CEuclidean d;
    EXPECT_EQ(d.Distance(&a, &b), 5.0);
    EXPECT_EQ(d.Distance(&b, &a), 5.0);
    EXPECT_EQ(d.Distance(&a, &a), 0.0);
    EXPECT_EQ(d.GetMemoryRequirement(), 88u);
}

TEST(Euclidean, Errors)
{
    Vec x{1, 2}, y{1, 2, 3}, empty;
    CClusterNode a(&x, 0), b(&y, 1), none(0, 2), e(&empty, 3);
    CEuclidean d;
    EXPECT_EQ(ClusterError([&] { d.Distance(0, &a); }), Err(4, "pNode1 is NULL"));
    EXPECT_EQ(ClusterError([&] { d.Distance(&a, 0); }), Err(4, "pNode2 is NULL"));
    EXPECT_EQ(ClusterError([&] { d.Distance(&none, &a); }), Err(4, "pData1 is NULL"));
    EXPECT_EQ(ClusterError([&] { d.Distance(&a, &none); }), Err(4, "pData2 is NULL"));
    EXPECT_EQ(ClusterError([&] { d.Distance(&e, &e); }), Err(5, "pData1->size() == 0"));
    EXPECT_EQ(ClusterError([&] { d.Distance(&a, &b); }), Err(5, "pData1->size() != pData2->size()"));
}

TEST(Correlation, Values)
{
    Vec x{1, 2, 3}, y{2, 4, 6}, z{3, 2, 1}, w{1, 3, 2};
    CClusterNode a(&x, 0), b(&y, 1), c(&z, 2), d(&w, 3);
    CCorrelation corr(4);
    EXPECT_NEAR(corr.Distance(&a, &b), 0.0, 1e-15);
    EXPECT_NEAR(corr.Distance(&a, &c), 2.0, 1e-15);
    EXPECT_NEAR(corr.Distance(&a, &d), 0.5, 1e-15);
    // Cached statistics give the same values on repeated calls.
    EXPECT_NEAR(corr.Distance(&d, &a), 0.5, 1e-15);
    EXPECT_EQ(corr.GetMemoryRequirement(), 17u * 7u);
}

TEST(Correlation, RoundingGuardReturnsExactlyOne)
{
    // Search for a scaled copy whose correlation rounds above 1.
    CCorrelation corr(200);
    bool found = false;
    for (int k = 0; k < 200 && !found; ++k)
    {
        Vec x, y;
        for (int i = 0; i < 7; ++i)
        {
            double v = std::sin(1.0 + i * (k + 1) * 0.37) * 1e3 + 0.1 * k;
            x.push_back(v);
            y.push_back(v * 3.1 + 7.3);
        }
        double ax = 0, ay = 0;
        for (int i = 0; i < 7; ++i)
        {
            ax += x[i];
            ay += y[i];
        }
        ax /= 7;
        ay /= 7;
        double sxy = 0, sxx = 0, syy = 0;
        for (int i = 0; i < 7; ++i)
        {
            sxy += (x[i] - ax) * (y[i] - ay);
            sxx += (x[i] - ax) * (x[i] - ax);
            syy += (y[i] - ay) * (y[i] - ay);
        }
        double r = sxy / (std::sqrt(sxx) * std::sqrt(syy));
        if (r > 1.0)
        {
            found = true;
            CCorrelation fresh(2);
            CClusterNode a(&x, 0), b(&y, 1);
            EXPECT_EQ(fresh.Distance(&a, &b), 0.0);
        }
    }
    EXPECT_TRUE(found) << "no data set rounding above 1 was found";
}

TEST(Correlation, Errors)
{
    const std::pair<int, std::string> outside = Err(5, "correlation value was outside the range (-1, 1)");
    Vec x{1, 2, 3}, flat{5, 5, 5}, y{1, 2}, empty;
    CClusterNode a(&x, 0), f(&flat, 1), b(&y, 2), none(0, 3), e(&empty, 4);
    CCorrelation corr(3);
    EXPECT_EQ(ClusterError([&] { corr.Distance(&a, &f); }), outside);
    EXPECT_EQ(ClusterError([&] { corr.Distance(&f, &f); }), outside);
    EXPECT_EQ(ClusterError([&] { corr.Distance(&e, &e); }), outside);
    EXPECT_EQ(ClusterError([&] { corr.Distance(&a, &b); }), Err(5, "pData1->size() != pData2->size()"));
    EXPECT_EQ(ClusterError([&] { corr.Distance(0, &a); }), Err(4, "pNode1 is NULL"));
    EXPECT_EQ(ClusterError([&] { corr.Distance(&a, 0); }), Err(4, "pNode2 is NULL"));
    EXPECT_EQ(ClusterError([&] { corr.Distance(&none, &a); }), Err(4, "pData1 is NULL"));
    EXPECT_EQ(ClusterError([&] { corr.Distance(&a, &none); }), Err(4, "pData2 is NULL"));
    Vec nan{1, std::numeric_limits<double>::quiet_NaN(), 3};
    CClusterNode n(&nan, 0);
    CCorrelation corr2(2);
    EXPECT_EQ(ClusterError([&] { corr2.Distance(&n, &a); }), outside);
}

TEST(Correlation, NodeIndexOutsideTheCache)
{
    Vec x{1, 2, 3}, y{3, 1, 2};
    CClusterNode a(&x, 0), far(&y, 5), negative(&y, -1);
    CCorrelation corr(3); // node indices 0 ... 4
    EXPECT_EQ(ClusterError([&] { corr.Distance(&a, &far); }).first, 5);
    EXPECT_EQ(ClusterError([&] { corr.Distance(&negative, &a); }).first, 5);
    CCorrelation none(0);
    EXPECT_EQ(none.GetMemoryRequirement(), 0u);
    EXPECT_EQ(ClusterError([&] { none.Distance(&a, &a); }).first, 5);
}

TEST(CentroidLinkage, WeightsByLeafCount)
{
    Vec x{0, 0}, y{9, 9}, z{0, 0}, m{3, 3};
    CClusterNode a(&x, 0), b(&y, 1), c(&z, 2);
    CClusterNode bc(&m, 3, &b, &c);
    CCentroidLinkage link;
    std::unique_ptr<Vec> r(static_cast<Vec*>(link.CombineData(&a, &bc)));
    EXPECT_EQ(*r, (Vec{2, 2}));
    std::unique_ptr<Vec> r2(static_cast<Vec*>(link.CombineData(&bc, &a)));
    EXPECT_EQ(*r2, (Vec{2, 2}));
    std::unique_ptr<Vec> r3(static_cast<Vec*>(link.CombineData(&a, &b)));
    EXPECT_EQ(*r3, (Vec{4.5, 4.5}));
    EXPECT_EQ(link.GetMemoryRequirement(), 88u);
}

TEST(CombineFunctions, Errors)
{
    Vec x{1, 2}, y{1, 2, 3};
    CClusterNode a(&x, 0), b(&y, 1), none(0, 2);
    CCentroidLinkage link;
    CAddVectors add;
    CCombineDataFunction* fs[] = {&link, &add};
    for (CCombineDataFunction* f : fs)
    {
        EXPECT_EQ(ClusterError([&] { f->CombineData(0, &a); }), Err(4, "pNode1 is NULL"));
        EXPECT_EQ(ClusterError([&] { f->CombineData(&a, 0); }), Err(4, "pNode2 is NULL"));
        EXPECT_EQ(ClusterError([&] { f->CombineData(&none, &a); }), Err(4, "pData1 is NULL"));
        EXPECT_EQ(ClusterError([&] { f->CombineData(&a, &none); }), Err(4, "pData2 is NULL"));
        EXPECT_EQ(ClusterError([&] { f->CombineData(&a, &b); }), Err(5, "pData1->size() != pData2->size()"));
    }
}

TEST(AddVectors, Sum)
{
    Vec x{1, 2}, y{10, 20};
    CClusterNode a(&x, 0), b(&y, 1);
    CAddVectors add;
    std::unique_ptr<Vec> r(static_cast<Vec*>(add.CombineData(&a, &b)));
    EXPECT_EQ(*r, (Vec{11, 22}));
    EXPECT_EQ(add.GetMemoryRequirement(), 88u);
}
