#include "model/stoichiometry.hpp"

#include "model/errors.hpp"

namespace brinequil::core {

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
    return st;
}

}  // namespace brinequil::core
