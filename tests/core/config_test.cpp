// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "memory_source.hpp"
#include "nj/config.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

using namespace nj::testing;

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr double inf = std::numeric_limits<double>::infinity();
const std::string variants = "one of `PDiff`, `JukesCantor`, `Kimura2P`, `Poisson`";

NodePtr seq_obj(std::string_view id, std::string_view residues) {
  return dict({{"identifier", str(id)}, {"sequence", str(residues)}});
}

NodePtr two_sequences() { return list({seq_obj("a", "ACGT"), seq_obj("b", "ACGA")}); }

NodePtr config(NodePtr msa, NodePtr count, NodePtr model) {
  return dict({{"msa", std::move(msa)}, {"n_bootstrap_samples", std::move(count)},
               {"substitution_model", std::move(model)}});
}

NodePtr with_count(NodePtr count) { return config(two_sequences(), std::move(count), str("PDiff")); }
NodePtr with_model(NodePtr model) { return config(two_sequences(), integer(1), std::move(model)); }
NodePtr with_msa(NodePtr msa) { return config(std::move(msa), integer(1), str("PDiff")); }

// A configuration whose only fault is the first msa element.
NodePtr with_element(NodePtr element) { return with_msa(list({std::move(element)})); }

NodePtr nested_lists(std::size_t depth, NodePtr leaf) {
  for (std::size_t k = 0; k < depth; ++k) leaf = list({std::move(leaf)});
  return leaf;
}

NodePtr nested_dicts(std::size_t depth, NodePtr leaf) {
  for (std::size_t k = 0; k < depth; ++k) leaf = dict({{"k", std::move(leaf)}});
  return leaf;
}

std::string failure_of(const NodePtr& source) {
  const auto read = read_memory_config(source);
  if (read.has_value()) return "<read succeeded>";
  return read.error();
}

TEST(ConfigRead, AcceptedForms) {
  struct Case {
    const char* what;
    NodePtr source;
    std::vector<std::pair<std::string, std::string>> msa;
    std::uint64_t count;
    SubstitutionModel model;
  };
  const std::vector<std::pair<std::string, std::string>> ab = {{"a", "ACGT"}, {"b", "ACGA"}};
  const std::vector<Case> cases = {
      {"map", with_count(integer(7)), ab, 7, SubstitutionModel::PDiff},
      {"entries in any order",
       dict({{"substitution_model", str("Poisson")}, {"msa", two_sequences()}, {"n_bootstrap_samples", integer(0)}}),
       ab, 0, SubstitutionModel::Poisson},
      {"extra key ignored",
       dict({{"comment", dict({{"x", list({integer(1), none(), floating(2.5), boolean(true)})}})},
             {"msa", two_sequences()}, {"n_bootstrap_samples", integer(3)}, {"substitution_model", str("Kimura2P")},
             {"NJConfig ", dict()}}),
       ab, 3, SubstitutionModel::Kimura2P},
      {"positional", list({two_sequences(), integer(100), str("Kimura2P")}), ab, 100, SubstitutionModel::Kimura2P},
      {"positional extras never fetched",
       list({two_sequences(), integer(1), str("PDiff"), throwing_when_fetched("extra"), throwing_when_fetched("5")}),
       ab, 1, SubstitutionModel::PDiff},
      {"positional sequence object", with_msa(list({list({str("seq1"), str("ACGT")})})),
       {{"seq1", "ACGT"}}, 1, SubstitutionModel::PDiff},
      {"positional sequence object extras never fetched",
       with_msa(list({list({str("seq1"), str("ACGT"), throwing_when_fetched("extra")})})),
       {{"seq1", "ACGT"}}, 1, SubstitutionModel::PDiff},
      {"empty texts, repeated identifiers",
       config(list({seq_obj("", ""), seq_obj("", "")}), integer(0), str("JukesCantor")), {{"", ""}, {"", ""}}, 0,
       SubstitutionModel::JukesCantor},
      {"empty msa", with_msa(list()), {}, 1, SubstitutionModel::PDiff},
      {"largest count", with_count(integer(int64_max)), ab, 9223372036854775807u, SubstitutionModel::PDiff},
      {"wrapped config; other outer keys never fetched",
       dict({{"other", throwing_when_fetched("looked at")}, {"NJConfig", with_count(integer(2))}}), ab, 2,
       SubstitutionModel::PDiff},
      {"wrapper key holding a non-dictionary is an unknown key",
       dict({{"NJConfig", integer(5)}, {"msa", two_sequences()}, {"n_bootstrap_samples", integer(4)},
             {"substitution_model", str("PDiff")}}),
       ab, 4, SubstitutionModel::PDiff},
      {"wrapped sequence object", with_element(dict({{"SequenceObject", seq_obj("w", "TT")}})), {{"w", "TT"}}, 1,
       SubstitutionModel::PDiff},
      {"config from an object", object({{"msa", two_sequences()}, {"n_bootstrap_samples", integer(9)},
                                        {"substitution_model", str("JukesCantor")}}),
       ab, 9, SubstitutionModel::JukesCantor},
      {"model as a one-entry dictionary; payload never read",
       with_model(dict({{"Poisson", throwing("payload read")}})), ab, 1, SubstitutionModel::Poisson},
      {"model payload none", with_model(dict({{"Kimura2P", none()}})), ab, 1, SubstitutionModel::Kimura2P},
  };
  for (const Case& c : cases) {
    const auto read = read_memory_config(c.source);
    ASSERT_TRUE(read.has_value()) << c.what << ": " << read.error();
    ASSERT_EQ(read->msa.size(), c.msa.size()) << c.what;
    for (std::size_t k = 0; k < c.msa.size(); ++k) {
      EXPECT_EQ(read->msa[k].identifier, c.msa[k].first) << c.what;
      EXPECT_EQ(read->msa[k].sequence, c.msa[k].second) << c.what;
    }
    EXPECT_EQ(read->n_bootstrap_samples, c.count) << c.what;
    EXPECT_EQ(read->substitution_model, c.model) << c.what;
  }
}

