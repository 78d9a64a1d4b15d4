// Evaluation utilities of the reference host: linked quantities (linear
// combinations), synthetic quantities (expressions), the constraint value
// and the objective value, each against hand-computed values.
//
// The inputs are small dyadic numbers, so sums and products of them are exact
// in double precision and compared with EXPECT_EQ; results that go through a
// library function (sqrt, sin) are compared within 4 ulp (EXPECT_DOUBLE_EQ).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <valarray>
#include <vector>

#include "rbo/host/DBUtils.h"

namespace {

using VD = std::valarray<double>;
using VI = std::valarray<int>;
using VVI = std::vector<std::vector<int>>;

std::vector<double> Vec(const VD& v) { return std::vector<double>(std::begin(v), std::end(v)); }

// Every group with distinct values: dv0 {1, 2}, dv1 {5, 9}, dv2 {7}, dv3 {11},
// resp0 {13, 0.5}, resp1 {17}, resp2 {19, 23}.
struct Values {
  VD dv0{1.0, 2.0}, dv1{5.0, 9.0}, dv2{7.0}, dv3{11.0};
  VD resp0{13.0, 0.5}, resp1{17.0}, resp2{19.0, 23.0};
};

// A definition broken for one case, the exception it must raise (out_of_range
// when bRange, else invalid_argument) and parts its message contains.
template <class Def>
struct BadCase {
  const char* name;
  std::function<void(Def&)> breakIt;
  bool bRange;
  std::vector<const char*> parts;
};

// Runs every case on a fresh Def; for those with an output, it stays 99.
template <class Def>
void ExpectRejected(const std::vector<BadCase<Def>>& cases) {
  for (const BadCase<Def>& c : cases) {
    SCOPED_TRACE(c.name);
    Def def;
    c.breakIt(def);
    try {
      def.Eval();
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_TRUE(c.bRange ? dynamic_cast<const std::out_of_range*>(&e) != nullptr
                           : dynamic_cast<const std::invalid_argument*>(&e) != nullptr)
          << e.what();
      for (const char* part : c.parts) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
    if constexpr (Def::kHasOut) {
      EXPECT_EQ(Vec(def.out), (std::vector<double>{99.0}));
    }
  }
}

struct Links {
  Values v;
  VI func{0, 1, 0};
  VVI argIndex{{1, 0}, {0, 0, 0}, {}};
  VVI argType{{20, 23}, {24, 22, 21}, {}};
  std::vector<int> codes{0, 0};
  std::vector<std::vector<double>> coef{{0.5, 2.0, -1.0}, {1.0, 3.0, 0.25, 4.0}};
  VD out{99.0};
  static constexpr bool kHasOut = true;

  void Eval() { EvalLinks(v.dv0, v.dv1, v.dv2, v.dv3, v.resp0, func, argIndex, argType, codes, coef, out); }
};

TEST(EvalLinks, LinearCombinationsOfArgumentsFromEveryGroup) {
  Links l;
  // Quantity 2 has no arguments: function 0 needs one coefficient then.
  l.coef.push_back({});
  l.codes.push_back(0);
  l.func[2] = 2;
  l.coef[2] = {-3.0};
  l.Eval();
  // 0.5 + 2*dv0[1] - 1*dv3[0];  1 + 3*resp0[0] + 0.25*dv2[0] + 4*dv1[0];  -3
  EXPECT_EQ(Vec(l.out), (std::vector<double>{0.5 + 4.0 - 11.0, 1.0 + 39.0 + 1.75 + 20.0, -3.0}));
}

TEST(EvalLinks, ReadsItsOwnGroupAsItWasWhenTheCallBegan) {
  // As the library calls it: out is also design-variable group 1.  Quantity 1
  // reads dv1[0], which quantity 0 recomputes: it must see the old 5, not 1.
  Values v;
  VI func{0, 0};
  VVI argIndex{{0}, {0}}, argType{{20}, {21}};
  std::vector<int> codes{0};
  std::vector<std::vector<double>> coef{{0.0, 1.0}};
  EvalLinks(v.dv0, v.dv1, v.dv2, v.dv3, v.resp0, func, argIndex, argType, codes, coef, v.dv1);
  EXPECT_EQ(Vec(v.dv1), (std::vector<double>{1.0, 5.0}));
}

TEST(EvalLinks, RejectsBadDefinitionsNamingTheQuantityAndLeavingOutAlone) {
  // clang-format off
  ExpectRejected<Links>({
      {"UnknownCode", [](Links& l) { l.codes[1] = 3; }, false,
       {"EvalLinks: linked quantity 1: unknown function code 3 of link function 1"}},
      {"UndefinedFunction", [](Links& l) { l.func[2] = 2; }, true,
       {"EvalLinks: linked quantity 2: link function 2 is not defined (2 functions)"}},
      {"MissingCoefficients", [](Links& l) { l.coef.pop_back(); }, false,
       {"EvalLinks: linked quantity 1: link function 1 has 0 coefficients; a linear combination of 3 arguments needs 4"}},
      {"TooFewCoefficients", [](Links& l) { l.coef[0].pop_back(); }, false,
       {"linked quantity 0: link function 0 has 2 coefficients"}},
      {"ArgumentOfResponseGroup1", [](Links& l) { l.argType[1][2] = 25; }, false,
       {"EvalLinks: linked quantity 1, argument 2: type code 25 is not one of 20..24"}},
      {"ArgumentIndexPastGroup", [](Links& l) { l.argIndex[0][1] = 1; }, true,
       {"EvalLinks: linked quantity 0, argument 1: index 1 is outside the group of type 23 (size 1)"}},
      {"ArgumentListsDisagree", [](Links& l) { l.argType[0].pop_back(); }, false,
       {"linked quantity 0: 2 argument indices but 1 argument types"}},
      {"DefinitionsDisagree", [](Links& l) { l.argIndex.pop_back(); }, false,
       {"EvalLinks: the argument-index lists has 2 elements but the link-function array has 3"}}});
  // clang-format on
}

struct Synth {
  Values v;
  VI func{0};
  VVI argIndex{{1, 0, 0}};
  VVI argType{{20, 25, 23}};
  VVI argSlot;
  std::vector<int> codes{0};
  std::vector<std::string> expr{"x0*x1 + x2^2"};
  VD out{99.0};
  static constexpr bool kHasOut = true;

  void Eval() {
    EvalSynth(v.dv0, v.dv1, v.dv2, v.dv3, v.resp0, v.resp1, func, argIndex, argType, argSlot, codes, expr, out);
  }
};

TEST(EvalSynth, SlotListsRebindArgumentsAndSharedExpressionsSeeTheirOwnArguments) {
  // Quantities 0 and 1 share "x0 - x2"; quantity 0 binds argument 0 to x2,
  // argument 1 to x0; quantity 1 has an empty slot list (x0, x1, x2 in order,
  // x1 unused); quantity 2 has none at all.
  Synth s;
  s.func = VI{0, 0, 1};
  s.expr = {"x0 - x2", "sqrt(x0) + sin(x1)"};
  s.codes = {0, 0};
  s.argIndex = {{0, 0}, {0, 0, 1}, {0, 0}};
  s.argType = {{22, 24}, {20, 21, 24}, {24, 25}};
  s.argSlot = {{2, 0}, {}};
  s.Eval();
  ASSERT_EQ(s.out.size(), 3u);
  EXPECT_EQ(s.out[0], 13.0 - 7.0);
  EXPECT_EQ(s.out[1], 1.0 - 0.5);
  EXPECT_DOUBLE_EQ(s.out[2], std::sqrt(13.0) + std::sin(17.0));
}

TEST(EvalSynth, ComparisonsAreNotAssignments) {
  // x0 = 2, x1 = 17, x2 = 11; each comparison is 1 or 0.
  const struct {
    const char* expr;
    double value;
  } kCases[] = {{"x0 <= x1", 1.0}, {"x1 <= x2", 0.0}, {"x0 == x1", 0.0}, {"x0 == 2", 1.0},
                {"x0 != x1", 1.0}, {"x2 != 11", 0.0}, {"x1 >= x2", 1.0}, {"x0 >= x2", 0.0}};
  for (const auto& c : kCases) {
    Synth s;
    s.expr[0] = c.expr;
    s.Eval();
    EXPECT_EQ(Vec(s.out), (std::vector<double>{c.value})) << c.expr;
  }
}

TEST(EvalSynth, ThreadsEvaluateTheSameExpressionIndependently) {
  // Two threads evaluate one (cached) expression with different arguments at
  // once, each call reading the current values; a parser shared between them
  // would mix their variables.  The zero term
  // only lengthens the evaluation, and with it the window for such a mix.
  std::atomic<int> nReady{0};
  auto run = [&nReady](double base, int* pnWrong) {
    Synth s;
    s.expr[0] += " + 0*(sin(x0) + sin(x1) + sin(x2) + cos(x0) + cos(x1) + cos(x2))";
    s.Eval();  // parsed before the two start together
    for (++nReady; nReady.load() < 2;) std::this_thread::yield();
    for (int i = 0; i < 50000; ++i) {
      s.v.dv0[1] = base + i;
      s.Eval();
      if (s.out[0] != (base + i) * 17.0 + 121.0) ++*pnWrong;
    }
  };
  int nWrongA = 0, nWrongB = 0;
  std::thread a(run, 0.0, &nWrongA), b(run, 1.0e6, &nWrongB);
  a.join();
  b.join();
  EXPECT_EQ(nWrongA, 0);
  EXPECT_EQ(nWrongB, 0);
}

TEST(EvalSynth, RejectsBadDefinitionsNamingTheQuantityAndLeavingOutAlone) {
  // clang-format off
  ExpectRejected<Synth>({
      {"ParseError", [](Synth& s) { s.expr[0] = "x0 +* x1"; }, false,
       {"EvalSynth: synthetic quantity 0: expression 'x0 +* x1'", "Unexpected operator"}},
      {"UnknownVariable", [](Synth& s) { s.expr[0] = "x0 + y"; }, false, {"synthetic quantity 0", "unknown variable 'y'"}},
      {"LeadingZeroSlotName", [](Synth& s) { s.expr[0] = "x01"; }, false, {"unknown variable 'x01'"}},
      {"UnboundVariable", [](Synth& s) { s.expr[0] = "x0 + x3"; }, false,
       {"synthetic quantity 0: expression 'x0 + x3' uses x3 but no argument is bound to it"}},
      {"TwoValues", [](Synth& s) { s.expr[0] = "x0, x1"; }, false, {"gives 2 values instead of one"}},
      // '=' writes a variable; it is refused even where it would not run.
      {"Assignment", [](Synth& s) { s.expr[0] = "x1 = 3"; }, false,
       {"synthetic quantity 0: expression 'x1 = 3' assigns to x1 with '='"}},
      {"AssignmentInsideAnExpression", [](Synth& s) { s.expr[0] = "(x2 = 0) + x0 * x1"; }, false, {"assigns to x2"}},
      {"AssignmentInABranchNotTaken", [](Synth& s) { s.expr[0] = "x0 > 1e9 ? (x1 = 0) : x2"; }, false,
       {"assigns to x1"}},
      {"SlotBoundTwice", [](Synth& s) { s.argSlot = {{1, 0, 1}}; }, false,
       {"synthetic quantity 0, argument 2: variable x1 is bound by two arguments"}},
      {"SlotCountDisagrees", [](Synth& s) { s.argSlot = {{1, 0}}; }, false, {"3 arguments but 2 slots"}},
      {"UnknownCode", [](Synth& s) { s.codes[0] = 1; }, false, {"unknown function code 1 of synthetic function 0"}},
      {"MissingExpression", [](Synth& s) { s.expr.clear(); }, false, {"synthetic function 0 has no expression"}},
      {"ArgumentOfResponseGroup2", [](Synth& s) { s.argType[0][0] = 26; }, false,
       {"synthetic quantity 0, argument 0: type code 26 is not one of 20..25"}},
      {"ArgumentIndexPastGroup", [](Synth& s) { s.argIndex[0][1] = 1; }, true,
       {"synthetic quantity 0, argument 1: index 1 is outside the group of type 25 (size 1)"}}});
  // clang-format on
}

struct Constraints {
  Values v;
  // 0: upper bound 1.5 on dv0[1] = 2, scale 0.25   -> (2 - 1.5) / 0.25 = 2
  // 1: lower bound 21 on resp2[0] = 19, scale 0.5  -> (21 - 19) / 0.5 = 4
  // 2: upper bound 100 on resp1[0] = 17, scale 1   -> -83
  VD bound{1.5, 21.0, 100.0};
  VD scale{0.25, 0.5, 1.0};
  VI side{1, 0, 1};
  VD target{0.0, 0.0, 0.0};
  VI index{1, 0, 0};
  VI type{20, 26, 25};
  static constexpr bool kHasOut = false;

  double Eval() {
    return EvalConstr(v.dv0, v.dv1, v.dv2, v.resp0, v.resp1, v.resp2, bound, scale, side, target, index, type);
  }
};

TEST(EvalConstr, IsTheLargestScaledViolationNaNOrHugeNegativeWithoutConstraints) {
  Constraints c;
  EXPECT_EQ(c.Eval(), (21.0 - 19.0) / 0.5);  // lower bound on resp2[0]: 4 beats 2 and -83
  c.bound[1] = 19.5;                         // now 1: the upper bound's 2 is the largest
  EXPECT_EQ(c.Eval(), 2.0);
  c.bound = VD{2.5, 18.0, 100.0};  // every constraint holds
  EXPECT_EQ(c.Eval(), std::max({(2.0 - 2.5) / 0.25, (18.0 - 19.0) / 0.5, 17.0 - 100.0}));
  c.v.resp1[0] = std::numeric_limits<double>::quiet_NaN();  // a NaN subject is never feasible
  EXPECT_TRUE(std::isnan(c.Eval()));
  Constraints none;
  for (VD* p : {&none.bound, &none.scale, &none.target}) p->resize(0);
  for (VI* p : {&none.side, &none.index, &none.type}) p->resize(0);
  EXPECT_EQ(none.Eval(), -1.0e30);
}

TEST(EvalConstr, RejectsBadDefinitions) {
  using C = Constraints;
  // clang-format off
  ExpectRejected<C>({
      {"scale", [](C& c) { c.scale[2] = 0.0; }, false,
       {"EvalConstr: constraint 2: scale 0 is not a positive finite number"}},
      {"type", [](C& c) { c.type[0] = 23; }, false,
       {"EvalConstr: constraint 0: type code 23 is not one of 20..22 or 24..26"}},
      {"index", [](C& c) { c.index[1] = 2; }, true,
       {"EvalConstr: constraint 1: index 2 is outside the group of type 26 (size 2)"}},
      {"sizes", [](C& c) { c.side.resize(1); }, false,
       {"EvalConstr: the side array has 1 elements but the bound array has 3"}}});
  // clang-format on
}

struct Objective {
  Values v;
  VI index{0, 1, 0};
  VI type{21, 24, 22};
  VI func{0, 1, 0};
  VD coef{2.0, 3.0, -1.0};
  VI sense{-1};
  VD scale{4.0};
  VD offset{1.0};
  static constexpr bool kHasOut = false;

  double Eval() {
    return EvalObj(v.dv0, v.dv1, v.dv2, v.resp0, v.resp1, v.resp2, index, type, func, coef, sense, scale, offset);
  }
};

TEST(EvalObj, SenseTimesOffsetPlusTermsOverScaleWithEmptyMeaningMinimiseUnscaled) {
  Objective o;
  // -(1 + 2*dv1[0] + 3*resp0[1]^2 - dv2[0]) / 4 = -(1 + 10 + 0.75 - 7) / 4
  EXPECT_EQ(o.Eval(), -(1.0 + 10.0 + 0.75 - 7.0) / 4.0);
  o.sense = VI{};
  o.scale = VD{};
  o.offset = VD{};
  EXPECT_EQ(o.Eval(), 10.0 + 0.75 - 7.0);
}

TEST(EvalObj, RejectsBadDefinitions) {
  using O = Objective;
  // clang-format off
  ExpectRejected<O>({
      {"code", [](O& o) { o.func[1] = 2; }, false, {"EvalObj: objective term 1: function code 2"}},
      {"sense", [](O& o) { o.sense[0] = 0; }, false, {"EvalObj: objective 0: sense 0"}},
      {"scale", [](O& o) { o.scale[0] = -1.0; }, false,
       {"EvalObj: objective 0: scale -1 is not a positive finite number"}},
      {"type", [](O& o) { o.type[2] = 23; }, false, {"EvalObj: objective term 2: type code 23"}},
      {"sizes", [](O& o) { o.coef.resize(1); }, false,
       {"EvalObj: the coefficient array has 1 elements but the subject-index array has 3"}}});
  // clang-format on
}

}  // namespace
