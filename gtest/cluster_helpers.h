#ifndef LUMO_GTEST_CLUSTER_HELPERS_H
#define LUMO_GTEST_CLUSTER_HELPERS_H

#include <string>
#include <utility>

#include "ClusterException.h"

// Runs f and returns the id and message of the CClusterException it threw
// (released here), or (0, "") when it threw none.
template <typename F> std::pair<int, std::string> ClusterError(F f)
{
    try {
        f();
    } catch (CClusterException* e) {
        std::pair<int, std::string> r(e->Id(), e->Message());
        delete e;
        return r;
    }
    return std::make_pair(0, std::string());
}

#endif
