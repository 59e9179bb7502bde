// Regularized incomplete beta function and the p-value of a correlation coefficient.
#pragma once

namespace alvora::stats {

// I_x(a, b) for a, b > 0 and 0 <= x <= 1. `complement_x` must equal 1 - x; passing it
// separately keeps precision when x is close to 1. NaN for invalid arguments.
double regularized_incomplete_beta(double a, double b, double x, double complement_x);
double regularized_incomplete_beta(double a, double b, double x);

// Two-sided p-value of a correlation coefficient r over samples with `dof` degrees of
// freedom (n - 2): the Student t test of t = r * sqrt(dof / (1 - r^2)), expressed as
// I_{1 - r^2}(dof / 2, 1 / 2). 0 at |r| = 1; NaN when r is NaN or dof <= 0.
double correlation_p_value(double r, double dof);

}  // namespace alvora::stats
