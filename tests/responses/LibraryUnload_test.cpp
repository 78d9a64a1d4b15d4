// The library's process-wide state lives until the library is unloaded and
// no longer: a host that loads the shared library, runs every RBO method
// that keeps state and unloads it gets all of that memory back.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "rbo/RBO.h"
#include "support/Problems.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using testsupport::LinearLimitState;

// AnalysisVerif as the shared library exports it (the test executable holds
// its own static copy of the library, which must not be the one run here).
constexpr const char* kAnalysisVerifSymbol =
    "_Z13AnalysisVerifP3CDBR7CMatrixIdERSt8valarrayIdES6_iiiiRNSt7__cxx1112basic_stringIcSt11char_"
    "traitsIcESaIcEEESD_S6_S6_S3_S3_b";

// rbo_tests lives in <build>/tests, the shared library in <build>.
std::string SharedLibraryPath() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return (exe.parent_path().parent_path() / "librbo.so").string();
}

// Design points of the linear limit state that let every surface method fit.
CMatrix<double> Points(const refhost::ProblemBuilder& b) {
  return b.DesignMatrix({{10.0, 5.0}, {11.0, 5.0}, {10.0, 6.0}, {12.0, 4.0}});
}

// Runs AnalysisVerif of the loaded library with methods 0 to 4 (method 2 in
// both variants), on a thread of its own so that the thread's storage is
// released before the library is unloaded.
void RunEveryMethod(void* pLibrary) {
  auto analysisVerif = reinterpret_cast<decltype(&AnalysisVerif)>(dlsym(pLibrary, kAnalysisVerifSymbol));
  ASSERT_NE(analysisVerif, nullptr) << dlerror();
  std::thread([&] {
    LinearLimitState p;
    auto db = p.builder.Build();
    refhost::SetAnalysis(p.builder.Analysis(LinearLimitState::Model));
    CDB::m_nGradsCalc = 0;
    CDB::m_bIsRestartForDGOMeanValue = false;
    for (const auto& [nMethod, nOptimizerKind] :
         std::vector<std::pair<int, int>>{{0, 1}, {2, 1}, {2, 0}, {3, 1}, {4, 1}}) {
      refhost::SetRBOMethod(nMethod, 50);
      db->m_optimizerKind = nOptimizerKind;
      CMatrix<double> points = Points(p.builder), designPoints, designResponses;
      std::valarray<double> a, b, objective, constraint;
      std::string s1, s2;
      analysisVerif(db.get(), points, a, b, 0, 0, 0, 0, s1, s2, objective, constraint, designPoints, designResponses,
                    false);
    }
  }).join();
}

// Loads, runs and unloads the shared library; true when it was really unloaded.
bool LoadRunUnload(const std::string& path) {
  void* pLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (pLibrary == nullptr) return false;
  RunEveryMethod(pLibrary);
  dlclose(pLibrary);
  void* pStillLoaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (pStillLoaded != nullptr) dlclose(pStillLoaded);
  return pStillLoaded == nullptr;
}

// The leak check needs LeakSanitizer (the sanitizer build): the loader's
// own allocations make the heap's size no measure of it.  Without it the
// test still requires that nothing keeps the library loaded.
TEST(LibraryUnload, ReleasesEveryProcessWideTable) {
  const std::string path = SharedLibraryPath();
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared library at " << path;
  ASSERT_TRUE(LoadRunUnload(path)) << "the library stayed loaded";
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory of the unloaded library leaked (see the report above)";
#endif
  refhost::SetRBOMethod(0, 100);
  testsupport::ResetLibraryState();
}

}  // namespace
