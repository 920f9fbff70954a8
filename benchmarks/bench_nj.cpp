// SPDX-License-Identifier: MIT
// The engines on realistic input: DNA (1000 columns) evolved along a random
// tree, Kimura two-parameter distances. Only the engine is timed; the matrix
// is made beforehand. Large sizes run once each, the matrix moved in, and
// report the process's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "engine/neighbor_joining.hpp"
#include "evolved_alignment.hpp"
#include "models.hpp"

namespace {

constexpr std::size_t columns = 1000;

// The Kimura two-parameter matrix of gap-free rows from two bit planes per
// row: a transversion changes bit 0 of the code, a transition only bit 1.
// Site counts and the formula are the library's, so the values are those
// of the library's own distances, only found faster.
nj::DistMat kimura_matrix(const nj::testing::EvolvedAlignment& alignment) {
  const std::size_t n = alignment.names.size();
  const std::size_t words = (columns + 63) / 64;
  std::vector<std::uint64_t> low(n * words, 0);
  std::vector<std::uint64_t> high(n * words, 0);
  for (std::size_t s = 0; s < n; ++s) {
    for (std::size_t k = 0; k < columns; ++k) {
      const std::uint64_t code = alignment.rows[s][k];
      low[s * words + k / 64] |= (code & 1u) << (k % 64);
      high[s * words + k / 64] |= (code >> 1) << (k % 64);
    }
  }
  nj::DistMat matrix = nj::DistMat::zeros(alignment.names);
  for (std::size_t a = 1; a < n; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      nj::SiteCounts counts;
      counts.columns = columns;
      for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t transversion = low[a * words + w] ^ low[b * words + w];
        const std::uint64_t changed_high = high[a * words + w] ^ high[b * words + w];
        counts.transversions += static_cast<std::uint64_t>(std::popcount(transversion));
        counts.transitions +=
            static_cast<std::uint64_t>(std::popcount(changed_high & ~transversion));
      }
      counts.differences = counts.transitions + counts.transversions;
      matrix.distances[nj::pair_index(b, a)] =
          nj::distance_from_counts(nj::SubstitutionModel::Kimura2P, counts);
    }
  }
  return matrix;
}

nj::DistMat evolved_matrix(std::size_t n) {
  return kimura_matrix(nj::testing::evolve_dna(n, columns, 20240601 + n));
}

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

template <auto Engine>
void repeated(benchmark::State& state) {
  const nj::DistMat matrix = evolved_matrix(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    nj::DistMat copy = matrix;
    state.ResumeTiming();
    auto tree = Engine(std::move(copy), {});
    benchmark::DoNotOptimize(tree);
    if (!tree) state.SkipWithError(tree.error().c_str());
  }
}

void fast_once(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    nj::DistMat matrix = evolved_matrix(n);
    state.ResumeTiming();
    auto tree = nj::neighbor_joining(std::move(matrix), {});
    benchmark::DoNotOptimize(tree);
    if (!tree) state.SkipWithError(tree.error().c_str());
  }
  const double matrix_mb =
      static_cast<double>(nj::pair_count(n) * sizeof(double)) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = peak_rss_mb();
  state.counters["matrix_MiB"] = matrix_mb;
}

// The fast kernel above must agree with the library's own matrix.
void check_kimura_matrix() {
  const nj::testing::EvolvedAlignment alignment = nj::testing::evolve_dna(60, columns, 5);
  const nj::DistMat expected =
      nj::DistanceWorkspace().from_msa(alignment.to_msa(), nj::SubstitutionModel::Kimura2P);
  const nj::DistMat actual = kimura_matrix(alignment);
  for (std::size_t p = 0; p < expected.distances.size(); ++p) {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    if (bits(expected.distances[p]) != bits(actual.distances[p])) {
      std::fprintf(stderr, "bench_nj: the benchmark's distance kernel disagrees with from_msa\n");
      std::exit(1);
    }
  }
}

BENCHMARK(repeated<nj::neighbor_joining_plain>)
    ->Name("plain")->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(repeated<nj::neighbor_joining>)
    ->Name("fast")->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(fast_once)
    ->Name("fast_once")->Arg(8000)->Arg(16000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  check_kimura_matrix();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
