// The reference host's vector assembly: the design-variable vector and the
// response vector built from, and split back into, their value groups.
//
// Every routine checks all entries before it writes anything, so a rejected
// call leaves its outputs exactly as they were.
#include <algorithm>
#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <valarray>

#include "QuantityGroups.h"
#include "rbo/host/DBUtils.h"

namespace {

using refhost::detail::CGroups;
using refhost::detail::CItemRef;

constexpr const char* kDVTypes = "20..23 (design-variable groups 0..3)";
constexpr const char* kRespTypes = "24..26 (response groups 0..2)";

CGroups DVGroups(std::valarray<double>& g0, std::valarray<double>& g1, std::valarray<double>& g2,
                 std::valarray<double>& g3) {
  CGroups groups(kDVTypes);
  groups.Add(kTypeIndDV, g0).Add(kTypeLinkDV, g1).Add(kTypeSynthDV, g2).Add(kTypeGroup3DV, g3);
  return groups;
}

CGroups RespGroups(std::valarray<double>& g0, std::valarray<double>& g1, std::valarray<double>& g2) {
  CGroups groups(kRespTypes);
  groups.Add(kTypeIndResp, g0).Add(kTypeLinkResp, g1).Add(kTypeSynthResp, g2);
  return groups;
}

// The end of the run of entries from e that share e's type code.  Entries
// go by runs: a run looks its group up once.
std::size_t RunEnd(const std::valarray<int>& type, std::size_t e, std::size_t n) {
  std::size_t e1 = e + 1;
  while (e1 < n && type[e1] == type[e]) ++e1;
  return e1;
}

// The size of the group of type code nType in this call; 0 when it has none
// (an unknown or skipped type), so that every index of it fails.
std::size_t GroupSize(const CGroups& groups, int nType) {
  const std::valarray<double>* pGroup = groups.Accepts(nType) ? groups.AcceptedGroup(nType) : nullptr;
  return pGroup != nullptr ? pGroup->size() : 0;
}

// True when the index lies inside a group of nSize elements.
bool Inside(int nIndex, std::size_t nSize) { return nIndex >= 0 && std::size_t(nIndex) < nSize; }

// out[e] = group(type[e])[index[e]]; out is resized to the number of entries
// only when its length differs (the usual caller passes it at that length).
void Assemble(const char* pszRoutine, const CGroups& groups, const std::valarray<int>& index,
              const std::valarray<int>& type, std::valarray<double>& out) {
  refhost::detail::RequireSize(pszRoutine, "the type array", type.size(), "the index array", index.size());
  const std::size_t n = index.size();
  // Every entry is checked, in order, before out is touched; At reports the
  // first entry whose type has no group or whose index lies outside it.
  for (std::size_t e = 0, e1 = 0; e < n; e = e1) {
    e1 = RunEnd(type, e, n);
    const std::size_t nSize = GroupSize(groups, type[e]);
    for (std::size_t k = e; k < e1; ++k)
      if (!Inside(index[k], nSize)) groups.At(type[k], index[k], CItemRef{pszRoutine, "entry", k, -1});
  }
  if (out.size() != n) out.resize(n);
  for (std::size_t e = 0, e1 = 0; e < n; e = e1) {
    e1 = RunEnd(type, e, n);
    const std::valarray<double>& group = *groups.AcceptedGroup(type[e]);
    for (std::size_t k = e; k < e1; ++k) out[k] = group[std::size_t(index[k])];
  }
}

// Enlarges group to n elements, keeping its values (valarray::resize would
// discard them); the new elements are 0.
void GrowKeeping(std::valarray<double>& group, std::size_t n) {
  std::valarray<double> grown(0.0, n);
  for (std::size_t i = 0; i < group.size(); ++i) grown[i] = group[i];
  group.swap(grown);
}

// Checks every entry of a split: a type code the call does not accept, or a
// negative index, is reported naming its entry.  True when every index
// already lies inside its group (the usual call), so no group grows.
bool CheckSplitEntries(const char* pszRoutine, std::size_t nVector, const std::valarray<int>& index,
                       const std::valarray<int>& type, const CGroups& groups) {
  bool bAllInside = true;
  for (std::size_t e = 0, e1 = 0; e < nVector; e = e1) {
    e1 = RunEnd(type, e, nVector);
    const int nType = type[e];
    if (!groups.Accepts(nType)) groups.GroupOf(nType, CItemRef{pszRoutine, "entry", e, -1});
    const std::valarray<double>* pGroup = groups.AcceptedGroup(nType);
    if (pGroup == nullptr) continue;  // a skipped type
    const std::size_t nSize = pGroup->size();
    for (std::size_t k = e; k < e1; ++k) {
      if (index[k] < 0) refhost::detail::CheckIndex(index[k], nSize, nType, CItemRef{pszRoutine, "entry", k, -1});
      bAllInside &= std::size_t(index[k]) < nSize;
    }
  }
  return bAllInside;
}

// Grows every group that an entry reaches beyond to the largest index + 1
// (the entries are checked).
void GrowSplitGroups(std::size_t nVector, const std::valarray<int>& index, const std::valarray<int>& type,
                     const CGroups& groups) {
  constexpr std::size_t kSlots = CGroups::kLastType - CGroups::kFirstType + 1;
  std::array<std::size_t, kSlots> needed{};
  for (std::size_t e = 0; e < nVector; ++e) {
    if (groups.AcceptedGroup(type[e]) == nullptr) continue;
    std::size_t& nNeeded = needed[std::size_t(type[e] - CGroups::kFirstType)];
    nNeeded = std::max(nNeeded, std::size_t(index[e]) + 1);
  }
  for (int nType = CGroups::kFirstType; nType <= CGroups::kLastType; ++nType) {
    const std::size_t nNeeded = needed[std::size_t(nType - CGroups::kFirstType)];
    if (nNeeded == 0) continue;  // no entry names the group
    std::valarray<double>& group = *groups.AcceptedGroup(nType);
    if (group.size() < nNeeded) GrowKeeping(group, nNeeded);
  }
}

// The inverse of Assemble over the nVector values at pVector.  A group keeps
// its size when every index naming it fits, and otherwise grows to the
// largest index + 1, so callers that size the groups from the database keep
// them, and callers that pass empty groups get them sized from the entries.
// Elements that no entry names keep their values.
void Split(const char* pszRoutine, const double* pVector, std::size_t nVector, const std::valarray<int>& index,
           const std::valarray<int>& type, const CGroups& groups) {
  refhost::detail::RequireSize(pszRoutine, "the type array", type.size(), "the index array", index.size());
  refhost::detail::RequireSize(pszRoutine, "the vector", nVector, "the index array", index.size());
  if (!CheckSplitEntries(pszRoutine, nVector, index, type, groups)) GrowSplitGroups(nVector, index, type, groups);
  // Every entry was checked above.
  for (std::size_t e = 0, e1 = 0; e < nVector; e = e1) {
    e1 = RunEnd(type, e, nVector);
    std::valarray<double>* pGroup = groups.AcceptedGroup(type[e]);
    if (pGroup == nullptr) continue;
    for (std::size_t k = e; k < e1; ++k) (*pGroup)[std::size_t(index[k])] = pVector[k];
  }
}

const double* Data(const std::valarray<double>& v) { return v.size() != 0 ? &v[0] : nullptr; }

}  // namespace

