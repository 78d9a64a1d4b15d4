// The reference host's debug dumps and timers.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "rbo/host/Utility.h"

CLogTime dbReadTime;

void CDebugUtil::DumpDoubleMatrix(const char* pszTitle, std::FILE* stream, CMatrix<double>& matrix, int /*nArg4*/,
                                  int /*nArg5*/) {
  if (stream == nullptr) return;
  const char* pszText = pszTitle != nullptr ? pszTitle : "";
  std::fputs(pszText, stream);
  const std::size_t n = std::strlen(pszText);
  if (n == 0 || pszText[n - 1] != '\n') std::fputc('\n', stream);
  // %.17g: every double reads back bit for bit.
  for (int i = 0; i < matrix.Rows(); ++i) {
    for (int j = 0; j < matrix.Cols(); ++j) std::fprintf(stream, j == 0 ? "%.17g" : " %.17g", matrix(i, j));
    std::fputc('\n', stream);
  }
  std::fflush(stream);
}

double CLogTime::MyTimeMark() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
