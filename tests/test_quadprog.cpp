#include "imaging/quadprog.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using QuadProgPP::Matrix;
using QuadProgPP::Vector;

namespace {

const double infinity = std::numeric_limits<double>::infinity();

/// A rows x cols matrix filled row by row from values.
Matrix<double> make_matrix(unsigned int rows, unsigned int cols, std::initializer_list<double> values) {
    Matrix<double> a(rows, cols);
    auto v = values.begin();
    for (unsigned int i = 0; i < rows; ++i)
        for (unsigned int j = 0; j < cols; ++j) a[i][j] = *v++;
    return a;
}

Vector<double> make_vector(std::initializer_list<double> values) {
    Vector<double> v(static_cast<unsigned int>(values.size()));
    unsigned int i = 0;
    for (double value : values) v[i++] = value;
    return v;
}

Matrix<double> identity(unsigned int n) {
    Matrix<double> a(n, n);
    for (unsigned int i = 0; i < n; ++i)
        for (unsigned int j = 0; j < n; ++j) a[i][j] = i == j ? 1.0 : 0.0;
    return a;
}

// ---------------------------------------------------------------- containers

TEST(QuadProgContainers, DefaultConstructedAreEmpty) {
    Matrix<double> a;
    Vector<double> v;
    EXPECT_EQ(a.rows(), 0u);
    EXPECT_EQ(a.cols(), 0u);
    EXPECT_EQ(v.size(), 0u);
}

TEST(QuadProgContainers, ResizeToTheSameShapeKeepsStorageAndValues) {
    Matrix<double> a = make_matrix(2, 3, {1, 2, 3, 4, 5, 6});
    const auto block = reinterpret_cast<std::uintptr_t>(a[0]);
    a.resize(2, 3);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a[0]), block);
    EXPECT_EQ(a[1][2], 6.0);
    EXPECT_EQ(a[1], a[0] + 3);

    Vector<int> v(4);
    v[3] = 7;
    const auto elements = reinterpret_cast<std::uintptr_t>(&v[0]);
    v.resize(4);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&v[0]), elements);
    EXPECT_EQ(v[3], 7);
}

TEST(QuadProgContainers, ResizeToAnotherShapeGivesFreshStorageOfThatShape) {
    Matrix<double> a = make_matrix(2, 3, {1, 2, 3, 4, 5, 6});
    a.resize(3, 2);
    EXPECT_EQ(a.rows(), 3u);
    EXPECT_EQ(a.cols(), 2u);
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_EQ(a[i], a[0] + 2 * i);
        for (unsigned int j = 0; j < 2; ++j) a[i][j] = 10.0 * i + j;  // every element writable
    }
    a.resize(6, 20001);
    EXPECT_EQ(a.rows(), 6u);
    EXPECT_EQ(a.cols(), 20001u);
    a[5][20000] = 1.0;

    Vector<bool> v(2);
    v.resize(20001);
    EXPECT_EQ(v.size(), 20001u);
    v[20000] = true;
    EXPECT_TRUE(v[20000]);
}

TEST(QuadProgContainers, SixByZeroMatrixHasSixRowsStartingAtOneEmptyBlock) {
    Matrix<double> a;
    a.resize(6, 0);
    EXPECT_EQ(a.rows(), 6u);
    EXPECT_EQ(a.cols(), 0u);
    EXPECT_NE(a[0], nullptr);
    for (unsigned int i = 1; i < 6; ++i) EXPECT_EQ(a[i], a[0]);

    Vector<double> v;
    v.resize(0);
    EXPECT_EQ(v.size(), 0u);
}

TEST(QuadProgContainers, MoveHandsOverStorageAndEmptiesTheSource) {
    Matrix<double> a = make_matrix(1, 2, {3, 4});
    Matrix<double> b(std::move(a));
    EXPECT_EQ(a.rows(), 0u);
    EXPECT_EQ(a.cols(), 0u);
    EXPECT_EQ(b[0][1], 4.0);

    Vector<double> v = make_vector({5});
    Vector<double> w;
    w = std::move(v);
    EXPECT_EQ(v.size(), 0u);
    EXPECT_EQ(w[0], 5.0);
}

