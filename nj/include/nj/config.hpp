// SPDX-License-Identifier: MIT
// The run configuration records and their readers over a neutral value source.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nj {

/// Which distance model a run uses; the order is the order of the names in
/// the "one of" list of configuration messages.
enum class SubstitutionModel : std::uint8_t {
  PDiff = 0,
  JukesCantor = 1,
  Kimura2P = 2,
  Poisson = 3,
};

/// The model's name as configurations spell it ("Kimura2P").
std::string_view model_name(SubstitutionModel model) noexcept;

/// One named, aligned sequence.
struct SequenceObject {
  std::string identifier;
  std::string sequence;
};

/// What to run. Nothing is validated here: an empty msa, empty texts and
/// repeated identifiers are for the run to judge.
struct NJConfig {
  std::vector<SequenceObject> msa;
  std::uint64_t n_bootstrap_samples = 0;
  SubstitutionModel substitution_model = SubstitutionModel::PDiff;
};

// ---------------------------------------------------------------------------
// The value source: a self-describing view of caller data (the extension
// implements it over Python objects). Readers pull values in the order they
// need them, so the order of reading (and hence which failure is reported
// first) is fixed by the readers alone.
//
// A source reports its own failures by throwing whatever it likes; readers
// never catch them, so they travel out of read_config untouched. A value of
// no supported kind is a broken assumption: the source throws InternalError.
// Visitor methods throw as well (a refused shape unwinds through classify),
// so a source must hold what it owns in RAII objects and let exceptions pass.
//
// Every SourceValue handed out (by a view, unwrap_record or variant_form)
// owns what it refers to: it stays valid after the view, and the value that
// showed the view, are gone. Readers rely on this to walk nested values
// without recursion.

class SourceValue;

/// The entries of a map, in the order the source presents them.
class MapView {
 public:
  virtual ~MapView() = default;
  /// The next entry, or false when there is none left.
  virtual bool next(std::unique_ptr<SourceValue>& key, std::unique_ptr<SourceValue>& value) = 0;
};

/// The elements of a sequence, first to last.
class SequenceView {
 public:
  virtual ~SequenceView() = default;
  virtual std::size_t size() const = 0;
  virtual std::unique_ptr<SourceValue> element(std::size_t k) = 0;
};

/// Receives the one shape a value shows.
class ShapeVisitor {
 public:
  virtual ~ShapeVisitor() = default;
  virtual void map(MapView& entries) = 0;
  virtual void sequence(SequenceView& elements) = 0;
  virtual void text(std::string_view utf8) = 0;
  virtual void boolean(bool value) = 0;
  virtual void integer(std::int64_t value) = 0;
  virtual void floating(double value) = 0;
  virtual void none() = 0;
};

/// A variant name with an optional payload (which readers drop unread).
struct VariantForm {
  std::string name;
  std::unique_ptr<SourceValue> payload;
};

class SourceValue {
 public:
  virtual ~SourceValue() = default;
  /// Decides the value's shape and calls exactly one method of `visitor`.
  virtual void classify(ShapeVisitor& visitor) = 0;
  /// For a record target: the value that holds the record when this value
  /// is a wrapper naming it (`record_name` is "NJConfig" or
  /// "SequenceObject"), else nullptr.
  virtual std::unique_ptr<SourceValue> unwrap_record(std::string_view record_name) {
    (void)record_name;
    return nullptr;
  }
  /// For the model target: the value as a variant form, or nothing when it
  /// is not one (it is then classified as usual and refused).
  virtual std::optional<VariantForm> variant_form() { return std::nullopt; }
};

/// Reads the whole configuration. A record-rule failure is returned as its
/// message (for example "missing field `msa`"); failures of the source itself
/// propagate as the source threw them.
std::expected<NJConfig, std::string> read_config(SourceValue& root);

}  // namespace nj
