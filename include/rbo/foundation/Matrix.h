// Dense column-major matrix shared between the library and its host.
//
// Element (i, j) lives at storage index i + j * Rows(): every column is one
// contiguous run, every row is strided by Rows().  Matrices that carry points
// hold one point per column.
//
// The checked operations throw std::out_of_range with a fixed message and
// leave the matrix exactly as it was; they write nothing to the log.  Row,
// Col, GetRow, GetCol and the element accessors do not check their indices
// in release builds; debug builds (without NDEBUG) assert them, so an index
// outside the matrix stops there instead of corrupting memory.
#pragma once

#include <cassert>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <valarray>

#include "rbo/Export.h"

/// A non-owning view of one row or one column of a CMatrix.  Valid while the
/// matrix keeps its storage array (assignment and appending replace it).
template <class T>
class CMatrixSlice {
 public:
  CMatrixSlice(std::valarray<T>* pData, std::size_t nStart, std::size_t nSize, std::size_t nStride)
      : m_pData(pData), m_nStart(nStart), m_nSize(nSize), m_nStride(nStride) {}

  /// Element k of the view: storage element start + k * stride.
  T& operator[](std::size_t k) const {
    assert(k < m_nSize && "CMatrixSlice: index outside the view");
    return (*m_pData)[m_nStart + k * m_nStride];
  }
  std::size_t size() const { return m_nSize; }

 private:
  std::valarray<T>* m_pData;  ///< storage of the viewed matrix (not owned)
  std::size_t m_nStart;       ///< storage index of element 0
  std::size_t m_nSize;        ///< number of elements in the view
  std::size_t m_nStride;      ///< storage distance between neighbours
};

template <class T>
class RBO_API CMatrix {
 public:
  /// The empty matrix: 0 x 0, owning an empty storage array.
  CMatrix() : m_pData(new std::valarray<T>()), m_nCols(0), m_nRows(0) {}

  /// rows x cols zeros.  Throws out_of_range for a negative size (rows first).
  CMatrix(int nRows, int nCols) : CMatrix(nRows, nCols, T()) {}

  /// rows x cols copies of value.
  CMatrix(int nRows, int nCols, const T& value) : m_pData(nullptr), m_nCols(CheckCols(nCols, nRows)), m_nRows(nRows) {
    m_pData = new std::valarray<T>(value, Count(nRows, nCols));
  }

  /// rows x cols filled from values: in storage order when bColumnMajor,
  /// otherwise row by row (element (r, c) = values[r * cols + c]).
  /// Throws "CMatrix: size mismatch" when values has not rows * cols elements.
  CMatrix(int nRows, int nCols, const std::valarray<T>& values, bool bColumnMajor)
      : m_pData(nullptr), m_nCols(CheckCols(nCols, nRows)), m_nRows(nRows) {
    const std::size_t n = Count(nRows, nCols);
    if (n != values.size()) throw std::out_of_range(std::string("CMatrix: size mismatch"));
    m_pData = new std::valarray<T>(n);
    if (bColumnMajor) {
      *m_pData = values;
    } else {
      for (int r = 0; r < nRows; ++r)
        for (int c = 0; c < nCols; ++c) (*m_pData)[Index(r, c)] = values[std::size_t(r) * nCols + c];
    }
  }

  CMatrix(const CMatrix& other)
      : m_pData(new std::valarray<T>(*other.m_pData)), m_nCols(other.m_nCols), m_nRows(other.m_nRows) {}

  CMatrix& operator=(const CMatrix& other) {
    if (m_pData == other.m_pData && m_nRows == other.m_nRows && m_nCols == other.m_nCols) return *this;
    auto* pNew = new std::valarray<T>(*other.m_pData);
    delete m_pData;
    m_pData = pNew;
    m_nRows = other.m_nRows;
    m_nCols = other.m_nCols;
    return *this;
  }

  /// Takes other's storage without copying it; other becomes the empty matrix.
  CMatrix(CMatrix&& other) : CMatrix() { *this = std::move(other); }

  /// Exchanges the storage with other's (no copy): a large matrix replaced
  /// by a temporary never exists twice.
  CMatrix& operator=(CMatrix&& other) noexcept {
    std::swap(m_pData, other.m_pData);
    std::swap(m_nRows, other.m_nRows);
    std::swap(m_nCols, other.m_nCols);
    return *this;
  }

  virtual ~CMatrix() { delete m_pData; }

  int Rows() const { return m_nRows; }
  int Cols() const { return m_nCols; }

  CMatrixSlice<T> Row(int i) {
    AssertRow(i);
    return CMatrixSlice<T>(m_pData, std::size_t(i), std::size_t(m_nCols), std::size_t(m_nRows));
  }
  CMatrixSlice<T> Col(int j) {
    AssertCol(j);
    return CMatrixSlice<T>(m_pData, Index(0, j), std::size_t(m_nRows), 1);
  }

