// SPDX-License-Identifier: MIT
// Benchmark entry: one FASTA alignment through the core, phase by phase
// (read, encode, distances, join, Newick), printing the phase times and the
// peak resident set size as one JSON object on standard output.
//
//   nj_phases [--model M] [--distance default|plain|planes|reference]
//             [--engine default|plain] [--replicates K]
//             [--distances-only] [--tree-out FILE] [--matrix-out FILE]
//             [--matrix-raw FILE] [--tie-margin] [--offsets auto|always|never]
//             alignment.fasta

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "alphabet.hpp"
#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "distance/reference_rows.hpp"
#include "distance/workspace.hpp"
#include "engine/join_step.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/offsets.hpp"
#include "engine/scan.hpp"
#include "engine/state.hpp"
#include "models.hpp"
#include "msa.hpp"
#include "tree.hpp"

namespace {

using nj::TreeResult;

struct Options {
  std::string fasta;
  nj::SubstitutionModel model = nj::SubstitutionModel::Kimura2P;
  bool plain_distance = false;
  // The default distances counted one way only: "planes" or "reference".
  std::string counting;
  bool plain_nj = false;
  nj::fast::OffsetPolicy offsets = nj::fast::OffsetPolicy::automatic;
  bool distances_only = false;
  bool tie_margin = false;
  std::uint64_t replicates = 0;  // bootstrap replicate matrices to time after the distances
  std::string tree_out;
  std::string matrix_out;
  std::string matrix_raw;
};

std::optional<nj::SubstitutionModel> parse_model(std::string_view name) {
  for (auto m : {nj::SubstitutionModel::PDiff, nj::SubstitutionModel::JukesCantor,
                 nj::SubstitutionModel::Kimura2P, nj::SubstitutionModel::Poisson}) {
    if (nj::model_name(m) == name) return m;
  }
  return std::nullopt;
}

std::expected<bool, std::string> parse_choice(std::string_view flag, std::string_view value) {
  if (value == "default") return false;
  if (value == "plain") return true;
  return std::unexpected(std::string(flag) + " takes default or plain");
}

std::expected<Options, std::string> parse_options(int argc, char** argv) {
  Options o;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string_view a = args[k];
    const bool has_value = k + 1 < args.size();
    if (a == "--distances-only") {
      o.distances_only = true;
    } else if (a == "--offsets" && has_value) {
      const std::string_view v = args[++k];
      if (v == "auto") {
        o.offsets = nj::fast::OffsetPolicy::automatic;
      } else if (v == "always") {
        o.offsets = nj::fast::OffsetPolicy::always;
      } else if (v == "never") {
        o.offsets = nj::fast::OffsetPolicy::never;
      } else {
        return std::unexpected(std::string("--offsets takes auto, always or never"));
      }
    } else if (a == "--tie-margin") {
      o.tie_margin = true;
    } else if (a == "--replicates" && has_value) {
      o.replicates = std::strtoull(std::string(args[++k]).c_str(), nullptr, 10);
    } else if ((a == "--model" || a == "--distance" || a == "--engine" || a == "--tree-out" ||
                a == "--matrix-out" || a == "--matrix-raw") && has_value) {
      const std::string_view v = args[++k];
      if (a == "--model") {
        auto m = parse_model(v);
        if (!m) return std::unexpected("unknown model " + std::string(v));
        o.model = *m;
      } else if (a == "--distance" && (v == "planes" || v == "reference")) {
        o.counting = std::string(v);
      } else if (a == "--distance" || a == "--engine") {
        auto plain = parse_choice(a, v);
        if (!plain) return std::unexpected(plain.error());
        (a == "--distance" ? o.plain_distance : o.plain_nj) = *plain;
      } else {
        (a == "--tree-out" ? o.tree_out : a == "--matrix-out" ? o.matrix_out : o.matrix_raw) =
            std::string(v);
      }
    } else if (!a.starts_with("--") && o.fasta.empty()) {
      o.fasta = std::string(a);
    } else {
      return std::unexpected("unexpected argument " + std::string(a));
    }
  }
  if (o.fasta.empty()) return std::unexpected(std::string("no FASTA file given"));
  return o;
}

std::expected<std::string, std::string> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Identifier: the first word of the header line. Sequence lines are joined
// with white space removed.
std::vector<nj::SequencePair> parse_fasta(std::string_view text) {
  std::vector<nj::SequencePair> pairs;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.starts_with('>')) {
      line.remove_prefix(1);
      while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
      std::size_t end = 0;
      while (end < line.size() && !is_space(line[end])) ++end;
      pairs.emplace_back(std::string(line.substr(0, end)), std::string());
    } else if (!pairs.empty()) {
      std::string& seq = pairs.back().second;
      for (char c : line) {
        if (!is_space(c)) seq.push_back(c);
      }
    }
  }
  return pairs;
}

// Nucleotide input: the test the library applies.
bool is_nucleotide(const std::vector<nj::SequencePair>& pairs) {
  for (const auto& pair : pairs) {
    if (!nj::is_nucleotide_text(pair.second)) return false;
  }
  return true;
}

