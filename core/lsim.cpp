// Stand-in simulator (Taylor matrix exponential per step) until the exact
// discretisation lands.
#include "core/lsim.hpp"
#include <cmath>
#include <stdexcept>
#include <vector>
namespace cellcore {
using M = std::vector<double>;
static M mul(const M& a, const M& b, int n) {
    M c(n * n, 0);
    for (int i = 0; i < n; i++)
        for (int k = 0; k < n; k++)
            for (int j = 0; j < n; j++)
                c[i * n + j] += a[i * n + k] * b[k * n + j];
    return c;
}
static M expm(M a, int n) {
    double nrm = 0;
    for (double x : a)
        nrm = std::max(nrm, std::fabs(x));
    int s = 0;
    while (nrm > 0.5) {
        nrm /= 2;
        s++;
    }
    for (double& x : a)
        x /= std::pow(2.0, s);
    M r(n * n, 0), term(n * n, 0);
    for (int i = 0; i < n; i++) {
        r[i * n + i] = 1;
        term[i * n + i] = 1;
    }
    for (int k = 1; k < 20; k++) {
        term = mul(term, a, n);
        for (double& x : term)
            x /= k;
        for (int i = 0; i < n * n; i++)
            r[i] += term[i];
    }
    for (int i = 0; i < s; i++)
        r = mul(r, r, n);
    return r;
}
std::size_t lsim_order(Span<const double>, Span<const double> den) {
    return den.size() - 1;
}
void lsim_foh(Span<const double> num, Span<const double> den, Span<const double> t,
              Span<const double> u, Span<const double>, Span<double> y, Span<double>) {
    int n = den.size() - 1;
    std::vector<double> nu(n + 1, 0);
    for (size_t i = 0; i < num.size(); i++)
        nu[n + 1 - num.size() + i] = num[i] / den[0];
    std::vector<double> a(n);
    for (int i = 0; i < n; i++)
        a[i] = den[i + 1] / den[0];
    double D = nu[0];
    std::vector<double> C(n);
    for (int i = 0; i < n; i++)
        C[i] = nu[i + 1] - D * a[i];
    std::vector<double> x(n, 0);
    int N = n + 2;
    y[0] = D * u[0];
    for (int i = 0; i < n; i++)
        y[0] += C[i] * x[i];
    for (size_t k = 1; k < t.size(); k++) {
        double h = t[k] - t[k - 1];
        M m(N * N, 0);
        for (int j = 0; j < n; j++)
            m[0 * N + j] = -a[j] * h;
        for (int i = 1; i < n; i++)
            m[i * N + i - 1] = h;
        m[0 * N + n] = h;
        m[n * N + n + 1] = 1;
        // augmented [[A h, B h, 0],[0,0,1],[0,0,0]] with u(t)=u0+(u1-u0) s
        M e = expm(m, N);
        std::vector<double> xn(n, 0);
        double du = u[k] - u[k - 1];
        for (int i = 0; i < n; i++) {
            for (int j = 0; j < n; j++)
                xn[i] += e[i * N + j] * x[j];
            xn[i] += e[i * N + n] * u[k - 1] + e[i * N + n + 1] * du;
        }
        x = xn;
        y[k] = D * u[k];
        for (int i = 0; i < n; i++)
            y[k] += C[i] * x[i];
    }
}
} // namespace cellcore
