// The host's database utilities: vector assembly, evaluation of linked and
// synthetic quantities, constraints and objective, the analysis runner and
// the polynomial approximation models.
//
// In the argument lists below "vd" is std::valarray<double>& and "vi" is
// std::valarray<int>&.  The design-variable vector is ordered as SetXVector
// assembles it and the response vector as SetRVector assembles it: entry e
// holds the quantity of type code vi-type[e] with index vi-index[e] in its
// group.
#pragma once

#include <string>
#include <valarray>
#include <vector>

#include "rbo/Export.h"
#include "rbo/foundation/Matrix.h"

class CDB;

/// The RBO method code (0..4) and the number of sample points per design point.
RBO_HOST_API void GetRBOMethodNSamplePoints(int* pnMethod, int* pnSamplePoints);

/// out = the design-variable vector assembled from groups 0..3 (out keeps its length).
RBO_HOST_API void SetXVector(std::valarray<double>& group0, std::valarray<double>& group1,
                             std::valarray<double>& group2, std::valarray<double>& group3,
                             std::valarray<int>& index, std::valarray<int>& type, std::valarray<double>& out);

/// Splits a design-variable vector into its groups.  Note the order: 0, 3, 1, 2.
RBO_HOST_API void ExtractAllTypeDV(std::valarray<double>& vector, std::valarray<int>& index,
                                   std::valarray<int>& type, std::valarray<double>& group0,
                                   std::valarray<double>& group3, std::valarray<double>& group1,
                                   std::valarray<double>& group2);

/// out = the response vector assembled from response groups 0..2 (out keeps its length).
RBO_HOST_API void SetRVector(std::valarray<double>& group0, std::valarray<double>& group1,
                             std::valarray<double>& group2, std::valarray<int>& index,
                             std::valarray<int>& type, std::valarray<double>& out);

/// Splits a response vector into response groups 0..2.
RBO_HOST_API void ExtractAllTypeResp(std::valarray<double>& vector, std::valarray<int>& index,
                                     std::valarray<int>& type, std::valarray<double>& group0,
                                     std::valarray<double>& group1, std::valarray<double>& group2);

/// group0 = the independent responses held in column nCol of the response matrix.
RBO_HOST_API void ExtractIndResp(int nCol, CMatrix<double>& responses, std::valarray<int>& index,
                                 std::valarray<int>& type, std::valarray<double>& group0);

/// out = the linked quantities, each a function of other quantities.
RBO_HOST_API void EvalLinks(std::valarray<double>& dv0, std::valarray<double>& dv1,
                            std::valarray<double>& dv2, std::valarray<double>& dv3,
                            std::valarray<double>& resp0, std::valarray<int>& linkFunc,
                            std::vector<std::vector<int>>& argIndex, std::vector<std::vector<int>>& argType,
                            std::vector<int>& funcCodes, std::vector<std::vector<double>>& coefficients,
                            std::valarray<double>& out);

/// out = the synthetic quantities, each an expression of other quantities.
RBO_HOST_API void EvalSynth(std::valarray<double>& dv0, std::valarray<double>& dv1,
                            std::valarray<double>& dv2, std::valarray<double>& dv3,
                            std::valarray<double>& resp0, std::valarray<double>& resp1,
                            std::valarray<int>& synthFunc, std::vector<std::vector<int>>& argIndex,
                            std::vector<std::vector<int>>& argType, std::vector<std::vector<int>>& argSlot,
                            std::vector<int>& funcCodes, std::vector<std::string>& expressions,
                            std::valarray<double>& out);

/// The design point's constraint value (<= 0 when every constraint holds).
RBO_HOST_API double EvalConstr(std::valarray<double>& dv0, std::valarray<double>& dv1,
                               std::valarray<double>& dv2, std::valarray<double>& resp0,
                               std::valarray<double>& resp1, std::valarray<double>& resp2,
                               std::valarray<double>& bound, std::valarray<double>& scale,
                               std::valarray<int>& side, std::valarray<double>& target,
                               std::valarray<int>& subjectIndex, std::valarray<int>& subjectType);

/// The design point's objective value.
RBO_HOST_API double EvalObj(std::valarray<double>& dv0, std::valarray<double>& dv1,
                            std::valarray<double>& dv2, std::valarray<double>& resp0,
                            std::valarray<double>& resp1, std::valarray<double>& resp2,
                            std::valarray<int>& subjectIndex, std::valarray<int>& subjectType,
                            std::valarray<int>& func, std::valarray<double>& coef,
                            std::valarray<int>& sense, std::valarray<double>& scale,
                            std::valarray<double>& offset);

/// Lets the host move constraint bounds after the responses of a batch are known.
RBO_HOST_API void AdjustConstrBoundsResps(CDB* pDB, std::valarray<double>& a, std::valarray<double>& b);

/// Runs one analysis per column of inputs, serially; outputs gets one column per input column.
RBO_HOST_API void Analysis(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& inName,
                           std::string& outName, std::string& exe, std::string& cmd, bool bFlag,
                           int nArg8, int nArg9);

/// As Analysis, on a pool of worker threads; returns when every analysis is done.
RBO_HOST_API void AnalysePar(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& s3,
                             std::string& s4, std::string& inName, std::string& outName,
                             std::string& exe, std::string& cmd, int nWorkers, bool bFlag,
                             std::string& s11, int nArg12);

/// Builds the polynomial model of the given order code over nVars variables
/// at nPoints points (rows of X): E (variables x terms) holds the exponents,
/// A (points x terms) the model matrix.  Returns the number of terms, or 0
/// when the model cannot be built.
RBO_HOST_API int CreateCheckApproxModelMatrix(int nOrder, int nVars, int nPoints, int nArg4, bool bArg5,
                                              CMatrix<double>& X, std::valarray<double>& weights,
                                              CMatrix<int>& E, CMatrix<double>& A);

/// G(c, i) = d(approximation of response c)/d(variable i) at point, for every c in responses.
RBO_HOST_API void EvalApproxGrad(std::valarray<double>& point, std::vector<int>& responses,
                                 CMatrix<double>& K, CMatrix<int>& E, CMatrix<double>& G);