class Stopwatch {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return seconds;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The smallest lead, over the join steps, of the chosen pair's criterion over
// the runner-up. Two engines that round differently can only choose
// differently at a step whose lead is within their rounding; a small lead
// does not always mean a different tree (two cherries joined in either order
// give the same one). With three live nodes every pair gives the same tree and
// with four a pair and its complement do, so those choices are not counted.
struct Margin {
  double min_gap = std::numeric_limits<double>::infinity();
  double min_rel_gap = std::numeric_limits<double>::infinity();
  std::uint64_t live_at_min = 0;
  std::string newick;
};

struct Candidates {
  double best = std::numeric_limits<double>::infinity();
  double second = std::numeric_limits<double>::infinity();
  void offer(double q) {
    if (q < best) {
      second = best;
      best = q;
    } else if (q < second) {
      second = q;
    }
  }
};

// The plain engine's scan (same order, same tie rule) that also collects the
// two smallest criteria among the pairs giving different trees.
std::pair<std::size_t, std::size_t> scan_with_margin(const nj::NJState& s, double m,
                                                     Candidates& c) {
  const std::size_t n = s.active.size();
  const std::size_t first = s.active.next(0);
  nj::ScanChoice best;
  for (std::size_t i = s.active.next(0); i < n; i = s.active.next(i + 1)) {
    for (std::size_t j = s.active.next(0); j < i; j = s.active.next(j + 1)) {
      const double q = ((m - 2.0) * s.matrix.distances[nj::pair_index(j, i)] - s.row_sums[i]) -
                       s.row_sums[j];
      best.offer(i, j, q);
      if (m >= 5.0 || j == first) c.offer(q);
    }
  }
  return {best.i, best.j};
}

Margin measure_margin(nj::DistMat matrix) {
  Margin margin;
  nj::NJState state(std::move(matrix));
  const std::size_t n = state.matrix.size();
  for (std::size_t step = 0; step + 2 < n; ++step) {
    const double m = static_cast<double>(state.active.count());
    Candidates c;
    const auto [i, j] = scan_with_margin(state, m, c);
    if (m >= 4.0 && c.second - c.best < margin.min_gap) {
      margin.min_gap = c.second - c.best;
      margin.min_rel_gap = margin.min_gap / std::fabs(c.best);
      margin.live_at_min = static_cast<std::uint64_t>(m);
    }
    nj::join_pair(state, i, j, m);
  }
  if (n == 0) return margin;
  if (n == 1) {
    margin.newick = nj::to_newick(*state.nodes[0]);
  } else if (auto root = nj::final_join(state)) {
    margin.newick = nj::to_newick(**root);
  }
  return margin;
}

bool write_text(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

// Square PHYLIP matrix with fixed-point values, which every peer reads.
bool write_phylip(const std::string& path, const nj::DistMat& matrix) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const std::size_t n = matrix.size();
  std::fprintf(f, "%zu\n", n);
  for (std::size_t a = 0; a < n; ++a) {
    std::fprintf(f, "%-10s", matrix.names[a].c_str());
    for (std::size_t b = 0; b < n; ++b) std::fprintf(f, " %.9f", matrix.get(a, b));
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0;
}

// The condensed matrix as it is held, native doubles, for the peers that
// read a binary matrix (and plain_scan).
bool write_raw(const std::string& path, const nj::DistMat& matrix) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::size_t count = matrix.distances.size();
  const bool written = std::fwrite(matrix.distances.data(), sizeof(double), count, f) == count;
  return std::fclose(f) == 0 && written;
}

struct Report {
  std::size_t n = 0;
  std::uint64_t length = 0;
  const char* alphabet = "";
  std::vector<std::pair<const char*, double>> phases;
  long peak_rss_kib = 0;
  std::optional<Margin> margin;
  bool margin_tree_matches = false;
};

void print_report(const Options& o, const Report& r) {
  double total = 0.0;
  std::printf("{\"n\": %zu, \"length\": %llu, \"alphabet\": \"%s\", \"model\": \"%s\", ", r.n,
              static_cast<unsigned long long>(r.length), r.alphabet,
              std::string(nj::model_name(o.model)).c_str());
  std::printf("\"distance\": \"%s\", \"engine\": \"%s\", \"phases\": {",
              o.plain_distance          ? "plain"
              : !o.counting.empty()     ? o.counting.c_str()
                                        : "default",
              o.plain_nj ? "plain" : "default");
  for (std::size_t k = 0; k < r.phases.size(); ++k) {
    std::printf("%s\"%s\": %.9f", k ? ", " : "", r.phases[k].first, r.phases[k].second);
    total += r.phases[k].second;
  }
  std::printf("}, \"total\": %.9f, \"peak_rss_kib\": %ld", total, r.peak_rss_kib);
  if (r.margin) {
    const auto finite_or_null = [](double x) {
      char buf[64];
      if (!std::isfinite(x)) return std::string("null");
      std::snprintf(buf, sizeof buf, "%.6g", x);
      return std::string(buf);
    };
    std::printf(", \"tie_margin\": {\"min_gap\": %s, \"min_rel_gap\": %s, \"live_at_min\": %llu, "
                "\"tree_matches\": %s}",
                finite_or_null(r.margin->min_gap).c_str(),
                finite_or_null(r.margin->min_rel_gap).c_str(),
                static_cast<unsigned long long>(r.margin->live_at_min),
                r.margin_tree_matches ? "true" : "false");
  }
  std::printf("}\n");
}

nj::DistanceWorkspace workspace_for(const Options& o) {
  nj::DistanceWorkspace workspace;
  if (o.counting == "planes") workspace.set_counting_path(nj::detail::CountingPath::planes);
  if (o.counting == "reference") workspace.set_counting_path(nj::detail::CountingPath::reference);
  return workspace;
}

// The matrices of bootstrap replicates as a run builds them, one workspace
// for all, with column draws of fixed seeds so that runs compare.
template <nj::Alphabet A>
void time_replicates(const Options& o, const nj::MSA<A>& msa) {
  nj::DistanceWorkspace workspace = workspace_for(o);
  for (std::uint64_t k = 0; k < o.replicates; ++k) {
    const nj::SeedSource seed = [k]() -> std::expected<std::uint64_t, std::string> {
      return k + 1;
    };
    const auto columns = nj::bootstrap_columns(msa.length, seed);
    if (columns) workspace.from_resampled(msa, *columns, o.model);
  }
}

template <nj::Alphabet A>
int run_alignment(const Options& o, std::vector<nj::SequencePair> pairs, Stopwatch& clock,
                  Report r) {
  if (!nj::model_suits<A>(o.model)) {
    std::fprintf(stderr, "nj_phases: the %s model does not suit this alphabet\n",
                 std::string(nj::model_name(o.model)).c_str());
    return 2;
  }
  const nj::MSA<A> msa = nj::MSA<A>::from_iter(std::move(pairs));
  r.phases.emplace_back("encode", clock.lap());
  r.n = msa.sequence_count;
  r.length = msa.length;
  // The module's own path: the totals of the rows come with the matrix.
  nj::RowTotals totals;
  nj::DistMat matrix = o.plain_distance ? nj::plain_distances(msa, o.model)
                                         : workspace_for(o).from_msa(msa, o.model, {}, &totals);
  r.phases.emplace_back("distances", clock.lap());
  if (o.replicates > 0) {
    time_replicates(o, msa);
    r.phases.emplace_back("replicate_distances", clock.lap());
  }
  if (!o.matrix_raw.empty() && !write_raw(o.matrix_raw, matrix)) return 3;
  clock.lap();
  std::string newick;
  if (!o.distances_only) {
    if (!o.matrix_out.empty() && !write_phylip(o.matrix_out, matrix)) return 3;
    clock.lap();
    TreeResult tree =
        o.plain_nj ? nj::neighbor_joining_plain(std::move(matrix))
                   : nj::neighbor_joining_with_totals(std::move(matrix), std::move(totals));
    r.phases.emplace_back("nj", clock.lap());
    if (!tree) {
      std::fprintf(stderr, "nj_phases: %s\n", tree.error().c_str());
      return 1;
    }
    newick = nj::to_newick(**tree);
    r.phases.emplace_back("newick", clock.lap());
  } else if (!o.matrix_out.empty() && !write_phylip(o.matrix_out, matrix)) {
    return 3;
  }
  r.peak_rss_kib = peak_rss_kib();
  if (!o.tree_out.empty() && !write_text(o.tree_out, newick)) return 3;
  if (o.tie_margin && !o.distances_only) {
    r.margin = measure_margin(nj::plain_distances(msa, o.model));
    r.margin_tree_matches = r.margin->newick == newick;
  }
  print_report(o, r);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(argc, argv);
  if (!options) {
    std::fprintf(stderr, "nj_phases: %s\n", options.error().c_str());
    return 2;
  }
  nj::fast::set_offset_policy(options->offsets);
  Stopwatch clock;
  auto text = slurp(options->fasta);
  if (!text) {
    std::fprintf(stderr, "nj_phases: %s\n", text.error().c_str());
    return 2;
  }
  std::vector<nj::SequencePair> pairs = parse_fasta(*text);
  std::string().swap(*text);
  Report report;
  report.phases.emplace_back("read", clock.lap());
  // Deciding the alphabet is part of building the alignment, so it is timed
  // with the encoding.
  const bool dna = is_nucleotide(pairs);
  report.alphabet = dna ? "DNA" : "Protein";
  try {
    return dna ? run_alignment<nj::DNA>(*options, std::move(pairs), clock, std::move(report))
               : run_alignment<nj::Protein>(*options, std::move(pairs), clock, std::move(report));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "nj_phases: %s\n", failure.what());
    return 1;
  }
}
