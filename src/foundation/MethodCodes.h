// The RBO method codes that the host reports with the number of sample points.
#pragma once

namespace rbo {
inline constexpr int kMethodMonteCarlo = 0;             ///< Monte Carlo sample points, sample statistics
inline constexpr int kMethodLatinHyperCube = 1;         ///< Latin hypercube sample points, sample statistics
inline constexpr int kMethodApproximation = 2;          ///< first-order propagation through a response surface
inline constexpr int kMethodSurfaceMonteCarlo = 3;      ///< Monte Carlo sampling of a response surface
inline constexpr int kMethodSurfaceLatinHyperCube = 4;  ///< Latin hypercube sampling of a response surface
}  // namespace rbo