// ---------------------------------------------------------------- Cholesky factor

TEST(QuadProgCholesky, FactorsInPlaceWithTheMirrorAboveTheDiagonal) {
    // L = [2 0 0; 1 3 0; -1 2 4] has an integer product, so every step is exact.
    Matrix<double> a = make_matrix(3, 3, {4, 2, -2, 2, 10, 5, -2, 5, 21});
    QuadProgPP::cholesky_decomposition(a);
    const double expected[3][3] = {{2, 1, -1}, {1, 3, 2}, {-1, 2, 4}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(a[i][j], expected[i][j]) << i << "," << j;
}

TEST(QuadProgCholesky, ReadsOnlyTheDiagonalAndTheUpperTriangle) {
    Matrix<double> a = make_matrix(3, 3, {4, 2, -2, 99, 10, 5, -7, 1e300, 21});
    QuadProgPP::cholesky_decomposition(a);
    EXPECT_EQ(a[2][1], 2.0);
    EXPECT_EQ(a[1][2], 2.0);
    EXPECT_EQ(a[2][2], 4.0);
}

TEST(QuadProgCholesky, IdentityIsItsOwnFactor) {
    Matrix<double> a = identity(6);
    QuadProgPP::cholesky_decomposition(a);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) EXPECT_EQ(a[i][j], i == j ? 1.0 : 0.0);
}

TEST(QuadProgCholesky, SolveInvertsTheFactoredMatrix) {
    Matrix<double> a = make_matrix(3, 3, {4, 2, -2, 2, 10, 5, -2, 5, 21});
    QuadProgPP::cholesky_decomposition(a);
    const Vector<double> b = make_vector({2, 37, 71});  // the matrix times (1, 2, 3)
    Vector<double> x(3);
    QuadProgPP::cholesky_solve(a, x, b);
    EXPECT_NEAR(x[0], 1.0, 1e-14);
    EXPECT_NEAR(x[1], 2.0, 1e-14);
    EXPECT_NEAR(x[2], 3.0, 1e-14);
}

// ---------------------------------------------------------------- active-set steps

TEST(QuadProgSteps, DeletingAConstraintThatIsNotActiveChangesNothing) {
    Matrix<double> R = make_matrix(2, 2, {3, 1, 0, 2});
    Matrix<double> J = identity(2);
    Vector<int> A(3);
    Vector<double> u = make_vector({0.5, 0.25, 0.125});
    A[0] = 4;
    A[1] = 6;
    A[2] = 9;
    int q = 2;
    QuadProgPP::delete_constraint(R, J, A, u, 2, 0, q, 5);
    EXPECT_EQ(q, 2);
    EXPECT_EQ(A[0], 4);
    EXPECT_EQ(A[1], 6);
    EXPECT_EQ(A[2], 9);
    EXPECT_EQ(u[2], 0.125);
    EXPECT_EQ(R[0][1], 1.0);
    EXPECT_EQ(J[0][0], 1.0);
}

TEST(QuadProgSteps, DeletingCarriesTheConstraintBeingAddedDownTheList) {
    // Two active constraints with R = I; dropping the first shifts the second and the one being
    // added (position 2) down, and clears position 2.
    Matrix<double> R = identity(2);
    Matrix<double> J = identity(2);
    Vector<int> A(3);
    Vector<double> u = make_vector({0.5, 0.25, 0.125});
    A[0] = 4;
    A[1] = 6;
    A[2] = 9;
    int q = 2;
    QuadProgPP::delete_constraint(R, J, A, u, 2, 0, q, 4);
    EXPECT_EQ(q, 1);
    EXPECT_EQ(A[0], 6);
    EXPECT_EQ(A[1], 9);
    EXPECT_EQ(A[2], 0);
    EXPECT_EQ(u[0], 0.25);
    EXPECT_EQ(u[1], 0.125);
    EXPECT_EQ(u[2], 0.0);
    // The remaining column (0, 1) is rotated back to upper-triangular form, J along with it.
    EXPECT_EQ(R[0][0], 1.0);
    EXPECT_EQ(R[1][0], 0.0);
    EXPECT_EQ(R[0][1], 0.0);
    EXPECT_EQ(J[0][0], 0.0);
    EXPECT_EQ(J[1][0], 1.0);
}

