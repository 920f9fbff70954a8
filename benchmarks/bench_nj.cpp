// SPDX-License-Identifier: MIT
// The engines on realistic input: DNA (1000 columns) evolved along a random
// tree, Kimura two-parameter distances. Only the engine is timed; the matrix
// is made beforehand. Large sizes run once each, the matrix moved in, and
// report the process's peak resident memory. The "differential" benchmark
// times both engines on the inputs of the differential test.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "engine/neighbor_joining.hpp"
#include "differential_inputs.hpp"
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

// The inputs of one kind of the differential test, as it draws them.
std::vector<nj::DistMat> differential_inputs(std::int64_t kind) {
  std::mt19937_64 rng(20240611 + static_cast<std::uint64_t>(kind));
  std::vector<nj::DistMat> inputs;
  for (int k = 0; k < 200; ++k) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(3, 100)(rng);
    switch (kind) {
      case 0: inputs.push_back(nj::testing::alignment_matrix(rng, n)); break;
      case 1: inputs.push_back(nj::testing::direct_matrix(rng, n)); break;
      case 2:
        inputs.push_back(nj::DistanceWorkspace().from_msa(
            nj::testing::outbreak_alignment(rng, 4 * n, 3000), nj::SubstitutionModel::Kimura2P));
        break;
      default:
        inputs.push_back(nj::DistanceWorkspace().from_msa(nj::testing::star_alignment(rng, 4 * n),
                                                          nj::SubstitutionModel::Kimura2P));
        break;
    }
  }
  return inputs;
}

// The shortest of a few runs of `engine` on a copy of `matrix`, in seconds:
// the shortest is the one least disturbed by other work on the machine.
template <auto Engine>
double shortest_run(const nj::DistMat& matrix) {
  double best = 1e300;
  for (int k = 0; k < 5; ++k) {
    nj::DistMat copy = matrix;
    const auto start = std::chrono::steady_clock::now();
    auto tree = Engine(std::move(copy), {});
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    benchmark::DoNotOptimize(tree);
    best = std::min(best, spent.count());
  }
  return best;
}

// Both engines on each input of a kind of the differential test (kind 0:
// alignments of few letters, 1: direct matrices, 2: outbreak-like, 3:
// stars): the ratio of the fast engine's total time to the plain one's, and
// the largest ratio on a single input.
void differential(benchmark::State& state) {
  const std::vector<nj::DistMat> inputs = differential_inputs(state.range(0));
  double fast_total = 0.0;
  double plain_total = 0.0;
  double worst = 0.0;
  for (auto _ : state) {
    for (const nj::DistMat& matrix : inputs) {
      const double fast = shortest_run<nj::neighbor_joining>(matrix);
      const double plain = shortest_run<nj::neighbor_joining_plain>(matrix);
      fast_total += fast;
      plain_total += plain;
      worst = std::max(worst, fast / plain);
    }
  }
  state.counters["fast_over_plain"] = fast_total / plain_total;
  state.counters["worst_input"] = worst;
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
BENCHMARK(differential)
    ->ArgName("kind")->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(1);
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
