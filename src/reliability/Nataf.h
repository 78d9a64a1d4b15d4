// The Nataf correction of a correlation: the correlation of two normal
// variables that, mapped through two marginal distributions, gives the
// wanted correlation of the physical variables.
#pragma once

#include <string>

#include "rbo/RandVar.h"

namespace rbo::reliability::nataf {

/// Correlation of x_a = F_a^-1(Phi(z_a)) and x_b = F_b^-1(Phi(z_b)) when z_a
/// and z_b are standard normal with correlation rho0 (Gauss-Hermite
/// quadrature, exact for two normal variables).
double PhysicalCorrelation(const CRandVar& a, const CRandVar& b, double rho0);

/// The rho0 in [-1, 1] whose PhysicalCorrelation is rho (a monotone
/// function of rho0).  Returns false, with the range the two distributions
/// can reach in *pLow and *pHigh, when rho is beyond it.
bool NormalCorrelation(const CRandVar& a, const CRandVar& b, double rho, double* pRho0, double* pLow, double* pHigh);

}  // namespace rbo::reliability::nataf