TEST(ConfigRead, ModelNames) {
  const std::vector<std::pair<const char*, SubstitutionModel>> cases = {
      {"PDiff", SubstitutionModel::PDiff},
      {"JukesCantor", SubstitutionModel::JukesCantor},
      {"Kimura2P", SubstitutionModel::Kimura2P},
      {"Poisson", SubstitutionModel::Poisson},
  };
  for (const auto& [name, model] : cases) {
    const auto read = read_memory_config(with_model(str(name)));
    ASSERT_TRUE(read.has_value()) << name;
    EXPECT_EQ(read->substitution_model, model);
  }
}

TEST(ConfigRead, RecordRuleMessages) {
  struct Case {
    NodePtr source;
    std::string message;
  };
  const std::vector<Case> cases = {
      // missing fields, in declaration order
      {dict(), "missing field `msa`"},
      {dict({{"msa", two_sequences()}}), "missing field `n_bootstrap_samples`"},
      {dict({{"msa", two_sequences()}, {"n_bootstrap_samples", integer(1)}}), "missing field `substitution_model`"},
      {dict({{"substitution_model", str("PDiff")}}), "missing field `msa`"},
      {dict({{"MSA", two_sequences()}, {"n_bootstrap_samples", integer(1)}, {"substitution_model", str("PDiff")}}),
       "missing field `msa`"},
      {dict({{"Msa", two_sequences()}, {"n_bootstrap_samples", integer(1)}, {"substitution_model", str("PDiff")}}),
       "missing field `msa`"},
      {dict({{"msa ", two_sequences()}, {"n_bootstrap_samples", integer(1)}, {"substitution_model", str("PDiff")}}),
       "missing field `msa`"},
      {with_element(dict({{"identifier", str("a")}})), "missing field `sequence`"},
      {with_element(dict({{"sequence", str("A")}})), "missing field `identifier`"},
      {with_element(dict({{"SequenceObject", str("not a dictionary")}})), "missing field `identifier`"},
      {object({{"NJConfig", with_count(integer(1))}}), "missing field `msa`"},  // only dictionaries unwrap
      {dict({{"NJConfig", dict({{"NJConfig", with_count(integer(1))}})}}), "missing field `msa`"},  // unwrapped once
      // duplicates: the repeated entry's value is never looked at
      {dict({{"msa", two_sequences()}, {"msa", throwing("value looked at")}}),
       "duplicate field `msa`"},
      {with_element(dict({{"sequence", str("A")}, {"sequence", throwing("value looked at")}})),
       "duplicate field `sequence`"},
      // field keys
      {dict({{integer(1), str("x")}}), "invalid type: integer `1`, expected field identifier"},
      {dict({{none(), str("x")}}), "invalid type: Option value, expected field identifier"},
      {dict({{floating(0.5), str("x")}}), "invalid type: floating point `0.5`, expected field identifier"},
      {dict({{list(), str("x")}}), "invalid type: sequence, expected field identifier"},
      {dict({{dict(), str("x")}}), "invalid type: map, expected field identifier"},
      {with_element(dict({{boolean(false), str("x")}})), "invalid type: boolean `false`, expected field identifier"},
      // record shapes
      {none(), "invalid type: Option value, expected struct NJConfig"},
      {integer(5), "invalid type: integer `5`, expected struct NJConfig"},
      {str("cfg"), "invalid type: string \"cfg\", expected struct NJConfig"},
      {with_element(str("x")), "invalid type: string \"x\", expected struct SequenceObject"},
      {with_element(none()), "invalid type: Option value, expected struct SequenceObject"},
      // positional lengths
      {list(), "invalid length 0, expected struct NJConfig with 3 elements"},
      {list({two_sequences()}), "invalid length 1, expected struct NJConfig with 3 elements"},
      {list({two_sequences(), integer(100)}), "invalid length 2, expected struct NJConfig with 3 elements"},
      {with_element(list()), "invalid length 0, expected struct SequenceObject with 2 elements"},
      {with_element(list({str("seq1")})), "invalid length 1, expected struct SequenceObject with 2 elements"},
      // the count
      {with_count(integer(-1)), "invalid value: integer `-1`, expected usize"},
      {with_count(integer(int64_min)), "invalid value: integer `-9223372036854775808`, expected usize"},
      {with_count(floating(10.0)), "invalid type: floating point `10.0`, expected usize"},
      {with_count(floating(5.0)), "invalid type: floating point `5.0`, expected usize"},
      {with_count(str("10")), "invalid type: string \"10\", expected usize"},
      {with_count(none()), "invalid type: Option value, expected usize"},
      {with_count(boolean(true)), "invalid type: boolean `true`, expected usize"},
      {with_count(list()), "invalid type: sequence, expected usize"},
      // the model
      {with_model(str("pdiff")), "unknown variant `pdiff`, expected " + variants},
      {with_model(str("")), "unknown variant ``, expected " + variants},
      {with_model(str("X")), "unknown variant `X`, expected " + variants},
      {with_model(str("a\"b\\c\n")), "unknown variant `a\"b\\c\n`, expected " + variants},
      {with_model(dict({{"Pdiff", none()}})), "unknown variant `Pdiff`, expected " + variants},
      {with_model(dict({{"PDiff", none()}, {"Poisson", none()}})), "invalid type: map, expected enum SubstitutionModel"},
      {with_model(dict()), "invalid type: map, expected enum SubstitutionModel"},
      {with_model(dict({{integer(0), none()}})), "invalid type: map, expected enum SubstitutionModel"},
      {with_model(object({{"PDiff", none()}})), "invalid type: map, expected enum SubstitutionModel"},
      {with_model(integer(0)), "invalid type: integer `0`, expected enum SubstitutionModel"},
      {with_model(none()), "invalid type: Option value, expected enum SubstitutionModel"},
      {with_model(list({str("PDiff")})), "invalid type: sequence, expected enum SubstitutionModel"},
      {with_model(floating(-inf)), "invalid type: floating point `-inf`, expected enum SubstitutionModel"},
      // the sequence list and texts
      {with_msa(dict()), "invalid type: map, expected a sequence"},
      {with_msa(str("ACGT")), "invalid type: string \"ACGT\", expected a sequence"},
      {with_msa(none()), "invalid type: Option value, expected a sequence"},
      {with_element(dict({{"identifier", integer(42)}, {"sequence", str("A")}})),
       "invalid type: integer `42`, expected a string"},
      {with_element(list({str("id"), list()})), "invalid type: sequence, expected a string"},
      {with_element(list({floating(std::nan("")), str("A")})), "invalid type: floating point `NaN`, expected a string"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure_of(c.source), c.message);
}

TEST(ConfigRead, FirstFailureWins) {
  struct Case {
    const char* what;
    NodePtr source;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"entries in the order presented",
       dict({{"substitution_model", str("X")}, {"n_bootstrap_samples", integer(-1)}, {"msa", two_sequences()}}),
       "unknown variant `X`, expected " + variants},
      {"entries in the order presented, swapped",
       dict({{"n_bootstrap_samples", integer(-1)}, {"substitution_model", str("X")}, {"msa", two_sequences()}}),
       "invalid value: integer `-1`, expected usize"},
      {"a faulty field before the missing check", dict({{"n_bootstrap_samples", integer(-1)}}),
       "invalid value: integer `-1`, expected usize"},
      {"a bad key before anything after it",
       dict({{integer(1), throwing("value looked at")}, {"msa", none()}}),
       "invalid type: integer `1`, expected field identifier"},
      {"the second of two faulty elements is never read",
       with_msa(list({seq_obj("a", "A"), list({str("short")}), integer(3)})),
       "invalid length 1, expected struct SequenceObject with 2 elements"},
      {"elements after a faulty one are never fetched",
       with_msa(list({integer(3), throwing_when_fetched("later element")})),
       "invalid type: integer `3`, expected struct SequenceObject"},
      {"positional elements before a missing one are read", list({two_sequences(), integer(-1)}),
       "invalid value: integer `-1`, expected usize"},
      {"positional first element first", list({none(), integer(-1)}),
       "invalid type: Option value, expected a sequence"},
      {"identifier before sequence, positionally", with_element(list({none(), integer(1)})),
       "invalid type: Option value, expected a string"},
      {"a wrapped record is read from the inner dictionary alone",
       dict({{"msa", two_sequences()}, {"NJConfig", dict({{"msa", none()}})}}),
       "invalid type: Option value, expected a sequence"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure_of(c.source), c.message) << c.what;
}

TEST(ConfigRead, SourceFailuresPassThroughUnchanged) {
  struct Case {
    const char* what;
    NodePtr source;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"root", throwing("root"), "root"},
      {"key", dict({{throwing("key"), str("v")}}), "key"},
      {"count", with_count(throwing("overflow")), "overflow"},
      {"model", with_model(throwing("surrogates")), "surrogates"},
      {"identifier", with_element(dict({{"identifier", throwing("id")}, {"sequence", str("A")}})), "id"},
      {"msa element", with_msa(list({seq_obj("a", "A"), throwing("second")})), "second"},
      {"fetched element", with_msa(list({throwing_when_fetched("fetched")})), "fetched"},
      {"wrapper lookup", with_element(throwing("lookup")), "lookup"},
      {"unknown key's value", dict({{"comment", list({none(), throwing("deep")})}, {"msa", none()}}), "deep"},
      {"unknown key's nested key", dict({{"comment", dict({{throwing("nested key"), none()}})}}), "nested key"},
      {"discard walks depth first",
       dict({{"comment", list({list({throwing("first")}), throwing("second")})}}), "first"},
      {"discard walks a key before its value",
       dict({{"comment", dict({{throwing("key"), throwing("value")}})}}), "key"},
  };
  for (const Case& c : cases) {
    try {
      (void)read_memory_config(c.source);
      ADD_FAILURE() << c.what << ": nothing thrown";
    } catch (const SourceFailure& failure) {
      EXPECT_EQ(failure.message, c.message) << c.what;
    }
  }
  const std::vector<Case> unsupported_cases = {
      {"root", unsupported("<class 'set'>"), "<class 'set'>"},
      {"count", with_count(unsupported("<class 'complex'>")), "<class 'complex'>"},
      {"model", with_model(unsupported("<class 'set'>")), "<class 'set'>"},
      {"under an unknown key", dict({{"comment", list({unsupported("<class 'bytes'>")})}}), "<class 'bytes'>"},
  };
  for (const Case& c : unsupported_cases) {
    try {
      (void)read_memory_config(c.source);
      ADD_FAILURE() << c.what << ": nothing thrown";
    } catch (const InternalError& failure) {
      EXPECT_EQ(failure.what(), unsupported_prefix + c.message) << c.what;
    }
  }
}

