#pragma once

// Dense solver for strictly convex quadratic programs
//
//     minimise    1/2 x^T G x + g0^T x
//     subject to  CE^T x + ce0 = 0   (p equality constraints)
//                 CI^T x + ci0 >= 0  (m inequality constraints)
//
// by the dual active-set method of D. Goldfarb and A. Idnani, "A numerically stable dual method
// for solving strictly convex quadratic programs", Mathematical Programming 27 (1983) 1-33.
// Constraint normals are the COLUMNS of CE and CI. The active set is carried as an orthogonal
// factorisation: J (starting as L^-T, G = L L^T) and an upper-triangular R, both updated by
// Givens rotations as constraints enter and leave.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace QuadProgPP {

/// A dense row-major matrix that owns one contiguous block; row i starts i * cols() elements in.
template <typename T>
class Matrix {
public:
    /// The empty matrix: 0 x 0, no storage.
    Matrix() = default;

    /// A rows x cols matrix whose elements are left unset.
    Matrix(unsigned int rows, unsigned int cols) { allocate(rows, cols); }

    /// Takes o's storage; o is left empty.
    Matrix(Matrix&& o) noexcept
        : n_rows(std::exchange(o.n_rows, 0)), n_cols(std::exchange(o.n_cols, 0)), block(std::move(o.block)) {}

    /// Takes o's storage; o is left empty.
    Matrix& operator=(Matrix&& o) noexcept {
        n_rows = std::exchange(o.n_rows, 0);
        n_cols = std::exchange(o.n_cols, 0);
        block = std::move(o.block);
        return *this;
    }

    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;

    /// Gives the matrix the shape rows x cols. The same shape keeps storage and values; any other
    /// shape replaces the storage, and the new elements are left unset.
    void resize(unsigned int rows, unsigned int cols) {
        if (rows == n_rows && cols == n_cols) return;
        allocate(rows, cols);
    }

    /// Number of rows.
    unsigned int rows() const { return n_rows; }
    /// Number of columns.
    unsigned int cols() const { return n_cols; }

    /// Start of row i (unchecked); with 0 columns every row starts at the same empty block.
    T* operator[](std::size_t i) { return block.get() + i * n_cols; }
    /// Start of row i (unchecked), read only.
    const T* operator[](std::size_t i) const { return block.get() + i * n_cols; }

private:
    void allocate(unsigned int rows, unsigned int cols) {
        // Released before the new block is taken, so a failed allocation leaves an empty matrix.
        block.reset();
        n_rows = n_cols = 0;
        // new T[0] still yields a distinct non-null block, so a rows x 0 matrix has real row starts.
        block.reset(new T[static_cast<std::size_t>(rows) * cols]);
        n_rows = rows;
        n_cols = cols;
    }

    std::uint32_t n_rows = 0;
    std::uint32_t n_cols = 0;
    std::unique_ptr<T[]> block;
};

/// A dense vector that owns its elements.
template <typename T>
class Vector {
public:
    /// The empty vector: no elements, no storage.
    Vector() = default;

    /// A vector of n elements left unset.
    explicit Vector(unsigned int n) { allocate(n); }

    /// Takes o's storage; o is left empty.
    Vector(Vector&& o) noexcept : n_elems(std::exchange(o.n_elems, 0)), elems(std::move(o.elems)) {}

    /// Takes o's storage; o is left empty.
    Vector& operator=(Vector&& o) noexcept {
        n_elems = std::exchange(o.n_elems, 0);
        elems = std::move(o.elems);
        return *this;
    }

    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;

    /// Gives the vector n elements. The same size keeps storage and values; any other size
    /// replaces the storage, and the new elements are left unset.
    void resize(unsigned int n) {
        if (n == n_elems) return;
        allocate(n);
    }

    /// Number of elements.
    unsigned int size() const { return n_elems; }

    /// Element i (unchecked).
    T& operator[](std::size_t i) { return elems[i]; }
    /// Element i (unchecked), read only.
    const T& operator[](std::size_t i) const { return elems[i]; }

private:
    void allocate(unsigned int n) {
        elems.reset();
        n_elems = 0;
        elems.reset(new T[n]);
        n_elems = n;
    }

    std::uint32_t n_elems = 0;
    std::unique_ptr<T[]> elems;
};

/// Solves the program above for x and returns its objective value, or +infinity when the
/// inequality constraints are infeasible (or the step limit is reached, see the source).
/// Changes: G is overwritten by its Cholesky factor (as cholesky_decomposition leaves it; the
/// identity stays the identity) and x is resized to G.cols() and receives the solution.
/// g0, CE, ce0, CI and ci0 are only read. Operand shapes are not checked: G is n x n symmetric
/// positive definite with n >= 1, g0 has n elements, CE is n x p with p <= n, ce0 has p, CI is
/// n x m and ci0 has m.
double solve_quadprog(Matrix<double>& G, const Vector<double>& g0, const Matrix<double>& CE,
                      const Vector<double>& ce0, const Matrix<double>& CI, const Vector<double>& ci0,
                      Vector<double>& x);

/// Factors the symmetric matrix A = L L^T in place, reading only its diagonal and upper triangle:
/// afterwards the lower triangle with the diagonal holds L and the upper triangle its mirror.
void cholesky_decomposition(Matrix<double>& A);

/// Solves L L^T x = b with L as cholesky_decomposition leaves it; x must already hold
/// L.rows() elements (it is not resized).
void cholesky_solve(const Matrix<double>& L, Vector<double>& x, const Vector<double>& b);

/// Adds the constraint whose transformed normal is d (d = J^T n) as active position q: rotates
/// d and J, writes the new column of R and increments q. Returns false when the constraint is
/// linearly dependent on the active ones; q and R then stay changed for delete_constraint to undo.
bool add_constraint(Matrix<double>& R, Matrix<double>& J, Vector<double>& d, int& q, double& r_scale);

/// Drops inequality constraint l from the active positions p .. q-1 of A (with its dual value in u),
/// restores R to upper-triangular form and decrements q. Does nothing when l is not active there.
void delete_constraint(Matrix<double>& R, Matrix<double>& J, Vector<int>& A, Vector<double>& u, int n, int p,
                       int& q, int l);

}  // namespace QuadProgPP
