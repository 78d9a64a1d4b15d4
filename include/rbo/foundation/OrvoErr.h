// The library's exception family.
//
//   std::exception
//     COrvoErr                      message given by the thrower
//       CEngErr                     message given by the thrower
//         CInvalidType              "Object type is invalid"
//         CInvalidKey               "Invalid key"
//         CInvalidArgument          "Function/method object is invalid"
//         CGetObject                "Could not get object"
//         CNullPtr                  "Null pointer found"
//       CCheckPassFail              "CheckPassFail"  (not an engineering error)
//
// Every exception records the source unit (a static string, never copied or
// freed) and the source line that raised it, and a copy of its message of at
// most 511 characters.  Constructing one with a non-null file records it in
// the host log through LNewException, with the message as given (before any
// truncation).  Only the six leaf classes are thrown.
#pragma once

#include <exception>

#include "rbo/Export.h"

class RBO_API COrvoErr : public std::exception {
 public:
  /// Size of the message buffer, terminating NUL included.
  static constexpr int kMessageSize = 512;

  COrvoErr(const char* pszFile, int nLine, const char* pszMessage);
  COrvoErr(const COrvoErr&) = default;
  COrvoErr& operator=(const COrvoErr&) = default;
  ~COrvoErr() override;

  /// The stored message, always NUL-terminated.
  const char* what() const noexcept override;

  int m_nLine;                     ///< source line that raised the exception
  const char* m_pszFile;           ///< source unit that raised it (static, not owned)
  char m_szMessage[kMessageSize];  ///< message, at most 511 characters
};

class RBO_API CEngErr : public COrvoErr {
 public:
  CEngErr(const char* pszFile, int nLine, const char* pszMessage);
};

class RBO_API CInvalidType : public CEngErr {
 public:
  CInvalidType(const char* pszFile, int nLine);
};

class RBO_API CInvalidKey : public CEngErr {
 public:
  CInvalidKey(const char* pszFile, int nLine);
};

class RBO_API CInvalidArgument : public CEngErr {
 public:
  CInvalidArgument(const char* pszFile, int nLine);
};

class RBO_API CGetObject : public CEngErr {
 public:
  CGetObject(const char* pszFile, int nLine);
};

class RBO_API CNullPtr : public CEngErr {
 public:
  CNullPtr(const char* pszFile, int nLine);
};

/// A sample violated the host's pass/fail constraints where no substitute can
/// be had.  Derives from COrvoErr directly: a handler for CEngErr ignores it.
class RBO_API CCheckPassFail : public COrvoErr {
 public:
  CCheckPassFail(const char* pszFile, int nLine);
};
