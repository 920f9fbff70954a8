// SPDX-License-Identifier: MIT
// Fuzzes the run driver: the input bytes become a configuration (identifiers,
// sequences, model, up to three replicates) plus a stop check and a progress
// callback that may end the run early. Every outcome must be one the driver
// promises: a well-formed Newick text, a known error message, or the failure
// that the input asked for.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.hpp"
#include "nj/error.hpp"
#include "nj/lib.hpp"
#include "nj/stop.hpp"

namespace {

using nj::fuzz::check;

// Residues are drawn mostly from these, so that both alphabets and every
// model are reached; raw bytes cover everything else.
constexpr std::string_view nucleotide_bytes = "ACGTUN-acgtun";
constexpr std::string_view protein_bytes = "ARNDCQEGHILKMFPSTWYVX*?.-BZJO";

struct ProgressStop {};

char residue(FuzzedDataProvider& data, unsigned mode) {
  const auto byte = data.ConsumeIntegral<std::uint8_t>();
  switch (mode) {
    case 0: return nucleotide_bytes[byte % nucleotide_bytes.size()];
    case 1: return protein_bytes[byte % protein_bytes.size()];
    default: return static_cast<char>(byte);
  }
}

// Counts the commas and parentheses outside quoted names (a tree of n >= 2
// leaves has n - 1 of each) and checks the support labels, which follow a
// closing parenthesis: none without replicates, never above their number,
// never on the root.
struct Shape {
  std::size_t commas = 0;
  std::size_t opening = 0;
  std::size_t closing = 0;
};

Shape shape_of(std::string_view newick, std::uint64_t replicates) {
  Shape shape;
  bool quoted = false;
  for (std::size_t k = 0; k < newick.size(); ++k) {
    const char c = newick[k];
    if (c == '\'') quoted = !quoted;  // a doubled quote toggles twice
    if (quoted) continue;
    shape.commas += c == ',';
    shape.opening += c == '(';
    if (c != ')') continue;
    ++shape.closing;
    std::uint64_t support = 0;
    std::size_t digits = 0;
    for (; k + 1 < newick.size() && newick[k + 1] >= '0' && newick[k + 1] <= '9'; ++k, ++digits) {
      support = support * 10 + static_cast<std::uint64_t>(newick[k + 1] - '0');
    }
    if (digits == 0) continue;
    check(replicates > 0 && support <= replicates, "support counts within the replicates", newick);
    check(newick.substr(k + 1) != ";", "no support on the root", newick);
  }
  return shape;
}

bool known_error(std::string_view message) {
  return message == "Input MSA is empty" ||
         message == "Poisson is a protein model; cannot use with DNA" ||
         message == "Selected model is for DNA; cannot use with Protein" ||
         message.starts_with("RNG error: ");
}

struct Plan {
  nj::NJConfig config;
  bool unequal = false;
  std::uint64_t stop_after_polls = 0;     // 0: never stop
  std::uint64_t throw_at_replicate = 0;   // 0: never throw
};

Plan plan_from(FuzzedDataProvider& data) {
  Plan plan;
  const auto flags = data.ConsumeIntegral<std::uint8_t>();
  constexpr std::array models = {nj::SubstitutionModel::PDiff, nj::SubstitutionModel::JukesCantor,
                                 nj::SubstitutionModel::Kimura2P, nj::SubstitutionModel::Poisson};
  plan.config.substitution_model = models[flags % 4];
  plan.config.n_bootstrap_samples = (flags >> 2) % 4;
  const unsigned mode = (flags >> 4) % 3;
  if ((flags & 0x40) != 0) plan.stop_after_polls = data.ConsumeIntegralInRange<std::uint64_t>(1, 8);
  if ((flags & 0x80) != 0) plan.throw_at_replicate = data.ConsumeIntegralInRange<std::uint64_t>(1, 3);

  const auto count = data.ConsumeIntegralInRange<std::size_t>(0, 24);
  const auto length = data.ConsumeIntegralInRange<std::size_t>(0, 48);
  for (std::size_t k = 0; k < count && data.remaining_bytes() > 0; ++k) {
    nj::SequenceObject sequence;
    sequence.identifier = data.ConsumeRandomLengthString(12);
    // A short input ends the last rows early: unequal lengths are fuzzed too.
    for (std::size_t c = 0; c < length && data.remaining_bytes() > 0; ++c) {
      sequence.sequence += residue(data, mode);
    }
    if (sequence.sequence.size() != length) plan.unequal = true;
    plan.config.msa.push_back(std::move(sequence));
  }
  return plan;
}

void check_tree(std::string_view newick, std::size_t leaves, std::uint64_t replicates) {
  check(newick.ends_with(";"), "the Newick text ends with ';'", newick);
  const Shape shape = shape_of(newick, replicates);
  const std::size_t inner = leaves >= 2 ? leaves - 1 : 0;
  check(shape.commas == inner && shape.opening == inner && shape.closing == inner,
        "a binary tree over every sequence", newick);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  Plan plan = plan_from(data);
  const std::size_t leaves = plan.config.msa.size();
  const std::uint64_t replicates = plan.config.n_bootstrap_samples;

  std::uint64_t polls = 0;
  const nj::StopCheck stop = [&] { return ++polls == plan.stop_after_polls; };
  const nj::ProgressFn progress = [&](std::uint64_t done, std::uint64_t total) {
    check(total == replicates && done >= 1 && done <= total, "progress within the run");
    if (done == plan.throw_at_replicate) throw ProgressStop{};
  };
  try {
    auto result = nj::nj(std::move(plan.config), progress, plan.stop_after_polls ? stop : nj::StopCheck{});
    if (result) {
      check_tree(*result, leaves, replicates);
    } else {
      check(known_error(result.error()), "a known error message", result.error());
    }
  } catch (const nj::InternalError& failure) {
    check(plan.unequal, "an internal failure only for unequal lengths", failure.what());
  } catch (const nj::Cancelled&) {
    check(plan.stop_after_polls != 0, "cancelled only when asked");
  } catch (const ProgressStop&) {
    check(plan.throw_at_replicate != 0, "the callback's exception passes through");
  }
  return 0;
}