TEST(QuadProgSteps, AddingADependentConstraintFailsAndLeavesItsColumnWritten) {
    Matrix<double> R(2, 2);
    Matrix<double> J = identity(2);
    for (int i = 0; i < 2; ++i) R[i][0] = R[i][1] = 0.0;
    Vector<double> d = make_vector({1, 0});
    int q = 0;
    double r_scale = 1.0;
    EXPECT_TRUE(QuadProgPP::add_constraint(R, J, d, q, r_scale));
    EXPECT_EQ(q, 1);
    EXPECT_EQ(R[0][0], 1.0);

    // The same normal again: nothing of it lies outside the active span.
    d[0] = 2.0;
    d[1] = 0.0;
    EXPECT_FALSE(QuadProgPP::add_constraint(R, J, d, q, r_scale));
    EXPECT_EQ(q, 2);
    EXPECT_EQ(R[0][1], 2.0);
    EXPECT_EQ(r_scale, 1.0);
}

// ---------------------------------------------------------------- solver: small exact cases

TEST(QuadProgSolve, LowerBoundIsMet) {
    Matrix<double> G = make_matrix(1, 1, {1});
    const Vector<double> g0 = make_vector({0});
    Matrix<double> CE(1, 0);
    Vector<double> ce0;
    const Matrix<double> CI = make_matrix(1, 1, {1});
    const Vector<double> ci0 = make_vector({-1});
    Vector<double> x;
    EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), 0.5);
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0], 1.0);
}

TEST(QuadProgSolve, ContradictoryBoundsGiveInfinityAndTheLastIterate) {
    Matrix<double> G = make_matrix(1, 1, {1});
    const Vector<double> g0 = make_vector({0});
    Matrix<double> CE(1, 0);
    Vector<double> ce0;
    const Matrix<double> CI = make_matrix(1, 2, {1, -1});
    const Vector<double> ci0 = make_vector({-1, 0});
    Vector<double> x(1);
    EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), infinity);
    EXPECT_EQ(x[0], 1.0);
}

TEST(QuadProgSolve, WithoutConstraintsReturnsTheUnconstrainedMinimum) {
    // x = -G^-1 g0 = (-0.8, 0.6), objective 1/2 g0.x = -0.7.
    Matrix<double> G = make_matrix(2, 2, {2, 1, 1, 3});
    const Vector<double> g0 = make_vector({1, -1});
    Matrix<double> CE(2, 0);
    Matrix<double> CI(2, 0);
    Vector<double> ce0, ci0, x;
    const double f = QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x);
    ASSERT_EQ(x.size(), 2u);
    EXPECT_NEAR(x[0], -0.8, 1e-15);
    EXPECT_NEAR(x[1], 0.6, 1e-15);
    EXPECT_NEAR(f, -0.7, 1e-15);
}

TEST(QuadProgSolve, SatisfiedInequalitiesLeaveTheUnconstrainedMinimumUnchanged) {
    Matrix<double> G_free = make_matrix(2, 2, {2, 1, 1, 3});
    Matrix<double> G = make_matrix(2, 2, {2, 1, 1, 3});
    const Vector<double> g0 = make_vector({1, -1});
    Matrix<double> CE(2, 0);
    Matrix<double> CI_none(2, 0);
    Vector<double> ce0, ci0_none, x_free, x;
    const double f_free = QuadProgPP::solve_quadprog(G_free, g0, CE, ce0, CI_none, ci0_none, x_free);

    const Matrix<double> CI = make_matrix(2, 3, {1, 0, -1, 0, 1, -1});  // x0 >= -1, x1 >= 0, x0 + x1 <= 1
    const Vector<double> ci0 = make_vector({1, 0, 1});
    EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), f_free);
    EXPECT_EQ(x[0], x_free[0]);
    EXPECT_EQ(x[1], x_free[1]);
}