  /// out = row i (out is resized to Cols()).
  void GetRow(int i, std::valarray<T>& out) const {
    AssertRow(i);
    if (out.size() != std::size_t(m_nCols)) out.resize(std::size_t(m_nCols));
    for (int k = 0; k < m_nCols; ++k) out[k] = (*m_pData)[Index(i, k)];
  }

  /// out = column j (out is resized to Rows()).
  void GetCol(int j, std::valarray<T>& out) const {
    AssertCol(j);
    if (out.size() != std::size_t(m_nRows)) out.resize(std::size_t(m_nRows));
    const T* p = ColData(j);
    for (int k = 0; k < m_nRows; ++k) out[k] = p[k];
  }

  /// Overwrites column j in place; the storage array is kept, so views of
  /// other columns stay valid.
  void ReplaceCol(int j, const std::valarray<T>& col) {
    if (j < 0 || j >= m_nCols) throw std::out_of_range(std::string("CMatrix::ReplaceCol invalid column number"));
    if (col.size() != std::size_t(m_nRows))
      throw std::out_of_range(std::string("CMatrix::ReplaceCol invalid array size"));
    T* p = ColData(j);
    for (int k = 0; k < m_nRows; ++k) p[k] = col[k];
  }

  /// Adds row as a new last row.  On the empty matrix it becomes 1 x n.
  void AppendRow(const std::valarray<T>& row) {
    if (IsEmpty()) {
      *this = CMatrix(1, int(row.size()), row, false);
      return;
    }
    if (row.size() != std::size_t(m_nCols))
      throw std::out_of_range(std::string("CMatrix::AppendRow invalid array size"));
    CMatrix grown(m_nRows + 1, m_nCols);
    for (int i = 0; i < m_nRows; ++i)
      for (int k = 0; k < m_nCols; ++k) grown(i, k) = (*this)(i, k);
    for (int k = 0; k < m_nCols; ++k) grown(m_nRows, k) = row[k];
    *this = std::move(grown);
  }

  /// Adds col as a new last column.  On the empty matrix it becomes n x 1.
  void AppendCol(const std::valarray<T>& col) {
    if (IsEmpty()) {
      *this = CMatrix(int(col.size()), 1, col, true);
      return;
    }
    if (col.size() != std::size_t(m_nRows))
      throw std::out_of_range(std::string("CMatrix::AppendCol invalid array size"));
    CMatrix grown(m_nRows, m_nCols + 1);
    for (int k = 0; k < m_nCols; ++k)
      for (int i = 0; i < m_nRows; ++i) grown(i, k) = (*this)(i, k);
    for (int i = 0; i < m_nRows; ++i) grown(i, m_nCols) = col[i];
    *this = std::move(grown);
  }

  // Unchecked element access and raw column access, for code that fills a
  // matrix in place instead of copying columns through temporaries.
  T& operator()(int i, int j) {
    AssertElement(i, j);
    return (*m_pData)[Index(i, j)];
  }
  const T& operator()(int i, int j) const {
    AssertElement(i, j);
    return (*m_pData)[Index(i, j)];
  }
  /// Column j's first element; null for a matrix without elements.
  T* ColData(int j) {
    if (m_pData->size() == 0) return nullptr;
    AssertCol(j);
    return &(*m_pData)[0] + Index(0, j);
  }
  const T* ColData(int j) const {
    if (m_pData->size() == 0) return nullptr;
    AssertCol(j);
    return &(*m_pData)[0] + Index(0, j);
  }
  /// The storage array, in column-major order.
  const std::valarray<T>& Storage() const { return *m_pData; }

 private:
  bool IsEmpty() const { return m_nRows == 0 && m_nCols == 0; }
  // Debug-build checks of the unchecked accessors; nothing in release builds.
  void AssertRow([[maybe_unused]] int i) const {
    assert(i >= 0 && i < m_nRows && "CMatrix: row index outside the matrix");
  }
  void AssertCol([[maybe_unused]] int j) const {
    assert(j >= 0 && j < m_nCols && "CMatrix: column index outside the matrix");
  }
  void AssertElement(int i, int j) const {
    AssertRow(i);
    AssertCol(j);
  }
  std::size_t Index(int i, int j) const { return std::size_t(i) + std::size_t(j) * std::size_t(m_nRows); }
  static std::size_t Count(int nRows, int nCols) { return std::size_t(nRows) * std::size_t(nCols); }
  // Rows are checked before columns, so CMatrix(-1, -1) reports the rows.
  static int CheckCols(int nCols, int nRows) {
    if (nRows < 0) throw std::out_of_range(std::string("CMatrix: invalid number of rows"));
    if (nCols < 0) throw std::out_of_range(std::string("CMatrix: invalid number of columns"));
    return nCols;
  }

  std::valarray<T>* m_pData;  ///< element storage, never null
  int m_nCols;                ///< number of columns
  int m_nRows;                ///< number of rows
};
