#include "model/stoichiometry.hpp"

#include "model/errors.hpp"

namespace brinequil::core {

InertSplit split_inert(const Eigen::MatrixXd& B, std::vector<Eigen::Index> inert) {
    InertSplit r;
    const Eigen::Index ns = B.cols(), m = B.rows();
    const auto z = static_cast<Eigen::Index>(inert.size());
    r.inert = std::move(inert);
    r.active.reserve(static_cast<std::size_t>(ns - z));
    for (Eigen::Index i = 0, q = 0; i < ns; ++i) {
        if (q < z && r.inert[static_cast<std::size_t>(q)] == i)
            ++q;
        else
            r.active.push_back(i);
    }
    // B e_i are orthonormal columns (e_i lies in the row space of B); the rows z.. of Q^T B are
    // orthonormal and orthogonal to every e_i: zero on the inert columns up to rounding.
    Eigen::MatrixXd QtB = B;
    for (Eigen::Index q = 0; q < z; ++q) {
        const Eigen::Index col = r.inert[static_cast<std::size_t>(q)];
        auto v = QtB.col(col).tail(m - q);
        const double norm = v.norm(), alpha = v[0] > 0.0 ? -norm : norm;
        if (!(norm > 0.0)) continue;  // cannot happen for orthonormal columns
        v[0] -= alpha;                // reflection I - 2 w w^T / |w|^2 with w = v - alpha e_1
        const double beta = 2.0 / v.squaredNorm();
        for (Eigen::Index j = 0; j < ns; ++j) {
            if (j == col) continue;
            auto y = QtB.col(j).tail(m - q);
            y -= (beta * v.dot(y)) * v;
        }
        v.setZero();
        v[0] = alpha;
    }
    r.Ba.resize(m - z, ns - z);
    for (Eigen::Index q = 0; q < ns - z; ++q)
        r.Ba.col(q) = QtB.col(r.active[static_cast<std::size_t>(q)]).tail(m - z);
    return r;
}

Stoichiometry make_stoichiometry(Eigen::MatrixXd nu) {
    if (nu.rows() == 0)
        throw LinAlgError(
            "no reaction of kind EQUIL: the stoichiometric matrix has no rows, "
            "so the reaction invariants are undefined");
    if (!nu.allFinite()) throw LinAlgError("SVD did not converge");

    if (nu.cols() == 0) {  // no species: nothing to keep invariant
        Stoichiometry st;
        st.B.resize(0, 0);
        st.net = Eigen::VectorXd::Zero(nu.rows());
        st.nu = std::move(nu);
        return st;
    }
    const Eigen::MatrixXd nuT = nu.transpose();  // n_s x n_eq
    Eigen::JacobiSVD<Eigen::MatrixXd> svd(nuT, Eigen::ComputeFullU);
    if (svd.info() != Eigen::Success) throw LinAlgError("SVD did not converge");

    Stoichiometry st;
    const Eigen::VectorXd& s = svd.singularValues();
    Eigen::Index rank = 0;
    for (Eigen::Index k = 0; k < s.size(); ++k)
        if (s[k] > kRankThreshold) ++rank;
    const Eigen::Index ns = nu.cols();
    st.rank = rank;
    st.B = svd.matrixU().rightCols(ns - rank).transpose();
    st.net = nu.rowwise().sum();
    st.nu = std::move(nu);
    std::vector<Eigen::Index> inert;
    for (Eigen::Index i = 0; i < ns; ++i)
        if ((st.nu.col(i).array() == 0.0).all()) inert.push_back(i);
    const auto z = static_cast<Eigen::Index>(inert.size());
    if (z > 0 && z < ns && z <= st.B.rows()) st.inert = split_inert(st.B, std::move(inert));
    return st;
}

}  // namespace brinequil::core