TEST(ConfigRead, DeepNestingUnderAnUnknownKey) {
  constexpr std::size_t depth = 100'000;
  const std::vector<NodePtr> deep_values = {
      nested_lists(depth, integer(1)),
      nested_dicts(depth, none()),
      nested_lists(depth / 2, nested_dicts(depth / 2, str("leaf"))),
  };
  for (const NodePtr& deep : deep_values) {
    const auto read = read_memory_config(
        dict({{"comment", deep}, {"msa", two_sequences()}, {"n_bootstrap_samples", integer(1)},
              {"substitution_model", str("PDiff")}}));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(read->msa.size(), 2u);
  }
  // The walk reaches the bottom.
  try {
    (void)read_memory_config(dict({{"comment", nested_lists(depth, throwing("bottom"))}}));
    ADD_FAILURE() << "nothing thrown";
  } catch (const SourceFailure& failure) {
    EXPECT_EQ(failure.message, "bottom");
  }
}

// A source that breaks its promises is a broken assumption, not a message.
class BrokenValue final : public SourceValue {
 public:
  enum class Fault { NoShape, TwoShapes, NullElement };
  explicit BrokenValue(Fault fault) : fault_(fault) {}
  void classify(ShapeVisitor& visitor) override {
    switch (fault_) {
      case Fault::NoShape: return;
      case Fault::TwoShapes: visitor.none(); visitor.none(); return;
      case Fault::NullElement: {
        NullElements view;
        visitor.sequence(view);
        return;
      }
    }
  }

