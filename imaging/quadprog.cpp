#include "imaging/quadprog.hpp"

#include <cmath>
#include <limits>

namespace QuadProgPP {
namespace {

// The thresholds below are part of the method's behaviour: which step is taken, when a constraint
// counts as dependent and when the iteration stops all turn on them.
constexpr double epsilon = 2.220446049250313e-16;  // 2^-52
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double largest_double = std::numeric_limits<double>::max();
constexpr double sqrt_two = 1.4142135623730951;
constexpr double tolerance_factor = 100.0;

/// Inner product of the first k elements, summed from 0.0 in ascending index order.
double dot(const Vector<double>& a, const Vector<double>& b, int k) {
    double sum = 0.0;
    for (int i = 0; i < k; ++i) sum += a[i] * b[i];
    return sum;
}

/// sqrt(a^2 + b^2) without overflow or underflow in the squares.
double hypotenuse(double a, double b) {
    const double abs_a = std::fabs(a);
    const double abs_b = std::fabs(b);
    if (abs_a > abs_b) {
        const double ratio = abs_b / abs_a;
        return abs_a * std::sqrt(1.0 + ratio * ratio);
    }
    if (abs_b > abs_a) {
        const double ratio = abs_a / abs_b;
        return abs_b * std::sqrt(1.0 + ratio * ratio);
    }
    return abs_a * sqrt_two;
}

/// A Givens rotation (c, sn) applied in the form that reuses the first result for the second:
/// (e1, e2) -> (c e1 + sn e2, sn e1 - c e2).
struct GivensRotation {
    double c;
    double sn;
    double w;  // sn / (1 + c)

    GivensRotation(double c, double sn) : c(c), sn(sn), w(sn / (1.0 + c)) {}

    void apply(double& e1, double& e2) const {
        const double first = e1 * c + e2 * sn;
        e2 = w * (e1 + first) - e2;
        e1 = first;
    }
};

/// Solves L y = b with the lower triangle of a factored matrix of k rows.
void forward_substitution(const Matrix<double>& L, const Vector<double>& b, Vector<double>& y) {
    const int k = static_cast<int>(L.rows());
    y[0] = b[0] / L[0][0];
    for (int i = 1; i < k; ++i) {
        y[i] = b[i];
        for (int j = 0; j < i; ++j) y[i] -= L[i][j] * y[j];
        y[i] = y[i] / L[i][i];
    }
}

/// Solves L^T x = y with the upper triangle (the mirror of L) of a factored matrix of k rows.
void back_substitution(const Matrix<double>& L, const Vector<double>& y, Vector<double>& x) {
    const int k = static_cast<int>(L.rows());
    x[k - 1] = y[k - 1] / L[k - 1][k - 1];
    for (int i = k - 2; i >= 0; --i) {
        x[i] = y[i];
        for (int j = i + 1; j < k; ++j) x[i] -= L[i][j] * x[j];
        x[i] = x[i] / L[i][i];
    }
}

/// One call of the dual active-set method: the working state and the steps that change it.
class DualActiveSetSolver {
public:
    DualActiveSetSolver(Matrix<double>& G, const Vector<double>& g0, const Matrix<double>& CE,
                        const Vector<double>& ce0, const Matrix<double>& CI, const Vector<double>& ci0,
                        Vector<double>& x)
        : G(G),
          g0(g0),
          CE(CE),
          ce0(ce0),
          CI(CI),
          ci0(ci0),
          x(x),
          n(static_cast<int>(G.cols())),
          p(static_cast<int>(CE.cols())),
          m(static_cast<int>(CI.cols())) {}

    /// Runs the method to one of its exits and returns the objective (+infinity when infeasible).
    double solve() {
        set_up();
        if (!add_equality_constraints()) return objective;
        for (int i = 0; i < m; ++i) inactive[i] = i;
        for (;;) {
            for (int k = p; k < q; ++k) inactive[A[k]] = -1;
            const double infeasibility = update_slacks();
            if (std::fabs(infeasibility) <= feasibility_tolerance()) return objective;
            save_point();

            double worst = 0.0;
            int candidate = 0;
            StepResult result;
            do {
                choose_violated_constraint(worst, candidate);
                if (worst >= 0.0) return objective;
                nv_from_column(CI, candidate);
                u[q] = 0.0;
                A[q] = candidate;
                result = step_towards(candidate);
                if (result == StepResult::addition_failed) undo_failed_addition(candidate);
            } while (result == StepResult::addition_failed);
            if (result != StepResult::added) {
                objective = infinity;
                return objective;
            }
        }
    }

private:
    enum class StepResult { added, addition_failed, unbounded, step_limit_reached };

