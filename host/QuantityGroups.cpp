// Group addressing and the shared checks of the database utilities.
#include "QuantityGroups.h"

#include <stdexcept>

namespace refhost {
namespace detail {

std::string CItemRef::Describe() const {
  std::string text = std::string(m_pszRoutine) + ": " + m_pszItem + " " + std::to_string(m_nItem);
  if (m_nArg >= 0) text += ", argument " + std::to_string(m_nArg);
  return text;
}

void ThrowInvalid(const CItemRef& ref, const std::string& detail) {
  throw std::invalid_argument(ref.Describe() + ": " + detail);
}

void ThrowInvalid(const char* pszRoutine, const std::string& detail) {
  throw std::invalid_argument(std::string(pszRoutine) + ": " + detail);
}

void RequireSize(const char* pszRoutine, const char* pszArray, std::size_t nSize, const char* pszReference,
                 std::size_t nExpected) {
  if (nSize == nExpected) return;
  ThrowInvalid(pszRoutine, std::string(pszArray) + " has " + std::to_string(nSize) + " elements but " + pszReference +
                               " has " + std::to_string(nExpected));
}

void CGroups::ThrowNotAccepted(int nType, const CItemRef& ref) const {
  ThrowInvalid(ref, "type code " + std::to_string(nType) + " is not one of " + m_pszAccepted);
}

void CheckIndex(int nIndex, std::size_t nSize, int nType, const CItemRef& ref) {
  if (nIndex >= 0 && std::size_t(nIndex) < nSize) return;
  throw std::out_of_range(ref.Describe() + ": index " + std::to_string(nIndex) + " is outside the group of type " +
                          std::to_string(nType) + " (size " + std::to_string(nSize) + ")");
}

double& CGroups::CheckedAt(int nType, int nIndex, const CItemRef& ref) const {
  std::valarray<double>* pGroup = GroupOf(nType, ref);
  if (pGroup == nullptr) ThrowInvalid(ref, "type code " + std::to_string(nType) + " has no values in this call");
  CheckIndex(nIndex, pGroup->size(), nType, ref);
  return (*pGroup)[std::size_t(nIndex)];
}

}  // namespace detail
}  // namespace refhost