TEST(QuadProgSolve, EqualMostNegativeSlacksAddTheLowerIndexFirst) {
    // x >= 1 and x <= -1 both have slack -1 at x = 0. The problem is infeasible, and the last
    // iterate shows which bound was met first.
    for (const double first_normal : {1.0, -1.0}) {
        Matrix<double> G = make_matrix(1, 1, {1});
        const Vector<double> g0 = make_vector({0});
        Matrix<double> CE(1, 0);
        Vector<double> ce0;
        const Matrix<double> CI = make_matrix(1, 2, {first_normal, -first_normal});
        const Vector<double> ci0 = make_vector({-1, -1});
        Vector<double> x;
        EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), infinity);
        EXPECT_EQ(x[0], first_normal);
    }
}

TEST(QuadProgSolve, OtherValuesBelowTheDiagonalOfGChangeNothing) {
    const Matrix<double> CI = make_matrix(2, 2, {1, -1, 2, 1});
    const Vector<double> ci0 = make_vector({-1, 0.5});
    const Vector<double> g0 = make_vector({0.3, -0.2});
    Matrix<double> CE(2, 0);
    Vector<double> ce0, x_sym, x_odd;
    Matrix<double> G_sym = make_matrix(2, 2, {4, 1, 1, 3});
    Matrix<double> G_odd = make_matrix(2, 2, {4, 1, -50, 3});
    const double f_sym = QuadProgPP::solve_quadprog(G_sym, g0, CE, ce0, CI, ci0, x_sym);
    const double f_odd = QuadProgPP::solve_quadprog(G_odd, g0, CE, ce0, CI, ci0, x_odd);
    EXPECT_EQ(f_sym, f_odd);
    EXPECT_EQ(x_sym[0], x_odd[0]);
    EXPECT_EQ(x_sym[1], x_odd[1]);
}

TEST(QuadProgSolve, DependentEqualityStopsAfterStepTowardsIt) {
    // x0 = 1 twice: the second is dependent, so the call ends there with the point of the first.
    Matrix<double> G = identity(2);
    const Vector<double> g0 = make_vector({0, 0});
    const Matrix<double> CE = make_matrix(2, 2, {1, 1, 0, 0});
    const Vector<double> ce0 = make_vector({-1, -1});
    const Matrix<double> CI = make_matrix(2, 1, {0, 1});
    const Vector<double> ci0 = make_vector({-5});  // x1 >= 5, never reached
    Vector<double> x;
    EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), 0.5);
    EXPECT_EQ(x[0], 1.0);
    EXPECT_EQ(x[1], 0.0);
}

TEST(QuadProgSolve, RepeatedFailedAdditionsEndAtTheStepBoundAsInfeasible) {
    // x0 + 2 x1 = -0.5 and x0 + 2 x1 >= 3. With G this small, rounding leaves z just long enough
    // for a full step, the addition then fails, and the choice takes the same candidate again from
    // the same point, over and over. m + p = n here, so the failed addition's removal also clears
    // the position one past the constraint count.
    Matrix<double> G = make_matrix(2, 2, {std::ldexp(1.0, -27), 0, 0, std::ldexp(1.0, -27)});
    const Vector<double> g0 = make_vector({0, 0});
    const Matrix<double> CE = make_matrix(2, 1, {1, 2});
    const Vector<double> ce0 = make_vector({0.5});
    const Matrix<double> CI = make_matrix(2, 1, {1, 2});
    const Vector<double> ci0 = make_vector({-3});
    Vector<double> x;
    EXPECT_EQ(QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x), infinity);
    // x is the saved point of the major iteration: the equality's nearest point to 0.
    EXPECT_NEAR(x[0], -0.1, 1e-15);
    EXPECT_NEAR(x[1], -0.2, 1e-15);
}

// ---------------------------------------------------------------- solver: the gain problem's shape

const unsigned int gains = 6;
const unsigned int samples = 10000;
const unsigned int constraints = 2 * samples + 1;