    /// Allocates the working state, factors G and starts at the unconstrained minimum.
    void set_up() {
        const unsigned int positions = static_cast<unsigned int>(m + p);
        x.resize(static_cast<unsigned int>(n));
        R.resize(n, n);
        J.resize(n, n);
        s.resize(positions);
        z.resize(n);
        r.resize(positions);
        d.resize(n);
        nv.resize(n);
        // One position more than there are constraints: after a failed addition the removal
        // clears position q, which is m + p when every constraint was in the list.
        u.resize(positions + 1);
        A.resize(positions + 1);
        x_saved.resize(n);
        u_saved.resize(positions);
        A_saved.resize(positions);
        inactive.resize(positions);
        allowed.resize(positions);

        trace_g = 0.0;
        for (int i = 0; i < n; ++i) trace_g += G[i][i];
        cholesky_decomposition(G);

        for (int i = 0; i < n; ++i) {
            d[i] = 0.0;
            for (int j = 0; j < n; ++j) R[i][j] = 0.0;
        }
        r_scale = 1.0;

        // Row i of J is L^-1 e_i, so J = L^-T.
        trace_inv = 0.0;
        for (int i = 0; i < n; ++i) {
            d[i] = 1.0;
            forward_substitution(G, d, z);
            for (int j = 0; j < n; ++j) J[i][j] = z[j];
            trace_inv += z[i];
            d[i] = 0.0;
        }

        cholesky_solve(G, x, g0);
        for (int i = 0; i < n; ++i) x[i] = -x[i];
        objective = 0.5 * dot(g0, x, n);
        q = 0;
    }

    /// Makes each equality constraint active in turn; false when one depends on those before it.
    bool add_equality_constraints() {
        for (int i = 0; i < p; ++i) {
            nv_from_column(CE, i);
            compute_direction();
            const double z_dot_nv = dot(z, nv, n);
            double t2 = 0.0;
            if (std::fabs(dot(z, z, n)) > epsilon) t2 = (-dot(nv, x, n) - ce0[i]) / z_dot_nv;
            for (int k = 0; k < n; ++k) x[k] += t2 * z[k];
            u[q] = t2;
            for (int k = 0; k < q; ++k) u[k] -= t2 * r[k];
            objective += 0.5 * t2 * t2 * z_dot_nv;
            A[i] = -i - 1;
            if (!add_constraint(R, J, d, q, r_scale)) return false;
        }
        return true;
    }

    /// Total violation below which the current point counts as feasible.
    double feasibility_tolerance() const {
        return static_cast<double>(m) * epsilon * trace_g * trace_inv * tolerance_factor;
    }

    /// Recomputes every inequality slack, re-allows every constraint and returns the sum of the
    /// negative slacks.
    double update_slacks() {
        double infeasibility = 0.0;
        for (int i = 0; i < m; ++i) {
            allowed[i] = true;
            s[i] = slack_of(i);
            if (s[i] < 0.0) infeasibility += s[i];
        }
        return infeasibility;
    }

    /// The slack of inequality i at the current x.
    double slack_of(int i) const {
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += CI[j][i] * x[j];
        return sum + ci0[i];
    }

    /// Keeps x, and the active list with its dual values, as the point to return to when an
    /// addition fails in this major iteration.
    void save_point() {
        for (int k = 0; k < q; ++k) {
            u_saved[k] = u[k];
            A_saved[k] = A[k];
        }
        for (int k = 0; k < n; ++k) x_saved[k] = x[k];
    }

    /// Lowers worst to the most negative slack among inactive, allowed inequalities and sets
    /// candidate to its index; the strict comparison lets the lowest index win a tie.
    void choose_violated_constraint(double& worst, int& candidate) const {
        for (int i = 0; i < m; ++i) {
            if (s[i] < worst && inactive[i] != -1 && allowed[i]) {
                worst = s[i];
                candidate = i;
            }
        }
    }

    /// nv = column i of C.
    void nv_from_column(const Matrix<double>& C, int i) {
        for (int j = 0; j < n; ++j) nv[j] = C[j][i];
    }

    /// d = J^T nv; z = the primal direction (J's inactive columns times d); r = the dual direction
    /// (R^-1 d over the q active positions).
    void compute_direction() {
        for (int i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int j = 0; j < n; ++j) sum += J[j][i] * nv[j];
            d[i] = sum;
        }
        for (int i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int j = q; j < n; ++j) sum += J[i][j] * d[j];
            z[i] = sum;
        }
        for (int i = q - 1; i >= 0; --i) {
            double sum = 0.0;
            for (int j = i + 1; j < q; ++j) sum += R[i][j] * r[j];
            r[i] = (d[i] - sum) / R[i][i];
        }
    }

