// The inverse distribution's view of a variable (type, parameters, the mean
// and standard deviation its bracketing starts from, the limits of its
// support), for the tests and benchmarks that run the library's search
// template with a counting CDF.
#pragma once

#include "randvar/InverseCdfSearch.h"
#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace rbotest {

inline rbo::icdf::CSearchVariable SearchVariableOf(CRandVar& v) {
  return {v.GetType(),
          v.GetParam1(),
          v.GetParam2(),
          v.GetParam3(),
          v.GetActualMean(),
          v.GetActualStdDev(),
          CRandVarInternals::LowLimit(v),
          CRandVarInternals::UpLimit(v)};
}

}  // namespace rbotest
