// SPDX-License-Identifier: MIT
// Benchmark reference: the textbook Neighbor-Joining loop in plain C style,
// with nothing of the library, over a condensed matrix of doubles as
// nj_phases --matrix-raw writes it (row i holds the distances to 0..i-1).
// Every step scans every live pair through an array of the live slots, takes
// the first pair of smallest Q, and joins with the library's formulas. It
// prints the time of the joins as JSON {"total": seconds}; the tree is not
// written.
//
//   plain_scan matrix.bin
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace {

std::size_t at(std::size_t a, std::size_t b) { return a > b ? a * (a - 1) / 2 + b : b * (b - 1) / 2 + a; }

void join_all(std::vector<double>& d, std::size_t n) {
  std::vector<double> r(n, 0.0);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) r[a] += a == b ? 0.0 : d[at(a, b)];
  }
  std::vector<std::size_t> live(n);
  for (std::size_t s = 0; s < n; ++s) live[s] = s;
  while (live.size() > 2) {
    const double c = static_cast<double>(live.size()) - 2.0;
    std::size_t best_a = 1;
    std::size_t best_b = 0;
    double best = 0.0;
    bool found = false;
    for (std::size_t a = 1; a < live.size(); ++a) {
      const std::size_t i = live[a];
      const double* row = &d[i * (i - 1) / 2];
      for (std::size_t b = 0; b < a; ++b) {
        const double q = (c * row[live[b]] - r[i]) - r[live[b]];
        if (!found || q < best) {
          best = q;
          best_a = a;
          best_b = b;
          found = true;
        }
      }
    }
    const std::size_t i = live[best_a];
    const std::size_t j = live[best_b];
    const double d_ij = d[at(i, j)];
    double r_i = r[i] - d_ij;
    for (const std::size_t k : live) {
      if (k == i || k == j) continue;
      const double e = ((d[at(i, k)] + d[at(j, k)]) - d_ij) * 0.5;
      r_i = (r_i - d[at(i, k)]) + e;
      r[k] = e + ((r[k] - d[at(i, k)]) - d[at(j, k)]);
      d[at(i, k)] = e;
    }
    r[i] = r_i;
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(best_b));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: plain_scan matrix.bin\n");
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) return 2;
  std::fseek(f, 0, SEEK_END);
  const auto count = static_cast<std::size_t>(std::ftell(f)) / sizeof(double);
  std::fseek(f, 0, SEEK_SET);
  std::vector<double> d(count);
  const bool read = std::fread(d.data(), sizeof(double), count, f) == count;
  std::fclose(f);
  if (!read) return 2;
  std::size_t n = 1;
  while (n * (n - 1) / 2 < count) ++n;
  const auto start = std::chrono::steady_clock::now();
  join_all(d, n);
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  std::printf("{\"total\": %.6f}\n", spent.count());
  return 0;
}
