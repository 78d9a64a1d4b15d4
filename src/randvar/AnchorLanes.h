// The normal and Weibull predictors' anchors (InverseCdfModels.h) for
// kAnchorBatch probabilities at once, and the searches' first zones: the
// parts of the searches that do not depend on their paths, in vector lanes.
#pragma once

#include <cstdint>

#include "randvar/InverseCdfModels.h"
#include "randvar/LaneMath.h"

namespace rbo::icdf {

/// The code that computes the lanes: generic (whatever the build targets),
/// or for processors with AVX2 or AVX-512 (x86-64 with GCC or Clang only).
enum class ELaneCode : unsigned char { kGeneric, kAvx2, kAvx512 };

/// A normal or lognormal variable whose zones the lanes place too: its
/// parameters (of ln x for a lognormal) and the searches' tolerance.
struct CLaneNormal {
  double dMu, dSigma, dTol;
  bool bLognormal = false;
};

/// How many probabilities one call takes: enough groups of kLanes that the
/// processor overlaps the groups' long chains of dependent operations.
inline constexpr int kAnchorBatch = 64;

/// The anchors of kAnchorBatch probabilities, value by value, and for a
/// normal or lognormal variable the first zone of each search
/// (CPredictedSearch::PlaceZone).
struct CErfcAnchors {
  double u1[kAnchorBatch], e1[kAnchorBatch], slope[kAnchorBatch], curvature[kAnchorBatch];
  double lowFactor[kAnchorBatch], highFactor[kAnchorBatch];
  // Conditions as lane masks (nonzero: true), stored as the lanes give them.
  std::int64_t bValid[kAnchorBatch];  ///< false: the anchor lies outside (0, 26], where the lanes' exp does not reach
  double xa[kAnchorBatch], xb[kAnchorBatch];         ///< the zone (xa, xb)
  double A[kAnchorBatch], B[kAnchorBatch];           ///< CDF <= A below the zone, >= B above it
  std::int64_t bZone[kAnchorBatch];                  ///< p is covered, the zone placed and it decides the tests
  double xc[kAnchorBatch], xd[kAnchorBatch];         ///< every CDF value over [xc, xd] is close to p (xc > xd: none)
  double root[kAnchorBatch], logRoot[kAnchorBatch];  ///< lognormal: the root estimate exp(Lr) and Lr

  TErfcAnchor<double> At(int i) const { return {u1[i], e1[i], slope[i], curvature[i], lowFactor[i], highFactor[i]}; }
};

/// A Weibull variable whose anchors and zones the lanes form: its
/// parameters and the searches' tolerance.
struct CLaneWeibull {
  double dGamma, dEta, dBeta, dTol;
};

/// The Weibull predictor's anchors z0 = y0^(1/beta) of kAnchorBatch values
/// y0 = -ln(1 - p), by the lanes' log and exp (y0 within kLanesY0Error, z0
/// with its kappa, LanesWeibullKappa), and the first zone of each search.
struct CWeibullAnchors {
  double y0[kAnchorBatch], z0[kAnchorBatch], kappa[kAnchorBatch], anchorWidth[kAnchorBatch];
  std::int64_t bValid[kAnchorBatch];  ///< p in the lanes' domain, y0 a positive normal double, ln(y0) / beta within the
                                      ///< lanes' exp
  double xa[kAnchorBatch], xb[kAnchorBatch];  ///< the zone (xa, xb)
  double A[kAnchorBatch], B[kAnchorBatch];    ///< CDF <= A below the zone, >= B above it
  std::int64_t bZone[kAnchorBatch];           ///< p is covered, the zone placed and it decides the tests

  /// The model of value i with its p.
  TWeibullAnchor<double> At(int i, double p) const { return {y0[i], z0[i], 1.0 - p, kappa[i], anchorWidth[i]}; }
};

/// The anchors and zones for the probabilities p[i]; where a value is not
/// valid the scalar Prepare decides, where its zone is not placed
/// PlaceZone.
void WeibullAnchorsOf(const double (&p)[kAnchorBatch], const CLaneWeibull& v, CWeibullAnchors& anchors);

/// The same with the given code; false (nothing written) when this build or
/// processor lacks it.
bool WeibullAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                        CWeibullAnchors& anchors);

/// The anchors for the probabilities p[i] (0 < p < 1): value i as
/// ErfcAnchorAt(CNormalFitPredictor::AnchorFor(p[i])) gives it but for the
/// exp of the lanes (within ErfcAnchorAt's bounds).  Where a value is not
/// valid the scalar Prepare decides.  With pNormal, also the zones of that
/// variable's searches at the first width PlaceZone tries (a lognormal's
/// root by the lanes' exp).  Runs the best code the processor has.
void ErfcAnchorsOf(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& anchors);

/// The same with the given code; false (nothing written) when this build or
/// processor lacks it.
bool ErfcAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneNormal* pNormal,
                     CErfcAnchors& anchors);

}  // namespace rbo::icdf
