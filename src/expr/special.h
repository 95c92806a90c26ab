// Special functions beneath the standard distributions: the error function
// by W. J. Cody's rational Chebyshev approximations (Math. Comp. 23, 1969),
// and the incomplete gamma and beta function ratios of A. R. DiDonato and
// A. H. Morris (ACM TOMS 654, 1987, and ACM TOMS 708, 1992).  All in a
// namespace of their own: several share names with the C library.
#pragma once

namespace kv::special {

// Cody's CALERF: mode 0 erf(x), 1 erfc(x), 2 exp(x^2) erfc(x).
double calerf(double x, int mode);

// The incomplete gamma ratios P(a, x) and Q(a, x) = 1 - P(a, x) to full
// accuracy; false (p = 2) when a or x is negative, both are 0, or the
// ratios are indeterminate (x extremely close to a very large a).
bool gamma_ratio(double a, double x, double &p, double &q);

// The incomplete beta ratio w = I_x(a, b) and w1 = 1 - I_x(a, b), with y
// = 1 - x given as computed by the caller (the complement keeps its
// accuracy near 1); false on arguments outside the domain.
bool beta_ratio(double a, double b, double x, double y, double &w, double &w1);

// Support functions of the two algorithms, exposed for their tests.
double erf1(double x);             // erf(x)
double erfc1(int scaled, double x); // erfc(x), or exp(x^2) erfc(x) when scaled
double gam1(double a);             // 1/Gamma(a + 1) - 1 for -0.5 <= a <= 1.5
double gamln1(double a);           // ln Gamma(1 + a) for -0.2 <= a <= 1.25
double gamln(double a);            // ln Gamma(a) for a > 0
double gamma(double a);            // Gamma(a); 0 when it cannot be computed
double rexp(double x);             // e^x - 1
double rlog(double x);             // x - 1 - ln x
double rlog1(double x);            // x - ln(1 + x)
double alnrel(double a);           // ln(1 + a)
double psi(double x);              // the digamma function; 0 when undefined
double betaln(double a, double b); // ln Beta(a, b)
double brcomp(double a, double b, double x, double y); // x^a y^b / Beta(a, b)

} // namespace kv::special