/// The gain problem: G = I, g0 = -target, the two bounds per sample and the sum of the gains.
struct GainProblem {
    Matrix<double> G = identity(gains);
    Vector<double> g0{gains};
    Matrix<double> CE{gains, 0};
    Vector<double> ce0;
    Matrix<double> CI{gains, constraints};
    Vector<double> ci0{constraints};
    Vector<double> x;

    /// sample(k, j) is the value of layer k at sample j.
    template <typename Sample>
    GainProblem(double target_gain, double dynamic_range, Sample sample) {
        for (unsigned int k = 0; k < gains; ++k) {
            g0[k] = -target_gain;
            for (unsigned int j = 0; j < samples; ++j) {
                CI[k][j] = -sample(k, j);
                CI[k][samples + j] = sample(k, j);
            }
            CI[k][2 * samples] = 1.0;
        }
        for (unsigned int j = 0; j < 2 * samples; ++j) ci0[j] = 0.5 * dynamic_range;
        ci0[2 * samples] = 0.0;
    }

    double solve() { return QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x); }
};

TEST(QuadProgGainShape, FlatSamplesLeaveEveryGainAtTheTarget) {
    GainProblem problem(1.25, 1.0, [](unsigned int, unsigned int) { return 0.0; });
    EXPECT_EQ(problem.solve(), -3.0 * 1.25 * 1.25);
    ASSERT_EQ(problem.x.size(), gains);
    for (unsigned int k = 0; k < gains; ++k) EXPECT_EQ(problem.x[k], 1.25);
    for (unsigned int i = 0; i < gains; ++i)
        for (unsigned int j = 0; j < gains; ++j) EXPECT_EQ(problem.G[i][j], i == j ? 1.0 : 0.0);
}

TEST(QuadProgGainShape, NegativeTargetIsHeldAtZeroByTheSumOfTheGains) {
    GainProblem problem(-0.5, 1.0, [](unsigned int, unsigned int) { return 0.0; });
    EXPECT_EQ(problem.solve(), 0.0);
    for (unsigned int k = 0; k < gains; ++k) EXPECT_EQ(problem.x[k], 0.0);
}

TEST(QuadProgGainShape, ConstantFinestBandIsClippedToHalfTheRange) {
    // Layer 0 is 1 at every sample: |x0| <= 1/2 binds, the other gains stay at the target.
    // All 10000 upper bounds tie; the first is added and leaves the others at slack 0.
    GainProblem problem(2.0, 1.0, [](unsigned int k, unsigned int) { return k == 0 ? 1.0 : 0.0; });
    EXPECT_EQ(problem.solve(), 0.5 * (0.25 + 5 * 4.0) - 2.0 * (0.5 + 5 * 2.0));
    EXPECT_EQ(problem.x[0], 0.5);
    for (unsigned int k = 1; k < gains; ++k) EXPECT_EQ(problem.x[k], 2.0);
}

TEST(QuadProgGainShape, ViolationsWithinTheToleranceAreLeftAsTheyAre) {
    // Identity G: trace_g = trace_inv = 6, so the tolerance is 20001 * 2^-52 * 6 * 6 * 100.
    const double tolerance = 1.5988010915179984e-08;
    EXPECT_EQ(20001.0 * std::ldexp(1.0, -52) * 6.0 * 6.0 * 100.0, tolerance);
    for (const double violation : {tolerance, std::nextafter(tolerance, 1.0)}) {
        GainProblem problem(0.0, 1.0, [](unsigned int, unsigned int) { return 0.0; });
        problem.CI[0][0] = -1.0;  // x0 <= -violation, every other slack positive
        problem.ci0[0] = -violation;
        problem.ci0[2 * samples] = 1.0;
        const double f = problem.solve();
        if (violation == tolerance) {
            EXPECT_EQ(f, 0.0);
            EXPECT_EQ(problem.x[0], 0.0);
        } else {
            EXPECT_GT(f, 0.0);
            EXPECT_EQ(problem.x[0], -violation);
        }
    }
}

// ---------------------------------------------------------------- solver against an independent oracle

/// A small problem with its normals stored as plain vectors, one per constraint.
struct SmallProblem {
    int n = 0;
    std::vector<std::vector<double>> G;
    std::vector<double> g0;
    std::vector<std::vector<double>> equality_normals;
    std::vector<double> ce0;
    std::vector<std::vector<double>> inequality_normals;
    std::vector<double> ci0;

