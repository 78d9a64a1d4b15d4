// The expressions on many points in one call (ExpressionBulkModel) against
// the same expressions point by point (ExpressionModel): the same doubles,
// bit for bit, and a failing point still reported by the runner, naming it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <valarray>
#include <vector>

#include "ExpressionModel.h"
#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"

namespace {

using rbo::problem::ExpressionBulkModel;
using rbo::problem::ExpressionModel;

std::uint64_t Bits(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

struct ExpressionCase {
  std::vector<std::string> responses;
  std::vector<std::string> expressions;  // over a, b, c and the responses before
};

// Operators, functions of one and several arguments, powers (which the
// parser turns into special byte code), conditionals, constants folded at
// parse time, one variable alone, and responses that use earlier responses.
const ExpressionCase kCases[] = {
    {{"g"}, {"3 * sqrt(10) - (a + b + c)"}},
    {{"g"}, {"a"}},
    {{"g"}, {"2 * a + 1"}},
    {{"g"}, {"a^2 + b^3 - c^4 + abs(a)^1.5"}},
    {{"g"}, {"sin(a) * cos(b) + tan(c / 7) + exp(-a*a) + log(1 + b*b) + log10(2 + c*c) + ln(3 + a*a)"}},
    {{"g"}, {"atan(a) + asinh(b) + tanh(c) + abs(a - b) + sign(c) + rint(3.7 * a) + log2(1 + abs(b))"}},
    {{"g"}, {"min(a, b, c) + max(a, b) * sum(a, b, c) - avg(a, c)"}},
    {{"g"}, {"a > b ? a - b : (c < 0 ? -c : c * c)"}},
    {{"g"}, {"_pi * a + _e / (2 + b*b) + 1e-3 * c"}},
    {{"g"}, {"(a >= 0 && b < 0.5) || c != 0 ? 1 / (1 + exp(-(a + b + c))) : 2"}},
    {{"r", "s", "g"}, {"a * b - c", "sqrt(r * r + 1) + a", "s - r / (1 + s * s)"}},
    {{"r", "g"}, {"7", "r * a + r"}},
};

// Points with values of mixed sign and magnitude, one column each.
CMatrix<double> RandomPoints(int nPoints) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  CMatrix<double> x(3, nPoints);
  for (int j = 0; j < nPoints; ++j)
    for (int i = 0; i < 3; ++i) x(i, j) = u(rng) * std::pow(10.0, double(int(rng() % 7)) - 3.0);
  return x;
}

TEST(ExpressionBatch, ManyPointsGiveThePointwiseDoublesBitForBit) {
  const std::vector<std::string> names{"a", "b", "c"};
  const CMatrix<double> x = RandomPoints(2000);
  for (const ExpressionCase& c : kCases) {
    SCOPED_TRACE(c.expressions.back());
    const refhost::ModelFunction point = ExpressionModel(names, c.responses, c.expressions);
    const refhost::BatchModelFunction many = ExpressionBulkModel(names, c.responses, c.expressions);
    CMatrix<double> y;
    many(x, y);
    ASSERT_EQ(y.Rows(), int(c.responses.size()));
    ASSERT_EQ(y.Cols(), x.Cols());
    std::valarray<double> in, out(c.responses.size());
    int nDifferent = 0;
    for (int j = 0; j < x.Cols(); ++j) {
      x.GetCol(j, in);
      point(in, out);
      for (int k = 0; k < y.Rows(); ++k) nDifferent += Bits(out[std::size_t(k)]) != Bits(y(k, j));
    }
    EXPECT_EQ(nDifferent, 0);
  }
}

TEST(ExpressionBatch, AFailingPointIsReportedAsByThePointwiseModel) {
  const std::vector<std::string> names{"a", "b", "c"}, responses{"h", "g"};
  const std::vector<std::string> expressions{"a + b", "sqrt(h + 4) - 1 + 0 * c"};
  const refhost::ModelFunction point = ExpressionModel(names, responses, expressions);
  const refhost::BatchModelFunction many = ExpressionBulkModel(names, responses, expressions);
  CMatrix<double> x(3, 600, 0.5);
  x(0, 437) = -5.0;  // h = -4.5: the square root of a negative number
  // The batch leaves nan for the caller...
  CMatrix<double> y;
  many(x, y);
  EXPECT_TRUE(std::isnan(y(1, 437)));
  EXPECT_EQ(y(1, 436), std::sqrt(5.0) - 1.0);
  // ... and the runner, given both, reports the point as the pointwise model does.
  std::vector<std::string> failures;
  CMatrix<double> out(2, 1);
  refhost::AnalyseColumnsKeepingFailures(point, many, x, out, false, 0, &failures);
  EXPECT_EQ(failures[437],
            "analysis point 437 (inputs -5, 0.5, 0.5) failed: the expression of g (sqrt(h + 4) - 1 + 0 * c) gave nan "
            "(a logarithm or square root of a negative number, or a division by zero?)");
  EXPECT_EQ(failures[436], "");
  EXPECT_EQ(out(1, 436), std::sqrt(5.0) - 1.0);
}

TEST(ExpressionBatch, AWrongNumberOfInputsIsRefused) {
  const refhost::BatchModelFunction many = ExpressionBulkModel({"a", "b"}, {"g"}, {"a + b"});
  CMatrix<double> x(3, 4, 1.0), y;
  EXPECT_THROW(many(x, y), std::invalid_argument);
}

}  // namespace