void SetXVector(std::valarray<double>& group0, std::valarray<double>& group1, std::valarray<double>& group2,
                std::valarray<double>& group3, std::valarray<int>& index, std::valarray<int>& type,
                std::valarray<double>& out) {
  Assemble("SetXVector", DVGroups(group0, group1, group2, group3), index, type, out);
}

void ExtractAllTypeDV(std::valarray<double>& vector, std::valarray<int>& index, std::valarray<int>& type,
                      std::valarray<double>& group0, std::valarray<double>& group3, std::valarray<double>& group1,
                      std::valarray<double>& group2) {
  Split("ExtractAllTypeDV", Data(vector), vector.size(), index, type, DVGroups(group0, group1, group2, group3));
}

void SetRVector(std::valarray<double>& group0, std::valarray<double>& group1, std::valarray<double>& group2,
                std::valarray<int>& index, std::valarray<int>& type, std::valarray<double>& out) {
  Assemble("SetRVector", RespGroups(group0, group1, group2), index, type, out);
}

void ExtractAllTypeResp(std::valarray<double>& vector, std::valarray<int>& index, std::valarray<int>& type,
                        std::valarray<double>& group0, std::valarray<double>& group1, std::valarray<double>& group2) {
  Split("ExtractAllTypeResp", Data(vector), vector.size(), index, type, RespGroups(group0, group1, group2));
}

void ExtractIndResp(int nCol, CMatrix<double>& responses, std::valarray<int>& index, std::valarray<int>& type,
                    std::valarray<double>& group0) {
  static constexpr const char* kRoutine = "ExtractIndResp";
  if (nCol < 0 || nCol >= responses.Cols())
    throw std::out_of_range(std::string(kRoutine) + ": column " + std::to_string(nCol) +
                            " is outside the response matrix (" + std::to_string(responses.Cols()) + " columns)");
  CGroups groups(kRespTypes);
  groups.Add(kTypeIndResp, group0).Skip(kTypeLinkResp).Skip(kTypeSynthResp);
  // The column is read in place: the matrix is column-major.
  Split(kRoutine, responses.ColData(nCol), std::size_t(responses.Rows()), index, type, groups);
}