    double objective(const std::vector<double>& x) const {
        double f = 0.0;
        for (int i = 0; i < n; ++i) {
            f += g0[i] * x[i];
            for (int j = 0; j < n; ++j) f += 0.5 * x[i] * G[i][j] * x[j];
        }
        return f;
    }
};

/// Solves K y = rhs by Gaussian elimination with partial pivoting; false when K is singular.
bool solve_linear(std::vector<std::vector<double>> K, std::vector<double> rhs, std::vector<double>& y) {
    const int size = static_cast<int>(rhs.size());
    for (int col = 0; col < size; ++col) {
        int pivot = col;
        for (int row = col + 1; row < size; ++row)
            if (std::fabs(K[row][col]) > std::fabs(K[pivot][col])) pivot = row;
        if (std::fabs(K[pivot][col]) < 1e-12) return false;
        std::swap(K[pivot], K[col]);
        std::swap(rhs[pivot], rhs[col]);
        for (int row = col + 1; row < size; ++row) {
            const double factor = K[row][col] / K[col][col];
            for (int c = col; c < size; ++c) K[row][c] -= factor * K[col][c];
            rhs[row] -= factor * rhs[col];
        }
    }
    y.assign(size, 0.0);
    for (int row = size - 1; row >= 0; --row) {
        double sum = rhs[row];
        for (int c = row + 1; c < size; ++c) sum -= K[row][c] * y[c];
        y[row] = sum / K[row][row];
    }
    return true;
}

/// The optimum found by trying every set of active inequalities: the point where the active
/// constraints hold with equality, every inequality holds and every inequality multiplier is
/// non-negative. Returns false when no set qualifies, i.e. the problem is infeasible.
bool oracle_optimum(const SmallProblem& pr, std::vector<double>& best) {
    const int n = pr.n;
    const int p = static_cast<int>(pr.equality_normals.size());
    const int m = static_cast<int>(pr.inequality_normals.size());
    for (unsigned int mask = 0; mask < (1u << m); ++mask) {
        std::vector<int> active;
        for (int i = 0; i < m; ++i)
            if (mask & (1u << i)) active.push_back(i);
        const int w = p + static_cast<int>(active.size());
        if (w > n) continue;
        // Stationarity G x + g0 = sum of lambda_i a_i, and a_i.x + c_i = 0 for the working set.
        std::vector<std::vector<double>> K(n + w, std::vector<double>(n + w, 0.0));
        std::vector<double> rhs(n + w, 0.0);
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) K[i][j] = pr.G[i][j];
            rhs[i] = -pr.g0[i];
        }
        for (int c = 0; c < w; ++c) {
            const std::vector<double>& a =
                c < p ? pr.equality_normals[c] : pr.inequality_normals[active[c - p]];
            for (int i = 0; i < n; ++i) {
                K[i][n + c] = -a[i];
                K[n + c][i] = a[i];
            }
            rhs[n + c] = c < p ? -pr.ce0[c] : -pr.ci0[active[c - p]];
        }
        std::vector<double> y;
        if (!solve_linear(K, rhs, y)) continue;
        bool kkt = true;
        for (int c = p; c < w; ++c) kkt = kkt && y[n + c] >= -1e-10;
        for (int i = 0; i < m; ++i) {
            double slack = pr.ci0[i];
            for (int j = 0; j < n; ++j) slack += pr.inequality_normals[i][j] * y[j];
            kkt = kkt && slack >= -1e-10;
        }
        if (kkt) {
            best.assign(y.begin(), y.begin() + n);
            return true;
        }
    }
    return false;
}

