// Vector assembly of the reference host: the design-variable and response
// vectors built from their groups and split back, and the rejection of bad
// entry maps before anything is written.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"

namespace {

using VD = std::valarray<double>;
using VI = std::valarray<int>;

std::vector<double> Vec(const VD& v) { return std::vector<double>(std::begin(v), std::end(v)); }

// Groups with distinct values and an entry map that visits the groups out of
// order; kExpected is the vector written out by hand from the map.
struct DVProblem {
  VD g0{1.0, 2.0, 3.0};
  VD g1{10.0, 11.0};
  VD g2{20.0};
  VD g3{30.0, 31.0};
  VI type{20, 21, 20, 23, 22, 20, 21, 23};
  VI index{0, 1, 1, 1, 0, 2, 0, 0};
  const std::vector<double> kExpected{1.0, 11.0, 2.0, 31.0, 20.0, 3.0, 10.0, 30.0};
};

TEST(SetXVector, AssemblesEntriesIntoAnOutputOfAnyLengthAndExtractAllTypeDVRestoresTheGroups) {
  DVProblem p;
  for (std::size_t n : {std::size_t(2), p.index.size()}) {
    VD out(-1.0, n);
    SetXVector(p.g0, p.g1, p.g2, p.g3, p.index, p.type, out);
    EXPECT_EQ(Vec(out), p.kExpected);
    // Empty groups come back with their sizes taken from the entries.
    VD g0, g1, g2, g3;
    ExtractAllTypeDV(out, p.index, p.type, g0, g3, g1, g2);  // the order is 0, 3, 1, 2
    EXPECT_EQ(Vec(g0), Vec(p.g0));
    EXPECT_EQ(Vec(g1), Vec(p.g1));
    EXPECT_EQ(Vec(g2), Vec(p.g2));
    EXPECT_EQ(Vec(g3), Vec(p.g3));
  }
}

TEST(ExtractAllTypeDV, KeepsCallerSizesAndValuesNoEntryNames) {
  // Group 1 has an element (index 2) that no entry names, group 2 is too
  // short for the entries and grows, keeping its first value.
  VD x{4.0, 5.0, 6.0};
  VI type{20, 21, 22};
  VI index{0, 1, 1};
  VD g0(0.0, 1), g1{-1.0, -2.0, -3.0}, g2{-9.0}, g3(-5.0, 2);
  ExtractAllTypeDV(x, index, type, g0, g3, g1, g2);
  EXPECT_EQ(Vec(g0), (std::vector<double>{4.0}));
  EXPECT_EQ(Vec(g1), (std::vector<double>{-1.0, 5.0, -3.0}));
  EXPECT_EQ(Vec(g2), (std::vector<double>{-9.0, 6.0}));
  EXPECT_EQ(Vec(g3), (std::vector<double>{-5.0, -5.0}));
}

TEST(SetRVector, RoundTripsThroughExtractAllTypeResp) {
  VD r0{1.5, 2.5}, r1{7.0}, r2{8.0, 9.0, 10.0};
  VI type{24, 26, 25, 24, 26, 26};
  VI index{1, 2, 0, 0, 0, 1};
  VD out;
  SetRVector(r0, r1, r2, index, type, out);
  EXPECT_EQ(Vec(out), (std::vector<double>{2.5, 10.0, 7.0, 1.5, 8.0, 9.0}));
  VD e0, e1, e2;
  ExtractAllTypeResp(out, index, type, e0, e1, e2);
  EXPECT_EQ(Vec(e0), Vec(r0));
  EXPECT_EQ(Vec(e1), Vec(r1));
  EXPECT_EQ(Vec(e2), Vec(r2));
}

TEST(ExtractIndResp, ReadsTheIndependentResponsesOfOneColumn) {
  // Rows are entries: types 24, 25, 24, 26 with indices 1, 0, 0, 0.
  CMatrix<double> m(4, 3, VD{1, 2, 3, 4, /*col 1*/ 11, 12, 13, 14, /*col 2*/ 21, 22, 23, 24}, true);
  VI type{24, 25, 24, 26};
  VI index{1, 0, 0, 0};
  VD g0;
  ExtractIndResp(1, m, index, type, g0);
  EXPECT_EQ(Vec(g0), (std::vector<double>{13.0, 11.0}));
}

// ---------------------------------------------------------------- rejected input

// Data that every bad-input case starts from; a case breaks one thing and
// calls one routine on it.
struct Fixture {
  VD g0{1.0, 2.0, 3.0}, g1{4.0}, g2{5.0}, g3{6.0};
  VI type{20, 21, 20};
  VI index{0, 0, 2};
  VD x{1.0, 4.0, 3.0};
  VD out{-7.0, -8.0, -9.0};
  CMatrix<double> m{3, 2, 0.5};
  int nCol = 0;
};

enum class Routine { kSetX, kExtractDV, kSetR, kExtractResp, kExtractInd };

void Call(Routine r, Fixture& f) {
  switch (r) {
    case Routine::kSetX:
      return SetXVector(f.g0, f.g1, f.g2, f.g3, f.index, f.type, f.out);
    case Routine::kExtractDV:
      return ExtractAllTypeDV(f.x, f.index, f.type, f.g0, f.g3, f.g1, f.g2);
    case Routine::kSetR:
      return SetRVector(f.g0, f.g1, f.g2, f.index, f.type, f.out);
    case Routine::kExtractResp:
      return ExtractAllTypeResp(f.x, f.index, f.type, f.g0, f.g1, f.g2);
    case Routine::kExtractInd:
      return ExtractIndResp(f.nCol, f.m, f.index, f.type, f.g0);
  }
}

TEST(VectorAssembly, RejectsBadEntriesNamingTheEntryAndWritingNothing) {
  struct BadCase {
    const char* name;
    Routine routine;
    std::function<void(Fixture&)> breakIt;
    bool bRange;          // out_of_range, else invalid_argument
    const char* message;  // the start of the message: routine and item at fault
  };
  using R = Routine;
  // clang-format off
  const BadCase kBadCases[] = {
      {"SetXResponseType", R::kSetX, [](Fixture& f) { f.type[1] = 24; }, false,
       "SetXVector: entry 1: type code 24 is not one of 20..23"},
      {"SetXIndexPastGroup", R::kSetX, [](Fixture& f) { f.index[2] = 3; }, true,
       "SetXVector: entry 2: index 3 is outside the group of type 20 (size 3)"},
      {"SetXNegativeIndex", R::kSetX, [](Fixture& f) { f.index[1] = -1; }, true, "SetXVector: entry 1: index -1"},
      {"SetXMapSizes", R::kSetX, [](Fixture& f) { f.type = VI{20, 20}; }, false,
       "SetXVector: the type array has 2 elements but the index array has 3"},
      {"ExtractDVVectorLength", R::kExtractDV, [](Fixture& f) { f.x = VD{1.0}; }, false,
       "ExtractAllTypeDV: the vector has 1 elements but the index array has 3"},
      {"ExtractDVResponseType", R::kExtractDV, [](Fixture& f) { f.type[2] = 26; }, false,
       "ExtractAllTypeDV: entry 2: type code 26"},
      {"ExtractDVNegativeIndex", R::kExtractDV, [](Fixture& f) { f.index[2] = -4; }, true,
       "ExtractAllTypeDV: entry 2: index -4"},
      {"SetRDesignVariableType", R::kSetR, [](Fixture& f) { f.type = VI{24, 20, 24}; }, false,
       "SetRVector: entry 1: type code 20 is not one of 24..26"},
      {"ExtractRespType", R::kExtractResp, [](Fixture& f) { f.type = VI{24, 25, 23}; }, false,
       "ExtractAllTypeResp: entry 2: type code 23"},
      {"ExtractIndColumnPastEnd", R::kExtractInd, [](Fixture& f) { f.nCol = 2; }, true,
       "ExtractIndResp: column 2 is outside the response matrix (2 columns)"},
      {"ExtractIndDesignVariableType", R::kExtractInd, [](Fixture& f) { f.type = VI{24, 25, 21}; }, false,
       "ExtractIndResp: entry 2: type code 21"},
      {"ExtractIndRowsDisagree", R::kExtractInd, [](Fixture& f) { f.type = f.index = VI{0, 1}; }, false,
       "ExtractIndResp: the vector has 3 elements but the index array has 2"},
  };
  // clang-format on
  const Fixture before;
  for (const BadCase& c : kBadCases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    c.breakIt(f);
    try {
      Call(c.routine, f);
      ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
      EXPECT_TRUE(c.bRange ? dynamic_cast<const std::out_of_range*>(&e) != nullptr
                           : dynamic_cast<const std::invalid_argument*>(&e) != nullptr)
          << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
    }
    // Nothing written: outputs and groups as they were.
    EXPECT_EQ(Vec(f.out), Vec(before.out));
    EXPECT_EQ(Vec(f.g0), Vec(before.g0));
    EXPECT_EQ(Vec(f.g1), Vec(before.g1));
    EXPECT_EQ(Vec(f.g2), Vec(before.g2));
    EXPECT_EQ(Vec(f.g3), Vec(before.g3));
  }
}

}  // namespace