    /// Longest step before an active inequality's dual value reaches zero, and that constraint
    /// (the first position wins a tie); +infinity when none limits the step.
    double partial_step_length(int& blocking) const {
        double t1 = infinity;
        blocking = 0;
        for (int k = p; k < q; ++k) {
            if (r[k] > 0.0 && u[k] / r[k] < t1) {
                t1 = u[k] / r[k];
                blocking = A[k];
            }
        }
        return t1;
    }

    /// Step that satisfies the candidate along z; +infinity when z vanishes (the candidate's
    /// normal lies in the span of the active ones).
    double full_step_length(int candidate, double z_dot_nv) const {
        return std::fabs(dot(z, z, n)) > epsilon ? -s[candidate] / z_dot_nv : infinity;
    }

    /// Moves the dual values only, by t along the dual direction.
    void step_dual(double t) {
        for (int k = 0; k < q; ++k) u[k] -= t * r[k];
        u[q] += t;
    }

    /// Moves x by t along z and the dual values by t along the dual direction, and carries the
    /// objective along.
    void step_primal_and_dual(double t, double z_dot_nv) {
        for (int k = 0; k < n; ++k) x[k] += t * z[k];
        objective += t * z_dot_nv * (0.5 * t + u[q]);
        step_dual(t);
    }

    /// Steps in the direction of the candidate until its dual value would have to turn an active
    /// one negative (dropping that one and going on) or the candidate is satisfied (adding it).
    StepResult step_towards(int candidate) {
        for (;;) {
            // The method ends in theory, but after a failed addition the choice can take the same
            // candidate from the same saved point again, and then it goes round for ever (an
            // inequality with the normal of an equality and another offset does so). The gain
            // problem needs some 25 steps; this bound is far above any run that progresses, and a
            // run that reaches it ends like an infeasible one: +infinity, x where the run stopped.
            if (++steps > step_limit()) return StepResult::step_limit_reached;

            compute_direction();
            int blocking = 0;
            const double t1 = partial_step_length(blocking);
            const double z_dot_nv = dot(z, nv, n);
            const double t2 = full_step_length(candidate, z_dot_nv);
            const double t = t1 > t2 ? t2 : t1;
            if (t > largest_double) return StepResult::unbounded;

            if (t2 > largest_double) {
                step_dual(t);
                drop(blocking);
                continue;
            }
            step_primal_and_dual(t, z_dot_nv);
            if (std::fabs(t - t2) < epsilon) {
                if (!add_constraint(R, J, d, q, r_scale)) return StepResult::addition_failed;
                inactive[candidate] = -1;
                return StepResult::added;
            }
            drop(blocking);
            s[candidate] = slack_of(candidate);
        }
    }

    /// Removes an active inequality from the active set.
    void drop(int constraint) {
        inactive[constraint] = constraint;
        delete_constraint(R, J, A, u, n, p, q, constraint);
    }

    /// After the candidate proved linearly dependent: excludes it for this major iteration and
    /// returns to the saved active list, dual values and x. R, J and the slacks are kept.
    void undo_failed_addition(int candidate) {
        allowed[candidate] = false;
        delete_constraint(R, J, A, u, n, p, q, candidate);
        for (int i = 0; i < m; ++i) inactive[i] = i;
        for (int k = p; k < q; ++k) {
            A[k] = A_saved[k];
            u[k] = u_saved[k];
            inactive[A[k]] = -1;
        }
        for (int k = 0; k < n; ++k) x[k] = x_saved[k];
    }

    /// Ten steps for every variable and constraint.
    long step_limit() const { return 10L * (static_cast<long>(n) + p + m); }

    Matrix<double>& G;
    const Vector<double>& g0;
    const Matrix<double>& CE;
    const Vector<double>& ce0;
    const Matrix<double>& CI;
    const Vector<double>& ci0;
    Vector<double>& x;
    const int n;
    const int p;
    const int m;

    Matrix<double> R;        // upper-triangular factor; leading q x q block for the active set
    Matrix<double> J;        // transformed basis; first q columns span the active normals
    Vector<double> s;        // inequality slacks
    Vector<double> z;        // primal step direction
    Vector<double> r;        // dual step direction by active position
    Vector<double> d;        // J^T nv
    Vector<double> nv;       // normal of the constraint being added
    Vector<double> u;        // dual values by active position; u[q] for the one being added
    Vector<double> x_saved;  // x at the start of the major iteration
    Vector<double> u_saved;  // u at the start of the major iteration
    Vector<int> A;           // active constraints by position (equality i as -i-1)
    Vector<int> A_saved;     // A at the start of the major iteration
    Vector<int> inactive;    // inequality i: i while inactive, -1 while active
    Vector<bool> allowed;    // inequality i: false once its addition failed this major iteration
    int q = 0;               // number of active constraints
    double r_scale = 1.0;    // largest new diagonal entry of R so far
    double trace_g = 0.0;
    double trace_inv = 0.0;
    double objective = 0.0;
    long steps = 0;
};

}  // namespace

