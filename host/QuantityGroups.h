// Internal to the reference host: the value groups of one database-utility
// call, addressed by the host's type codes (20..26), and the checks shared by
// vector assembly and evaluation.
//
// Every failure names the routine and the item it is about (an entry of a
// vector, an argument of a linked quantity, a constraint...), so that a wrong
// database definition can be found from the message alone:
//   std::invalid_argument  a type code that the routine does not accept, or
//                          definition arrays that disagree in size;
//   std::out_of_range      an index outside its group.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <valarray>

#include "rbo/host/DB.h"

namespace refhost {
namespace detail {

/// The item a check is about, formatted only when a check fails:
/// "<routine>: <item> <n>[, argument <a>]".
struct CItemRef {
  const char* m_pszRoutine;  ///< the database utility, e.g. "EvalLinks"
  const char* m_pszItem;     ///< what is numbered, e.g. "linked quantity"
  std::size_t m_nItem;       ///< 0-based number of the item
  int m_nArg;                ///< 0-based argument of the item, -1 when the item has none

  std::string Describe() const;
};

/// Throws std::invalid_argument("<ref>: <detail>").
[[noreturn]] void ThrowInvalid(const CItemRef& ref, const std::string& detail);
/// Throws std::invalid_argument("<routine>: <detail>") for a routine-wide problem.
[[noreturn]] void ThrowInvalid(const char* pszRoutine, const std::string& detail);

/// Requires nSize == nExpected; otherwise names both arrays and their sizes.
void RequireSize(const char* pszRoutine, const char* pszArray, std::size_t nSize, const char* pszReference,
                 std::size_t nExpected);

/// The groups that one call may address.  A type code outside 20..26, or one
/// whose group the call was not given, is rejected; Skip() marks a type code
/// that is valid in the call but whose entries the call leaves alone.
class CGroups {
 public:
  static constexpr int kFirstType = kTypeIndDV;     ///< type code of slot 0
  static constexpr int kLastType = kTypeSynthResp;  ///< type code of the last slot

  /// pszAccepted names the accepted codes in messages, e.g. "20..23 (design-variable groups 0..3)".
  explicit CGroups(const char* pszAccepted) : m_pszAccepted(pszAccepted) {
    m_apGroup.fill(nullptr);
    m_abSkip.fill(false);
  }

  /// Makes group nType addressable.
  CGroups& Add(int nType, std::valarray<double>& group) {
    m_apGroup[Slot(nType)] = &group;
    return *this;
  }
  /// Accepts nType without giving its group: entries of that type are valid and skipped.
  CGroups& Skip(int nType) {
    m_abSkip[Slot(nType)] = true;
    return *this;
  }

  /// The group of nType; nullptr for a skipped type.  Throws invalid_argument
  /// for a type code the call does not accept.
  std::valarray<double>* GroupOf(int nType, const CItemRef& ref) const {
    if (Accepts(nType)) return m_apGroup[Slot(nType)];
    ThrowNotAccepted(nType, ref);
  }

  /// True when the call accepts nType (its group was given, or it is skipped).
  bool Accepts(int nType) const {
    return nType >= kFirstType && nType <= kLastType && (m_apGroup[Slot(nType)] != nullptr || m_abSkip[Slot(nType)]);
  }

  /// The group of an accepted nType (Accepts), unchecked; nullptr for a skipped type.
  std::valarray<double>* AcceptedGroup(int nType) const { return m_apGroup[Slot(nType)]; }

  /// The element (nType, nIndex) when nType has a group and nIndex lies in
  /// it; otherwise nullptr (At then gives the report).
  double* Find(int nType, int nIndex) const {
    if (nType < kFirstType || nType > kLastType) return nullptr;
    std::valarray<double>* pGroup = m_apGroup[Slot(nType)];
    if (pGroup == nullptr || nIndex < 0 || std::size_t(nIndex) >= pGroup->size()) return nullptr;
    return &(*pGroup)[std::size_t(nIndex)];
  }

  /// The element (nType, nIndex), checked (GroupOf, then the index against the group's size).
  double& At(int nType, int nIndex, const CItemRef& ref) const {
    if (double* p = Find(nType, nIndex)) return *p;
    return CheckedAt(nType, nIndex, ref);
  }

 private:
  [[noreturn]] void ThrowNotAccepted(int nType, const CItemRef& ref) const;
  /// At's checks one by one, for the report of an element that Find did not find.
  double& CheckedAt(int nType, int nIndex, const CItemRef& ref) const;

  static std::size_t Slot(int nType) { return std::size_t(nType - kFirstType); }

  std::array<std::valarray<double>*, kLastType - kFirstType + 1> m_apGroup;  ///< group per type code, null: none
  std::array<bool, kLastType - kFirstType + 1> m_abSkip;                     ///< accepted, entries skipped
  const char* m_pszAccepted;                                                 ///< accepted codes, for messages
};

/// Checks an index against a group size (the shared out_of_range report).
void CheckIndex(int nIndex, std::size_t nSize, int nType, const CItemRef& ref);

}  // namespace detail
}  // namespace refhost
