#include "rbo/foundation/OrvoErr.h"

#include <cstring>

#include "rbo/host/Log.h"

COrvoErr::COrvoErr(const char* pszFile, int nLine, const char* pszMessage) : std::exception() {
  // Bounded copy that pads with NUL (strncpy semantics), then force the
  // terminator: a message of 512 or more characters keeps its first 511.
  int n = 0;
  for (; n < kMessageSize && pszMessage != nullptr && pszMessage[n] != '\0'; ++n) m_szMessage[n] = pszMessage[n];
  std::memset(m_szMessage + n, 0, std::size_t(kMessageSize - n));
  m_szMessage[kMessageSize - 1] = '\0';
  m_pszFile = pszFile;
  m_nLine = nLine;
  if (pszFile != nullptr) LNewException(pszFile, nLine, pszMessage);
}

COrvoErr::~COrvoErr() = default;

const char* COrvoErr::what() const noexcept { return m_szMessage; }

CEngErr::CEngErr(const char* pszFile, int nLine, const char* pszMessage) : COrvoErr(pszFile, nLine, pszMessage) {}

CInvalidType::CInvalidType(const char* pszFile, int nLine) : CEngErr(pszFile, nLine, "Object type is invalid") {}

CInvalidKey::CInvalidKey(const char* pszFile, int nLine) : CEngErr(pszFile, nLine, "Invalid key") {}

CInvalidArgument::CInvalidArgument(const char* pszFile, int nLine)
    : CEngErr(pszFile, nLine, "Function/method object is invalid") {}

CGetObject::CGetObject(const char* pszFile, int nLine) : CEngErr(pszFile, nLine, "Could not get object") {}

CNullPtr::CNullPtr(const char* pszFile, int nLine) : CEngErr(pszFile, nLine, "Null pointer found") {}

CCheckPassFail::CCheckPassFail(const char* pszFile, int nLine) : COrvoErr(pszFile, nLine, "CheckPassFail") {}
