// First- and second-order reliability methods: the design point (the most
// probable failure point) of a limit state, the reliability index and the
// probability of failure it implies, and the curvature correction.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "rbo/Export.h"
#include "rbo/reliability/LimitState.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability {

struct FormOptions {
  /// Forward-difference step of the gradient, in standard-space units.
  double fdStep = 1.0e-4;
  /// Converged on the value when |g(u)| <= valueTolerance * |g(u0)| (u0 the
  /// start; an absolute 1e-12 when g(u0) is 0).
  double valueTolerance = 1.0e-6;
  /// Converged on the direction when 1 - |alpha . u / |u|| <= directionTolerance
  /// (alpha the unit normal of the limit state at u).
  double directionTolerance = 1.0e-6;
  /// Iterations of the search at most (each one batch of n + 1 analyses, plus
  /// any line-search steps).
  int maxIterations = 100;
  /// Searches from this many starts: the origin, then points drawn on the
  /// sphere of radius `startRadius` (seeded); the distinct design points
  /// found are all reported.
  int starts = 1;
  double startRadius = 3.0;
  std::uint64_t seed = 1;
  /// The first start in standard space (empty: the origin); a good guess,
  /// such as the design point of a nearby design, saves iterations.
  std::vector<double> start;
};

/// One design point: the point of the limit-state surface g = 0 nearest to
/// the origin of standard space.
struct DesignPoint {
  std::size_t limitState = 0;  ///< which limit state
  bool converged = false;      ///< the search met both criteria; otherwise beta and pof are NaN
  std::string message;         ///< why it did not converge ("" when it did)
  /// Reliability index: |u*|, negative when the origin itself fails.
  double beta = std::numeric_limits<double>::quiet_NaN();
  /// Phi(-beta).
  double pof = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> u;  ///< design point in standard space
  std::vector<double> x;  ///< design point in physical space
  /// Unit vector from the origin towards failure along which beta is
  /// measured (-grad g / |grad g| at u*).
  std::vector<double> alpha;
  /// Importance factors, one per physical variable, summing to 1: alpha_i^2
  /// for independent variables; for correlated ones the squared, normalised
  /// components of alpha^T J (J = du/dz' with z' the equivalent-normal
  /// variables), which attribute the variance of the linearised limit state
  /// to the physical variables.
  std::vector<double> importance;
  std::vector<double> gradient;  ///< grad g in standard space at u*
  double gAtStart = 0.0;         ///< g at the start of the search
  double gAtEnd = 0.0;           ///< g at the last iterate
  int iterations = 0;
  long long analyses = 0;  ///< limit-state evaluations (points) the search spent
};

struct FormResult {
  /// The distinct converged design points, nearest to the origin first
  /// (smallest |beta|); when no search converged, the failed search that
  /// ended closest to the limit state (converged = false).
  std::vector<DesignPoint> designPoints;
  long long analyses = 0;  ///< all searches together
  /// The design point nearest to the origin (designPoints[0]).
  const DesignPoint& Best() const { return designPoints.front(); }
};

/// Searches the design point of limit state `limitState` of g with the
/// improved HL-RF iteration (a merit-function line search) and finite-
/// difference gradients sent as one batch of n + 1 points.  The HL-RF step
/// is corrected by a quasi-Newton (BFGS) estimate of the curvature built
/// from those gradients, at no extra analysis: on a linear limit state it is
/// plain HL-RF, on a strongly curved one it does not zig-zag.  Throws
/// std::invalid_argument for options out of range, for a space without
/// variables and when g returns the wrong number of rows or too few limit
/// states; what g throws passes on.
RBO_API FormResult Form(const StandardSpace& space, const LimitStateFunction& g, std::size_t limitState,
                        const FormOptions& options = FormOptions());

struct SormOptions {
  /// Step of the central-difference Hessian in standard-space units.
  double fdStep = 1.0e-3;
};

struct SormResult {
  /// All three corrections could be computed.  When not, those that could
  /// are still filled, the others are NaN.
  bool valid = false;
  std::string message;  ///< why not ("" when valid)
  /// Main curvatures of the limit-state surface at the design point,
  /// ascending (positive: the surface bends towards the failure side, away
  /// from a safe origin; the failure set is then locally convex and the POF
  /// below the first-order one).
  std::vector<double> curvatures;
  double breitung = std::numeric_limits<double>::quiet_NaN();      ///< POF, Breitung's asymptotic formula
  double tvedt = std::numeric_limits<double>::quiet_NaN();         ///< POF, Tvedt's three-term formula
  double hohenbichler = std::numeric_limits<double>::quiet_NaN();  ///< POF, Hohenbichler-Rackwitz
  long long analyses = 0;                                          ///< limit-state evaluations for the Hessian
};

/// Second-order corrections at a converged design point: curvatures from a
/// central-difference Hessian in the rotated space (one batch of
/// 1 + 2n + (n - 1)(n - 2) points).  When the origin fails (beta < 0) the
/// formulas are applied to -g and the POF is 1 minus theirs.  A design point
/// that did not converge gives valid = false without analyses; throws
/// std::invalid_argument for a step that is not positive or a design point
/// of the wrong dimension.
RBO_API SormResult Sorm(const StandardSpace& space, const LimitStateFunction& g, const DesignPoint& designPoint,
                        const SormOptions& options = SormOptions());

/// Generalised reliability index of a probability: -Phi^-1(pof).
RBO_API double GeneralisedBeta(double pof);

}  // namespace rbo::reliability
