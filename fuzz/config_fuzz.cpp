// SPDX-License-Identifier: MIT
// Fuzzes the configuration readers over the in-memory value source. The input
// bytes are a small stack program that builds a tree of values (maps,
// dictionaries, sequences, texts, numbers, values that throw, values of no
// supported kind); the readers must end in one of their promised outcomes: a
// configuration, a record-rule message in valid UTF-8, the source's own
// failure, or the internal failure for an unsupported value.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "memory_source.hpp"
#include "nj/config.hpp"
#include "nj/error.hpp"

namespace {

using namespace nj::testing;
using nj::fuzz::check;

constexpr std::array<std::string_view, 14> known_texts = {
    "msa",     "n_bootstrap_samples", "substitution_model", "identifier", "sequence",
    "NJConfig", "SequenceObject",     "PDiff",              "JukesCantor", "Kimura2P",
    "Poisson", "ACGT",                "",                   "a"};

constexpr std::size_t max_nodes = 2048;

struct Program {
  std::vector<NodePtr> stack;
  std::size_t nodes = 0;
  bool throws = false;
  bool unsupported = false;
};

std::vector<NodePtr> pop(Program& program, std::size_t count) {
  count = std::min(count, program.stack.size());
  std::vector<NodePtr> taken(program.stack.end() - static_cast<std::ptrdiff_t>(count),
                             program.stack.end());
  program.stack.resize(program.stack.size() - count);
  return taken;
}

std::vector<Entry> entries_of(std::vector<NodePtr> items) {
  std::vector<Entry> entries;
  for (std::size_t k = 0; k + 1 < items.size(); k += 2) entries.emplace_back(items[k], items[k + 1]);
  return entries;
}

NodePtr step(FuzzedDataProvider& data, Program& program) {
  switch (data.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
    case 1: return str(known_texts[data.ConsumeIntegralInRange<std::size_t>(0, known_texts.size() - 1)]);
    case 2: return str(data.ConsumeRandomLengthString(16));
    case 3: return integer(data.ConsumeIntegral<std::int64_t>());
    case 4: return integer(data.ConsumeIntegralInRange<std::int64_t>(-2, 5));
    case 5: return floating(data.ConsumeFloatingPoint<double>());
    case 6: return boolean(data.ConsumeBool());
    case 7: return none();
    case 8:
    case 9: return list(pop(program, data.ConsumeIntegralInRange<std::size_t>(0, 4)));
    case 10:
    case 11: return dict(entries_of(pop(program, 2 * data.ConsumeIntegralInRange<std::size_t>(0, 4))));
    case 12: return object(entries_of(pop(program, 2 * data.ConsumeIntegralInRange<std::size_t>(0, 4))));
    case 13:
      program.throws = true;
      return data.ConsumeBool() ? throwing("source failure") : throwing_when_fetched("source failure");
    case 14:
      program.unsupported = true;
      return unsupported("<class 'set'>");
    default: {
      // A wrapper that names one of the records, holding the top of the stack.
      auto held = pop(program, 1);
      const std::string_view name = data.ConsumeBool() ? "NJConfig" : "SequenceObject";
      return dict({{name, held.empty() ? dict() : held.front()}});
    }
  }
}

Program run(FuzzedDataProvider& data) {
  Program program;
  while (data.remaining_bytes() > 0 && program.nodes < max_nodes) {
    program.stack.push_back(step(data, program));
    ++program.nodes;
  }
  return program;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  Program program = run(data);
  const NodePtr root = program.stack.empty() ? none() : program.stack.back();
  program.stack.clear();
  try {
    const auto read = read_memory_config(root);
    if (!read) check(nj::fuzz::is_valid_utf8(read.error()), "messages are valid UTF-8", read.error());
  } catch (const SourceFailure& failure) {
    check(program.throws && failure.message == "source failure", "the source's own failure passes through");
  } catch (const nj::InternalError& failure) {
    check(program.unsupported && std::string_view(failure.what()).starts_with(unsupported_prefix),
          "an internal failure only for an unsupported value", failure.what());
  }
  return 0;
}
