// The reference host's RBO method setting: the method code and the number of
// sample points per design point that the library asks for, set through the
// refhost::SetRBOMethod seam.
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"

namespace {

int g_nMethod = 0;          ///< RBO method code reported to the library
int g_nSamplePoints = 100;  ///< sample points per design point reported to the library

}  // namespace

namespace refhost {

// Stored as given, without validation: a host may hand the library any code,
// and the library's own checks are what tests exercise with invalid ones.
void SetRBOMethod(int nMethod, int nSamplePoints) {
  g_nMethod = nMethod;
  g_nSamplePoints = nSamplePoints;
}

}  // namespace refhost

void GetRBOMethodNSamplePoints(int* pnMethod, int* pnSamplePoints) {
  if (pnMethod != nullptr) *pnMethod = g_nMethod;
  if (pnSamplePoints != nullptr) *pnSamplePoints = g_nSamplePoints;
}