 private:
  struct NullElements final : SequenceView {
    std::size_t size() const override { return 3; }
    std::unique_ptr<SourceValue> element(std::size_t) override { return nullptr; }
  };
  Fault fault_;
};

TEST(ConfigRead, BrokenSourceIsAnInternalFailure) {
  for (const auto fault : {BrokenValue::Fault::NoShape, BrokenValue::Fault::NullElement}) {
    BrokenValue root(fault);
    EXPECT_THROW((void)read_config(root), InternalError);
  }
  // One value shown in two shapes, under an unknown key where the first shape
  // is taken, so only the guard can refuse the second.
  class TwoShapesUnderUnknownKey final : public SourceValue {
   public:
    void classify(ShapeVisitor& visitor) override {
      OneEntry view;
      visitor.map(view);
    }

   private:
    struct OneEntry final : MapView {
      bool done = false;
      bool next(std::unique_ptr<SourceValue>& key, std::unique_ptr<SourceValue>& value) override {
        if (done) return false;
        done = true;
        key = std::make_unique<MemoryValue>(str("comment"));
        value = std::make_unique<BrokenValue>(BrokenValue::Fault::TwoShapes);
        return true;
      }
    };
  };
  TwoShapesUnderUnknownKey root;
  EXPECT_THROW((void)read_config(root), InternalError);
}

TEST(ConfigRead, UnknownVariantNameStaysValidUtf8) {
  EXPECT_EQ(failure_of(with_model(str("P\xFF" "Diff"))),
            "unknown variant `P\xEF\xBF\xBD" "Diff`, expected " + variants);
  EXPECT_EQ(failure_of(with_model(str("\xC3\xA9\xE2\x80\x8D"))),
            "unknown variant `\xC3\xA9\xE2\x80\x8D`, expected " + variants);
}

}  // namespace
}  // namespace nj
