// The TP flash's hooks on what a flash at T, P takes from outside the core: the electrolyte
// model's K-values, split, speciation and liquid enthalpy, and the property package's functions
// as found when the flash starts. Where those are the package's own, the C++ ports run instead
// (Rachford-Rice; the vapor's enthalpy and entropy and the liquid's entropy on pp's data, the
// package's function called only for a value that is not finite).
#pragma once
#include <Eigen/Dense>

#include "equilibrium/flash.hpp"
#include "equilibrium/package_props.hpp"

namespace brinequil::core {

class FlashSource {
public:
    FlashSource(Eigen::Index ncomp, double T, double P) : ncomp_(ncomp), T_(T), P_(P) {}
    virtual ~FlashSource() = default;
    FlashSource(const FlashSource&) = delete;
    FlashSource& operator=(const FlashSource&) = delete;

    virtual KValues kvalues(const Eigen::VectorXd& x, const Eigen::VectorXd& y) = 0;
    virtual SplitResult newton(const Eigen::VectorXd& z, const Eigen::VectorXd& v0) = 0;
    virtual Eigen::VectorXd true_amounts(const Eigen::VectorXd& x) = 0;
    virtual double liquid_enthalpy(const Eigen::VectorXd& n) = 0;

    // The package's Rachford-Rice is its own (then never called).
    virtual bool own_rachford_rice() const = 0;
    // pp's data for the C++ enthalpy and entropy, when the package's three functions are its
    // own (asked for at each use; read at the first); null otherwise.
    virtual const PackageData* props() = 0;
    // The package's functions, called where the C++ ones do not stand for them.
    virtual double package_rachford_rice(const Eigen::VectorXd& z, const Eigen::VectorXd& K) = 0;
    virtual double package_enthalpy_vapor(const Eigen::VectorXd& y) = 0;
    virtual double package_entropy_vapor(const Eigen::VectorXd& y) = 0;
    virtual double package_entropy_liquid(const Eigen::VectorXd& x) = 0;

    // The hooks of the flash on this source (made once; they refer to it).
    TPFlashHooks make_hooks() {
        TPFlashHooks h;
        bind(h);
        return h;
    }

private:
    void bind(TPFlashHooks& h);
    Eigen::Index ncomp_;
    double T_, P_;
};

}  // namespace brinequil::core
