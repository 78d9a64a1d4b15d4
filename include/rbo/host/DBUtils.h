// The host's database utilities: vector assembly, evaluation of linked and
// synthetic quantities, constraints and objective, the analysis runner and
// the polynomial approximation models.
//
// Reference host: bad definitions are rejected before anything is written
// (outputs keep their contents), with a message that names the routine and
// the entry, quantity, argument, constraint or term at fault:
// std::invalid_argument for a type code that the routine does not accept or
// definition arrays that disagree in size, std::out_of_range for an index
// outside its group.
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

/// out = the design-variable vector assembled from groups 0..3: out[e] =
/// group(type[e])[index[e]] with type codes 20..23.  out is resized to the
/// number of entries only when its length differs.
RBO_HOST_API void SetXVector(std::valarray<double>& group0, std::valarray<double>& group1,
                             std::valarray<double>& group2, std::valarray<double>& group3, std::valarray<int>& index,
                             std::valarray<int>& type, std::valarray<double>& out);

/// Splits a design-variable vector into its groups.  Note the order: 0, 3, 1, 2.
/// The vector must have one value per entry.  A group keeps its size when
/// every index naming it fits, and otherwise grows (keeping its values) to the
/// largest index + 1; elements that no entry names keep their values.
RBO_HOST_API void ExtractAllTypeDV(std::valarray<double>& vector, std::valarray<int>& index, std::valarray<int>& type,
                                   std::valarray<double>& group0, std::valarray<double>& group3,
                                   std::valarray<double>& group1, std::valarray<double>& group2);

/// out = the response vector assembled from response groups 0..2 (type codes
/// 24..26), as SetXVector.
RBO_HOST_API void SetRVector(std::valarray<double>& group0, std::valarray<double>& group1,
                             std::valarray<double>& group2, std::valarray<int>& index, std::valarray<int>& type,
                             std::valarray<double>& out);

/// Splits a response vector into response groups 0..2, as ExtractAllTypeDV.
RBO_HOST_API void ExtractAllTypeResp(std::valarray<double>& vector, std::valarray<int>& index, std::valarray<int>& type,
                                     std::valarray<double>& group0, std::valarray<double>& group1,
                                     std::valarray<double>& group2);

/// group0 = the independent responses (type 24) held in column nCol of the
/// response matrix, which has one row per entry; entries of types 25 and 26
/// are skipped.  group0 is sized as by ExtractAllTypeResp.
RBO_HOST_API void ExtractIndResp(int nCol, CMatrix<double>& responses, std::valarray<int>& index,
                                 std::valarray<int>& type, std::valarray<double>& group0);

/// out = the linked quantities, each a function of other quantities.
/// Quantity k applies shared function linkFunc[k]; its argument a is the value
/// (argType[k][a], argIndex[k][a]) among dv0..dv3 (types 20..23) and resp0
/// (24).  Function code 0 is the linear combination c0 + c1*arg0 + c2*arg1 + ...
/// with coefficients[linkFunc[k]], which must hold one more coefficient than
/// there are arguments.  Arguments are read as they were when the call began,
/// even when out is also an argument group.  out is resized to linkFunc.size().
RBO_HOST_API void EvalLinks(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                            std::valarray<double>& dv3, std::valarray<double>& resp0, std::valarray<int>& linkFunc,
                            std::vector<std::vector<int>>& argIndex, std::vector<std::vector<int>>& argType,
                            std::vector<int>& funcCodes, std::vector<std::vector<double>>& coefficients,
                            std::valarray<double>& out);

/// out = the synthetic quantities, each an expression of other quantities.
/// Quantity k evaluates expressions[synthFunc[k]] (function code 0) with its
/// argument a bound to the variable x<argSlot[k][a]>, or x<a> when k has no
/// slot list; arguments are located among dv0..dv3 and resp0, resp1 (types
/// 20..25).  A variable that the expression uses must be bound; an argument
/// whose variable it does not use is ignored.  Parsed expressions are cached
/// per thread, keyed by their text.  A parse error (std::invalid_argument) or
/// evaluation error (std::runtime_error) names the quantity, the expression
/// and the parser's message.  Values are not checked: an expression may yield
/// inf or nan.  Arguments are read as by EvalLinks; out is resized to
/// synthFunc.size().
RBO_HOST_API void EvalSynth(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                            std::valarray<double>& dv3, std::valarray<double>& resp0, std::valarray<double>& resp1,
                            std::valarray<int>& synthFunc, std::vector<std::vector<int>>& argIndex,
                            std::vector<std::vector<int>>& argType, std::vector<std::vector<int>>& argSlot,
                            std::vector<int>& funcCodes, std::vector<std::string>& expressions,
                            std::valarray<double>& out);

/// The design point's constraint value (<= 0 when every constraint holds): the
/// largest scaled violation, (value - bound) / scale for an upper bound (side
/// > 0) and (bound - value) / scale for a lower bound, where value is the
/// subject (subjectType, subjectIndex) among dv0..dv2 and resp0..resp2 (types
/// 20..22, 24..26).  Scales must be positive.  Without constraints the value is
/// -1e30 (always feasible); a nan subject gives nan, never a feasible value.
/// target is reporting data of the host and is not used.
RBO_HOST_API double EvalConstr(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                               std::valarray<double>& resp0, std::valarray<double>& resp1, std::valarray<double>& resp2,
                               std::valarray<double>& bound, std::valarray<double>& scale, std::valarray<int>& side,
                               std::valarray<double>& target, std::valarray<int>& subjectIndex,
                               std::valarray<int>& subjectType);

