// The count behind refhost::FitFailures, raised where the host's fitting
// components see a fit fail.
#pragma once

namespace refhost::detail {

/// Counts one failed response-surface fit (see refhost::FitFailures).
void CountFitFailure();

}  // namespace refhost::detail
