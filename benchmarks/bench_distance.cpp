// SPDX-License-Identifier: MIT
// Distance matrix construction: column by column against bit planes.
//
//   bench_distance --benchmark_filter=2000/10000
//
// Plain runs take minutes at these sizes and run once; compare the
// "plain" and "fast" lines of one run for the speed-up.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "distance/kernels.hpp"
#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "distance/workspace.hpp"

namespace nj {
namespace {

using M = SubstitutionModel;
using detail::SimdLevel;

// An alignment as evolution leaves it: every row a copy of one ancestor with
// about `rate` of its columns replaced, 2% gaps and 0.5% unknown symbols, so
// that the distances stay finite and the counts vary from pair to pair.
template <Alphabet A>
const MSA<A>& alignment(std::size_t n, std::size_t length) {
  static std::map<std::pair<std::size_t, std::size_t>, MSA<A>> made;
  auto found = made.find({n, length});
  if (found != made.end()) return found->second;
  constexpr bool dna = std::is_same_v<A, DNA>;
  const std::string residues = dna ? "ACGT" : "ARNDCQEGHILKMFPSTWYV";
  const double rate = dna ? 0.15 : 0.3;
  std::mt19937_64 engine(n * 1000003 + length);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::uniform_int_distribution<std::size_t> pick(0, residues.size() - 1);
  std::string ancestor(length, 'A');
  for (char& c : ancestor) c = residues[pick(engine)];
  std::vector<SequencePair> pairs;
  for (std::size_t k = 0; k < n; ++k) {
    std::string row = ancestor;
    for (char& c : row) {
      const double u = uniform(engine);
      c = u < 0.02 ? '-' : u < 0.025 ? 'X' : u < 0.025 + rate ? residues[pick(engine)] : c;
    }
    pairs.emplace_back("s" + std::to_string(k), std::move(row));
  }
  return made.emplace(std::pair{n, length}, MSA<A>::from_iter(std::move(pairs))).first->second;
}

template <Alphabet A>
void plain(benchmark::State& state, M model) {
  const MSA<A>& msa = alignment<A>(static_cast<std::size_t>(state.range(0)),
                                   static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(plain_distances(msa, model));
}

// A workspace reused across iterations, as bootstrap replicates use it.
template <Alphabet A>
void fast(benchmark::State& state, M model, SimdLevel level) {
  if (!detail::simd_level_supported(level)) {
    state.SkipWithError("level not supported here");
    return;
  }
  const MSA<A>& msa = alignment<A>(static_cast<std::size_t>(state.range(0)),
                                   static_cast<std::size_t>(state.range(1)));
  DistanceWorkspace space(level);
  for (auto _ : state) benchmark::DoNotOptimize(space.from_msa(msa, model));
}

// A fresh workspace, and so fresh buffers, on every call.
template <Alphabet A>
void fast_fresh(benchmark::State& state, M model) {
  const MSA<A>& msa = alignment<A>(static_cast<std::size_t>(state.range(0)),
                                   static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(DistanceWorkspace().from_msa(msa, model));
}

void register_all() {
  using benchmark::RegisterBenchmark;
  struct Size {
    std::int64_t n;
    std::int64_t length;
  };
  for (Size size : {Size{2000, 10000}, Size{16000, 1000}}) {
    const std::vector<std::int64_t> args = {size.n, size.length};
    RegisterBenchmark("plain/dna/kimura2p", plain<DNA>, M::Kimura2P)
        ->Args(args)->Iterations(1)->Unit(benchmark::kSecond);
    RegisterBenchmark("plain/protein/poisson", plain<Protein>, M::Poisson)
        ->Args(args)->Iterations(1)->Unit(benchmark::kSecond);
    RegisterBenchmark("fast/dna/kimura2p", fast_fresh<DNA>, M::Kimura2P)
        ->Args(args)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("fast/protein/poisson", fast_fresh<Protein>, M::Poisson)
        ->Args(args)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("fast/dna/jukescantor", fast_fresh<DNA>, M::JukesCantor)
        ->Args(args)->Unit(benchmark::kMillisecond);
    for (SimdLevel level :
         {SimdLevel::Portable, SimdLevel::Popcnt, SimdLevel::Avx2, SimdLevel::Avx512}) {
      const std::string name(detail::simd_level_name(level));
      RegisterBenchmark(("workspace/" + name + "/dna/kimura2p").c_str(), fast<DNA>, M::Kimura2P,
                        level)
          ->Args(args)->Unit(benchmark::kMillisecond);
      RegisterBenchmark(("workspace/" + name + "/protein/poisson").c_str(), fast<Protein>,
                        M::Poisson, level)
          ->Args(args)->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace
}  // namespace nj

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  nj::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