void cholesky_decomposition(Matrix<double>& A) {
    const int k = static_cast<int>(A.rows());
    for (int i = 0; i < k; ++i) {
        for (int j = i; j < k; ++j) {
            double sum = A[i][j];
            for (int l = i - 1; l >= 0; --l) sum -= A[i][l] * A[j][l];
            if (j == i) {
                // No test: a matrix that is not positive definite yields NaN or infinity here.
                A[i][i] = std::sqrt(sum);
            } else {
                A[j][i] = sum / A[i][i];
            }
        }
        for (int l = i + 1; l < k; ++l) A[i][l] = A[l][i];
    }
}

void cholesky_solve(const Matrix<double>& L, Vector<double>& x, const Vector<double>& b) {
    Vector<double> y(L.rows());
    forward_substitution(L, b, y);
    back_substitution(L, y, x);
}

bool add_constraint(Matrix<double>& R, Matrix<double>& J, Vector<double>& d, int& q, double& r_scale) {
    const int k = static_cast<int>(d.size());
    // Rotate d[q+1 ..] to zero from the bottom up, carrying J along, so that J's first q + 1
    // columns span the active normals and the new one.
    for (int j = k - 1; j >= q + 1; --j) {
        const double a = d[j - 1];
        const double b = d[j];
        const double h = hypotenuse(a, b);
        if (std::fabs(h) < epsilon) continue;
        d[j] = 0.0;
        double c = a / h;
        double sn = b / h;
        if (c < 0.0) {
            c = -c;
            sn = -sn;
            d[j - 1] = -h;
        } else {
            d[j - 1] = h;
        }
        const GivensRotation rotation(c, sn);
        for (int i = 0; i < k; ++i) rotation.apply(J[i][j - 1], J[i][j]);
    }
    ++q;
    for (int i = 0; i < q; ++i) R[i][q - 1] = d[i];
    const double diagonal = std::fabs(d[q - 1]);
    if (diagonal <= epsilon * r_scale) return false;
    if (diagonal > r_scale) r_scale = diagonal;
    return true;
}

void delete_constraint(Matrix<double>& R, Matrix<double>& J, Vector<int>& A, Vector<double>& u, int n, int p,
                       int& q, int l) {
    int pos = -1;
    for (int i = p; i < q; ++i) {
        if (A[i] == l) {
            pos = i;
            break;
        }
    }
    // The solver only drops active constraints; any other request leaves everything unchanged
    // rather than shifting the list around a position that does not exist.
    if (pos < 0) return;

    for (int i = pos; i < q - 1; ++i) {
        A[i] = A[i + 1];
        u[i] = u[i + 1];
        for (int j = 0; j < n; ++j) R[j][i] = R[j][i + 1];
    }
    // Position q holds the constraint being added; it moves down with the list.
    A[q - 1] = A[q];
    u[q - 1] = u[q];
    A[q] = 0;
    u[q] = 0.0;
    for (int j = 0; j < q; ++j) R[j][q - 1] = 0.0;

    --q;
    if (q == 0) return;

    // The column shift left R upper Hessenberg from pos on: rotate its subdiagonal away.
    for (int j = pos; j < q; ++j) {
        const double a = R[j][j];
        const double b = R[j + 1][j];
        const double h = hypotenuse(a, b);
        if (std::fabs(h) < epsilon) continue;
        double c = a / h;
        double sn = b / h;
        R[j + 1][j] = 0.0;
        if (c < 0.0) {
            R[j][j] = -h;
            c = -c;
            sn = -sn;
        } else {
            R[j][j] = h;
        }
        const GivensRotation rotation(c, sn);
        for (int k = j + 1; k < q; ++k) rotation.apply(R[j][k], R[j + 1][k]);
        for (int k = 0; k < n; ++k) rotation.apply(J[k][j], J[k][j + 1]);
    }
}

double solve_quadprog(Matrix<double>& G, const Vector<double>& g0, const Matrix<double>& CE,
                      const Vector<double>& ce0, const Matrix<double>& CI, const Vector<double>& ci0,
                      Vector<double>& x) {
    DualActiveSetSolver solver(G, g0, CE, ce0, CI, ci0, x);
    return solver.solve();
}

}  // namespace QuadProgPP
