// The problem-file reader: method, samples and seed.
#include "Reader.h"
#include "rbo/problem/AnalysisPolicy.h"

namespace rbo::problem::reader {

void CReader::ReadSettings(const json& root) {
  if (const auto it = root.find("method"); it != root.end()) {
    int m = -1;
    if (long long code = 0; WholeNumber(*it, 0, 4, &code) == Whole::kOk)
      m = int(code);
    else if (it->is_string())
      m = ParseMethod(it->get<std::string>());
    if (m < 0)
      c.Add("/method", "is " + Describe(*it) +
                           "; use 0 to 4 or montecarlo, lhs, fo, surface-mc, surface-lhs, form, sorm, is, subset (see "
                           "`rbo help run`).");
    else
      m_p.settings.method = m;
  }
  long long n = 0;
  if (c.Integer(root, "", "samples", 1, kMaxSamples, "sample points per design point", &n))
    m_p.settings.samples = int(n);
  // The seed's range is that of `rbo run --seed`.
  if (c.Integer(root, "", "seed", 0, std::numeric_limits<long long>::max(), "the seed of the sampling", &n))
    m_p.settings.seed = std::uint64_t(n);
  double tol = 0.0;
  if (c.Number(root, "", "constraint_tolerance", &tol, false, "")) {
    if (!(tol >= 0.0))
      c.Add("/constraint_tolerance", "is " + Num(tol) + "; it must be 0 or positive.");
    else
      m_p.builder.SetConstraintTolerance(tol);
  }
  ReadFailurePolicy(root);
}

void CReader::ReadFailurePolicy(const json& root) {
  const auto it = root.find("on_failure");
  if (it == root.end() || !c.Object(*it, "/on_failure", "the failure policy")) return;
  c.KnownKeys(*it, "/on_failure", {"policy", "retries", "max_skipped_fraction"});
  FailurePolicy& f = m_p.settings.onFailure;
  std::string policy;
  if (c.String(*it, "/on_failure", "policy", &policy, true, "\"policy\": \"stop\", \"retry\" or \"skip\"")) {
    const int action = ParseFailureAction(policy);
    if (action < 0)
      c.Add("/on_failure/policy", "is \"" + policy + "\"; use stop, retry or skip.");
    else
      f.action = FailureAction(action);
  }
  if (f.action == FailureAction::kRetry) f.retries = kDefaultRetries;
  long long n = 0;
  if (c.Integer(*it, "/on_failure", "retries", 0, kMaxRetries, "extra attempts of a failed analysis", &n))
    f.retries = int(n);
  double fraction = 0.0;
  if (c.Number(*it, "/on_failure", "max_skipped_fraction", &fraction, false, "")) {
    if (!(fraction >= 0.0 && fraction < 1.0))
      c.Add("/on_failure/max_skipped_fraction", "is " + Num(fraction) + "; it must be at least 0 and below 1.");
    else
      f.maxSkippedFraction = fraction;
  }
}

}  // namespace rbo::problem::reader