/// The design point's objective value:
///   sense[0] * (offset[0] + sum_k coef[k] * f_k(subject_k)) / scale[0]
/// with f_k the value (func[k] = 0) or its square (1) of the subject
/// (subjectType[k], subjectIndex[k]), located as by EvalConstr.  Empty sense,
/// scale and offset arrays stand for 1 (minimise), 1 and 0; sense must be 1 or
/// -1 and scale positive.
RBO_HOST_API double EvalObj(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                            std::valarray<double>& resp0, std::valarray<double>& resp1, std::valarray<double>& resp2,
                            std::valarray<int>& subjectIndex, std::valarray<int>& subjectType, std::valarray<int>& func,
                            std::valarray<double>& coef, std::valarray<int>& sense, std::valarray<double>& scale,
                            std::valarray<double>& offset);

/// Lets the host move constraint bounds after the responses of a batch are known.
/// The reference host's bounds are fixed by the problem definition, so it does
/// nothing; the two arrays are the host's own and are left untouched.
RBO_HOST_API void AdjustConstrBoundsResps(CDB* pDB, std::valarray<double>& a, std::valarray<double>& b);

/// Runs one analysis per column of inputs, serially; outputs gets one column per input column.
/// Reference host: the analysis is the in-process function set by
/// refhost::SetAnalysis (none set: std::runtime_error); it receives column j
/// and an output vector of outputs.Rows() values, all nan on entry.  outputs
/// keeps its rows; when its columns differ from the inputs' it becomes a zero
/// matrix of rows x input columns.  An analysis that throws, changes the length
/// of its output vector or leaves a non-finite output stops the run with a
/// std::runtime_error naming the analysis point and its inputs (the analysis'
/// own exception nested); the columns already done keep their results.  With a
/// batch analysis set instead (refhost::SetBatchAnalysis), the columns go to
/// it in chunks (refhost::AnalyseBatch).  The file, program, flag and integer
/// arguments describe an external analysis program and are ignored by the
/// in-process runner.
RBO_HOST_API void Analysis(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& inName, std::string& outName,
                           std::string& exe, std::string& cmd, bool bFlag, int nArg8, int nArg9);

/// As Analysis, on a pool of worker threads; returns when every analysis is done.
/// Reference host: the calling thread and refhost::SetWorkerCount() - 1 further
/// threads (default: one per core, never more than there are columns) take
/// columns one at a time, so the analysis function must be safe to call
/// concurrently.  After a failure no further column is started; when every
/// worker has stopped, the failure of the lowest-numbered failed column is
/// rethrown.  The string, flag and integer arguments (nWorkers included) are
/// ignored as by Analysis; the worker count comes from SetWorkerCount.  A batch
/// analysis (refhost::SetBatchAnalysis) runs as under Analysis, from the
/// calling thread: its parallelism is its own.
RBO_HOST_API void AnalysePar(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& s3, std::string& s4,
                             std::string& inName, std::string& outName, std::string& exe, std::string& cmd,
                             int nWorkers, bool bFlag, std::string& s11, int nArg12);

/// Builds the polynomial model of the given order code over nVars variables
/// at nPoints points (rows of X): E (variables x terms) holds the exponents,
/// A (points x terms) the model matrix.  Returns the number of terms, or 0
/// when the model cannot be built.
///
/// Reference host.  X is nPoints x nVars (row p = point p, column i =
/// variable i; an empty X is accepted when nPoints is 0) and weights has
/// nPoints elements (not used by the model itself).  Order codes and terms,
/// in this order (each code's terms are a prefix of the next code's):
///   0 linear              1, x_0 .. x_{n-1}                            1 + n terms
///   1 linear and squares  then x_0^2 .. x_{n-1}^2                      1 + 2n
///   2 full quadratic      then x_i x_j for i < j (i outer, j inner)    1 + 2n + n(n-1)/2
///   3 full cubic          then x_i^3; x_i^2 x_j for j != i (i outer);
///                         x_i x_j x_k for i < j < k                    (n+1)(n+2)(n+3)/6
/// E(i, t) is the exponent of variable i in term t (term 0 is the constant)
/// and A(p, t) = product over i of pow(X(p, i), E(i, t)).
/// Returns 0, leaving E and A as they were, when nPoints is less than the
/// number of terms; whether the points determine the model (distinct
/// enough) is left to CQR::IsFullRank.
/// Throws std::invalid_argument for an order code outside 0..3, for a
/// fourth argument other than 0 or a fifth other than true (the only
/// supported model: plain, unscaled monomials), for negative counts, and
/// when X or weights do not have the stated shape.
RBO_HOST_API int CreateCheckApproxModelMatrix(int nOrder, int nVars, int nPoints, int nArg4, bool bArg5,
                                              CMatrix<double>& X, std::valarray<double>& weights, CMatrix<int>& E,
                                              CMatrix<double>& A);

/// G(c, i) = d(approximation of response c)/d(variable i) at point, for every c in responses.
///
/// Reference host.  The approximation of response c is
/// sum over t of K(t, c) * product over i of point[i]^E(i, t); its gradient
/// is exact (no differencing).  K is terms x responses, E variables x terms.
/// Only the rows of G named in responses are written, each completely; G
/// keeps its shape.  An empty K (no terms or no responses, as before any
/// fit) leaves G untouched: the caller's zeros stand.  Throws
/// std::invalid_argument when E, point or G do not match K, or a response
/// index is outside K's columns or G's rows.
RBO_HOST_API void EvalApproxGrad(std::valarray<double>& point, std::vector<int>& responses, CMatrix<double>& K,
                                 CMatrix<int>& E, CMatrix<double>& G);