SmallProblem random_problem(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    SmallProblem pr;
    pr.n = 1 + static_cast<int>(rng() % 4);
    const int n = pr.n;
    const int p = static_cast<int>(rng() % (std::min(n, 2) + 1));
    const int m = static_cast<int>(rng() % 9);
    // G = M^T M + 0.5 I: symmetric and safely positive definite.
    std::vector<std::vector<double>> M(n, std::vector<double>(n));
    for (auto& row : M)
        for (double& v : row) v = unit(rng);
    pr.G.assign(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            for (int k = 0; k < n; ++k) pr.G[i][j] += M[k][i] * M[k][j];
            if (i == j) pr.G[i][j] += 0.5;
        }
    for (int i = 0; i < n; ++i) pr.g0.push_back(2.0 * unit(rng));
    for (int c = 0; c < p; ++c) {
        pr.equality_normals.emplace_back();
        for (int i = 0; i < n; ++i) pr.equality_normals.back().push_back(unit(rng));
        pr.ce0.push_back(unit(rng));
    }
    // Offsets mostly negative, so many constraints cut off the unconstrained minimum and some
    // problems become infeasible.
    for (int c = 0; c < m; ++c) {
        pr.inequality_normals.emplace_back();
        for (int i = 0; i < n; ++i) pr.inequality_normals.back().push_back(unit(rng));
        pr.ci0.push_back(1.5 * unit(rng) - 0.3);
    }
    return pr;
}

std::string describe(const SmallProblem& pr) {
    std::ostringstream out;
    out.precision(17);
    out << "n=" << pr.n << " p=" << pr.equality_normals.size() << " m=" << pr.inequality_normals.size();
    out << " g0=";
    for (double v : pr.g0) out << v << ' ';
    return out.str();
}

TEST(QuadProgOracle, RandomSmallProblemsMatchActiveSetEnumeration) {
    std::mt19937_64 rng(20240531);
    int feasible = 0;
    int infeasible = 0;
    int with_active_constraints = 0;
    for (int trial = 0; trial < 500; ++trial) {
        const SmallProblem pr = random_problem(rng);
        const unsigned int n = static_cast<unsigned int>(pr.n);
        const unsigned int p = static_cast<unsigned int>(pr.equality_normals.size());
        const unsigned int m = static_cast<unsigned int>(pr.inequality_normals.size());
        Matrix<double> G(n, n), CE(n, p), CI(n, m);
        Vector<double> g0(n), ce0(p), ci0(m), x;
        for (unsigned int i = 0; i < n; ++i) {
            g0[i] = pr.g0[i];
            for (unsigned int j = 0; j < n; ++j) G[i][j] = pr.G[i][j];
            for (unsigned int c = 0; c < p; ++c) CE[i][c] = pr.equality_normals[c][i];
            for (unsigned int c = 0; c < m; ++c) CI[i][c] = pr.inequality_normals[c][i];
        }
        for (unsigned int c = 0; c < p; ++c) ce0[c] = pr.ce0[c];
        for (unsigned int c = 0; c < m; ++c) ci0[c] = pr.ci0[c];

        const double f = QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x);
        std::vector<double> expected;
        SCOPED_TRACE("trial " + std::to_string(trial) + ": " + describe(pr));
        if (!oracle_optimum(pr, expected)) {
            ++infeasible;
            EXPECT_EQ(f, infinity);
            continue;
        }
        ++feasible;
        ASSERT_EQ(x.size(), n);
        double scale = 1.0;
        for (double v : expected) scale = std::max(scale, std::fabs(v));
        for (unsigned int i = 0; i < n; ++i) EXPECT_NEAR(x[i], expected[i], 1e-9 * scale) << "x[" << i << "]";
        const double f_expected = pr.objective(expected);
        EXPECT_NEAR(f, f_expected, 1e-9 * std::max(1.0, std::fabs(f_expected)));

        std::vector<double> x_free;
        SmallProblem unconstrained = pr;
        unconstrained.inequality_normals.clear();
        unconstrained.ci0.clear();
        oracle_optimum(unconstrained, x_free);
        for (unsigned int i = 0; i < n; ++i)
            if (std::fabs(x_free[i] - expected[i]) > 1e-6) {
                ++with_active_constraints;
                break;
            }
    }
    // The mix must exercise both exits and real active-set work.
    EXPECT_GE(infeasible, 200);
    EXPECT_GE(feasible, 200);
    EXPECT_GE(with_active_constraints, 100);
}

}  // namespace
